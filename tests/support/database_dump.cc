#include "support/database_dump.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "support/memory_engine.h"

namespace quillet::testing {
namespace {

std::string DumpSqlite(const std::string& path) {
  sqlite3* raw = nullptr;
  if (sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(raw);
    throw std::runtime_error("cannot open " + path);
  }
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, sqlite3_close);
  auto rows = [&](const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &stmt, nullptr) !=
        SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(db.get()));
    std::vector<std::string> out;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const void* blob = sqlite3_column_blob(stmt, c);
        row +=
            (c ? "|" : "") + (blob ? std::string(static_cast<const char*>(blob),
                                                 sqlite3_column_bytes(stmt, c))
                                   : "NULL");
      }
      out.push_back(row);
    }
    sqlite3_finalize(stmt);
    return out;
  };
  std::string dump = "user_version " + rows("PRAGMA user_version")[0] + "\n";
  for (const std::string& table :
       rows("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY "
            "name")) {
    dump += "table " + table + "\n";
    for (const std::string& row : rows("SELECT * FROM \"" + table + "\""))
      dump += row + "\n";
  }
  return dump;
}

std::string DumpPostgres(const std::string& uri) {
  std::unique_ptr<PGconn, decltype(&PQfinish)> db(PQconnectdb(uri.c_str()),
                                                  PQfinish);
  if (PQstatus(db.get()) != CONNECTION_OK)
    throw std::runtime_error(PQerrorMessage(db.get()));
  auto rows = [&](const std::string& sql) {
    std::unique_ptr<PGresult, decltype(&PQclear)> r(
        PQexec(db.get(), sql.c_str()), PQclear);
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK)
      throw std::runtime_error(PQerrorMessage(db.get()));
    std::vector<std::string> out;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      std::string row;
      for (int c = 0; c < PQnfields(r.get()); ++c)
        row += (c ? "|" : "") + std::string(PQgetisnull(r.get(), i, c)
                                                ? "NULL"
                                                : PQgetvalue(r.get(), i, c));
      out.push_back(row);
    }
    return out;
  };
  std::string dump;
  for (const std::string& table :
       rows("SELECT table_name FROM information_schema.tables WHERE "
            "table_schema = 'public' ORDER BY table_name")) {
    dump += "table " + table + "\n";
    // Rows in the order of their whole text: heap order may change.
    for (const std::string& row :
         rows("SELECT t::text FROM \"" + table + "\" t ORDER BY 1"))
      dump += row + "\n";
  }
  return dump;
}

}  // namespace

std::string DumpDatabase(const std::string& db) {
  if (db.rfind("memory:", 0) == 0) return DumpMemoryDatabase(db);
  return db.rfind("postgres", 0) == 0 ? DumpPostgres(db) : DumpSqlite(db);
}

}  // namespace quillet::testing
