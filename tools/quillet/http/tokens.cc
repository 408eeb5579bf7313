#include "http/tokens.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <sstream>

#include "input.h"
#include "quillet/operations/usage_error.h"

namespace quillet::cli::http {

using operations::UsageError;
namespace {

constexpr std::string_view kHashPrefix = "sha256:";
constexpr std::string_view kEngineerPrefix = "engineer=";

std::array<unsigned char, 32> Sha256(std::string_view text) {
  std::array<unsigned char, 32> hash{};
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), hash.data(), &size, EVP_sha256(),
             nullptr);
  return hash;
}

std::string Hex(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

bool ParseHash(std::string_view text, std::array<unsigned char, 32>& hash) {
  if (text.substr(0, kHashPrefix.size()) != kHashPrefix) return false;
  text.remove_prefix(kHashPrefix.size());
  if (text.size() != 64) return false;
  for (size_t i = 0; i < 32; ++i) {
    unsigned value = 0;
    for (char c : text.substr(2 * i, 2)) {
      value <<= 4;
      if (c >= '0' && c <= '9')
        value |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        value |= static_cast<unsigned>(c - 'a' + 10);
      else
        return false;
    }
    hash[i] = static_cast<unsigned char>(value);
  }
  return true;
}

bool UsableName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' &&
        c != '.' && c != '@')
      return false;
  return true;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

std::optional<Scope> ParseScope(std::string_view text) {
  if (text == "read") return Scope::kRead;
  if (text == "write") return Scope::kWrite;
  if (text == "admin") return Scope::kAdmin;
  return std::nullopt;
}

const char* ScopeName(Scope scope) {
  switch (scope) {
    case Scope::kRead:
      return "read";
    case Scope::kWrite:
      return "write";
    case Scope::kAdmin:
      return "admin";
  }
  return "read";
}

TokenSet TokenSet::Parse(const std::string& text) {
  TokenSet set;
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> words = Words(line);
    if (!words.empty() && words[0][0] != '#') lines.push_back(words);
  }
  if (lines.size() == 1 && lines[0].size() == 1) {  // one bare token
    set.entries_.push_back({"token", Scope::kAdmin, Sha256(lines[0][0])});
    return set;
  }
  size_t number = 0;
  for (const std::vector<std::string>& words : lines) {
    ++number;
    std::string where = "the token file, entry " + std::to_string(number);
    Entry entry;
    std::optional<Scope> scope = words.size() == 3 || words.size() == 4
                                     ? ParseScope(words[1])
                                     : std::nullopt;
    if (words.size() == 4) {
      if (words[3].rfind(kEngineerPrefix, 0) == 0)
        entry.engineer = words[3].substr(kEngineerPrefix.size());
      if (!UsableName(entry.engineer)) scope.reset();
    }
    if (!scope || !UsableName(words[0]) || !ParseHash(words[2], entry.hash))
      throw UsageError(where + ": not NAME SCOPE sha256:HASH [engineer=CODE]");
    for (const Entry& other : set.entries_)
      if (other.name == words[0])
        throw UsageError(where + ": the name is used twice");
    entry.name = words[0];
    entry.scope = *scope;
    set.entries_.push_back(std::move(entry));
  }
  if (set.entries_.empty()) throw UsageError("the token file has no token");
  return set;
}

TokenSet TokenSet::Load(const std::string& path) {
  return Parse(ReadFile(path));
}

const TokenSet::Entry* TokenSet::Find(std::string_view token) const {
  std::array<unsigned char, 32> hash = Sha256(token);
  const Entry* found = nullptr;
  for (const Entry& entry : entries_)  // every entry, found or not
    if (CRYPTO_memcmp(entry.hash.data(), hash.data(), hash.size()) == 0)
      found = &entry;
  return found;
}

bool TokenSet::Revoked(std::string_view token) const {
  std::array<unsigned char, 32> hash = Sha256(token);
  bool found = false;
  for (const auto& gone : revoked_)  // every one, found or not
    found |= CRYPTO_memcmp(gone.data(), hash.data(), hash.size()) == 0;
  return found;
}

void TokenSet::Succeed(const TokenSet& before) {
  std::vector<std::array<unsigned char, 32>> gone = before.revoked_;
  for (const Entry& entry : before.entries_) gone.push_back(entry.hash);
  for (const auto& hash : gone) {
    bool taken = std::any_of(entries_.begin(), entries_.end(),
                             [&](const Entry& e) { return e.hash == hash; });
    if (!taken &&
        std::find(revoked_.begin(), revoked_.end(), hash) == revoked_.end())
      revoked_.push_back(hash);
  }
}

std::string NewToken() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    throw UsageError("no randomness for a new token");
  return Hex(bytes, sizeof bytes);
}

std::string AddToken(const std::string& path, const std::string& name,
                     Scope scope, const std::string& engineer) {
  if (!UsableName(name))
    throw UsageError(
        "a token name is 1 to 64 letters, digits, '-', '_', '.' or '@'");
  if (!engineer.empty() && !UsableName(engineer))
    throw UsageError(
        "an engineer code is 1 to 64 letters, digits, '-', '_', '.' or '@'");
  // The new file is made beside the old one, exclusively: a second `token
  // add` at the same time is refused rather than losing one of the tokens.
  std::string temporary = path + ".new";
  int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    throw UsageError(
        errno == EEXIST
            ? "another 'quillet token add' is writing the token file (or one "
              "was stopped: remove '" +
                  temporary + "')"
            : "the token file cannot be written");
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  std::string text;
  struct stat old {};
  bool had_file = stat(path.c_str(), &old) == 0;
  try {
    if (had_file) text = ReadFile(path);
  } catch (...) {
    unlink(temporary.c_str());
    throw;
  }
  if (had_file) {
    TokenSet existing = TokenSet::Parse(text);
    if (existing.entries().size() == 1 &&
        existing.entries()[0].name == "token" && Words(text).size() == 1) {
      unlink(temporary.c_str());
      throw UsageError(
          "the token file holds one bare token: write it as NAME admin "
          "sha256:HASH first, or start a new file");
    }
    for (const TokenSet::Entry& entry : existing.entries())
      if (entry.name == name) {
        unlink(temporary.c_str());
        throw UsageError("the token file already has '" + name + "'");
      }
    if (!text.empty() && text.back() != '\n') text.push_back('\n');
  } else {
    text = "# quillet tokens: NAME SCOPE sha256:HASH of the token\n";
  }
  std::string token = NewToken();
  std::array<unsigned char, 32> hash = Sha256(token);
  text +=
      name + " " + ScopeName(scope) + " " + std::string(kHashPrefix) +
      Hex(hash.data(), hash.size()) +
      (engineer.empty() ? "" : " " + std::string(kEngineerPrefix) + engineer) +
      "\n";
  // The file keeps its owner and mode (root:quillet, 640, as packaged), so
  // the service can still read it after the change.
  if (had_file) {
    [[maybe_unused]] int ignored = fchown(fd, old.st_uid, old.st_gid);
    fchmod(fd, old.st_mode & 0777);
  }
  bool written = write(fd, text.data(), text.size()) ==
                     static_cast<ssize_t>(text.size()) &&
                 fsync(fd) == 0;
  if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    throw UsageError("the token file cannot be written");
  }
  return token;
}

}  // namespace quillet::cli::http
