#include "read_commands.h"

#include <cerrno>
#include <filesystem>
#include <iostream>

#include "changed_since.h"
#include "exit_status.h"
#include "quillet/operations/json_variant.h"
#include "quillet/operations/views.h"

namespace quillet::cli {

using json = nlohmann::ordered_json;
using operations::DumpJson;
using operations::UsageError;

namespace {

int Written() {
  return Flushed(std::cout) ? kExitDone : OutputLost("the output", "");
}

}  // namespace

int RunCalls(const Globals& g, const ReadOptions& o) {
  errno = 0;
  if (!o.number.empty()) {
    if (o.json) {
      std::optional<json> call = operations::CallJson(g, o.number);
      if (!call) throw UsageError("no service call '" + o.number + "'");
      std::cout << DumpJson(*call, 2) << "\n";
    } else if (!operations::PrintCallDetail(std::cout, g, o.number)) {
      throw UsageError("no service call '" + o.number + "'");
    }
    return Written();
  }
  operations::CallQuery query{.status = o.status, .limit = o.limit};
  if (!o.after.empty()) query.after = o.after;
  if (!o.sold_to.empty()) query.sold_to = o.sold_to;
  if (!o.text.empty()) query.text = o.text;
  if (!o.search.empty()) query.words = o.search;
  if (!o.changed_since.empty())
    query.changed_since = TransactionTimeFrom(o.changed_since);
  operations::ListCalls(std::cout, g, query, o.json);
  return Written();
}

int RunItems(const Globals& g, const ReadOptions& o) {
  errno = 0;
  if (!o.serial.empty()) {
    if (o.json) {
      std::optional<json> item = operations::ItemJson(g, o.serial);
      if (!item) throw UsageError("no serialized item '" + o.serial + "'");
      std::cout << DumpJson(*item, 2) << "\n";
    } else if (!operations::PrintItem(std::cout, g, o.serial)) {
      throw UsageError("no serialized item '" + o.serial + "'");
    }
    return Written();
  }
  operations::ItemQuery query{.limit = o.limit};
  if (!o.after.empty()) query.after = o.after;
  operations::ListItems(std::cout, g, query, o.json);
  return Written();
}

int RunLog(const Globals& g, bool db_given, const ReadOptions& o) {
  // The log beside a mistyped database is no log: say so, as the other
  // reading commands do. (Without --db, the folder's log is read even with
  // no database file: a service on PostgreSQL writes it there.)
  std::error_code ec;
  if (db_given && g.log.empty() && !operations::IsServerAddress(g.db) &&
      !std::filesystem::exists(g.db, ec))
    throw UsageError("no database '" + g.db + "'");
  errno = 0;
  if (!operations::PrintLog(std::cout, g.LogPath(), o.tail, o.json) &&
      std::filesystem::exists(g.LogPath()))
    throw UsageError("cannot read '" + g.LogPath() + "'");
  return Written();
}

}  // namespace quillet::cli
