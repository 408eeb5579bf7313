#include "batch_output.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "quillet/operations/text_excerpt.h"
#include "quillet/operations/usage_error.h"

namespace quillet::cli {

using operations::Excerpt;
using operations::UsageError;

BatchOutput::BatchOutput(std::string path) : path_(std::move(path)) {
  if (path_.empty()) return;
  std::error_code ec;
  auto status = std::filesystem::status(path_, ec);
  if (std::filesystem::is_directory(status))
    throw UsageError("--out '" + Excerpt(path_, 200) + "' is a folder");
  bool replace = !std::filesystem::exists(status) ||
                 std::filesystem::is_regular_file(status);
  partial_ = replace ? path_ + ".partial" : path_;
}

BatchOutput::~BatchOutput() {
  if (lock_ >= 0) ::close(lock_);
}

std::vector<NamedPath> BatchOutput::Files() const {
  if (path_.empty()) return {};
  return {{"--out", path_}, {"--out's partial file", partial_}};
}

std::vector<NamedPath> BatchOutput::Opened() const {
  if (path_.empty()) return {};
  return {{"--out", partial_}};
}

void BatchOutput::Open() {
  if (path_.empty()) return;
  if (partial_ != path_) Lock();
  file_.open(partial_, std::ios::trunc);
  if (!file_) throw UsageError("cannot write '" + Excerpt(partial_, 200) + "'");
}

std::string BatchOutput::name() const {
  return path_.empty() ? "the outcomes"
                       : "the outcomes to '" + Excerpt(path_, 200) + "'";
}

void BatchOutput::Abandon() {
  if (lock_ < 0) return;
  file_.close();
  ::unlink(partial_.c_str());
}

bool BatchOutput::Finish() {
  if (path_.empty()) return true;
  file_.close();
  if (!file_) return false;
  if (partial_ == path_) return true;
  std::error_code ec;
  std::filesystem::rename(partial_, path_, ec);
  if (ec) errno = ec.value();
  return !ec;
}

void BatchOutput::Lock() {
  for (int attempt = 0; attempt < 10; ++attempt) {
    int fd = ::open(partial_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
      throw UsageError("cannot write '" + Excerpt(partial_, 200) + "'");
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int error = errno;
      ::close(fd);
      if (error != EWOULDBLOCK)
        throw UsageError("cannot lock '" + Excerpt(partial_, 200) + "' (" +
                         std::strerror(error) + ")");
      throw UsageError("another run of a batch is writing '" +
                       Excerpt(path_, 200) + "' (it holds '" +
                       Excerpt(partial_, 200) +
                       "'); wait for it to end, or give another --out");
    }
    struct stat locked {};
    struct stat named {};
    if (::fstat(fd, &locked) == 0 && ::stat(partial_.c_str(), &named) == 0 &&
        locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
      lock_ = fd;
      return;
    }
    ::close(fd);
  }
  throw UsageError("cannot lock '" + Excerpt(partial_, 200) + "'");
}

}  // namespace quillet::cli
