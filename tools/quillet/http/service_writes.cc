// The operations over HTTP: the request from the body and path, the
// Idempotency-Key, dry runs, and the answer's status.
#include <iostream>

#include "http/service.h"
#include "http/status_map.h"
#include "input.h"
#include "quillet/class_registry.h"
#include "quillet/error.h"
#include "quillet/operations/backend_commands.h"
#include "quillet/operations/views.h"
#include "quillet/text.h"

namespace quillet::cli::http {

using operations::Op;
using operations::Outcome;
using operations::PreparedOperation;
using operations::RunOptions;
using operations::UsageError;
using operations::Verdict;

namespace {

Switch HeaderSwitch(const Request& req, const char* name, bool whole_allowed) {
  const std::string* value = req.Header(name);
  if (!value) return Switch::kOff;
  if (*value == "false") return Switch::kOff;
  if (*value == "true") return Switch::kOn;
  if (whole_allowed && *value == "whole") return Switch::kWhole;
  throw UsageError(std::string(name) + " takes true or false" +
                   (whole_allowed ? " (or whole)" : "") + ", not '" + *value +
                   "'");
}

// The version an If-Match header asks for: "*" any, a weak tag none (an
// If-Match compares strongly), else the one strong tag it names.
std::string ExpectedVersion(const std::string& header) {
  std::string_view value = header;
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
    value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
    value.remove_suffix(1);
  if (value.starts_with("W/")) return "W/";
  try {
    return operations::VersionOfTag(value);
  } catch (const UsageError&) {
    throw UsageError(
        "If-Match takes one entity tag as the call's ETag gives it, or *");
  }
}

}  // namespace

std::optional<Json> Service::SerialOf(const Json& body) {
  auto values = body.find("values");
  if (values == body.end() || !values->is_array()) return std::nullopt;
  for (const Json& row : *values)
    if (row.is_array() && row.size() == 2 && row[0] == "SERIALNUMBER")
      return row[1];
  return std::nullopt;
}

std::string Service::Subject(Op op, const Json& body, const Json& output,
                             const std::string& arg) {
  if (!arg.empty()) return arg;
  if (op == Op::kCreateCall) {
    auto result = output.find("result");
    if (result != output.end() && result->is_object() &&
        result->contains("CALLNUMBER") && (*result)["CALLNUMBER"].is_string())
      return (*result)["CALLNUMBER"];
  }
  if (op == Op::kCreateItem && body.is_object()) {
    auto values = body.find("values");
    if (values != body.end() && values->is_array())
      for (const Json& row : *values)
        if (row.is_array() && row.size() == 2 && row[0] == "SERIALNUMBER" &&
            row[1].is_string())
          return row[1];
  }
  return "";
}

Json Service::RequestOf(Op op, const Request& req, Json body) {
  const Json name(operations::OpName(op));
  switch (op) {
    case Op::kCreateCall:
      return Json{{"op", name}, {"details", std::move(body)}};
    case Op::kUpdateCall:
      if (!body.is_object())
        throw UsageError("the call details must be a JSON object");
      if (body.contains("CALLNUMBER") && body["CALLNUMBER"] != req.arg)
        throw UsageError("CALLNUMBER differs from the call in the path");
      body["CALLNUMBER"] = req.arg;
      return Json{{"op", name}, {"details", std::move(body)}};
    case Op::kCreateItem:
    case Op::kUpdateItem:
      if (!body.is_object())
        throw UsageError(
            "an item request is a JSON object with \"component\" and "
            "\"values\"");
      if (op == Op::kUpdateItem) {
        // The path names the item: values without a SERIALNUMBER row take
        // it from there.
        auto values = body.find("values");
        std::optional<Json> serial = SerialOf(body);
        if (values != body.end() && values->is_array() && !serial)
          values->insert(values->begin(),
                         Json::array({"SERIALNUMBER", req.arg}));
        if (serial && *serial != req.arg)
          throw UsageError("SERIALNUMBER differs from the item in the path");
      }
      body["op"] = name;
      return body;
    case Op::kTimeFormat:
      if (!req.Param("value"))
        throw UsageError("time-format needs ?value=<JSON>");
      return Json{{"op", name},
                  {"value", ParseJson(*req.Param("value"), "the value")}};
  }
  throw UsageError("no such operation");
}

Response Service::Operate(const Request& req, Op op) {
  PreparedOperation prepared;
  RunOptions run;
  Switch trace_in_body = Switch::kOff;
  Json body;
  try {
    body = op == Op::kTimeFormat ? Json() : ParseJson(req.body, "the body");
    prepared = operations::Prepare(RequestOf(op, req, body));
    if (const std::string* key = req.Header("Idempotency-Key")) {
      if (key->find_first_not_of(" \t") == std::string::npos)
        throw UsageError("Idempotency-Key is blank");
      run.request_key = *key;
      run.key_store = options_.backend.db;
      run.context = options_.backend.context;
      operations::CheckRequestKey(run.request_key);
    }
    if (const std::string* condition = req.Header("If-Match"))
      if (op == Op::kUpdateCall) run.if_match = ExpectedVersion(*condition);
    run.dry_run = HeaderSwitch(req, "Quillet-Dry-Run", false) == Switch::kOn;
    run.actor = req.caller;  // the token's name; "" without tokens
    run.channel = "service";
    trace_in_body = HeaderSwitch(req, "Quillet-Trace", true);
  } catch (const UsageError& e) {
    return ReplyError(400, e.what());
  }
  std::optional<Trace> trace;
  if (trace_in_body != Switch::kOff || TracingToFile())
    trace.emplace(TraceOptions{.whole_texts = trace_in_body == Switch::kWhole});
  run.trace = trace ? &*trace : nullptr;
  // Calls keeps no state and serves the thread that made it: one per
  // worker, created by class name (registered once, at start).
  thread_local Ref<CallsInterface> calls;
  try {
    if (!calls) calls = CreateAs<CallsInterface>(kCallsClassName);
  } catch (const Error& e) {
    std::cerr << "quillet: " << ToUtf8(e.info().description) << std::endl;
    return ReplyError(503, kUnavailable);
  }
  Outcome outcome = operations::Run(*calls, prepared, run);
  // A failure is the back end's being down when it cannot even be opened
  // now: 503, to be retried, rather than the operation's own outcome (whose
  // text may name the database).
  if ((outcome.verdict == Verdict::kNothingRecorded ||
       outcome.verdict == Verdict::kRaised) &&
      !operations::BackendReachable(backend())) {
    std::cerr << "quillet: " << outcome.message << std::endl;
    return ReplyError(503, kUnavailable);
  }
  // Busy or away: what the back end said may name its host; it goes to
  // standard error, the client hears only that it may try again.
  if (outcome.verdict == Verdict::kRetryLater) {
    std::cerr << "quillet: " << outcome.message << std::endl;
    return ReplyError(
        503, outcome.disk_full ? "the disk holding the database is full; "
                                 "nothing was written; try again"
             : outcome.read_only
                 ? "the database is read-only here; nothing was written"
                 : "the back end was busy or could not be reached; nothing "
                   "was written; try again");
  }
  // The database refuses this service's writes (its role lacks a
  // permission): the server's to mend, and no retry helps.
  if (outcome.not_permitted) {
    std::cerr << "quillet: " << outcome.message << std::endl;
    return ReplyError(500,
                      "the database refuses this service's writes (its role "
                      "lacks a permission); nothing was written");
  }
  if (trace) Traced(trace->TakeEvents(), trace_in_body, outcome.output);
  if (outcome.changed_since_read) return ChangedSinceRead(req, outcome);
  int status = StatusOf(prepared.op, outcome);
  if (status == 424 && Missing(req, prepared.op))
    status = 404;  // the path names none
  Response res = Reply(status, outcome.output);
  if (outcome.replayed) res.Set("Idempotent-Replayed", "true");
  if (!outcome.warning.empty()) {
    res.Set("Quillet-Replication", "unconfirmed");
    std::cerr << "quillet: warning: " << outcome.warning << std::endl;
  }
  if (outcome.dry_run) {
    res.dry_run = true;
    res.Set("Quillet-Dry-Run", "true");
    if (status == 201) res.status = 200;  // nothing was created
  }
  res.subject = Subject(prepared.op, body, outcome.output, req.arg);
  res.replayed = outcome.replayed;
  return res;
}

Response Service::ChangedSinceRead(const Request& req, const Outcome& outcome) {
  std::string version;
  std::optional<Json> call;
  try {
    call = operations::CallJson(backend(), req.arg, version);
  } catch (const Error&) {
  }
  // Read after the refusal: the call as it is now, which is what to
  // compare the change with (a change since the refusal included).
  Response res = Reply(412, call ? *call : outcome.output);
  if (call) res.Set("ETag", EntityTag(version));
  res.subject = req.arg;
  return res;
}

bool Service::Missing(const Request& req, operations::Op op) const {
  if (op != operations::Op::kUpdateCall && op != operations::Op::kUpdateItem)
    return false;
  try {
    return op == operations::Op::kUpdateCall
               ? !operations::CallJson(backend(), req.arg)
               : !operations::ItemJson(backend(), req.arg);
  } catch (const Error&) {
    return false;  // the refusal stands
  }
}

}  // namespace quillet::cli::http
