// What goes to the server and what comes back: a statement's parameters,
// and its rows decoded from libpq's binary form.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

namespace quillet::standins {

// One parameter: bytes (sent in binary form: raw text or BYTEA), a number
// (sent as text), or NULL.
struct PgParam {
  std::string bytes;
  bool binary = true;
  bool null = false;
};
inline PgParam Bytes(std::string s) { return {std::move(s), true, false}; }
inline PgParam Int(int64_t n) { return {std::to_string(n), false, false}; }
template <class T>
PgParam Maybe(const std::optional<T>& v) {
  if (!v) return {"", false, true};
  if constexpr (std::is_same_v<T, std::string>)
    return Bytes(*v);
  else
    return Int(*v);
}

// The rows of one statement's result, freed with it, in binary form: a
// BYTEA or text as its bytes, a boolean as "t" or "f", an integer as its
// digits (Text) or its value (Int); any other type raises.
class PgResult {
 public:
  explicit PgResult(PGresult* r) : r_(r) {}
  ~PgResult() { PQclear(r_); }
  PgResult(PgResult&& other) noexcept : r_(other.r_) { other.r_ = nullptr; }
  PgResult(const PgResult&) = delete;
  PgResult& operator=(const PgResult&) = delete;
  int Rows() const { return PQntuples(r_); }
  int Columns() const { return PQnfields(r_); }
  bool IsNull(int row, int col) const { return PQgetisnull(r_, row, col); }
  std::string Text(int row, int col) const;
  // The command's tag ("COMMIT", "ROLLBACK", "INSERT 0 1").
  const char* Status() const { return PQcmdStatus(r_); }
  int64_t Int(int row, int col) const;

 private:
  // An integer column's value in binary form; nullopt for any other.
  std::optional<int64_t> Number(int row, int col) const;
  PGresult* r_;
};

// One line of a server's or libpq's message: its first line, tabs and
// control characters as spaces.
std::string OneLine(const char* text);

}  // namespace quillet::standins
