#include "operations.h"

#include <optional>

#include "input.h"
#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
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
  // What the operation reads of the request, and nothing else, names it.
  static const json kNoDetails = json::object();
  Members given = {{"op", &op}};
  if (p.op == "create-call" || p.op == "update-call") {
    const json& details = Field(request, "details");
    const json& read = details.is_null() ? kNoDetails : details;
    given.emplace_back("details", &read);
    p.details = JsonToDictionary(read);
  } else if (p.op == "time-format") {
    if (!request.contains("value"))
      throw UsageError("time-format needs \"value\"");
    given.emplace_back("value", &Field(request, "value"));
    p.value = JsonToVariant(Field(request, "value"));
  } else if (p.op == "create-item" || p.op == "update-item") {
    const json& values = Field(request, "values");
    if (!values.is_array())
      throw UsageError("\"values\" must be a JSON array of rows");
    p.value = JsonToVariant(values);
    const json& component = Field(request, "component");
    if (!component.is_string())
      throw UsageError(p.op + " needs \"component\", the business component");
    p.component = JsonToVariant(component);
    if (request.contains("error"))
      p.error = JsonToVariant(Field(request, "error"));
    for (const char* name : {"values", "component", "error"})
      if (request.contains(name))
        given.emplace_back(name, &Field(request, name));
  } else {
    throw UsageError("unknown op \"" + p.op + "\"");
  }
  p.digest = MembersDigest(std::move(given));
  return p;
}

namespace {

// A line for standard error: the description without its line breaks, with
// the number in front unless it is a back end's own (negative) code.
std::string OneLineMessage(const Error& e) {
  std::string line = ToUtf8(e.info().description);
  for (char& c : line)
    if (c == '\r' || c == '\n') c = ' ';
  line.erase(0, line.find_first_not_of(' '));
  if (e.number() < 0) return line;
  return "error " + std::to_string(e.number()) + ": " + line;
}

std::string Text(const Variant& v) {
  return v.IsString() ? ToUtf8(v.AsString()) : std::string();
}

// Whether the operation recorded anything, from what it answered.
void Judge(const PreparedOperation& p, const Variant& result,
           const Variant& description, Outcome& outcome) {
  Ref<Dictionary> answer;
  if (result.IsObject()) answer = QueryInterface<Dictionary>(result.AsObject());
  auto key = [&](const char16_t* name) -> Variant {
    return answer && answer->Exists(name) ? answer->Item(name) : Variant();
  };
  std::string why = Text(description);
  if (p.op == "create-call") {
    std::string number = Text(key(u"CALLNUMBER"));
    if (!number.empty()) {
      outcome.done = "call " + number + " was created";
      return;
    }
  } else if (p.op == "update-call") {
    if (answer && answer->Exists(u"CHANGEDFLAG")) {
      std::string number = Text(key(u"CALLNUMBER"));
      outcome.done = number.empty() ? "the call was changed"
                                    : "call " + number + " was changed";
      return;
    }
  } else if (p.op == "time-format") {
    return;
  } else {
    why = Text(p.error);
    if (why.empty()) {
      outcome.done = p.op == "create-item" ? "the item was registered"
                                           : "the item was changed";
      return;
    }
  }
  // The back end's refusal of a key reused for another request.
  outcome.verdict = why.rfind("Request key '", 0) == 0
                        ? Verdict::kKeyConflict
                        : Verdict::kNothingRecorded;
  outcome.message = "nothing was recorded" + (why.empty() ? "" : ": " + why);
}

}  // namespace

void CheckRequestKey(const std::string& key) {
  String text;
  try {
    text = FromUtf8(key);
  } catch (const std::exception&) {
    throw UsageError("a request key must be UTF-8 text");
  }
  if (text.empty() || RequestKeyLength(text) > kMaxRequestKeyLength)
    throw UsageError("a request key has 1 to " +
                     std::to_string(kMaxRequestKeyLength) + " characters");
  for (char16_t c : text)
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
      throw UsageError("a request key has no control characters");
  if (text.find_first_not_of(u' ') == String::npos)
    throw UsageError("a request key is not blank");
}

Outcome Run(CallsInterface& calls, PreparedOperation& p,
            const RunOptions& options) {
  bool types = options.types;
  std::optional<standins::TransactionScope> scope;
  if (options.transaction || !options.request_key.empty() || options.dry_run)
    scope.emplace(
        FromUtf8(options.request_key),
        options.dry_run ? standins::DryRun::kYes : standins::DryRun::kNo,
        FromUtf8(p.digest));
  std::optional<TraceScope> traced;
  if (options.trace) traced.emplace(*options.trace);
  standins::TakeStoredNote();  // what this thread stored before is not ours
  Outcome outcome;
  json& out = outcome.output;
  Variant description;
  Variant result;
  standins::TakeFailureKind();  // only this operation's failure counts
  try {
    if (p.op == "create-call") {
      result = Variant(calls.CreateCall(p.details, description));
    } else if (p.op == "update-call") {
      result = calls.UpdateCall(p.details, description);
    } else if (p.op == "time-format") {
      result = calls.backendTimeFormat(p.value);
    } else {
      result = p.op == "create-item"
                   ? calls.CreateSerializedItem(p.value, p.component, p.error)
                   : calls.UpdateSerializedItem(p.value, p.component, p.error);
    }
    out["result"] = VariantToJson(result, types);
    Judge(p, result, description, outcome);
  } catch (const Error& e) {
    outcome.verdict = Verdict::kRaised;
    out["result"] = nullptr;
    out["error"] = {{"number", e.number()},
                    {"source", ToUtf8(e.info().source)},
                    {"description", ToUtf8(e.info().description)}};
    outcome.message = OneLineMessage(e);
  }
  // A back end that failed for want of time or of an answer says so; the
  // message it gave is the one that reached the description.
  standins::FailureKind kind = standins::TakeFailureKind();
  if (outcome.verdict == Verdict::kRaised ||
      outcome.verdict == Verdict::kNothingRecorded) {
    if (kind == standins::FailureKind::kOutcomeUnknown) {
      const std::string nothing = "nothing was recorded";
      if (outcome.message.rfind(nothing, 0) == 0)
        outcome.message.erase(0, nothing.size() + 2);  // and ": "
      outcome.verdict = Verdict::kOutcomeUnknown;
      outcome.message =
          "outcome unknown: the request may or may not have been recorded: " +
          outcome.message;
      out["outcome"] = "unknown";
    } else if (kind == standins::FailureKind::kRetryLater) {
      outcome.verdict = Verdict::kRetryLater;
    }
  }
  if (p.op == "create-call" || p.op == "update-call") {
    out["errorDescription"] = VariantToJson(description, types);
  } else if (p.op != "time-format") {
    out["errorText"] = VariantToJson(p.error, types);
  }
  outcome.replayed = scope && scope->context()->Replayed();
  std::string stored = standins::TakeStoredNote();
  if (outcome.verdict == Verdict::kRaised && !stored.empty()) {
    outcome.done = stored;
    outcome.raised_after_storing = true;
  }
  if (options.dry_run) {
    outcome.dry_run = true;
    out["dry_run"] = true;
    outcome.done.clear();  // nothing was recorded
  }
  if ((outcome.verdict == Verdict::kRaised ||
       outcome.verdict == Verdict::kOutcomeUnknown) &&
      !options.request_key.empty() && !outcome.raised_after_storing)
    outcome.message +=
        "; retrying with the same request key is safe: nothing is recorded "
        "twice";
  return outcome;
}

}  // namespace quillet::cli
