// The PostgreSQL engine's transactions, read-ahead (Expect), calls and call
// listings (postgres_engine.h).
#include "postgres_engine.h"

#include <algorithm>
#include <utility>

#include "backend_failure.h"
#include "postgres_call_row.h"
#include "postgres_schema.h"
#include "postgres_server_state.h"
#include "search_words.h"

namespace quillet::standins {
namespace postgres {
namespace {

// A call's row is answered as one message, which the server builds in at
// most 1 GiB of memory: its properties and texts together are kept below
// that, with room to spare for the message's own bytes, so that whatever
// is stored can be read back. A write past it is refused.
constexpr size_t kReadableCall = 1'000'000'000;

void CheckReadable(size_t bytes) {
  if (bytes > kReadableCall)
    RaiseBackend("the call's texts would take " + std::to_string(bytes) +
                 " bytes together, more than the " +
                 std::to_string(kReadableCall) +
                 " a call can hold on PostgreSQL and still be read back; "
                 "nothing was written");
}

// The listing's filters, one text for both orders so that they cannot
// drift apart: $2 changed since, $3 status (none is 0), $4 sold-to
// partner, $6 text in the description. Each statement is planned with its
// values, so a filter left out costs nothing and one given meets its index
// (postgres_schema.cc); the text is asked as a LIKE of the description's
// escaped form, which its trigram index answers, then checked as bytes.
// The backslashes are written E'...', which reads the same whether or not
// the database keeps standard_conforming_strings on.
#define CALL_FILTERS                                                      \
  "AND ($2::bigint IS NULL OR last_transaction_time >= $2::bigint) "      \
  "AND ($3::bigint IS NULL OR coalesce(status, 0) = $3::bigint) "         \
  "AND ($4::bytea IS NULL OR sold_to = $4::bytea) "                       \
  "AND ($6::bytea IS NULL OR (encode(description, 'escape') LIKE '%' || " \
  "replace(replace(replace(encode($6::bytea, 'escape'), E'\\\\', "        \
  "E'\\\\\\\\'), '%', E'\\\\%'), '_', E'\\\\_') || '%' AND "              \
  "position($6::bytea in description) > 0)) "

// The customer's name for the searched texts, from the sold-to partner.
#define CUSTOMER_NAME(partner)                                        \
  "coalesce((SELECT quillet_text(name) FROM business_partners WHERE " \
  "number = " partner "), '')"

}  // namespace

PostgresEngine::PostgresEngine(const std::string& uri, OpenMode open)
    : db_(uri, [open](PgConnection& db) { PreparePostgresSchema(db, open); }) {}

void PostgresEngine::WriteTransaction(const std::function<void()>& work,
                                      Ending ending) {
  db_.WriteTransaction(
      [&] {
        ahead_ = Answers();
        locked_.reset();
        work();
      },
      ending == Ending::kCommit);
}

void PostgresEngine::ReadTransaction(const std::function<void()>& work) {
  db_.ReadTransaction([&] {
    ahead_ = Answers();
    work();
  });
}

// Asks everything expected in one round trip, with the transaction's
// BEGIN when nothing was sent yet; the calls then answer from here.
void PostgresEngine::Expect(const ReadAhead& ahead) {
  ahead_ = Answers();
  if (ahead.key)
    db_.Ask(kFindKeySql, {Bytes(*ahead.key)}, [this](const PgResult& r) {
      ahead_.key = r.Rows() ? std::optional(KeyAnswer(r)) : std::nullopt;
      ahead_.key_asked = true;
    });
  if (ahead.partner)
    db_.Ask(kPartnerSql, {Bytes(*ahead.partner)},
            [this, partner = *ahead.partner](const PgResult& r) {
              ahead_.partner = {partner, r.Rows() > 0};
            });
  if (ahead.object)
    db_.Ask(kServiceObjectSql, {Bytes(*ahead.object)},
            [this, object = *ahead.object](const PgResult& r) {
              ahead_.object = {object, FactsOf(r)};
            });
  if (ahead.new_call_seq)
    db_.Ask(
        "WITH numbering AS (SELECT pg_advisory_xact_lock_shared(1364937813)) "
        "SELECT nextval(pg_get_serial_sequence('calls', 'seq')) FROM "
        "numbering WHERE $1::bytea IS NULL OR NOT EXISTS(SELECT 1 FROM "
        "request_keys WHERE key = $1::bytea AND expires_at > " QUILLET_PG_NOW
        ")",
        {Maybe(ahead.key)}, [this](const PgResult& r) {
          if (r.Rows()) ahead_.seq = r.Int(0, 0);
        });
  if (ahead.call_for_update)
    db_.Ask(kCallForUpdateSql, {Int(*ahead.call_for_update)},
            [this, seq = *ahead.call_for_update](const PgResult& r) {
              ahead_.call = {seq, Locked(seq, r)};
            });
  db_.Flush();
}

void PostgresEngine::CheckWritable() {
  // Refused before any row is touched on a read-only database or
  // standby, and for a role that may not write.
  WriteTransaction(
      [&] { db_.Run("UPDATE quillet_meta SET value = value WHERE false", {}); },
      Ending::kRollBack);
}

// A number is taken only under the numbering lock, shared among writers
// and held to the end of the transaction; SettledSeq takes it alone, so
// it finds no number taken and not yet committed or rolled back.
int64_t PostgresEngine::NewCallSeq() {
  if (std::optional<int64_t> seq = std::exchange(ahead_.seq, std::nullopt))
    return *seq;
  return db_
      .Run(
          "WITH numbering AS (SELECT pg_advisory_xact_lock_shared("
          "1364937813)) SELECT nextval(pg_get_serial_sequence('calls', "
          "'seq')) FROM numbering",
          {})
      .Int(0, 0);
}

int64_t PostgresEngine::SettledSeq() {
  int64_t seq = 0;
  ReadTransaction([&] {
    db_.Run("SELECT pg_advisory_xact_lock(1364937813)", {});
    // Once the lock is had, no number is taken and unsettled; the highest
    // call this snapshot (taken before the wait) saw is therefore a safe
    // bound, and needs no right to read the sequence.
    seq = db_.Run("SELECT coalesce(max(seq), 0) FROM calls", {}).Int(0, 0);
  });
  return seq;
}

void PostgresEngine::InsertCall(int64_t seq, const std::string&,
                                const std::string& component, int64_t time,
                                const CallRow& row) {
  std::vector<PgParam> params = RowParams(row, true);
  params.push_back(Int(seq));
  params.push_back(Bytes(component));
  params.push_back(Int(time));
  CheckReadable(params[0].bytes.size() + params[4].bytes.size() +
                params[5].bytes.size());
  params.push_back(Bytes(SearchHead(row.properties)));
  params.push_back(Bytes(SearchablePieces(row.text)));
  params.push_back(Bytes(SearchablePieces(row.solution_text)));
  db_.Defer(
      "INSERT INTO calls(properties, status, sold_to, description, text, "
      "solution_text, seq, component, last_transaction_time, search_head, "
      "search_text, search_solution) OVERRIDING SYSTEM VALUE VALUES($1, "
      "$2::bigint, $3, $4, $5, $6, $7::bigint, $8, $9::bigint, "
      "$10::text || " CUSTOMER_NAME("$3") ", $11::text, $12::text)",
      std::move(params));
}

// For a change, the properties alone: RewriteCall changes the texts
// without them.
std::optional<CallRow> PostgresEngine::ReadCall(int64_t seq, bool for_update) {
  if (for_update && ahead_.call && ahead_.call->first == seq)
    return std::exchange(ahead_.call, std::nullopt)->second;
  if (for_update) return Locked(seq, db_.Run(kCallForUpdateSql, {Int(seq)}));
  return RowOf(
      db_.Run("SELECT properties, text, solution_text FROM calls WHERE seq = "
              "$1::bigint",
              {Int(seq)}));
}

// One statement. A text that grew by appending gets only its new pieces,
// which SQL appends to what is stored without reading it; a text left as
// it was is not sent.
// One statement. The texts, left out of the locking read, are changed as
// `texts` says: an append sends only its new pieces, which the server
// adds to what is stored; a text the change leaves is not sent.
void PostgresEngine::RewriteCall(int64_t seq, const std::string&, int64_t time,
                                 const CallRow&, const CallRow& after,
                                 const TextChanges& texts) {
  std::vector<PgParam> params = RowParams(after, false);
  params.push_back(Int(seq));
  params.push_back(Int(time));
  for (const std::optional<TextChange>* text :
       {&texts.text, &texts.solution_text}) {
    // How the text changes: k(ept), a(ppended) or r(eplaced).
    bool append = *text && (*text)->append;
    if (!*text || (append && (*text)->pieces->empty())) {
      params.push_back(Bytes("k"));
      params.push_back(PgParam{"", false, true});
    } else {
      params.push_back(Bytes(append ? "a" : "r"));
      params.push_back(Pieces(*(*text)->pieces, 0));
    }
  }
  // What the texts will take, from their sizes when the row was locked.
  if (locked_ && locked_->seq == seq) {
    size_t bytes = params[0].bytes.size();
    for (auto [mode, stored] : {std::pair{size_t{6}, locked_->text},
                                std::pair{size_t{8}, locked_->solution_text}})
      bytes += params[mode].bytes == "k" ? stored
               : params[mode].bytes == "a"
                   ? stored + params[mode + 1].bytes.size()
                   : params[mode + 1].bytes.size();
    CheckReadable(bytes);
  }
  // The searched texts change as the texts do ($11 to $13).
  params.push_back(Bytes(SearchHead(after.properties)));
  for (const std::optional<TextChange>* text :
       {&texts.text, &texts.solution_text})
    params.push_back(*text ? Bytes(SearchablePieces(*(*text)->pieces))
                           : PgParam{"", false, true});
  db_.Defer(
      "UPDATE calls SET properties = $1, status = $2::bigint, sold_to = $3, "
      "description = $4, last_transaction_time = $6::bigint, text = CASE "
      "$7::text WHEN 'k' THEN text WHEN 'a' THEN coalesce(text, ''::bytea) "
      "|| $8::bytea ELSE $8::bytea END, solution_text = CASE $9::text WHEN "
      "'k' THEN solution_text WHEN 'a' THEN coalesce(solution_text, "
      "''::bytea) || $10::bytea ELSE $10::bytea END, search_head = $11::text "
      "|| " CUSTOMER_NAME("$3") ", search_text = CASE $7::text WHEN 'k' THEN "
      "search_text WHEN 'a' THEN coalesce(search_text, '') || $12::text ELSE "
      "$12::text END, search_solution = CASE $9::text WHEN 'k' THEN "
      "search_solution WHEN 'a' THEN coalesce(search_solution, '') || "
      "$13::text ELSE $13::text END WHERE seq = $5::bigint",
      std::move(params));
}

std::vector<int64_t> PostgresEngine::CallPage(const CallQuery& query,
                                              int64_t after_seq,
                                              int64_t limit) {
  std::optional<int64_t> status;
  if (query.status) status = *query.status;
  // A text or "changed since" reads the calls its index finds and sorts
  // them: the planner would otherwise walk the calls in order, hoping to
  // meet a page of matches soon (they may all be at the end).
  bool by_index = query.text || query.changed_since;
  PgResult r = db_.Run(
      by_index ? "SELECT seq FROM calls WHERE seq > $1::bigint " CALL_FILTERS
                 "ORDER BY seq + 0 LIMIT $5::bigint"
               : "SELECT seq FROM calls WHERE seq > $1::bigint " CALL_FILTERS
                 "ORDER BY seq LIMIT $5::bigint",
      {Int(after_seq), Maybe(query.changed_since), Maybe(status),
       Maybe(query.sold_to), Int(limit), Maybe(query.text)});
  std::vector<int64_t> out;
  for (int i = 0; i < r.Rows(); ++i) out.push_back(r.Int(i, 0));
  return out;
}

std::vector<std::pair<int64_t, int64_t>> PostgresEngine::ChangedCallPage(
    const CallQuery& query,
    const std::optional<std::pair<int64_t, int64_t>>& before, int64_t limit) {
  std::optional<int64_t> status;
  if (query.status) status = *query.status;
  std::optional<int64_t> time, seq;
  if (before) std::tie(seq, time) = *before;
  // A text reads the calls its index finds and sorts them (CallPage).
  PgResult r = db_.Run(
      query.text
          ? "SELECT seq, last_transaction_time FROM calls WHERE ($1::bigint "
            "IS NULL OR (last_transaction_time, seq) < ($1::bigint, "
            "$7::bigint)) " CALL_FILTERS
            "ORDER BY last_transaction_time + 0 DESC, seq DESC LIMIT "
            "$5::bigint"
          : "SELECT seq, last_transaction_time FROM calls WHERE ($1::bigint "
            "IS NULL OR (last_transaction_time, seq) < ($1::bigint, "
            "$7::bigint)) " CALL_FILTERS
            "ORDER BY last_transaction_time DESC, seq DESC LIMIT $5::bigint",
      {Maybe(time), Maybe(query.changed_since), Maybe(status),
       Maybe(query.sold_to), Int(limit), Maybe(query.text), Maybe(seq)});
  std::vector<std::pair<int64_t, int64_t>> out;
  for (int i = 0; i < r.Rows(); ++i) out.emplace_back(r.Int(i, 0), r.Int(i, 1));
  return out;
}

// Each group counted by the server, on the read transaction's snapshot.
CallTally PostgresEngine::TallyCalls(int64_t now, int64_t top) {
  CallTally tally;
  tally.calls = db_.Run("SELECT count(*) FROM calls", {}).Int(0, 0);
  PgResult status = db_.Run(
      "SELECT coalesce(status, 0) AS s, count(*) FROM calls GROUP BY s", {});
  for (int i = 0; i < status.Rows(); ++i)
    tally.by_status[status.Int(i, 0)] += status.Int(i, 1);
  PgResult age = db_.Run(
      "SELECT CASE WHEN last_transaction_time > $1::bigint - $2::bigint THEN "
      "0 WHEN last_transaction_time > $1::bigint - $3::bigint THEN 1 WHEN "
      "last_transaction_time > $1::bigint - $4::bigint THEN 2 ELSE 3 END AS "
      "age, count(*) FROM calls GROUP BY age",
      {Int(now), Int(CallTally::kAgeBounds[0]), Int(CallTally::kAgeBounds[1]),
       Int(CallTally::kAgeBounds[2])});
  for (int i = 0; i < age.Rows(); ++i)
    tally.by_age[age.Int(i, 0)] = age.Int(i, 1);
  PgResult sold_to = db_.Run(
      "SELECT sold_to, count(*) AS n FROM calls WHERE sold_to IS NOT NULL "
      "GROUP BY sold_to ORDER BY n DESC, sold_to LIMIT $1::bigint",
      {Int(top)});
  int64_t named = 0;
  for (int i = 0; i < sold_to.Rows(); ++i) {
    tally.by_sold_to.emplace_back(sold_to.Text(i, 0), sold_to.Int(i, 1));
    named += sold_to.Int(i, 1);
  }
  tally.other_sold_to = tally.calls - named;
  return tally;
}

// The words' index finds the calls and they are sorted (CallPage says
// why); the match is cut from the texts as written, where the words are
// found as given or folded.
std::vector<StorageEngine::SearchHit> PostgresEngine::SearchCallPage(
    const CallQuery& query, int64_t before_seq, int64_t limit) {
  std::vector<std::string> words = SearchWords(query.words.value_or(""));
  if (words.empty()) return {};
  std::string all, any;  // 'w1':* & 'w2':*, and with | (the words hold no
                         // character the question language reads)
  for (const std::string& word : words) {
    all += (all.empty() ? "" : " & ") + word + ":*";
    any += (any.empty() ? "" : " | ") + word + ":*";
  }
  std::optional<int64_t> status;
  if (query.status) status = *query.status;
  PgResult r = db_.Run(
      "SELECT seq, ts_headline('simple', coalesce(search_head, '') || E'\\n' "
      "|| coalesce(search_text, '') || E'\\n' || coalesce(search_solution, "
      "''), to_tsquery('simple', $8::text) || to_tsquery('simple', "
      "quillet_fold($8::text)), 'StartSel=\"\", StopSel=\"\", MaxWords=12, "
      "MinWords=4, MaxFragments=1, FragmentDelimiter=\"...\"') FROM calls "
      "WHERE quillet_search_words(search_head, search_text, search_solution) "
      "@@ to_tsquery('simple', quillet_fold($7::text)) AND seq < "
      "$1::bigint " CALL_FILTERS "ORDER BY seq + 0 DESC LIMIT $5::bigint",
      {Int(before_seq), Maybe(query.changed_since), Maybe(status),
       Maybe(query.sold_to), Int(limit), Maybe(query.text), Bytes(all),
       Bytes(any)});
  std::vector<SearchHit> out;
  for (int i = 0; i < r.Rows(); ++i)
    out.push_back(SearchHit{r.Int(i, 0), r.Text(i, 1)});
  return out;
}

std::optional<ServerState> PostgresEngine::Server() {
  return ReadServerState(db_);
}

std::optional<CallRow> PostgresEngine::RowOf(const PgResult& r) {
  if (r.Rows() == 0) return std::nullopt;
  CallRow row;
  UnframeProperties(r.Text(0, 0), row.properties, row.unknown_properties);
  if (!r.IsNull(0, 1)) row.text = UnframePieces(r.Text(0, 1));
  if (!r.IsNull(0, 2)) row.solution_text = UnframePieces(r.Text(0, 2));
  return row;
}

PgParam PostgresEngine::Pieces(const std::vector<std::string>& pieces,
                               size_t from) {
  if (pieces.empty()) return PgParam{"", false, true};
  return Bytes(FramePieces(pieces, from));
}

std::vector<PgParam> PostgresEngine::RowParams(const CallRow& row, bool texts) {
  auto prop = [&](CallProperty property) -> const StoredValue* {
    auto it = row.properties.find(property);
    return it == row.properties.end() ? nullptr : &it->second;
  };
  auto text = [](const StoredValue* v) {
    return v && v->type == VarType::String ? Bytes(v->text)
                                           : PgParam{"", false, true};
  };
  const StoredValue* status = prop(CallProperty::Status);
  std::vector<PgParam> params = {
      Bytes(FrameProperties(row.properties, row.unknown_properties)),
      status && status->type != VarType::String ? Int(status->number)
                                                : PgParam{"", false, true},
      text(prop(CallProperty::SoldToBusinessPartner)),
      text(prop(CallProperty::CallDescription))};
  if (texts) {
    params.push_back(Pieces(row.text, 0));
    params.push_back(Pieces(row.solution_text, 0));
  }
  return params;
}

std::optional<CallRow> PostgresEngine::Locked(int64_t seq, const PgResult& r) {
  locked_.reset();
  if (r.Rows())
    locked_ = {seq, static_cast<size_t>(r.Int(0, 3)),
               static_cast<size_t>(r.Int(0, 4))};
  return RowOf(r);
}

}  // namespace postgres

std::unique_ptr<StorageEngine> OpenPostgresStorage(const std::string& uri,
                                                   OpenMode open) {
  return std::make_unique<postgres::PostgresEngine>(uri, open);
}

}  // namespace quillet::standins
