#include "quillet/operations/desk_reads.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <deque>
#include <fstream>

#include "quillet/operations/json_variant.h"
#include "quillet/update_options.h"
#include "reading_store.h"

namespace quillet::operations {
namespace {

using Json = nlohmann::ordered_json;

// The one value of `name`, or nothing; given twice is a mistake.
std::optional<std::string> One(const QueryParams& params, const char* name) {
  auto [first, last] = params.equal_range(name);
  if (first == last) return std::nullopt;
  if (std::next(first) != last)
    throw UsageError(std::string("?") + name + " is given more than once");
  return first->second;
}

int64_t Whole(const QueryParams& params, const char* name, int64_t fallback,
              int64_t high) {
  std::optional<std::string> text = One(params, name);
  return text ? WholeParam(name, *text, high) : fallback;
}

std::string Bounded(const QueryParams& params, const char* name) {
  std::string text = One(params, name).value_or("");
  if (text.size() > 200)
    throw UsageError(std::string("?") + name + " is longer than 200 bytes");
  return text;
}

// Whether a search finds the entry as a listing would: in its key or any
// column, ASCII letters in either case.
bool Found(const standins::MasterEntry& entry, const std::string& search) {
  auto fold = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  auto in = [&](const std::string& text) {
    return std::search(text.begin(), text.end(), search.begin(), search.end(),
                       [&](char a, char b) { return fold(a) == fold(b); }) !=
           text.end();
  };
  if (in(entry.key)) return true;
  for (const auto& column : entry.columns)
    if (in(column.second)) return true;
  return false;
}

Json EntryJson(standins::MasterList list, const standins::MasterEntry& entry) {
  Json out = {
      {list == standins::MasterList::kBusinessPartners ? "number" : "object",
       entry.key}};
  for (const auto& [name, value] : entry.columns) out[name] = value;
  return out;
}

// A log time as the log writes it (digits, '-', ':', 'T', '.', 'Z').
std::string LogTime(const QueryParams& params, const char* name) {
  std::string text = Bounded(params, name);
  if (text.find_first_not_of("0123456789-:T.Z") != std::string::npos)
    throw UsageError(std::string("?") + name +
                     " must be a UTC time such as 2026-12-01T08:30:00Z");
  return text;
}

}  // namespace

Json MasterDataJson(const BackendSetup& backend, MasterList which,
                    const QueryParams& params) {
  standins::MasterList list = which == MasterList::kBusinessPartners
                                  ? standins::MasterList::kBusinessPartners
                                  : standins::MasterList::kServiceObjects;
  standins::BorrowedStore store = Reading(backend);
  Json out = Json::array();
  if (list == standins::MasterList::kBusinessPartners &&
      params.count("number")) {
    if (params.count("number") > 100)
      throw UsageError("?number is given up to 100 times");
    // With ?search too: those of them it finds.
    std::string search = Bounded(params, "search");
    for (auto [it, last] = params.equal_range("number"); it != last; ++it)
      if (auto entry = store->MasterOf(list, it->second))
        if (search.empty() || Found(*entry, search))
          out.push_back(EntryJson(list, *entry));
    return out;
  }
  int64_t limit = Whole(params, "limit", 20, 100);
  for (const standins::MasterEntry& entry :
       store->FindMaster(list, Bounded(params, "search"), limit))
    out.push_back(EntryJson(list, entry));
  return out;
}

Json CallCountJson(const BackendSetup& backend, const CallQuery& given) {
  CallQuery query = given;
  query.after.reset();
  int64_t n = Reading(backend)->CountCalls(query, INT64_MAX);
  return Json{{"count", n}, {"more", false}};
}

void ApplyCallView(CallQuery& query, const std::string& view,
                   const std::string& engineer, int64_t now) {
  constexpr int64_t kCompleted = 30;
  if (view == "open") {
    query.status_below = kCompleted;
  } else if (view == "waiting") {
    query.waiting = true;
  } else if (view == "mine") {
    if (engineer.empty())
      throw UsageError(
          "?view=mine needs a token bound to an engineer ('quillet token add "
          "NAME --engineer CODE')");
    query.engineer = engineer;
  } else if (view == "changed-today") {
    int64_t today = TransactionTimeAt(now - now % 86400);
    query.changed_since = std::max(query.changed_since.value_or(0), today);
  } else {
    throw UsageError("?view is open, waiting, mine or changed-today");
  }
}

void ResolveCustomer(const BackendSetup& backend, CallQuery& query) {
  if (!query.sold_to || query.sold_to->empty()) return;
  standins::BorrowedStore store = Reading(backend);
  if (store->MasterOf(standins::MasterList::kBusinessPartners, *query.sold_to))
    return;
  std::vector<standins::MasterEntry> named = store->FindMaster(
      standins::MasterList::kBusinessPartners, *query.sold_to, 100);
  if (named.empty()) return;
  query.sold_to.reset();
  for (const standins::MasterEntry& entry : named)
    query.sold_to_any.push_back(entry.key);
  if (query.sold_to_any.size() == 1) {
    query.sold_to = query.sold_to_any.front();
    query.sold_to_any.clear();
  }
}

Json CallStatsJson(const BackendSetup& backend) {
  static constexpr const char* kAges[] = {"day", "3days", "week", "older"};
  standins::BorrowedStore store = Reading(backend);
  standins::CallTally tally = store->TallyCalls(10);
  Json out = {{"calls", tally.calls},
              {"byStatus", Json::array()},
              {"byAge", Json::array()},
              {"bySoldTo", Json::array()},
              {"otherSoldTo", tally.other_sold_to}};
  for (const auto& [status, count] : tally.by_status)
    out["byStatus"].push_back({{"status", status}, {"count", count}});
  for (int age = 0; age < 4; ++age)
    out["byAge"].push_back({{"age", kAges[age]}, {"count", tally.by_age[age]}});
  for (const auto& [partner, count] : tally.by_sold_to) {
    std::optional<standins::MasterEntry> entry =
        store->MasterOf(standins::MasterList::kBusinessPartners, partner);
    std::string name;
    if (entry && !entry->columns.empty()) name = entry->columns.front().second;
    out["bySoldTo"].push_back(
        {{"soldTo", partner}, {"name", name}, {"count", count}});
  }
  return out;
}

Json LogPageJson(const std::string& log_path, const QueryParams& params) {
  int64_t offset = Whole(params, "offset", 0, 10000);
  int64_t tail = Whole(params, "tail", 100, 10000);
  std::optional<int64_t> number;
  if (params.count("number")) {
    std::optional<std::string> text = One(params, "number");
    try {
      size_t used = 0;
      number = std::stoll(*text, &used);
      // Error numbers are 32 bits, as the description says.
      if (used != text->size() || *number < INT32_MIN || *number > INT32_MAX)
        throw UsageError("");
    } catch (const std::exception&) {
      throw UsageError("?number must be an error number");
    }
  }
  std::string source = Bounded(params, "source");
  std::string contains = Bounded(params, "text");
  std::string since = LogTime(params, "since");
  std::string until = LogTime(params, "until");

  // The newest offset + tail matching lines, read through once: memory is
  // bounded by the page (at most 20,000 lines, and 8 MiB of them: past
  // that the oldest of the page go), not by the log.
  constexpr size_t kMaxPageBytes = 8 << 20;
  size_t kept_bytes = 0;
  std::deque<std::string> kept;
  std::ifstream in(log_path);
  for (std::string line; std::getline(in, line);) {
    Json entry = Json::parse(line, nullptr, false);
    if (entry.is_discarded() || !entry.is_object()) continue;
    auto text = [&](const char* key) {
      auto it = entry.find(key);
      return it != entry.end() && it->is_string() ? it->get<std::string>()
                                                  : std::string();
    };
    std::string time = text("time");
    if (!since.empty() && time < since) continue;
    if (!until.empty() && time > until) continue;
    if (!source.empty() && text("source").find(source) == std::string::npos)
      continue;
    if (!contains.empty() && text("text").find(contains) == std::string::npos)
      continue;
    if (number) {
      auto it = entry.find("number");
      if (it == entry.end() || !it->is_number_integer() ||
          it->get<int64_t>() != *number)
        continue;
    }
    kept_bytes += line.size();
    kept.push_back(std::move(line));
    while (static_cast<int64_t>(kept.size()) > offset + tail ||
           (kept_bytes > kMaxPageBytes && kept.size() > 1)) {
      kept_bytes -= kept.front().size();
      kept.pop_front();
    }
  }
  Json out = Json::array();
  int64_t skipped = 0;
  for (auto it = kept.rbegin(); it != kept.rend(); ++it)
    if (skipped++ >= offset) out.push_back(Json::parse(*it));
  return out;
}

int64_t WholeParam(const char* name, const std::string& text, int64_t high) {
  if (text.empty() || text.size() > 12 ||
      text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoll(text) > high)
    throw UsageError(std::string("?") + name +
                     " must be a whole number up to " + std::to_string(high));
  return std::stoll(text);
}

nlohmann::ordered_json UpdateOptionsJson() {
  nlohmann::ordered_json options = nlohmann::ordered_json::array();
  for (const UpdateOption& option : kUpdateOptions) {
    nlohmann::ordered_json fields = nlohmann::ordered_json::array();
    for (std::string_view key : DetailKeysOf(option)) fields.push_back(key);
    options.push_back({{"option", option.number},
                       {"name", option.name},
                       {"fields", std::move(fields)},
                       {"confirm", option.confirm}});
  }
  return options;
}

}  // namespace quillet::operations
