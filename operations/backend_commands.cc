#include "quillet/operations/backend_commands.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "context_parts.h"
#include "quillet/error.h"
#include "quillet/operations/text_excerpt.h"
#include "quillet/operations/usage_error.h"
#include "quillet/operations/views.h"
#include "quillet/standins/store_pool.h"
#include "quillet/text.h"
#include "server_status.h"

namespace quillet::operations {
namespace {

using json = nlohmann::ordered_json;

// Unix time as "2026-12-07T17:01:17Z".
std::string Utc(int64_t unix_time) {
  std::time_t t = static_cast<std::time_t>(unix_time);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string Dumped(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

using standins::BackendStore;
using standins::BorrowedStore;

BorrowedStore Store(const BackendSetup& backend, BackendStore::Open open) {
  return BorrowedStore(BackendOf(backend), backend.db, open);
}

}  // namespace

void PrintStatus(std::ostream& out, const BackendSetup& backend, bool json) {
  BorrowedStore store = Store(backend, BackendStore::Open::kForReading);
  standins::StoreFacts facts = store->Facts();
  std::optional<standins::ServerState> server = store->Server();
  std::string not_writable;
  try {
    store->CheckWritable();
  } catch (const Error& e) {
    not_writable = ToUtf8(e.info().description);
  }
  if (json) {
    ::nlohmann::ordered_json o = {{"schema_version", facts.schema_version},
                                  {"calls", facts.calls},
                                  {"items", facts.items},
                                  {"request_keys", facts.request_keys},
                                  {"oldest_key", nullptr},
                                  {"writable", not_writable.empty()}};
    if (facts.oldest_key) o["oldest_key"] = Utc(*facts.oldest_key);
    if (!not_writable.empty()) o["not_writable"] = not_writable;
    if (server) o["server"] = ServerJson(*server);
    out << Dumped(o) << "\n";
    return;
  }
  out << "schema version  " << facts.schema_version << "\n"
      << "calls           " << facts.calls << "\n"
      << "items           " << facts.items << "\n"
      << "request keys    " << facts.request_keys << "\n"
      << "oldest key      " << (facts.oldest_key ? Utc(*facts.oldest_key) : "-")
      << "\n"
      << "writable        "
      << (not_writable.empty() ? "yes" : "no: " + Printable(not_writable))
      << "\n";
  if (server) PrintServer(out, *server);
}

void PrintKeys(std::ostream& out, const BackendSetup& backend,
               const std::optional<std::string>& after,
               std::optional<int64_t> limit, bool json) {
  BorrowedStore store = Store(backend, BackendStore::Open::kForReading);
  constexpr int64_t kPage = 500;
  std::optional<std::string> from = after;
  int64_t left = limit.value_or(INT64_MAX), shown = 0;
  if (json) out << "[";
  while (left > 0) {
    int64_t want = std::min(left, kPage);
    std::vector<standins::KeyListing> page = store->Keys(from, want);
    for (const standins::KeyListing& key : page) {
      if (json)
        out << (shown ? ",\n" : "\n")
            << Dumped({{"key", key.key},
                       {"kind", key.kind},
                       {"created_at", Utc(key.created_at)}});
      else
        out << Utc(key.created_at) << "  " << key.kind << "  "
            << Printable(key.key) << "\n";
      ++shown;
    }
    left -= static_cast<int64_t>(page.size());
    if (static_cast<int64_t>(page.size()) < want) break;
    from = page.back().key;
  }
  if (json)
    out << (shown ? "\n]\n" : "]\n");
  else
    out << shown << (shown == 1 ? " key\n" : " keys\n");
}

int64_t PruneKeys(const BackendSetup& backend, int64_t days) {
  // A write to the database there is: none is made, none migrated.
  BorrowedStore store = Store(backend, BackendStore::Open::kAsIs);
  return store->PruneKeysBefore(static_cast<int64_t>(std::time(nullptr)) -
                                days * 86400);
}

void CheckHealth(const BackendSetup& backend) {
  Store(backend, BackendStore::Open::kForReading)->CheckWritable();
}

int LoadMasterData(const BackendSetup& backend, const std::string& json_text) {
  BackendStore::CheckMasterData(json_text);  // before any change
  return Store(backend, BackendStore::Open::kForWriting)
      ->LoadMasterData(json_text);
}

int32_t MigrateDatabase(const BackendSetup& backend) {
  std::error_code ec;
  if (!standins::IsPostgresUri(backend.db) &&
      !(std::filesystem::is_regular_file(backend.db, ec) &&
        std::filesystem::file_size(backend.db, ec) > 0))
    throw UsageError("no database '" + Excerpt(backend.db, 200) +
                     "' to bring up to date; nothing was created");
  Store(backend, BackendStore::Open::kForWriting);  // opening migrates it
  return standins::kSchemaVersion;
}

}  // namespace quillet::operations
