// The PostgreSQL engine's queries: one libpq connection per BackendStore
// (postgres_connection.h), to a database that any number of hosts share,
// directly or through a pooler in transaction mode; its schema is
// postgres_schema.h's. Its transactions, read-ahead, calls and call
// listings are in postgres_engine.cc; its master data, items, request keys
// and batch runs in postgres_engine_records.cc.
//
// - Call numbers come from an identity column: unique across hosts, never
//   reused.
// - A change locks its call's row (SELECT ... FOR UPDATE), so changes of
//   one call are serialised.
// - Texts that users give are stored as bytes (BYTEA), exactly as given,
//   whatever they hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "postgres_connection.h"
#include "storage_engine.h"

// Writers take call numbers under the advisory lock 1364937813 (shared),
// which SettledSeq takes alone; event positions likewise under 1364937814,
// which SettledEventPosition takes alone.

// The server's clock in Unix seconds: the time every host agrees on.
#define QUILLET_PG_NOW "extract(epoch FROM now())::bigint"

namespace quillet::standins::postgres {

class PostgresEngine final : public StorageEngine {
 public:
  PostgresEngine(const std::string& uri, OpenMode open);

  void WriteTransaction(const std::function<void()>& work,
                        Ending ending) override;
  void ReadTransaction(const std::function<void()>& work) override;
  void Expect(const ReadAhead& ahead) override;
  void CheckWritable() override;

  int64_t NewCallSeq() override;
  int64_t SettledSeq() override;
  void InsertCall(int64_t seq, const std::string&, const std::string& component,
                  int64_t time, const CallRow& row) override;
  std::optional<CallRow> ReadCall(int64_t seq, bool for_update) override;
  void RewriteCall(int64_t seq, const std::string&, int64_t time,
                   const CallRow&, const CallRow& after,
                   const TextChanges& texts) override;
  std::vector<int64_t> CallPage(const CallQuery& query, int64_t after_seq,
                                int64_t limit) override;
  std::vector<std::pair<int64_t, int64_t>> ChangedCallPage(
      const CallQuery& query,
      const std::optional<std::pair<int64_t, int64_t>>& before,
      int64_t limit) override;
  CallTally TallyCalls(int64_t now, int64_t top) override;
  std::vector<SearchHit> SearchCallPage(const CallQuery& query,
                                        int64_t before_seq,
                                        int64_t limit) override;

  bool BusinessPartnerExists(const std::string& number) override;
  std::optional<ServiceObjectFacts> ServiceObject(
      const std::string& object) override;
  int64_t EngineerMinutes(const std::string& question) override;
  std::vector<std::vector<std::string>> MasterPage(MasterTable table,
                                                   const std::string& after,
                                                   int64_t limit) override;
  std::optional<std::vector<std::string>> MasterRowOf(
      MasterTable table, const std::string& key) override;
  static std::vector<std::vector<std::string>> Rows(const PgResult& r);
  void PutMasterRow(MasterTable table,
                    const std::vector<MasterValue>& values) override;

  std::optional<std::string> ItemComponent(const std::string& serial) override;
  void InsertItem(const std::string& serial,
                  const std::string& component) override;
  void TouchItem(const std::string& serial,
                 const std::string& component) override;
  void PutItemFields(
      const std::string& serial,
      const std::vector<std::pair<std::string, std::string>>& fields) override;
  std::vector<std::pair<std::string, std::string>> ItemFields(
      const std::string& serial) override;
  std::vector<std::string> ItemPage(const std::optional<std::string>& after,
                                    int64_t limit) override;

  std::optional<KeyRecord> FindKey(const std::string& key) override;
  std::optional<KeyRecord> LiveKey(const std::string& key) override;
  void InsertKey(const std::string& key, const KeyRecord& record,
                 int64_t lifetime_seconds) override;
  std::optional<BatchRun> StandingBatchRun(
      const std::string& file_name, const std::string& identity) override;
  void PutBatchRun(const BatchRun& run, int64_t now) override;
  void SetAsideBatchRuns(const std::string& file_name,
                         const std::string& identity) override;
  void PruneKeys(int limit) override;
  void PruneKeysCreatedBefore(int64_t created_before, int limit) override;
  std::vector<KeyListing> KeyPage(const std::optional<std::string>& after,
                                  int64_t limit) override;

  StoreFacts Facts() override;

  // The event log (postgres_engine_events.cc).
  void AppendEvent(const EventRecord& event) override;
  std::vector<EventRecord> EventPage(const EventFilter& filter) override;
  int64_t SettledEventPosition() override;
  int64_t EventsPrunedThrough() override;
  int64_t PruneEvents(int64_t unix_time, int64_t limit) override;
  std::optional<WebhookProgress> WebhookProgressOf(
      const std::string& endpoint) override;
  void PutWebhookProgress(const WebhookProgress& progress) override;
  std::vector<WebhookProgress> AllWebhookProgress() override;
  bool HoldWebhookEndpoint(int32_t key) override;

  std::optional<ServerState> Server() override;

 private:
  // What Expect asked, for the calls that follow in the same transaction.
  struct Answers {
    bool key_asked = false;
    std::optional<std::pair<KeyRecord, bool>> key;  // and whether expired
    std::optional<std::pair<std::string, bool>> partner;
    std::optional<std::pair<std::string, std::optional<ServiceObjectFacts>>>
        object;
    std::optional<int64_t> seq;
    std::optional<std::pair<int64_t, std::optional<CallRow>>> call;
  };
  static constexpr const char* kFindKeySql =
      "SELECT kind, digest, answer, expires_at <= " QUILLET_PG_NOW
      " FROM request_keys WHERE key = $1";
  static constexpr const char* kPartnerSql =
      "SELECT 1 FROM business_partners WHERE number = $1";
  static constexpr const char* kServiceObjectSql =
      "SELECT contract, warranty, warranty_description, warranty_expiry_date "
      "FROM service_objects WHERE object = $1";
  static constexpr const char* kCallForUpdateSql =
      "SELECT properties, NULL::bytea, NULL::bytea, "
      "coalesce(octet_length(text), 0), coalesce(octet_length(solution_text), "
      "0) FROM calls WHERE seq = $1::bigint FOR UPDATE";

  static std::pair<KeyRecord, bool> KeyAnswer(const PgResult& r);
  static std::optional<ServiceObjectFacts> FactsOf(const PgResult& r);
  static std::optional<CallRow> RowOf(const PgResult& r);

  // `pieces[from...]` as frames; no pieces at all is NULL.
  static PgParam Pieces(const std::vector<std::string>& pieces, size_t from);
  // A call's row as parameters $1 to $4: its properties and the columns
  // that listings filter on (status, sold-to partner, description); then,
  // with `texts`, its texts as $5 and $6.
  static std::vector<PgParam> RowParams(const CallRow& row, bool texts);

  // A call's row as kCallForUpdateSql answers it, its texts' sizes kept
  // for RewriteCall.
  std::optional<CallRow> Locked(int64_t seq, const PgResult& r);

  PgConnection db_;
  Answers ahead_;
  // The sizes of the texts of the call last locked in this transaction.
  struct LockedSizes {
    int64_t seq;
    size_t text, solution_text;
  };
  std::optional<LockedSizes> locked_;
};

}  // namespace quillet::standins::postgres
