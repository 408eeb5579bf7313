#include "quillet/operations/operation.h"

#include <iterator>
#include <optional>

#include "keyed_outcomes.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/operations/digest.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/transaction_host.h"
#include "quillet/text.h"
#include "quillet/update_options.h"

namespace quillet::operations {

using json = nlohmann::ordered_json;

namespace {
const json& Field(const json& request, const char* name) {
  static const json kNullJson;
  auto it = request.find(name);
  return it == request.end() ? kNullJson : *it;
}
// A serial number is how the item is named later (a path, a listing, a
// terminal): one with a control character could be stored but never named
// again, so none is taken.
void RefuseUnreachableSerial(const json& values) {
  for (const json& row : values) {
    // Rows of more than two cells are taken by their first two.
    if (!row.is_array() || row.size() < 2 || row[0] != "SERIALNUMBER" ||
        !row[1].is_string())
      continue;
    const std::string& serial = row[1].get_ref<const std::string&>();
    for (size_t i = 0; i < serial.size(); ++i) {
      auto c = static_cast<unsigned char>(serial[i]);
      bool c1 = c == 0xC2 && i + 1 < serial.size() &&
                static_cast<unsigned char>(serial[i + 1]) >= 0x80 &&
                static_cast<unsigned char>(serial[i + 1]) <= 0x9F;
      if (c < 0x20 || c == 0x7F || c1)
        throw UsageError("a SERIALNUMBER has no control characters");
    }
  }
}
}  // namespace

namespace {
constexpr std::string_view kOpNames[] = {
    "create-call", "update-call", "time-format", "create-item", "update-item"};
}  // namespace

std::string_view OpName(Op op) { return kOpNames[static_cast<size_t>(op)]; }

std::optional<Op> OpNamed(std::string_view name) {
  for (size_t i = 0; i < std::size(kOpNames); ++i)
    if (kOpNames[i] == name) return static_cast<Op>(i);
  return std::nullopt;
}

bool Creates(Op op) { return op == Op::kCreateCall || op == Op::kCreateItem; }

PreparedOperation Prepare(const json& request) {
  if (!request.is_object()) throw UsageError("a request must be a JSON object");
  const json& op = Field(request, "op");
  if (!op.is_string()) throw UsageError("a request needs \"op\"");
  std::optional<Op> named = OpNamed(op.get_ref<const std::string&>());
  if (!named) throw UsageError("unknown op \"" + op.get<std::string>() + "\"");
  PreparedOperation p;
  p.op = *named;
  // What the operation reads of the request, and nothing else, names it.
  static const json kNoDetails = json::object();
  Members given = {{"op", &op}};
  switch (p.op) {
    case Op::kCreateCall:
    case Op::kUpdateCall: {
      const json& details = Field(request, "details");
      const json& read = details.is_null() ? kNoDetails : details;
      given.emplace_back("details", &read);
      p.details = JsonToDictionary(read);
      break;
    }
    case Op::kTimeFormat:
      if (!request.contains("value"))
        throw UsageError("time-format needs \"value\"");
      given.emplace_back("value", &Field(request, "value"));
      p.value = JsonToVariant(Field(request, "value"));
      break;
    case Op::kCreateItem:
    case Op::kUpdateItem: {
      const json& values = Field(request, "values");
      if (!values.is_array())
        throw UsageError("\"values\" must be a JSON array of rows");
      p.value = JsonToVariant(values);
      RefuseUnreachableSerial(values);
      const json& component = Field(request, "component");
      if (!component.is_string())
        throw UsageError(std::string(OpName(p.op)) +
                         " needs \"component\", the business component");
      p.component = JsonToVariant(component);
      if (request.contains("error"))
        p.error = JsonToVariant(Field(request, "error"));
      for (const char* name : {"values", "component", "error"})
        if (request.contains(name))
          given.emplace_back(name, &Field(request, name));
      break;
    }
  }
  p.digest = MembersDigest(std::move(given));
  return p;
}

namespace {

// The back end's own words within a line a component made of them
// ("METHOD: ... caught: Embedded back end: ...(-2147467259).").
std::string BackEndWords(const std::string& line) {
  size_t at = line.find("Embedded back end: ");
  if (at == std::string::npos) return line;
  std::string words = line.substr(at);
  if (size_t number = words.rfind("(-");
      number != std::string::npos && words.ends_with(").") &&
      words.find_first_not_of("0123456789", number + 2) == words.size() - 2)
    words.erase(number);
  return words;
}

// A line for standard error: the description without its line breaks, with
// the number in front unless it is a back end's own (negative) code.
std::string OneLineMessage(const Error& e) {
  std::string line = ToUtf8(e.info().description);
  for (char& c : line)
    if (c == '\r' || c == '\n') c = ' ';
  line.erase(0, line.find_first_not_of(' '));
  // A component that caught a back end's error repeats its description as
  // the additional information: said once on one line.
  const std::string kAdditional = " Additional information: ";
  if (size_t at = line.find(kAdditional); at != std::string::npos) {
    std::string extra = line.substr(at + kAdditional.size());
    if (!extra.empty() && line.compare(0, at, extra) != 0 &&
        line.substr(0, at).find(extra) != std::string::npos)
      line.erase(at);
  }
  if (e.number() < 0) return line;
  return "error " + std::to_string(e.number()) + ": " + line;
}

std::string Text(const Variant& v) {
  return v.IsString() ? ToUtf8(v.AsString()) : std::string();
}

// Whether the operation recorded anything, from what it answered: when it
// did, what (`outcome.done`); when not, why (the description or error
// text, "" when there is none), else nullopt.
std::optional<std::string> Judge(const PreparedOperation& p,
                                 const Variant& result,
                                 const Variant& description, Outcome& outcome) {
  Ref<Dictionary> answer;
  if (result.IsObject()) answer = QueryInterface<Dictionary>(result.AsObject());
  auto key = [&](const char16_t* name) -> Variant {
    return answer && answer->Exists(name) ? answer->Item(name) : Variant();
  };
  switch (p.op) {
    case Op::kCreateCall: {
      std::string number = Text(key(u"CALLNUMBER"));
      if (number.empty()) return Text(description);
      outcome.done = "call " + number + " was created";
      return std::nullopt;
    }
    case Op::kUpdateCall: {
      if (!answer || !answer->Exists(u"CHANGEDFLAG")) return Text(description);
      std::string number = Text(key(u"CALLNUMBER"));
      outcome.done = number.empty() ? "the call was changed"
                                    : "call " + number + " was changed";
      return std::nullopt;
    }
    case Op::kTimeFormat:
      return std::nullopt;
    case Op::kCreateItem:
    case Op::kUpdateItem:
      if (std::string why = Text(p.error); !why.empty()) return why;
      outcome.done = p.op == Op::kCreateItem ? "the item was registered"
                                             : "the item was changed";
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

namespace {

// The option UpdateCall will apply (update_options.h), as it chooses it.
int32_t UpdateOptionOf(const PreparedOperation& p) {
  try {
    // Read without adding the key, which the operation then would see.
    if (!p.details || !p.details->Exists(Variant(u"OPTION")))
      return kDefaultUpdateOption;
    Variant option = p.details->Item(u"OPTION");
    for (const UpdateOption& o : kUpdateOptions)
      if (EqualsNumber(option, o.number)) return o.number;
  } catch (const Error&) {
  }
  return kDefaultUpdateOption;
}

// A keyed request that raised says that a retry is safe.
Outcome RetrySafe(const RunOptions& options, Outcome outcome) {
  if ((outcome.verdict == Verdict::kRaised ||
       outcome.verdict == Verdict::kOutcomeUnknown) &&
      !options.request_key.empty() && !outcome.raised_after_storing)
    outcome.message +=
        "; retrying with the same request key is safe: nothing is recorded "
        "twice";
  return outcome;
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
  if (std::optional<Outcome> refused = KeyBoundToAnother(p, options))
    return *refused;
  if (std::optional<Outcome> replay = KeptReplay(p, options))
    return RetrySafe(options, std::move(*replay));
  bool types = options.types;
  // The operation runs in a context of its own, which the back end tells
  // what it did and how it failed; one that only listens when the caller
  // asked for no transaction.
  std::optional<standins::TransactionScope> scope;
  std::optional<standins::ListeningScope> listening;
  if (options.transaction || !options.request_key.empty() || options.dry_run)
    scope.emplace(
        FromUtf8(options.request_key),
        options.dry_run ? standins::DryRun::kYes : standins::DryRun::kNo,
        FromUtf8(p.digest));
  else
    listening.emplace();
  Ref<standins::HostContext> host =
      scope ? scope->context() : listening->context();
  host->SetActor(FromUtf8(options.actor), FromUtf8(options.channel));
  if (p.op == Op::kUpdateCall) {
    host->SetUpdateOption(UpdateOptionOf(p));
    host->SetExpectedVersion(FromUtf8(options.if_match));
  }
  Ref<ObjectContext> context = host;
  std::optional<TraceScope> traced;
  if (options.trace) traced.emplace(*options.trace);
  Outcome outcome;
  json& out = outcome.output;
  Variant description;
  Variant result;
  // Why nothing was recorded, or what was raised: the message's substance.
  std::string why;
  try {
    switch (p.op) {
      case Op::kCreateCall:
        result = Variant(calls.CreateCall(p.details, description));
        break;
      case Op::kUpdateCall:
        result = calls.UpdateCall(p.details, description);
        break;
      case Op::kTimeFormat:
        result = calls.backendTimeFormat(p.value);
        break;
      case Op::kCreateItem:
        result = calls.CreateSerializedItem(p.value, p.component, p.error);
        break;
      case Op::kUpdateItem:
        result = calls.UpdateSerializedItem(p.value, p.component, p.error);
        break;
    }
    out["result"] = VariantToJson(result, types);
    if (std::optional<std::string> refused =
            Judge(p, result, description, outcome)) {
      // The back end tells a key used for another request through the
      // context.
      outcome.verdict = context->KeyConflict() ? Verdict::kKeyConflict
                                               : Verdict::kNothingRecorded;
      why = std::move(*refused);
      outcome.message =
          "nothing was recorded" + (why.empty() ? "" : ": " + why);
    }
  } catch (const Error& e) {
    outcome.verdict = Verdict::kRaised;
    out["result"] = nullptr;
    out["error"] = {{"number", e.number()},
                    {"source", ToUtf8(e.info().source)},
                    {"description", ToUtf8(e.info().description)}};
    why = outcome.message = OneLineMessage(e);
  }
  // A back end that failed for want of time or of an answer told the
  // context so; the message it gave is the one that reached the
  // description.
  if (outcome.verdict == Verdict::kRaised ||
      outcome.verdict == Verdict::kNothingRecorded) {
    if (context->OutcomeUnknown()) {
      outcome.verdict = Verdict::kOutcomeUnknown;
      outcome.message =
          "outcome unknown: the request may or may not have been recorded: " +
          why;
      out["outcome"] = "unknown";
    } else if (context->RetryLater() || context->ReadOnly()) {
      outcome.verdict = Verdict::kRetryLater;
      outcome.disk_full = context->DiskFull();
      outcome.read_only = context->ReadOnly();
    } else if (context->NotPermitted()) {
      // Said alike whether Calls raised it or answered it: the back end's
      // words, never kept under a request key as the request's answer.
      outcome.verdict = Verdict::kRaised;
      outcome.not_permitted = true;
      outcome.message = BackEndWords(why);
    }
  }
  if (p.op == Op::kCreateCall || p.op == Op::kUpdateCall) {
    out["errorDescription"] = VariantToJson(description, types);
  } else if (p.op != Op::kTimeFormat) {
    out["errorText"] = VariantToJson(p.error, types);
  }
  // A log on the full disk fails too, and its error takes the place of the
  // back end's: the cause is said first.
  if (outcome.disk_full && context->LogFailed())
    outcome.message =
        "the disk holding the database is full; nothing was written; try "
        "again (" +
        outcome.message + ")";
  outcome.replayed = context->Replayed();
  outcome.changed_since_read = outcome.verdict == Verdict::kNothingRecorded &&
                               context->ChangedSinceRead();
  if (context->UnconfirmedCommit() && outcome.verdict == Verdict::kDone) {
    outcome.warning =
        "stored on the primary database server, but not confirmed by its "
        "synchronous standby (the wait for it was cancelled): a failover "
        "now could lose it";
    out["replication"] = "unconfirmed";
  }
  std::string stored = ToUtf8(context->Stored());
  if (outcome.verdict == Verdict::kRaised && !stored.empty()) {
    outcome.done = stored;
    outcome.raised_after_storing = true;
  }
  if (options.dry_run) {
    outcome.dry_run = true;
    out["dry_run"] = true;
    outcome.done.clear();  // nothing was recorded
  }
  SettleKeyedOutcome(p, options, outcome, context->LogFailed());
  return RetrySafe(options, std::move(outcome));
}

}  // namespace quillet::operations
