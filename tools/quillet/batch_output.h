// Where a batch's outcomes go: standard output as they come, or `--out
// FILE`. A regular file (or a new one) is written beside it and renamed
// into place at the end, so a killed batch leaves the last complete file
// (or none), never a torn or doubled one; anything else (a device, a pipe)
// is written directly. The file beside it is locked while it is written: a
// second run on the same outcome file is refused, never interleaved.
#pragma once

#include <fstream>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "output_paths.h"

namespace quillet::cli {

class BatchOutput {
 public:
  // `path` empty: standard output. Raises UsageError for a folder.
  explicit BatchOutput(std::string path);
  ~BatchOutput();
  BatchOutput(const BatchOutput&) = delete;
  BatchOutput& operator=(const BatchOutput&) = delete;

  // The files it writes, for CheckOutputPaths.
  std::vector<NamedPath> Files() const;
  // The file Open opens, for CheckWritable: the one beside a regular file,
  // which replaces it.
  std::vector<NamedPath> Opened() const;
  // Opens the file, last of all, once the batch has been accepted. Raises
  // UsageError when it cannot be written, or another run holds it.
  void Open();
  std::ostream& stream() { return path_.empty() ? std::cout : file_; }
  // The outcomes as messages name them.
  std::string name() const;
  // Removes the file that Open made, for a batch refused after it.
  void Abandon();
  // Closes and renames into place; false when that failed (errno says why).
  bool Finish();

 private:
  // An exclusive lock on the partial file. The run that holds it may
  // rename the file away meanwhile: the lock counts only while the locked
  // file is still the one of that name.
  void Lock();

  std::string path_, partial_;
  std::ofstream file_;
  int lock_ = -1;
};

}  // namespace quillet::cli
