#include "quillet/operations/views.h"

#include <deque>
#include <fstream>
#include <iomanip>

#include "quillet/operations/events.h"
#include "quillet/operations/json_variant.h"
#include "quillet/operations/text_excerpt.h"
#include "reading_store.h"

namespace quillet::operations {

using json = nlohmann::ordered_json;
using adapter::CallProperty;

namespace {
json ValueJson(const standins::StoredValue& v) {
  if (v.type == VarType::String) return v.text;
  if (v.type == VarType::Boolean) return v.number != 0;
  return v.number;
}

std::string Value(const standins::StoredCall& call, CallProperty property) {
  auto it = call.properties.find(property);
  if (it == call.properties.end()) return "";
  return it->second.type == VarType::String ? it->second.text
                                            : std::to_string(it->second.number);
}

}  // namespace

namespace {

json CallJson(const standins::StoredCall& call) {
  json out = json::object();
  standins::ForEachStored(
      call.properties, call.unknown_properties,
      [&](std::string_view name, const standins::StoredValue& value) {
        out[std::string(name)] = ValueJson(value);
      });
  out["Text"] = call.text;
  out["SolutionText"] = call.solution_text;
  if (call.created) out["created"] = IsoTime(*call.created);
  if (!call.match.empty()) out["match"] = call.match;  // a search's
  return out;
}

json ItemJson(const standins::StoredItem& item) {
  json fields = json::object();
  for (const auto& [k, v] : item.fields) fields[k] = v;
  return {{"serial", item.serial},
          {"component", item.component},
          {"fields", fields}};
}

// A JSON array written one element at a time, one element a line. A
// listing that fails writes nothing before its first element, and never
// the closing bracket: what it wrote cannot pass for a whole answer.
class JsonArrayWriter {
 public:
  explicit JsonArrayWriter(std::ostream& out) : out_(out) {}
  void Add(const json& element) {
    out_ << (count_++ ? ",\n" : "[\n") << DumpJson(element);
  }
  void Close() { out_ << (count_ ? "\n]\n" : "[]\n"); }

