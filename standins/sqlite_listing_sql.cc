#include "sqlite_listing_sql.h"

#include <set>
#include <vector>

#include "call_row_json.h"

namespace quillet::standins::sqlite {

const char* MasterSql(MasterTable table) {
  switch (table) {
    case MasterTable::kServiceObjects:
      return "INSERT OR REPLACE INTO service_objects(object, contract, "
             "warranty, warranty_description, warranty_expiry_date) "
             "VALUES(?1, ?2, ?3, ?4, ?5)";
    case MasterTable::kBusinessPartners:
      return "INSERT OR REPLACE INTO business_partners(number, name) "
             "VALUES(?1, ?2)";
    case MasterTable::kEngineerTime:
      return "INSERT OR REPLACE INTO engineer_time(question_id, minutes) "
             "VALUES(?1, ?2)";
  }
  return "";
}

// Listing a master table (business partners or service objects): a page
// after a key, or the row of one key.
const char* MasterPageSql(MasterTable table) {
  return table == MasterTable::kBusinessPartners
             ? "SELECT number, name FROM business_partners WHERE number > ?1 "
               "ORDER BY number LIMIT ?2"
             : "SELECT object, contract, warranty, warranty_description, "
               "warranty_expiry_date FROM service_objects WHERE object > ?1 "
               "ORDER BY object LIMIT ?2";
}
const char* MasterRowSql(MasterTable table) {
  return table == MasterTable::kBusinessPartners
             ? "SELECT number, name FROM business_partners WHERE number = ?1"
             : "SELECT object, contract, warranty, warranty_description, "
               "warranty_expiry_date FROM service_objects WHERE object = ?1";
}
int MasterWidth(MasterTable table) {
  return table == MasterTable::kBusinessPartners ? 2 : 5;
}

// A text the trigram index can look for: whole UTF-8 characters, at least
// three of them (a trigram), and no NUL. Any other text is looked for in
// every description the other filters leave.
bool Indexable(const std::string& text) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++chars) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t len = c == 0                  ? 0
                 : c < 0x80              ? 1
                 : c >= 0xc2 && c < 0xe0 ? 2
                 : c >= 0xe0 && c < 0xf0 ? 3
                 : c >= 0xf0 && c < 0xf5 ? 4
                                         : 0;
    if (len == 0 || i + len > text.size()) return false;
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80)
        return false;
    i += len;
  }
  return chars >= 3;
}

// The full-text question for `text`: every trigram it holds, each quoted.
// What it finds holds them all, in some order: each call found is then
// checked for the text itself.
std::string TrigramQuery(const std::string& text) {
  std::vector<size_t> starts;  // of each character
  for (size_t i = 0; i < text.size(); ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80)
      starts.push_back(i);
  starts.push_back(text.size());
  std::set<std::string> trigrams;
  for (size_t c = 0; c + 3 < starts.size(); ++c)
    trigrams.insert(text.substr(starts[c], starts[c + 3] - starts[c]));
  std::string query;
  for (const std::string& trigram : trigrams) {
    query += query.empty() ? "\"" : " AND \"";
    for (char ch : trigram)
      query += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    query += '"';
  }
  return query;
}

constexpr unsigned kListingShapes = 128;

namespace {

std::string ListingSql(unsigned shape) {
  bool changed_order = (shape & kNewestChanged) != 0;
  std::vector<std::string> terms;
  if (shape & kBefore)
    terms.push_back(
        "last_transaction_time <= ?1 AND (last_transaction_time < ?1 OR seq "
        "< ?7)");
  if (shape & kChangedSince) terms.push_back("last_transaction_time >= ?2");
  if (shape & kStatus) terms.push_back("status = ?3");
  if (shape & kSoldTo) terms.push_back("sold_to = ?4");
  // The calls the text index finds, and those it does not hold yet; in
  // sequence order, the list alone bounds the calls read.
  if (shape & kIndexedText)
    terms.push_back(
        changed_order
            ? "seq IN (SELECT rowid FROM calls_text WHERE calls_text MATCH ?8 "
              "UNION ALL SELECT seq FROM calls WHERE seq > (SELECT upto FROM "
              "calls_text_upto))"
            : "seq IN (SELECT rowid FROM calls_text WHERE calls_text MATCH ?8 "
              "AND rowid > ?1 UNION ALL SELECT seq FROM calls WHERE seq > "
              "max(?1, (SELECT upto FROM calls_text_upto)))");
  else if (!changed_order)
    terms.push_back("seq > ?1");
  if (shape & (kText | kIndexedText))
    terms.push_back("instr(description, ?6) > 0");
  std::string sql =
      changed_order ? "SELECT seq, last_transaction_time" : "SELECT seq";
  if (shape & (kText | kIndexedText)) sql += ", description";
  sql += " FROM calls";
  // "Changed since" alone, in sequence order: the calls changed since then
  // are read by time and sorted, rather than every call read in order (a
  // follower asks for the few changed since it last looked).
  if (shape == kChangedSince) sql += " INDEXED BY calls_by_time";
  for (size_t i = 0; i < terms.size(); ++i)
    sql += (i == 0 ? " WHERE " : " AND ") + terms[i];
  sql += changed_order
             ? " ORDER BY last_transaction_time DESC, seq DESC LIMIT ?5"
             : " ORDER BY seq LIMIT ?5";
  return sql;
}

}  // namespace

const char* ListingStatement(unsigned shape) {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> all;
    for (unsigned s = 0; s < kListingShapes; ++s) all.push_back(ListingSql(s));
    return all;
  }();
  return texts[shape].c_str();
}

ListingFilters::ListingFilters(const CallQuery& q) : query(&q) {
  if (q.changed_since) shape |= kChangedSince;
  if (q.status) shape |= kStatus;
  if (q.sold_to) {
    shape |= kSoldTo;
    std::optional<std::string> spelled = SpellText(*q.sold_to);
    none = !spelled;
    if (spelled) sold_to = std::move(*spelled);
  }
  if (q.text) {
    std::optional<std::string> spelled = SpellText(*q.text);
    none = none || !spelled;
    if (spelled) text = spelled->substr(1, spelled->size() - 2);
    shape |= Indexable(text) ? kIndexedText : kText;
  }
}

void ListingFilters::Bind(Statement& s, unsigned with) const {
  if (with & kChangedSince) s.Bind(2, *query->changed_since);
  if (with & kStatus) s.Bind(3, *query->status);
  if (with & kSoldTo) s.Bind(4, sold_to);
  if (with & (kText | kIndexedText)) s.Bind(6, text);
  if (with & kIndexedText) s.Bind(8, TrigramQuery(text));
}

bool ListingFilters::Holds(Statement& s, unsigned with) const {
  if (!(with & (kText | kIndexedText))) return true;
  int column = with & kNewestChanged ? 2 : 1;
  if (s.IsNull(column)) return false;
  std::optional<std::string> description = SpelledText(s.View(column));
  return description && description->find(*query->text) != std::string::npos;
}

}  // namespace quillet::standins::sqlite
