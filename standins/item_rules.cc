// The rules of serialized items: SERIALNUMBER required, ITEM to create,
// blank rows dropped.
#include "quillet/standins/backend_store.h"
#include "rules_shared.h"
#include "storage_engine.h"

namespace quillet::standins {
namespace {

// The item's fields without blank rows; "" or a refusal text in `problem`.
ItemFields CleanFields(const ItemFields& fields, std::string& problem,
                       std::string& serial) {
  ItemFields out;
  for (size_t row = 0; row < fields.size(); ++row) {
    const auto& [name, value] = fields[row];
    if (name.empty() && value.empty()) continue;
    if (name.empty()) {
      problem = "Row " + std::to_string(row) + " has a value but no field name";
      return {};
    }
    if (name == "SERIALNUMBER") serial = value;
    out.emplace_back(name, value);
  }
  if (serial.empty()) problem = "Field SERIALNUMBER is required";
  return out;
}

}  // namespace

std::string BackendStore::NewItem(const std::string& component,
                                  const ItemFields& fields) {
  std::string problem, serial;
  auto clean = CleanFields(fields, problem, serial);
  if (!problem.empty()) return problem;
  bool has_item = false;
  for (const auto& [name, value] : clean)
    if (name == "ITEM" && !value.empty()) has_item = true;
  if (!has_item) return "Field ITEM is required";
  if (engine_->ItemComponent(serial))
    return "Serialized item '" + serial + "' already exists";
  engine_->InsertItem(serial, component);
  engine_->PutItemFields(serial, clean);
  AppendEvent({.operation = "create-item",
               .item = serial,
               .outcome = "created",
               .changes = ItemChanges(clean)});
  return "";
}

std::string BackendStore::ChangedItem(const std::string& component,
                                      const ItemFields& fields) {
  std::string problem, serial;
  auto clean = CleanFields(fields, problem, serial);
  if (!problem.empty()) return problem;
  if (!engine_->ItemComponent(serial))
    return "Serialized item '" + serial + "' not found";
  engine_->TouchItem(serial, component);
  engine_->PutItemFields(serial, clean);
  AppendEvent({.operation = "update-item",
               .item = serial,
               .outcome = "changed",
               .changes = ItemChanges(clean)});
  return "";
}

}  // namespace quillet::standins
