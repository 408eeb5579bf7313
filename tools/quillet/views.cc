#include "views.h"

#include <deque>
#include <fstream>
#include <iomanip>

#include "input.h"
#include "json_variant.h"

namespace quillet::cli {

using json = nlohmann::ordered_json;

namespace {
json ValueJson(const standins::StoredValue& v) {
  if (v.type == VarType::String) return v.text;
  if (v.type == VarType::Boolean) return v.number != 0;
  return v.number;
}

std::string Value(const standins::StoredCall& call, const char* name) {
  auto it = call.properties.find(name);
  if (it == call.properties.end()) return "";
  return it->second.type == VarType::String ? it->second.text
                                            : std::to_string(it->second.number);
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  auto escape = [&](const char* format, unsigned value) {
    char buffer[12];
    std::snprintf(buffer, sizeof buffer, format, value);
    out += buffer;
  };
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (c == '\n' || c == '\r' || c == '\t') {
      out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
      ++i;
      continue;
    }
    // A whole UTF-8 sequence passes but for the C1 controls (U+0080 to
    // U+009F), which terminals act on; any other byte is shown as \xNN.
    uint32_t code = 0;
    size_t length = Utf8SequenceAt(text, i, code);
    bool whole = length > 1;
    if (!whole) {
      escape("\\x%02x", c);
      ++i;
    } else if (code < 0xA0) {
      escape("\\u%04x", code);
      i += length;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

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

namespace {

// A JSON array written one element at a time, one element a line.
class JsonArrayWriter {
 public:
  explicit JsonArrayWriter(std::ostream& out) : out_(out) { out_ << "["; }
  ~JsonArrayWriter() { out_ << (count_ ? "\n]\n" : "]\n"); }
  void Add(const json& element) {
    out_ << (count_++ ? ",\n" : "\n") << DumpJson(element);
  }

 private:
  std::ostream& out_;
  size_t count_ = 0;
};

}  // namespace

void ListCalls(std::ostream& out, standins::BackendStore& store,
               const standins::CallQuery& query, bool as_json) {
  if (as_json) {
    JsonArrayWriter array(out);
    store.ForEachCall(
        query, [&](const standins::StoredCall& c) { array.Add(CallJson(c)); });
    return;
  }
  size_t count = 0;
  out << std::left << std::setw(10) << "CALL" << std::setw(8) << "STATUS"
      << std::setw(14) << "OBJECT" << std::setw(12) << "CONTRACT"
      << std::setw(10) << "ORDER" << std::setw(7) << "TEXTS"
      << "DESCRIPTION\n";
  store.ForEachCall(query, [&](const standins::StoredCall& c) {
    ++count;
    out << std::setw(10) << c.call_number << " " << std::setw(7)
        << (c.properties.contains("Status") ? Value(c, "Status") : "0")
        << std::setw(14) << Printable(Value(c, "ServiceObject"))
        << std::setw(12) << Printable(Value(c, "Contract")) << std::setw(10)
        << Value(c, "ServiceOrder") << std::setw(7)
        << (c.text.size() + c.solution_text.size())
        << Printable(Value(c, "CallDescription")) << "\n";
  });
  out << count << (count == 1 ? " call\n" : " calls\n");
}

void PrintCallDetail(std::ostream& out, const standins::StoredCall& call) {
  for (const auto& [name, value] : call.properties)
    out << std::left << std::setw(26) << Printable(name)
        << Printable(value.type == VarType::String
                         ? value.text
                         : std::to_string(value.number))
        << "\n";
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
}

void PrintItem(std::ostream& out, const standins::StoredItem& item) {
  out << Printable(item.serial) << "  (" << Printable(item.component) << ")\n";
  for (const auto& [k, v] : item.fields)
    out << "    " << Printable(k) << " = " << Printable(v) << "\n";
}

void ListItems(std::ostream& out, standins::BackendStore& store,
               const standins::ItemQuery& query, bool as_json) {
  if (as_json) {
    JsonArrayWriter array(out);
    store.ForEachItem(query, [&](const standins::StoredItem& item) {
      array.Add(ItemJson(item));
    });
    return;
  }
  size_t count = 0;
  store.ForEachItem(query, [&](const standins::StoredItem& item) {
    ++count;
    PrintItem(out, item);
  });
  out << count << (count == 1 ? " item\n" : " items\n");
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

}  // namespace quillet::cli