 private:
  std::ostream& out_;
  size_t count_ = 0;
};

void PrintCall(std::ostream& out, const standins::StoredCall& call) {
  standins::ForEachStored(
      call.properties, call.unknown_properties,
      [&](std::string_view name, const standins::StoredValue& value) {
        out << std::left << std::setw(26) << Printable(name)
            << Printable(value.type == VarType::String
                             ? value.text
                             : std::to_string(value.number))
            << "\n";
      });
  auto text = [&](const char* name, const std::vector<std::string>& pieces) {
    size_t chars = 0;
    for (const std::string& p : pieces) chars += p.size();
    out << std::setw(26) << name << pieces.size() << " piece(s), " << chars
        << " bytes";
    if (!pieces.empty()) out << ": " << Printable(pieces.front().substr(0, 60));
    out << "\n";
  };
  text("Text", call.text);
  text("SolutionText", call.solution_text);
  if (call.created)
    out << std::setw(26) << "created" << IsoTime(*call.created) << "\n";
  // For update-call --if-unchanged-since (one call's table only).
  if (!call.version.empty())
    out << std::setw(26) << "version" << call.version << "\n";
}

void PrintStoredItem(std::ostream& out, const standins::StoredItem& item) {
  out << Printable(item.serial) << "  (" << Printable(item.component) << ")\n";
  for (const auto& [k, v] : item.fields)
    out << "    " << Printable(k) << " = " << Printable(v) << "\n";
}

}  // namespace

int64_t TransactionTimeAt(int64_t unix_seconds) {
  return standins::TransactionTimeAt(unix_seconds);
}

std::optional<json> CallJson(const BackendSetup& backend,
                             const std::string& number) {
  std::optional<standins::StoredCall> call = Reading(backend)->Call(number);
  if (!call) return std::nullopt;
  return CallJson(*call);
}

std::optional<json> CallJson(const BackendSetup& backend,
                             const std::string& number, std::string& version) {
  std::optional<standins::StoredCall> call = Reading(backend)->Call(number);
  if (!call) return std::nullopt;
  version = call->version;
  return CallJson(*call);
}

std::string VersionOfTag(std::string_view tag) {
  if (tag.size() >= 2 && tag.front() == '"' && tag.back() == '"')
    tag = tag.substr(1, tag.size() - 2);
  bool usable = !tag.empty() && tag.size() <= 100;
  for (char c : tag)
    if (static_cast<unsigned char>(c) <= 0x20 || c == '"' || c == ',' ||
        c == 0x7F)
      usable = false;
  if (!usable)
    throw UsageError(
        "an entity tag is one quoted version as the call's ETag gives it "
        "(\"12\"), or *");
  return std::string(tag);
}

std::optional<json> ItemJson(const BackendSetup& backend,
                             const std::string& serial) {
  std::optional<standins::StoredItem> item = Reading(backend)->Item(serial);
  if (!item) return std::nullopt;
  return ItemJson(*item);
}

bool PrintCallDetail(std::ostream& out, const BackendSetup& backend,
                     const std::string& number) {
  std::optional<standins::StoredCall> call = Reading(backend)->Call(number);
  if (call) PrintCall(out, *call);
  return call.has_value();
}

bool PrintItem(std::ostream& out, const BackendSetup& backend,
               const std::string& serial) {
  std::optional<standins::StoredItem> item = Reading(backend)->Item(serial);
  if (item) PrintStoredItem(out, *item);
  return item.has_value();
}

void ListCalls(std::ostream& out, const BackendSetup& backend,
               const CallQuery& given, bool as_json) {
  standins::BorrowedStore store = Reading(backend);
  const CallQuery& query = given;
  if (as_json) {
    JsonArrayWriter array(out);
    store->ForEachCall(
        query, [&](const standins::StoredCall& c) { array.Add(CallJson(c)); });
    array.Close();
    return;
  }
  size_t count = 0;
  // The heading goes with the first call or the count: a listing that
  // fails writes nothing.
  auto heading = [&] {
    out << std::left << std::setw(10) << "CALL" << std::setw(8) << "STATUS"
        << std::setw(14) << "OBJECT" << std::setw(12) << "CONTRACT"
        << std::setw(10) << "ORDER" << std::setw(7) << "TEXTS"
        << (query.words ? "MATCH\n" : "DESCRIPTION\n");
  };
  store->ForEachCall(query, [&](const standins::StoredCall& c) {
    if (count++ == 0) heading();
    out << std::setw(10) << c.call_number << " " << std::setw(7)
        << (c.properties.contains(CallProperty::Status)
                ? Value(c, CallProperty::Status)
                : "0")
        << std::setw(14) << Printable(Value(c, CallProperty::ServiceObject))
        << std::setw(12) << Printable(Value(c, CallProperty::Contract))
        << std::setw(10) << Value(c, CallProperty::ServiceOrder) << std::setw(7)
        << (c.text.size() + c.solution_text.size())
        << Printable(query.words ? c.match
                                 : Value(c, CallProperty::CallDescription))
        << "\n";
  });
  if (count == 0) heading();
  out << count << (count == 1 ? " call\n" : " calls\n");
}

void ListItems(std::ostream& out, const BackendSetup& backend,
               const ItemQuery& given, bool as_json) {
  standins::BorrowedStore store = Reading(backend);
  const ItemQuery& query = given;
  if (as_json) {
    JsonArrayWriter array(out);
    store->ForEachItem(query, [&](const standins::StoredItem& item) {
      array.Add(ItemJson(item));
    });
    array.Close();
    return;
  }
  size_t count = 0;
  store->ForEachItem(query, [&](const standins::StoredItem& item) {
    ++count;
    PrintStoredItem(out, item);
  });
  out << count << (count == 1 ? " item\n" : " items\n");
}

void VisitCalls(const BackendSetup& backend, const CallQuery& given,
                const ListingVisit& visit) {
  standins::BorrowedStore store = Reading(backend);
  store->ForEachCall(given, [&](const standins::StoredCall& c) {
    visit(CallJson(c), c.call_number);
  });
}

void VisitItems(const BackendSetup& backend, const ItemQuery& given,
                const ListingVisit& visit) {
  standins::BorrowedStore store = Reading(backend);
  store->ForEachItem(given, [&](const standins::StoredItem& item) {
    visit(ItemJson(item), item.serial);
  });
}

namespace {

void PrintLogLine(std::ostream& out, const std::string& line, bool as_json) {
  if (as_json) {
    out << line << "\n";
    return;
  }
  json entry = json::parse(line, nullptr, false);
  if (entry.is_discarded() || !entry.is_object()) {
    out << "(unreadable line) " << Printable(line) << "\n";
    return;
  }
  auto text = [&](const char* key) {
    auto it = entry.find(key);
    return it != entry.end() && it->is_string() ? it->get<std::string>()
                                                : std::string();
  };
  std::string source = text("source");
  out << Printable(text("time")) << "  "
      << (source.empty() ? "-" : Printable(source)) << "  "
      << Printable(text("text")) << "\n";
}

}  // namespace

bool PrintLog(std::ostream& out, const std::string& path,
              std::optional<size_t> tail, bool as_json) {
  std::ifstream in(path);
  if (!in) return false;
  if (!tail) {  // streamed: constant memory
    for (std::string line; std::getline(in, line);)
      PrintLogLine(out, line, as_json);
    return true;
  }
  std::deque<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(std::move(line));
    if (lines.size() > *tail) lines.pop_front();
  }
  for (const std::string& line : lines) PrintLogLine(out, line, as_json);
  return true;
}

}  // namespace quillet::operations
