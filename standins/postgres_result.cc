// Decoding what the server answers (postgres_result.h).
#include "postgres_result.h"

#include "backend_failure.h"

namespace quillet::standins {

// One line of a server's or libpq's message: its first line, tabs and
// control characters as spaces.
std::string OneLine(const char* text) {
  std::string line = text ? text : "";
  line = line.substr(0, line.find('\n'));
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// Every statement's result comes in binary form: a BYTEA as its bytes, not
// as hex at twice its size (which past about 512 MiB the server cannot
// build). The types Quillet's statements answer are decoded here; any
// other raises rather than be misread.
namespace {
enum : Oid {
  kBool = 16,
  kBytea = 17,
  kName = 19,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kText = 25,
  kUnknown = 705,
  kBpchar = 1042,
  kVarchar = 1043,
  kVoid = 2278,
};

// A big-endian integer of `size` bytes, sign-extended.
int64_t BigEndian(const char* p, int size) {
  uint64_t n = static_cast<unsigned char>(p[0]) & 0x80 ? ~uint64_t{0} : 0;
  for (int i = 0; i < size; ++i)
    n = (n << 8) | static_cast<unsigned char>(p[i]);
  return static_cast<int64_t>(n);
}
}  // namespace

std::optional<int64_t> PgResult::Number(int row, int col) const {
  const char* p = PQgetvalue(r_, row, col);
  int length = PQgetlength(r_, row, col);
  Oid type = PQftype(r_, col);
  if (PQgetisnull(r_, row, col)) return std::nullopt;
  if ((type == kInt2 && length == 2) || (type == kInt4 && length == 4) ||
      (type == kInt8 && length == 8))
    return BigEndian(p, length);
  if (type == kInt2 || type == kInt4 || type == kInt8)
    RaiseBackend("PostgreSQL: a number could not be decoded");
  return std::nullopt;
}

std::string PgResult::Text(int row, int col) const {
  if (std::optional<int64_t> n = Number(row, col)) return std::to_string(*n);
  const char* p = PQgetvalue(r_, row, col);
  size_t length = static_cast<size_t>(PQgetlength(r_, row, col));
  switch (PQftype(r_, col)) {
    case kBool:
      return length == 1 && p[0] ? "t" : "f";
    case kBytea:
    case kName:
    case kText:
    case kUnknown:
    case kBpchar:
    case kVarchar:
    case kVoid:
      return std::string(p, length);
    default:
      RaiseBackend("PostgreSQL: a value of an unexpected type was answered");
  }
}
int64_t PgResult::Int(int row, int col) const {
  if (std::optional<int64_t> n = Number(row, col)) return *n;
  return std::stoll(Text(row, col));
}

}  // namespace quillet::standins
