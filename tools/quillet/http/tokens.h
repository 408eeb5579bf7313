// Named bearer tokens with a scope each, from a token file that holds only
// their SHA-256 hashes, one entry a line:
//
//   # name  scope  hash
//   ci-bot  write  sha256:9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822c...
//   anna    write  sha256:60303ae22b998861bce3b28f33eec1be758a213c86c93c07...
//   engineer=E-7
//
// A token may be bound to an engineer (`engineer=CODE`): the calls listing's
// view "mine" is that engineer's calls.
// Scopes are ordered: read (the reads), write (reads and operations), admin
// (everything, the audit trail too). A file holding one bare token, and
// nothing else, keeps working: that token is "token", with scope admin.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::cli::http {

enum class Scope { kRead, kWrite, kAdmin };

std::optional<Scope> ParseScope(std::string_view text);
const char* ScopeName(Scope scope);

class TokenSet {
 public:
  struct Entry {
    std::string name;
    Scope scope = Scope::kRead;
    std::array<unsigned char, 32> hash{};
    std::string engineer;  // the engineer bound to it, or empty
  };

  // Raises UsageError naming the line when the text is not a token file
  // (the message never holds a token or a hash).
  static TokenSet Parse(const std::string& text);
  static TokenSet Load(const std::string& path);

  // The entry whose hash is the given token's; nullptr when none.
  const Entry* Find(std::string_view token) const;
  // Whether the token was taken by a set this one replaced and is no
  // longer: only a caller who holds the token itself can learn that it was
  // revoked (its hash is all that is kept), never whether another exists.
  bool Revoked(std::string_view token) const;
  // Remembers, as revoked, the hashes `before` took or knew as revoked that
  // this set does not take.
  void Succeed(const TokenSet& before);
  bool empty() const { return entries_.empty(); }
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  std::vector<Entry> entries_;
  std::vector<std::array<unsigned char, 32>> revoked_;
};

// A new random token (256 bits, hex). Raises Error when the system has no
// randomness to give.
std::string NewToken();

// Adds NAME with SCOPE to the token file at `path` (made, mode 0600, when
// absent; replaced whole, never half written) and answers the new token,
// which is stored nowhere; bound to `engineer` when it is not empty.
// Raises UsageError for a bad or taken name, a bad engineer code, or a file
// that is not a token file.
std::string AddToken(const std::string& path, const std::string& name,
                     Scope scope, const std::string& engineer = "");

}  // namespace quillet::cli::http
