#include "quillet/operations/backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>

#include "quillet/operations/text_excerpt.h"
#include "quillet/operations/usage_error.h"
#include "quillet/standins/sqlite_backup.h"

namespace quillet::operations {
namespace {

namespace fs = std::filesystem;

void RefuseServer(const BackendSetup& backend, const char* command) {
  if (IsServerAddress(backend.db))
    throw UsageError(std::string("'quillet backend ") + command +
                     "' is for an embedded SQLite database: a PostgreSQL "
                     "database is backed up with pg_dump and restored with "
                     "pg_restore (see the operator guide, Backups)");
}

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw UsageError(what + " '" + Excerpt(path, 200) +
                   "': " + std::strerror(errno));
}

std::string FolderOf(const std::string& path) {
  std::string folder = fs::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

void Sync(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    int saved = errno;
    if (fd >= 0) ::close(fd);
    errno = saved;
    Fail("cannot write", path);
  }
  ::close(fd);
}

// A new file beside `beside` (".NAME.partial-XXXXXX", mode 0600: it holds
// what the database holds), removed with any companion SQLite left unless
// it was renamed into place.
class PartialFile {
 public:
  explicit PartialFile(const std::string& beside) {
    fs::path name = fs::path(beside).filename();
    path_ =
        (fs::path(FolderOf(beside)) / ("." + name.string() + ".partial-XXXXXX"))
            .string();
    int fd = ::mkstemp(path_.data());
    if (fd < 0) Fail("cannot make a file beside", beside);
    ::close(fd);
  }
  ~PartialFile() {
    if (renamed_) return;
    for (const char* companion : {"", "-journal", "-wal", "-shm"})
      ::unlink((path_ + companion).c_str());
  }
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  const std::string& path() const { return path_; }

  // Given the mode and owner of `file`, which it is to replace: a service
  // that could open the database opens the restored one.
  void Like(const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) Fail("cannot read", file);
    if (::chmod(path_.c_str(), st.st_mode & 07777) != 0)
      Fail("cannot set the mode of", path_);
    if (::chown(path_.c_str(), st.st_uid, st.st_gid) != 0 && errno != EPERM)
      Fail("cannot set the owner of", path_);
  }

  // Synced, renamed over `target`, and the rename synced.
  void RenameTo(const std::string& target) {
    Sync(path_, O_RDONLY);
    if (::rename(path_.c_str(), target.c_str()) != 0)
      Fail("cannot rename a file onto", target);
    renamed_ = true;
    Sync(FolderOf(target), O_RDONLY | O_DIRECTORY);
  }

 private:
  std::string path_;
  bool renamed_ = false;
};

// SQLite takes a -wal or -journal it finds beside a file for the file's
// own and lays it over what was copied there: commits of another database.
void RefuseLeftJournals(const std::string& file) {
  std::error_code ec;
  for (const char* companion : {"-wal", "-journal"})
    if (fs::exists(file + companion, ec))
      throw UsageError("'" + Excerpt(file, 200) + "' has a " + (companion + 1) +
                       " file beside it (of a database moved away or still "
                       "in use?): move that file away first; nothing was "
                       "changed");
}

BackupFacts FactsOf(const standins::CopyFacts& copy) {
  return {copy.schema_version, copy.calls, copy.items, copy.request_keys};
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// A second name for the database, which keeps it once another takes its
// name: "DB.before-restore-20261208T101500Z" (then "-2", "-3" ...).
std::string KeepAside(const std::string& db) {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  std::string base = db + ".before-restore-" + stamp;
  for (int n = 1; n < 100; ++n) {
    std::string aside = n == 1 ? base : base + "-" + std::to_string(n);
    if (::link(db.c_str(), aside.c_str()) == 0) return aside;
    if (errno != EEXIST) Fail("cannot keep the database aside as", aside);
  }
  Fail("cannot keep the database aside as", base);
}

// Whether `path` begins as every SQLite database file does.
bool HasSqliteHeader(const std::string& path) {
  static constexpr char kHeader[] = "SQLite format 3";  // and its NUL
  char head[sizeof kHeader] = {};
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;  // the copy says why it cannot be read
  ssize_t got = read(fd, head, sizeof head);
  close(fd);
  return got == static_cast<ssize_t>(sizeof head) &&
         std::memcmp(head, kHeader, sizeof head) == 0;
}

}  // namespace

BackupFacts BackupDatabase(const BackendSetup& backend,
                           const std::string& target,
                           const BackupProgress& progress) {
  RefuseServer(backend, "backup");
  // The copy is renamed over the target: a device or a pipe (/dev/null)
  // would be replaced by a file, for every other program too.
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw UsageError("the backup '" + Excerpt(target, 200) +
                     "' is not a regular file (a device, a pipe or a "
                     "folder); give a file's name (nothing was written)");
  RefuseLeftJournals(target);
  PartialFile copy(target);
  standins::CopySqliteDatabase(backend.db, copy.path(), progress);
  BackupFacts facts = FactsOf(standins::CheckSqliteCopy(copy.path()));
  copy.RenameTo(target);
  return facts;
}

RestoreResult RestoreDatabase(const BackendSetup& backend,
                              const std::string& backup,
                              const BackupProgress& progress) {
  RefuseServer(backend, "restore");
  if (SameFile(backup, backend.db))
    throw UsageError("the backup '" + Excerpt(backup, 200) +
                     "' is the database itself; nothing was changed");
  // What the caller names must at least be a SQLite file: anything else is
  // a wrong name, not the database's failure (which would say "try again").
  if (!HasSqliteHeader(backup))
    throw UsageError("the backup '" + Excerpt(backup, 200) +
                     "' is not a SQLite database; nothing was changed");
  std::error_code ec;
  if (!fs::exists(backend.db, ec)) RefuseLeftJournals(backend.db);
  PartialFile copy(backend.db);
  standins::CopySqliteDatabase(backup, copy.path(), progress);
  RestoreResult result;
  result.facts = FactsOf(standins::CheckSqliteCopy(copy.path()));
  // Held from here to the end: nobody opens the database meanwhile, and
  // its file alone is the whole database.
  std::optional<standins::SqliteSoleHold> hold;
  if (fs::exists(backend.db, ec)) hold.emplace(backend.db);
  if (hold) {
    copy.Like(backend.db);
    result.kept_aside = KeepAside(backend.db);
  }
  copy.RenameTo(backend.db);
  return result;
}

}  // namespace quillet::operations
