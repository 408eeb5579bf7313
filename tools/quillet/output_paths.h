// Files that the command and the service write (outcomes, traces, and any
// further output) must never be a file they keep or read: the database and
// its SQLite companions, the log, the batch input, the token file. Paths are
// compared as files, not as spellings: the same device and inode when the
// file exists, the same resolved path when it does not exist yet.
#pragma once

#include <string>
#include <vector>

#include "quillet/operations/backend.h"

namespace quillet::cli {

struct NamedPath {
  std::string what;  // how messages name it: "--out", "the database"
  std::string path;
  bool appended = false;  // kept, yet written to as well (the log)
};

// The files `setup` keeps: a SQLite database with its -wal, -shm and
// -journal files (none for a server database), and the log.
std::vector<NamedPath> KeptFiles(const operations::BackendSetup& setup);

// Raises UsageError, before anything is opened for writing, when an output
// is the same file as a kept one or as another output, or a kept file that
// is appended to (the log) is another kept file. Empty paths and "-"
// (standard output or error) are no files.
void CheckOutputPaths(const std::vector<NamedPath>& outputs,
                      const std::vector<NamedPath>& kept);

// Raises UsageError when an output could not be written: its folder is
// missing or closed to this user, or it is a folder or a file this user may
// not write. Looks without opening anything (a FIFO is not waited on) nor
// making anything, so a command refused here wrote nothing at all.
void CheckWritable(const std::vector<NamedPath>& outputs);

}  // namespace quillet::cli
