#include "views.h"

#include <deque>
#include <fstream>
#include <iomanip>

namespace quillet::cli {

using json = nlohmann::ordered_json;

namespace {
json ValueJson(const standins::StoredValue& v) {
  if (v.type == "String") return v.text;
  if (v.type == "Boolean") return v.number != 0;
  return v.number;
}

std::string Value(const standins::StoredCall& call, const char* name) {
  auto it = call.properties.find(name);
  if (it == call.properties.end()) return "";
  return it->second.type == "String" ? it->second.text
                                     : std::to_string(it->second.number);
}

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  return s;
}
}  // namespace

json CallJson(const standins::StoredCall& call) {
  json out = json::object();
  for (const auto& [name, value] : call.properties)
    out[name] = ValueJson(value);
  out["Text"] = call.text;
  out["SolutionText"] = call.solution_text;
  return out;
}

json ItemJson(const standins::StoredItem& item) {
  json fields = json::object();
  for (const auto& [k, v] : item.fields) fields[k] = v;
  return {{"serial", item.serial},
          {"component", item.component},
          {"fields", fields}};
}

void PrintCallsTable(std::ostream& out,
                     const std::vector<standins::StoredCall>& calls) {
  out << std::left << std::setw(10) << "CALL" << std::setw(8) << "STATUS"
      << std::setw(14) << "OBJECT" << std::setw(12) << "CONTRACT"
      << std::setw(10) << "ORDER" << std::setw(7) << "TEXTS"
      << "DESCRIPTION\n";
  for (const standins::StoredCall& c : calls) {
    out << std::setw(10) << c.call_number << std::setw(8) << Value(c, "Status")
        << std::setw(14) << Value(c, "ServiceObject") << std::setw(12)
        << Value(c, "Contract") << std::setw(10) << Value(c, "ServiceOrder")
        << std::setw(7) << (c.text.size() + c.solution_text.size())
        << OneLine(Value(c, "CallDescription")) << "\n";
  }
  out << calls.size() << (calls.size() == 1 ? " call\n" : " calls\n");
}

void PrintCallDetail(std::ostream& out, const standins::StoredCall& call) {
  for (const auto& [name, value] : call.properties)
    out << std::left << std::setw(26) << name
        << OneLine(value.type == "String" ? value.text
                                          : std::to_string(value.number))
        << "\n";
  auto text = [&](const char* name, const std::vector<std::string>& pieces) {
    size_t chars = 0;
    for (const std::string& p : pieces) chars += p.size();
    out << std::setw(26) << name << pieces.size() << " piece(s), " << chars
        << " bytes";
    if (!pieces.empty()) out << ": " << OneLine(pieces.front().substr(0, 60));
    out << "\n";
  };
  text("Text", call.text);
  text("SolutionText", call.solution_text);
}

void PrintItemsTable(std::ostream& out,
                     const std::vector<standins::StoredItem>& items) {
  for (const standins::StoredItem& item : items) {
    out << item.serial << "  (" << item.component << ")\n";
    for (const auto& [k, v] : item.fields)
      out << "    " << k << " = " << v << "\n";
  }
  out << items.size() << (items.size() == 1 ? " item\n" : " items\n");
}

bool PrintLog(std::ostream& out, const std::string& path,
              std::optional<size_t> tail, bool as_json) {
  std::ifstream in(path);
  if (!in) return false;
  std::deque<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
    if (tail && lines.size() > *tail) lines.pop_front();
  }
  for (const std::string& line : lines) {
    if (as_json) {
      out << line << "\n";
      continue;
    }
    json entry = json::parse(line, nullptr, false);
    if (entry.is_discarded() || !entry.is_object()) {
      out << "(unreadable line) " << line << "\n";
      continue;
    }
    out << entry.value("time", "") << "  "
        << (entry.value("source", "").empty() ? "-" : entry.value("source", ""))
        << "  " << OneLine(entry.value("text", "")) << "\n";
  }
  return true;
}

}  // namespace quillet::cli
