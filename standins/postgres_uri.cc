#include "postgres_uri.h"

#include <libpq-fe.h>

#include <vector>

#include "quillet/standins/store_types.h"

namespace quillet::standins {
namespace {

void Add(std::vector<std::string>& secrets, std::string secret) {
  if (!secret.empty()) secrets.push_back(std::move(secret));
}

// The passwords `uri` carries: as libpq reads it, and as the text spells it
// (the user-info part's password, and every password= parameter), raw and
// percent-encoded alike.
std::vector<std::string> Passwords(const std::string& uri) {
  std::vector<std::string> secrets;
  if (PQconninfoOption* options = PQconninfoParse(uri.c_str(), nullptr)) {
    for (PQconninfoOption* o = options; o->keyword; ++o)
      if (std::string(o->keyword) == "password" && o->val) Add(secrets, o->val);
    PQconninfoFree(options);
  }
  size_t scheme = uri.find("://");
  if (scheme != std::string::npos) {
    size_t start = scheme + 3;
    size_t end = uri.find_first_of("/?", start);
    std::string authority = uri.substr(
        start, end == std::string::npos ? std::string::npos : end - start);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) {
      std::string info = authority.substr(0, at);
      size_t colon = info.find(':');
      if (colon != std::string::npos) Add(secrets, info.substr(colon + 1));
    }
  }
  for (size_t at = uri.find("password="); at != std::string::npos;
       at = uri.find("password=", at + 1)) {
    size_t start = at + 9;
    size_t end = uri.find_first_of("& ", start);
    Add(secrets, uri.substr(start, end == std::string::npos ? std::string::npos
                                                            : end - start));
  }
  return secrets;
}

}  // namespace

std::string ScrubPassword(const std::string& text, const std::string& uri) {
  std::string out = text;
  for (const std::string& secret : Passwords(uri))
    for (size_t at = out.find(secret); at != std::string::npos;
         at = out.find(secret, at + 3))
      out.replace(at, secret.size(), "***");
  return out;
}

bool IsPostgresUri(const std::string& where) {
  if (where.rfind("postgresql://", 0) == 0 ||
      where.rfind("postgres://", 0) == 0)
    return true;
  // libpq's key=value form ("host=... dbname=..."): only what libpq reads
  // as such, every word a keyword of its own.
  if (where.find('=') == std::string::npos) return false;
  PQconninfoOption* parsed = PQconninfoParse(where.c_str(), nullptr);
  PQconninfoFree(parsed);
  return parsed != nullptr;
}

std::string Displayed(const std::string& where) {
  // A mistyped URI or connection string is scrubbed too; a file's path
  // carries no password and comes back as it is.
  return ScrubPassword(where, where);
}

}  // namespace quillet::standins
