// The SQL of the SQLite engine's reads: master data, and the listings'
// statements, one per order and set of filters, with the trigram index's
// question for a text.
#pragma once

#include <cstdint>
#include <string>

#include "quillet/standins/store_types.h"
#include "sqlite_statement.h"
#include "storage_engine.h"

namespace quillet::standins::sqlite {

// Master data: the statement that stores a row of `table`; a page of it
// after a key, or the row of one key, and how many columns those read.
const char* MasterSql(MasterTable table);
const char* MasterPageSql(MasterTable table);
const char* MasterRowSql(MasterTable table);
int MasterWidth(MasterTable table);

// A text the trigram index can look for: whole UTF-8 characters, at least
// three of them (a trigram), and no NUL. Any other text is looked for in
// every description the other filters leave.
bool Indexable(const std::string& text);
// The full-text question for `text`: every trigram it holds, each quoted.
// What it finds holds them all, in some order: each call found is then
// checked for the text itself.
std::string TrigramQuery(const std::string& text);

// The listing's statements, one per order and set of filters: each filter
// present is a plain comparison the planner can answer from its index (a
// filter left out as "?N IS NULL OR ..." would make every statement scan).
// Parameters: ?1 after this sequence number, or (newest-changed order)
// before this time, ?7 and this sequence number; ?2 changed since; ?3
// status; ?4 sold-to partner; ?5 limit; ?6 text in the description; ?8 its
// trigram query.
enum ListingFilter : unsigned {
  kChangedSince = 1,
  kStatus = 2,
  kSoldTo = 4,
  kText = 8,          // looked for in every description left
  kIndexedText = 16,  // found through the trigram index, then checked
  kNewestChanged = 32,
  kBefore = 64,  // newest-changed order, after a call
};
// The statement of a shape (ListingFilter bits), made once: the statement
// cache keys statements by the address of their text.
const char* ListingStatement(unsigned shape);

// A listing's filters as the statement compares them: the sold-to partner
// and the description are read in their stored JSON spelling (json_extract
// would cut them at a NUL), so the partner is compared with its spelling
// and the text looked for as its spelling; a description where the spelling
// is found is then checked for the text itself, since it may be found
// across an escape ("n" in "\n").
struct ListingFilters {
  unsigned shape = 0;
  bool none = false;  // a text that is not UTF-8: no stored text holds it
  std::string sold_to;
  std::string text;  // the text's spelling, without its quotes
  const CallQuery* query = nullptr;

  explicit ListingFilters(const CallQuery& q);
  void Bind(Statement& s, unsigned with) const;
  // Whether the call of a row the statement gave is one the listing holds.
  bool Holds(Statement& s, unsigned with) const;
};

}  // namespace quillet::standins::sqlite
