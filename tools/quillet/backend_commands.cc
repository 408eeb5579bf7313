#include "backend_commands.h"

#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>

#include "quillet/error.h"
#include "quillet/text.h"
#include "views.h"

namespace quillet::cli {
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

}  // namespace

void PrintStatus(std::ostream& out, standins::BackendStore& store, bool json) {
  standins::StoreFacts facts = store.Facts();
  std::string not_writable;
  try {
    store.CheckWritable();
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
}

void PrintKeys(std::ostream& out, standins::BackendStore& store,
               const std::optional<std::string>& after,
               std::optional<int64_t> limit, bool json) {
  constexpr int64_t kPage = 500;
  std::optional<std::string> from = after;
  int64_t left = limit.value_or(INT64_MAX), shown = 0;
  if (json) out << "[";
  while (left > 0) {
    int64_t want = std::min(left, kPage);
    std::vector<standins::KeyListing> page = store.Keys(from, want);
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

}  // namespace quillet::cli
