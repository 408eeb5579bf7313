// The reads over HTTP: calls, items, the log, master data, counts,
// readiness, the metrics, and the event log: GET /events (a page, or a
// stream of Server-Sent Events) and the audit routes.
#include <algorithm>
#include <ctime>
#include <iostream>

#include "http/capped_listing.h"
#include "http/service.h"
#include "quillet/error.h"
#include "quillet/operations/backend.h"
#include "quillet/operations/backend_commands.h"
#include "quillet/operations/backend_metrics.h"
#include "quillet/operations/desk_reads.h"
#include "quillet/text.h"

namespace quillet::cli::http {

using operations::CallQuery;
using operations::ItemQuery;
using operations::MasterList;
using operations::Op;
using operations::QueryParams;
using operations::UsageError;

namespace {

constexpr int64_t kMaxAuditTail = 10000;
constexpr int64_t kHighestPosition = 999'999'999'999;
// Retry-After of a stream refused for the streams open.
constexpr const char* kStreamRetrySeconds = "5";

bool WantsStream(const Request& req) {
  const std::string* accept = req.Header("Accept");
  return accept && accept->find("text/event-stream") != std::string::npos;
}

// The view "mine" asked with a token bound to no engineer: 403.
struct NoEngineer {};

}  // namespace

Response Service::Work(const Request& req) {
  switch (req.route) {
    case RouteId::kCreateCall:
      return Operate(req, Op::kCreateCall);
    case RouteId::kUpdateCall:
      return Operate(req, Op::kUpdateCall);
    case RouteId::kCreateItem:
      return Operate(req, Op::kCreateItem);
    case RouteId::kUpdateItem:
      return Operate(req, Op::kUpdateItem);
    case RouteId::kTimeFormat:
      return Operate(req, Op::kTimeFormat);
    case RouteId::kGetCall:
      return Read([&] {
        std::string version;
        std::optional<Json> call =
            operations::CallJson(backend(), req.arg, version);
        if (!call) return ReplyError(404, "no service call");
        Response res = Reply(200, *call);
        res.Set("ETag", EntityTag(version));
        return res;
      });
    case RouteId::kGetItem:
      return Read([&] {
        std::optional<Json> item = operations::ItemJson(backend(), req.arg);
        if (!item) return ReplyError(404, "no serialized item");
        return Reply(200, *item);
      });
    case RouteId::kListCalls:
      return ListCalls(req);
    case RouteId::kListItems:
      return ListItems(req);
    case RouteId::kLog:
      return Log(req);
    case RouteId::kAudit:
    case RouteId::kCallAudit:
    case RouteId::kItemAudit:
      return Audit(req);
    case RouteId::kEvents:
      return Events(req);
    // Master data for the console's pickers, and how many calls a filter
    // matches (desk_reads.h).
    case RouteId::kPartners:
    case RouteId::kServiceObjects:
      return Read([&] {
        return Reply(
            200, operations::MasterDataJson(backend(),
                                            req.route == RouteId::kPartners
                                                ? MasterList::kBusinessPartners
                                                : MasterList::kServiceObjects,
                                            ParamsOf(req)));
      });
    case RouteId::kCallCount:
      return Read([&] {
        return Reply(200,
                     operations::CallCountJson(backend(), CallQueryOf(req)));
      });
    case RouteId::kCallStats:  // the dashboard's counts, on one snapshot
      return Read(
          [&] { return Reply(200, operations::CallStatsJson(backend())); });
    case RouteId::kReadyz:  // ready when a write would be taken now
      return Read([&] {
        operations::CheckHealth(backend());
        return Reply(200, Json{{"status", "ready"}});
      });
    case RouteId::kMetrics:  // on a worker: the back end's tables are read
      return Response{200, "text/plain; version=0.0.4",
                      metrics_.Text(operations::ReadBackendMetrics(backend()))};
    default:  // answered in Quick
      return ReplyError(404, "no such route");
  }
}

template <class Body>
Response Service::Read(Body body) {
  try {
    return body();
  } catch (const UsageError& e) {
    return ReplyError(400, e.what());
  } catch (const NoEngineer&) {
    return ReplyError(403,
                      "this token is bound to no engineer: the view \"mine\" "
                      "needs one ('quillet token add NAME --engineer CODE')");
  } catch (const Error& e) {
    std::cerr << "quillet: " << ToUtf8(e.info().description) << std::endl;
    // A back end that answers but failed the read (busy, or refused what
    // was asked) is not said to be out of reach.
    return ReplyError(503, operations::BackendReachable(backend())
                               ? kReadFailed
                               : kUnavailable);
  }
}

std::optional<int64_t> Service::Number(const Request& req, const char* name,
                                       int64_t high) {
  const std::string* text = req.Param(name);
  if (!text) return std::nullopt;
  return operations::WholeParam(name, *text, high);
}

CallQuery Service::CallQueryOf(const Request& req) const {
  CallQuery query;
  query.limit = Number(req, "limit", 100000).value_or(1000);
  // One status, or several: ?status=0,10,15.
  if (const std::string* v = req.Param("status")) {
    for (size_t start = 0; start <= v->size();) {
      size_t comma = std::min(v->find(',', start), v->size());
      query.statuses.push_back(operations::WholeParam(
          "status", v->substr(start, comma - start), 255));
      start = comma + 1;
    }
    if (query.statuses.size() == 1) {
      query.status = query.statuses.front();
      query.statuses.clear();
    }
  }
  query.changed_since = Number(req, "changed_since", INT32_MAX);
  if (const std::string* v = req.Param("sold_to")) query.sold_to = *v;
  if (const std::string* v = req.Param("text")) query.text = *v;
  if (const std::string* v = req.Param("q"); v && !v->empty()) query.words = *v;
  if (const std::string* v = req.Param("order")) {
    if (*v != "number" && *v != "changed")
      throw UsageError("?order is number or changed");
    query.newest_change_first = *v == "changed";
  }
  if (const std::string* v = req.Param("view"); v && !v->empty()) {
    if (*v == "mine" && req.engineer.empty()) throw NoEngineer{};
    operations::ApplyCallView(query, *v, req.engineer,
                              static_cast<int64_t>(std::time(nullptr)));
  }
  operations::ResolveCustomer(backend(), query);
  return query;
}

QueryParams Service::ParamsOf(const Request& req) {
  return QueryParams(req.query.begin(), req.query.end());
}

Response Service::ListCalls(const Request& req) {
  return Read([&] {
    CallQuery query = CallQueryOf(req);
    // An empty ?after is as none; one naming no stored call has nothing
    // after it (keyset paging passes only numbers it was given).
    if (const std::string* v = req.Param("after"); v && !v->empty()) {
      if (!operations::CallJson(backend(), *v)) return CappedListing().Answer();
      query.after = *v;
    }
    CappedListing listing;
    try {
      operations::VisitCalls(backend(), query,
                             [&](const Json& call, const std::string& number) {
                               listing.Add(call, number);
                             });
    } catch (const CappedListing::Full&) {
    }
    return std::move(listing).Answer();
  });
}

Response Service::ListItems(const Request& req) {
  return Read([&] {
    ItemQuery query;
    query.limit = Number(req, "limit", 100000).value_or(1000);
    if (const std::string* v = req.Param("after"); v && !v->empty()) {
      if (!operations::ItemJson(backend(), *v)) return CappedListing().Answer();
      query.after = *v;
    }
    if (const std::string* v = req.Param("search")) query.text = *v;
    CappedListing listing;
    try {
      operations::VisitItems(backend(), query,
                             [&](const Json& item, const std::string& serial) {
                               listing.Add(item, serial);
                             });
    } catch (const CappedListing::Full&) {
    }
    return std::move(listing).Answer();
  });
}

Response Service::Log(const Request& req) {
  try {
    return Reply(200, operations::LogPageJson(options_.backend.LogPath(),
                                              ParamsOf(req)));
  } catch (const UsageError& e) {
    return ReplyError(400, e.what());
  }
}

Response Service::Audit(const Request& req) {
  return Read([&] {
    int64_t tail = Number(req, "tail", kMaxAuditTail).value_or(100);
    operations::EventQuery query;
    query.newest_first = true;
    if (SubjectOf(req.route) == AuditSubject::kCall) query.call = req.arg;
    if (SubjectOf(req.route) == AuditSubject::kItem) query.item = req.arg;
    Json events = Json::array();
    while (static_cast<int64_t>(events.size()) < tail) {
      query.limit = std::min(operations::kMostEventsPerPage,
                             tail - static_cast<int64_t>(events.size()));
      operations::EventPage page = operations::ReadEvents(backend(), query);
      for (Json& e : page.events) events.push_back(std::move(e));
      if (static_cast<int64_t>(page.events.size()) < query.limit) break;
      query.before = page.next;
    }
    return Reply(200, events);
  });
}

Response Service::Events(const Request& req) {
  return Read([&] {
    operations::EventQuery query;
    query.after = Number(req, "after", kHighestPosition).value_or(0);
    query.limit = Number(req, "limit", operations::kMostEventsPerPage)
                      .value_or(query.limit);
    if (const std::string* v = req.Param("call")) query.call = *v;
    if (const std::string* v = req.Param("item")) query.item = *v;
    if (const std::string* v = req.Param("operation")) {
      if (*v != "create-call" && *v != "update-call" && *v != "create-item" &&
          *v != "update-item")
        throw UsageError(
            "?operation is create-call, update-call, create-item or "
            "update-item");
      query.operation = *v;
    }
    // A reconnecting client resumes after the last event it was sent.
    // An empty one (a client that was sent no event yet) is none.
    const std::string* last = req.Header("Last-Event-ID");
    if (last && !last->empty()) {
      try {
        query.after = operations::WholeParam("after", *last, kHighestPosition);
      } catch (const UsageError&) {
        throw UsageError("Last-Event-ID must be an event's position");
      }
    }
    bool stream = WantsStream(req) && req.method == "GET";
    std::shared_ptr<void> slot;
    if (stream) {
      slot = streams_.Take(req.caller.empty() ? req.client : req.caller);
      if (!slot) {
        Response busy =
            ReplyError(429, "too many event streams are open; try again later");
        busy.Set("Retry-After", kStreamRetrySeconds);
        return busy;
      }
    }
    operations::EventPage page = operations::ReadEvents(backend(), query);
    if (page.gone)
      return ReplyError(
          410, "the events after position " + std::to_string(query.after) +
                   " were pruned; read again from 0, the oldest kept");
    if (!stream)
      return Reply(
          200, Json{{"events", std::move(page.events)}, {"next", page.next}});
    Response res{200, "text/event-stream", ""};
    res.Set("X-Accel-Buffering", "no");  // a proxy passes each event on
    res.stream = std::make_shared<EventFeed>(
        backend(), query, page, std::move(slot), &token_generation_);
    return res;
  });
}

}  // namespace quillet::cli::http
