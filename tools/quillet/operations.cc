#include "operations.h"

#include <optional>

#include "quillet/error.h"
#include "quillet/standins/transaction_host.h"
#include "quillet/text.h"

namespace quillet::cli {

using json = nlohmann::ordered_json;

namespace {
const json& Field(const json& request, const char* name) {
  static const json kNullJson;
  auto it = request.find(name);
  return it == request.end() ? kNullJson : *it;
}
}  // namespace

PreparedOperation Prepare(const json& request) {
  if (!request.is_object()) throw UsageError("a request must be a JSON object");
  const json& op = Field(request, "op");
  if (!op.is_string()) throw UsageError("a request needs \"op\"");
  PreparedOperation p;
  p.op = op.get<std::string>();
  if (p.op == "create-call" || p.op == "update-call") {
    const json& details = Field(request, "details");
    p.details = JsonToDictionary(details.is_null() ? json::object() : details);
  } else if (p.op == "time-format") {
    if (!request.contains("value"))
      throw UsageError("time-format needs \"value\"");
    p.value = JsonToVariant(Field(request, "value"));
  } else if (p.op == "create-item" || p.op == "update-item") {
    const json& values = Field(request, "values");
    if (!values.is_array())
      throw UsageError("\"values\" must be a JSON array of rows");
    p.value = JsonToVariant(values);
    const json& component = Field(request, "component");
    p.component =
        component.is_null() ? Variant(String()) : JsonToVariant(component);
    if (request.contains("error"))
      p.error = JsonToVariant(Field(request, "error"));
  } else {
    throw UsageError("unknown op \"" + p.op + "\"");
  }
  return p;
}

Outcome Run(CallsInterface& calls, PreparedOperation& p, bool types,
            bool transaction) {
  std::optional<standins::TransactionScope> scope;
  if (transaction) scope.emplace();
  Outcome outcome;
  json& out = outcome.output;
  Variant description;
  try {
    if (p.op == "create-call") {
      out["result"] = VariantToJson(
          Variant(calls.CreateCall(p.details, description)), types);
    } else if (p.op == "update-call") {
      out["result"] =
          VariantToJson(calls.UpdateCall(p.details, description), types);
    } else if (p.op == "time-format") {
      out["result"] = VariantToJson(calls.backendTimeFormat(p.value), types);
    } else {
      Variant result =
          p.op == "create-item"
              ? calls.CreateSerializedItem(p.value, p.component, p.error)
              : calls.UpdateSerializedItem(p.value, p.component, p.error);
      out["result"] = VariantToJson(result, types);
    }
  } catch (const Error& e) {
    outcome.raised = true;
    out["result"] = nullptr;
    out["error"] = {{"number", e.number()},
                    {"source", ToUtf8(e.info().source)},
                    {"description", ToUtf8(e.info().description)}};
    std::string line = ToUtf8(e.info().description);
    for (char& c : line)
      if (c == '\r' || c == '\n') c = ' ';
    line.erase(0, line.find_first_not_of(' '));
    outcome.message = "error " + std::to_string(e.number()) + ": " + line;
  }
  if (p.op == "create-call" || p.op == "update-call") {
    out["errorDescription"] = VariantToJson(description, types);
  } else if (p.op != "time-format") {
    out["errorText"] = VariantToJson(p.error, types);
  }
  return outcome;
}

}  // namespace quillet::cli
