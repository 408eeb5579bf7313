// Answers kept under request keys for requests that never reached a write
// (backend_store.h, KeepAnswer).
#include "quillet/standins/backend_store.h"
#include "request_record.h"
#include "storage_engine.h"

namespace quillet::standins {

KeyHolding BackendStore::KeepAnswer(const std::string& key,
                                    const std::string& op,
                                    const std::string& request_name,
                                    const std::string& answer) {
  const RequestKind kind = RequestKindSpelled(op);
  const RequestKind kept_kind = RefusedKind(kind);
  const std::string digest = NamedRequestDigest(op, request_name);
  KeyHolding holding;
  engine_->WriteTransaction(
      [&] {
        holding = KeyHolding();
        std::optional<KeyRecord> prior = engine_->FindKey(key);
        if (!prior) {
          RecordKey(key, {kept_kind, digest, answer});
          return;
        }
        bool same = kind != RequestKind::kOther &&
                    (prior->kind == kind || prior->kind == kept_kind) &&
                    prior->digest == digest;
        holding.by = same ? KeyHolding::By::kThisRequest
                          : KeyHolding::By::kAnotherRequest;
        if (same && prior->kind == kept_kind) holding.answer = prior->answer;
      },
      StorageEngine::Ending::kCommit);
  return holding;
}

std::optional<std::string> BackendStore::KeptAnswer(
    const std::string& key, const std::string& op,
    const std::string& request_name) {
  std::optional<KeyRecord> record;
  engine_->ReadTransaction([&] { record = engine_->LiveKey(key); });
  RequestKind kept_kind = RefusedKind(RequestKindSpelled(op));
  if (!record || kept_kind == RequestKind::kOther ||
      record->kind != kept_kind ||
      record->digest != NamedRequestDigest(op, request_name))
    return std::nullopt;
  return record->answer;
}

}  // namespace quillet::standins
