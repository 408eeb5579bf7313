// Which route a request took, as a type: the service dispatches on it and
// the audit trail reads from it what the path's argument names.
#pragma once

#include <cstdint>

namespace quillet::cli::http {

enum class RouteId : uint8_t {
  kNone,  // not routed (refused before, or no such route)
  kListCalls,
  kCreateCall,
  kGetCall,
  kUpdateCall,
  kCallAudit,
  kListItems,
  kCreateItem,
  kGetItem,
  kUpdateItem,
  kItemAudit,
  kTimeFormat,
  kLog,
  kAudit,
  kEvents,
  kPartners,
  kServiceObjects,
  kCallCount,
  kWhoami,
  kUpdateOptions,
  kMetrics,
  kHealthz,
  kReadyz,
  kConsole,
};

// What a route's subject is in the audit trail: a call, an item, or none.
enum class AuditSubject : uint8_t { kNone, kCall, kItem };

constexpr AuditSubject SubjectOf(RouteId id) {
  switch (id) {
    case RouteId::kCreateCall:
    case RouteId::kGetCall:
    case RouteId::kUpdateCall:
    case RouteId::kCallAudit:
      return AuditSubject::kCall;
    case RouteId::kCreateItem:
    case RouteId::kGetItem:
    case RouteId::kUpdateItem:
    case RouteId::kItemAudit:
      return AuditSubject::kItem;
    default:
      return AuditSubject::kNone;
  }
}

}  // namespace quillet::cli::http
