// Submits under a request key: the first one is recorded with its answer
// in its own transaction; a later one with the same request is answered
// from the record and writes nothing; another request under the key is
// refused. Also the operator's listing and pruning of keys.
#include <nlohmann/json.hpp>

#include "quillet/standins/backend_store.h"
#include "request_record.h"
#include "rules_shared.h"
#include "storage_engine.h"

namespace quillet::standins {
namespace {

std::string KeyRefusal(const std::string& key) {
  return "Request key '" + key +
         "' was already used for a different request; nothing was written";
}

// Whether `prior`, kept under a key, was made by the request `now`. A key
// written without the caller's name for its request (by a host that gives
// none, or by an earlier Quillet) kept the digest of what was submitted:
// that is compared too, so that a retry across an upgrade is still itself.
bool SameRequest(const KeyRecord& prior, const KeyRecord& now,
                 const std::function<std::string()>& submitted_digest) {
  if (prior.kind != now.kind) return false;
  return prior.digest == now.digest || prior.digest == submitted_digest();
}

// A refusal says so in the outcome, a replay answers as the first time.
void Refuse(SubmitOutcome& outcome, const std::string& key) {
  outcome.messages.push_back(KeyRefusal(key));
  outcome.key_conflict = true;
}
void Refuse(ItemOutcome& outcome, const std::string& key) {
  outcome.refusal = KeyRefusal(key);
  outcome.key_conflict = true;
}

}  // namespace

SubmitOutcome BackendStore::CreateCall(const std::string& component,
                                       const CallData& call,
                                       const std::string& request_key) {
  return Keyed<SubmitOutcome>(RequestKind::kCreateCall, component, call,
                              request_key,
                              [&] { return NewCall(component, call); });
}

SubmitOutcome BackendStore::ChangeCall(const std::string& component,
                                       const CallData& call,
                                       const std::string& request_key) {
  return Keyed<SubmitOutcome>(RequestKind::kUpdateCall, component, call,
                              request_key, [&] { return ChangedCall(call); });
}

ItemOutcome BackendStore::CreateItem(const std::string& component,
                                     const ItemFields& fields,
                                     const std::string& request_key) {
  return Keyed<ItemOutcome>(
      RequestKind::kCreateItem, component, fields, request_key,
      [&] { return ItemOutcome{NewItem(component, fields)}; });
}

ItemOutcome BackendStore::ChangeItem(const std::string& component,
                                     const ItemFields& fields,
                                     const std::string& request_key) {
  return Keyed<ItemOutcome>(
      RequestKind::kUpdateItem, component, fields, request_key,
      [&] { return ItemOutcome{ChangedItem(component, fields)}; });
}

template <class Outcome, class Submitted>
Outcome BackendStore::Keyed(RequestKind kind, const std::string& component,
                            const Submitted& submitted,
                            const std::string& request_key,
                            const std::function<Outcome()>& body) {
  Outcome outcome;
  event_key_ = request_key;
  StorageEngine::ReadAhead ahead = ReadAheadFor(kind, submitted, request_key);
  if (request_key.empty()) {
    engine_->WriteTransaction(
        [&] {
          engine_->Expect(ahead);
          outcome = body();
        },
        EndingFor(dry_run_));
    return outcome;
  }
  std::string_view spelling = Spelling(kind);
  KeyRecord request{kind,
                    request_name_.empty()
                        ? RequestDigest(spelling, component, submitted)
                        : NamedRequestDigest(spelling, request_name_),
                    ""};
  engine_->WriteTransaction(
      [&] {
        outcome = Outcome();
        engine_->Expect(ahead);
        if (std::optional<KeyRecord> prior = engine_->FindKey(request_key)) {
          if (!SameRequest(*prior, request, [&] {
                return RequestDigest(spelling, component, submitted);
              })) {
            Refuse(outcome, request_key);
            return;
          }
          AnswerFromJson(prior->answer, outcome);
          outcome.replayed = true;
          return;
        }
        outcome = body();
        request.answer = AnswerJson(outcome);
        RecordKey(request_key, request);
      },
      EndingFor(dry_run_));
  return outcome;
}

void BackendStore::RecordKey(const std::string& key, const KeyRecord& record) {
  // Expired keys go a few at a time, soonest expired first: no write ever
  // scans the table, and pruning keeps up with the keys added. Each key
  // keeps the lifetime its own writer gave it.
  engine_->PruneKeys(16);
  engine_->InsertKey(key, record, key_retention_);
}

std::vector<KeyListing> BackendStore::Keys(
    const std::optional<std::string>& after, int64_t limit) {
  std::vector<KeyListing> keys;
  engine_->ReadTransaction([&] { keys = engine_->KeyPage(after, limit); });
  return keys;
}

int64_t BackendStore::PruneKeysBefore(int64_t unix_time) {
  constexpr int kBatch = 1000;
  int64_t before = Facts().request_keys, previous = -1;
  // At most as many rounds as the keys there were need; a round that
  // removed none ends it (the rest are being written right now).
  for (int64_t round = 0; round <= before / kBatch + 1; ++round) {
    StoreFacts facts = Facts();
    if (!facts.oldest_key || *facts.oldest_key >= unix_time ||
        facts.request_keys == previous)
      break;
    previous = facts.request_keys;
    engine_->WriteTransaction(
        [&] { engine_->PruneKeysCreatedBefore(unix_time, kBatch); },
        StorageEngine::Ending::kCommit);
  }
  return before - Facts().request_keys;
}

}  // namespace quillet::standins
