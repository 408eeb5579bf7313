#include "output_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "input.h"
#include "quillet/operations/backend.h"
#include "quillet/operations/text_excerpt.h"
#include "quillet/operations/usage_error.h"

namespace quillet::cli {

using operations::BackendSetup;
using operations::Excerpt;
using operations::UsageError;
namespace {

bool IsFile(const NamedPath& p) { return !p.path.empty() && p.path != "-"; }

// Where `path` leads, links followed, also a link to a file not made yet
// (which the resolving functions leave as it is).
std::filesystem::path Resolved(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  for (int hops = 0; hops < 40 && fs::is_symlink(p, ec); ++hops) {
    fs::path target = fs::read_symlink(p, ec);
    if (ec) break;
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  fs::path resolved = fs::weakly_canonical(p, ec);
  return ec ? p.lexically_normal() : resolved;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  bool a_exists = ::stat(a.c_str(), &sa) == 0;
  bool b_exists = ::stat(b.c_str(), &sb) == 0;
  // Devices and pipes (/dev/null, /dev/stdout) are no one's data.
  if (a_exists && b_exists)
    return S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
  // One or both do not exist yet: the same file when they resolve to the
  // same place.
  return Resolved(a) == Resolved(b);
}

}  // namespace

std::vector<NamedPath> KeptFiles(const BackendSetup& setup) {
  std::vector<NamedPath> kept;
  if (!operations::IsServerAddress(setup.db)) {
    kept.push_back({"the database", setup.db});
    // SQLite names its companions after the file it opened: through a link,
    // after the link's target.
    std::error_code ec;
    std::string target = std::filesystem::weakly_canonical(setup.db, ec);
    for (const std::string& base : {setup.db, ec ? setup.db : target})
      for (const char* companion : {"-wal", "-shm", "-journal"})
        kept.push_back(
            {"the database's " + std::string(companion + 1) + " file",
             base + companion});
  }
  kept.push_back({"the log", setup.LogPath(), true});
  return kept;
}

void CheckOutputPaths(const std::vector<NamedPath>& outputs,
                      const std::vector<NamedPath>& kept) {
  for (size_t i = 0; i < outputs.size(); ++i) {
    const NamedPath& out = outputs[i];
    if (!IsFile(out)) continue;
    auto refuse = [&](const NamedPath& other) {
      throw UsageError(out.what + " '" + Excerpt(out.path, 200) + "' is " +
                       other.what +
                       "; give another file (nothing was "
                       "written)");
    };
    for (const NamedPath& k : kept)
      if (IsFile(k) && SameFile(out.path, k.path)) refuse(k);
    for (size_t j = 0; j < i; ++j)
      if (IsFile(outputs[j]) && SameFile(out.path, outputs[j].path))
        refuse({"the same file as " + outputs[j].what, outputs[j].path});
  }
  // The log is appended to: a log that is the database or the batch input
  // would corrupt it.
  for (const NamedPath& log : kept) {
    if (!log.appended || !IsFile(log)) continue;
    for (const NamedPath& k : kept)
      if (!k.appended && IsFile(k) && SameFile(log.path, k.path))
        throw UsageError("the log '" + Excerpt(log.path, 200) + "' is " +
                         k.what + "; give another --log (nothing was written)");
  }
}

void CheckWritable(const std::vector<NamedPath>& outputs) {
  for (const NamedPath& out : outputs) {
    if (!IsFile(out)) continue;
    struct stat file {};
    int error = 0;
    if (::stat(out.path.c_str(), &file) == 0) {
      if (S_ISDIR(file.st_mode))
        error = EISDIR;
      else if (::access(out.path.c_str(), W_OK) != 0)
        error = errno;
    } else if (errno != ENOENT) {
      error = errno;
    } else {
      // A new file: its folder must be there and open to new files.
      std::string folder =
          std::filesystem::path(out.path).parent_path().string();
      if (folder.empty()) folder = ".";
      struct stat dir {};
      if (::stat(folder.c_str(), &dir) != 0)
        error = errno;
      else if (!S_ISDIR(dir.st_mode))
        error = ENOTDIR;
      else if (::access(folder.c_str(), W_OK | X_OK) != 0)
        error = errno;
    }
    if (error)
      throw UsageError(out.what + ": cannot write '" + Excerpt(out.path, 200) +
                       "' (" + std::strerror(error) + ")");
  }
}

}  // namespace quillet::cli
