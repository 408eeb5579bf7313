#include "sqlite_reader_access.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>

namespace quillet::standins::sqlite {

Reader ReaderAccess(const std::string& path) {
  struct stat file {};
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  const char* folder_name = folder.empty() ? "." : folder.c_str();
  if (::stat(path.c_str(), &file) == 0 &&
      (file.st_uid == ::geteuid() || ::geteuid() == 0) &&
      ::access(path.c_str(), W_OK) == 0 && ::access(folder_name, W_OK) == 0)
    return Reader::kOwner;
  std::error_code ec;
  if (std::filesystem::exists(path + "-wal", ec)) return Reader::kShared;
  return Reader::kImmutable;
}

std::string ImmutableUri(const std::string& path) {
  // An absolute path after an empty authority ("file:///tmp/x.db").
  std::string uri = path.rfind('/', 0) == 0 ? "file://" : "file:";
  for (char raw : path) {
    auto c = static_cast<unsigned char>(raw);
    if (std::isalnum(c) || c == '/' || c == '.' || c == '-' || c == '_' ||
        c == '~') {
      uri += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      uri += hex;
    }
  }
  return uri + "?immutable=1";
}

}  // namespace quillet::standins::sqlite
