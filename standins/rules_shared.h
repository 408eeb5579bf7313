// What the files of the embedded back end's rules share: how call numbers
// are spelled, how a write ends, how listings page and match.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "quillet/standins/backend_store.h"
#include "storage_engine.h"

namespace quillet::standins {

// Listings read this many rows at a time: constant memory, few queries.
inline constexpr int64_t kPage = 256;

// "SC" or "SO" and the sequence number in at least six digits.
std::string Numbered(const char* prefix, int64_t seq);
// The sequence number a call number names, spelled exactly as Numbered
// spells it; else nothing.
std::optional<int64_t> SeqOfNumber(const std::string& number);
StoredCall AsStored(const std::string& number, CallRow row);

// What a write of `kind` (a call's or an item's) of what was
// submitted, under `key` ("" for none), is about to read, for the engine to
// ask at once (StorageEngine::Expect).
StorageEngine::ReadAhead ReadAheadFor(RequestKind kind, const CallData& call,
                                      const std::string& key);
StorageEngine::ReadAhead ReadAheadFor(RequestKind kind,
                                      const ItemFields& fields,
                                      const std::string& key);

// What a write changed, as its event's `changes` (a JSON object): the
// fields written with their new values and a bounded copy of each text
// added; a change adds the values it replaced and those the rules read
// ("before").
std::string NewCallChanges(const CallRow& row, const CallData& call);
std::string CallChangeChanges(const CallRow& before, const CallRow& after,
                              const CallData& call);
std::string ItemChanges(const ItemFields& fields);

// How a write ends: a dry run undoes it.
inline StorageEngine::Ending EndingFor(bool dry_run) {
  return dry_run ? StorageEngine::Ending::kRollBack
                 : StorageEngine::Ending::kCommit;
}

// `text` within `haystack`, ASCII letters in either case.
bool Contains(const std::string& haystack, const std::string& text);

}  // namespace quillet::standins
