// Master data: loaded from JSON all or nothing, read for engineer time and
// listed for people choosing from it.
#include <algorithm>
#include <climits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "backend_failure.h"
#include "quillet/standins/backend_store.h"
#include "rules_shared.h"
#include "storage_engine.h"

namespace quillet::standins {
namespace {

// One section of the master data: its rows' fields, in the order the
// engine stores them; the first is the row's key.
struct MasterSection {
  const char* name;
  MasterTable table;
  struct Field {
    const char* name;
    bool required;
    bool whole_minutes;  // a whole number from 0 to 2,147,483,647, else text
  };
  std::vector<Field> fields;
};

const std::vector<MasterSection>& MasterSections() {
  static const std::vector<MasterSection> sections = {
      {"serviceObjects",
       MasterTable::kServiceObjects,
       {{"object", true, false},
        {"contract", false, false},
        {"warranty", false, false},
        {"warrantyDescription", false, false},
        {"warrantyExpiryDate", false, false}}},
      {"businessPartners",
       MasterTable::kBusinessPartners,
       {{"number", true, false}, {"name", false, false}}},
      {"engineerTime",
       MasterTable::kEngineerTime,
       {{"question", true, false}, {"minutes", true, true}}},
  };
  return sections;
}

using MasterRows =
    std::vector<std::pair<MasterTable, std::vector<MasterValue>>>;

// Every row of the master data, checked: all or nothing.
MasterRows ParseMasterData(const std::string& json_text) {
  using nlohmann::json;
  // The parser ends the text at a NUL, and keeps the last of a name given
  // twice: both would drop data unseen.
  if (size_t nul = json_text.find('\0'); nul != std::string::npos)
    RaiseBackend("master data is not valid JSON: a NUL byte at offset " +
                 std::to_string(nul));
  std::vector<std::set<std::string>> names;  // per open object
  std::string twice;
  json::parser_callback_t check = [&](int, json::parse_event_t event,
                                      json& parsed) {
    if (event == json::parse_event_t::object_start) names.emplace_back();
    if (event == json::parse_event_t::object_end && !names.empty())
      names.pop_back();
    if (event == json::parse_event_t::key && !names.empty() &&
        !names.back().insert(parsed.get<std::string>()).second && twice.empty())
      twice = parsed.get<std::string>();
    return true;
  };
  json data;
  try {
    data = json::parse(json_text, check);
  } catch (const json::exception& e) {
    RaiseBackend(std::string("master data is not valid JSON: ") + e.what());
  }
  if (!twice.empty())
    RaiseBackend("master data gives '" + twice +
                 "' twice in one object; each section and field is given "
                 "once");
  if (!data.is_object()) RaiseBackend("master data must be a JSON object");
  const std::vector<MasterSection>& sections = MasterSections();
  for (const auto& entry : data.items()) {
    const std::string& name = entry.key();
    const json& value = entry.value();
    if (std::none_of(sections.begin(), sections.end(),
                     [&](const MasterSection& s) { return name == s.name; }))
      RaiseBackend("master data: unknown section '" + name +
                   "' (known: serviceObjects, businessPartners, "
                   "engineerTime)");
    if (!value.is_array())
      RaiseBackend("master data: '" + name + "' must be an array");
  }
  MasterRows rows;
  for (const MasterSection& section : sections) {
    if (!data.contains(section.name)) continue;
    const json& entries = data[section.name];
    std::map<std::string, size_t> first_at;  // a row's key: its first entry
    for (size_t i = 0; i < entries.size(); ++i) {
      const json& row = entries[i];
      std::string where = std::string("master data: ") + section.name + "[" +
                          std::to_string(i) + "]";
      if (!row.is_object()) RaiseBackend(where + " must be an object");
      for (const auto& entry : row.items()) {
        const std::string& key = entry.key();
        if (std::none_of(
                section.fields.begin(), section.fields.end(),
                [&](const MasterSection::Field& f) { return key == f.name; }))
          RaiseBackend(where + ": unknown field '" + key + "'");
      }
      std::vector<MasterValue> values;
      for (const MasterSection::Field& field : section.fields) {
        const json* value =
            row.contains(field.name) ? &row[field.name] : nullptr;
        if (field.whole_minutes) {
          if (!value || !value->is_number_integer() ||
              value->get<int64_t>() < 0 || value->get<int64_t>() > INT32_MAX)
            RaiseBackend(where + ": '" + field.name +
                         "' must be a whole number from 0 to 2147483647");
          values.push_back({"", value->get<int64_t>()});
          continue;
        }
        if (value && !value->is_string())
          RaiseBackend(where + ": '" + field.name + "' must be a string");
        std::string text = value ? value->get<std::string>() : "";
        if (field.required && text.empty())
          RaiseBackend(where + " needs '" + field.name + "'");
        values.push_back({text, std::nullopt});
      }
      auto [seen, fresh] = first_at.emplace(values[0].text, i);
      if (!fresh)
        RaiseBackend(where + ": " + section.fields[0].name + " '" +
                     values[0].text + "' is given twice (first at " +
                     section.name + "[" + std::to_string(seen->second) +
                     "]); nothing was loaded");
      rows.emplace_back(section.table, std::move(values));
    }
  }
  return rows;
}

MasterTable TableOf(MasterList list) {
  return list == MasterList::kBusinessPartners ? MasterTable::kBusinessPartners
                                               : MasterTable::kServiceObjects;
}

MasterEntry EntryOf(MasterList list, std::vector<std::string> row) {
  static const char* const kPartner[] = {"name"};
  static const char* const kObject[] = {
      "contract", "warranty", "warrantyDescription", "warrantyExpiryDate"};
  MasterEntry entry{row.at(0), {}};
  bool partner = list == MasterList::kBusinessPartners;
  size_t width = partner ? std::size(kPartner) : std::size(kObject);
  for (size_t i = 0; i < width && i + 1 < row.size(); ++i)
    entry.columns.emplace_back(partner ? kPartner[i] : kObject[i],
                               std::move(row[i + 1]));
  return entry;
}

}  // namespace

int32_t BackendStore::EngineerTime(const std::string& question_id) {
  int64_t minutes = 0;
  engine_->ReadTransaction(
      [&] { minutes = engine_->EngineerMinutes(question_id); });
  return static_cast<int32_t>(minutes);
}

void BackendStore::CheckMasterData(const std::string& json_text) {
  ParseMasterData(json_text);
}

int BackendStore::LoadMasterData(const std::string& json_text) {
  // Every row is checked before anything is written.
  MasterRows rows = ParseMasterData(json_text);
  engine_->WriteTransaction(
      [&] {
        for (const auto& [table, values] : rows)
          engine_->PutMasterRow(table, values);
      },
      StorageEngine::Ending::kCommit);
  return static_cast<int>(rows.size());
}

std::vector<MasterEntry> BackendStore::FindMaster(MasterList list,
                                                  const std::string& search,
                                                  int64_t limit) {
  std::vector<MasterEntry> out;
  std::string after;  // "" sorts before every key
  while (static_cast<int64_t>(out.size()) < limit) {
    std::vector<std::vector<std::string>> page;
    engine_->ReadTransaction(
        [&] { page = engine_->MasterPage(TableOf(list), after, kPage); });
    for (std::vector<std::string>& row : page) {
      after = row.at(0);
      bool match = search.empty() || Contains(row[0], search);
      for (size_t i = 1; !match && i < row.size(); ++i)
        match = Contains(row[i], search);
      if (!match) continue;
      out.push_back(EntryOf(list, std::move(row)));
      if (static_cast<int64_t>(out.size()) >= limit) break;
    }
    if (static_cast<int64_t>(page.size()) < kPage) break;
  }
  return out;
}

std::optional<MasterEntry> BackendStore::MasterOf(MasterList list,
                                                  const std::string& key) {
  std::optional<std::vector<std::string>> row;
  engine_->ReadTransaction(
      [&] { row = engine_->MasterRowOf(TableOf(list), key); });
  if (!row) return std::nullopt;
  return EntryOf(list, std::move(*row));
}

}  // namespace quillet::standins
