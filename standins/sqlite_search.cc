// The SQLite engine's search (CallQuery::words): the full-text index of the
// calls' texts (sqlite_schema.cc), and the few calls past it, which each
// search indexes alike in a temporary table of its connection.
#include <climits>

#include "search_words.h"
#include "sqlite_engine.h"
#include "sqlite_listing_sql.h"

namespace quillet::standins::sqlite {
namespace {

// The full-text question: each word as a word or the start of one, all of
// them (the words hold no character the question language reads).
std::string SearchQuestion(const std::vector<std::string>& words) {
  std::string question;
  for (const std::string& word : words)
    question += (question.empty() ? "\"" : " \"") + word + "\"*";
  return question;
}

// The calls past the index, made into the temporary index afresh.
constexpr const char* kTailTable =
    "CREATE VIRTUAL TABLE IF NOT EXISTS temp.calls_search_tail USING "
    "fts5(body, tokenize='unicode61 remove_diacritics 2')";
constexpr const char* kTailClear = "DELETE FROM temp.calls_search_tail";
constexpr const char* kTailFill =
    "INSERT INTO temp.calls_search_tail(rowid, body) SELECT seq, body FROM "
    "calls_search_body WHERE seq > (SELECT upto FROM calls_text_upto)";

// A page of either index, newest first. Parameters: ?1 below this sequence
// number, ?2 changed since, ?3 status, ?4 sold-to partner (spelled), ?5
// limit, ?6 text in the description (spelled), ?9 the question.
#define QUILLET_SEARCH_PAGE(table)                                        \
  "SELECT " table ".rowid, snippet(" table                                \
  ", 0, '', '', '...', 12), "                                             \
  "c.description FROM " table " JOIN calls c ON c.seq = " table           \
  ".rowid WHERE " table " MATCH ?9 AND " table                            \
  ".rowid < ?1 AND (?2 IS "                                               \
  "NULL OR c.last_transaction_time >= ?2) AND (?3 IS NULL OR c.status = " \
  "?3) AND (?4 IS NULL OR c.sold_to = ?4) AND (?6 IS NULL OR "            \
  "instr(c.description, ?6) > 0) ORDER BY " table ".rowid DESC"
constexpr const char* kIndexPage = QUILLET_SEARCH_PAGE("calls_search");
constexpr const char* kTailPage = QUILLET_SEARCH_PAGE("calls_search_tail");

}  // namespace

std::vector<StorageEngine::SearchHit> SqliteEngine::SearchCallPage(
    const CallQuery& query, int64_t before_seq, int64_t limit) {
  std::vector<std::string> words = SearchWords(query.words.value_or(""));
  ListingFilters filters(query);
  if (filters.none || words.empty()) return {};
  // The filters as the page binds them: a text is looked for in every
  // description the words leave, then checked (column 2).
  unsigned with = filters.shape & (kChangedSince | kStatus | kSoldTo);
  if (filters.shape & (kText | kIndexedText)) with |= kText;
  std::string question = SearchQuestion(words);
  Statement(*use_, kTailTable).Run();
  Statement(*use_, kTailClear).Run();
  Statement(*use_, kTailFill).Run();
  std::vector<SearchHit> out;
  for (const char* sql : {kTailPage, kIndexPage}) {
    Statement s(*use_, sql);
    s.Bind(1, before_seq).Bind(9, question);
    filters.Bind(s, with);
    while (static_cast<int64_t>(out.size()) < limit && s.Step())
      if (filters.Holds(s, with | kNewestChanged))
        out.push_back(SearchHit{s.Int(0), s.Text(1)});
  }
  return out;
}

}  // namespace quillet::standins::sqlite
