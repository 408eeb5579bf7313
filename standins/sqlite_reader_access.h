// How a reading command opens a SQLite file (sqlite_engine.cc's readers).
#pragma once

#include <string>

namespace quillet::standins::sqlite {

// How a reading command opens the file so that it writes nothing and leaves
// nothing of its own behind. The file's owner (or root, for whom SQLite
// makes companions the owner's) who may write it and its folder opens it
// as a writer would: SQLite removes the -wal and -shm files when the last
// connection closes. Anyone else (another user, a read-only file or folder)
// opens it read-only: sharing a writer's -wal and -shm while they are
// there, else as an immutable file, which makes no -wal and -shm that
// would be theirs and lock the owner out (a writer that starts during such
// a read may make the read fail, never change the file).
enum class Reader { kOwner, kShared, kImmutable };
Reader ReaderAccess(const std::string& path);

// The URI that opens `path` as a file nothing changes.
std::string ImmutableUri(const std::string& path);

}  // namespace quillet::standins::sqlite
