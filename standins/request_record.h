// What the embedded back end keeps of a request made under a request key:
// a digest of what was submitted, to recognise the same request again, and
// the answer it gave, to give it again without writing anything.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillet/standins/backend_store.h"
#include "storage_engine.h"

namespace quillet::standins {

// 32 hex digits (XXH3, 128 bits) over a length-prefixed form of the request:
// equal for equal requests, different for any other request in practice.
std::string RequestDigest(std::string_view kind, const std::string& component,
                          const CallData& call);
std::string RequestDigest(std::string_view kind, const std::string& component,
                          const ItemFields& fields);
// The same, for a request that its caller named (the object context's
// RequestDigest()): never equal to a digest of what was submitted.
std::string NamedRequestDigest(std::string_view kind, std::string_view name);

// A submit's answer as JSON and back: the stored call's properties (its
// texts are not part of an answer), the messages and whether there was
// nothing to apply; an item's refusal.
std::string AnswerJson(const SubmitOutcome& outcome);
std::string AnswerJson(const ItemOutcome& outcome);
void AnswerFromJson(const std::string& json, SubmitOutcome& outcome);
void AnswerFromJson(const std::string& json, ItemOutcome& outcome);

}  // namespace quillet::standins
