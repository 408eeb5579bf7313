#include "quillet/standins/file_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "quillet/adapter.h"
#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/object_context.h"
#include "quillet/text.h"

namespace quillet::standins {
namespace {

std::string UtcNow() {
  using namespace std::chrono;
  auto now = system_clock::now();
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::time_t t = system_clock::to_time_t(now);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buffer;
}

std::string ThreadName() {
  std::ostringstream out;
  out << std::this_thread::get_id();
  return out.str();
}

class FileLog final : public Object, public ContextMember {
 public:
  explicit FileLog(std::string path) : path_(std::move(path)) {}

  void JoinContext(const ObjectContext& context) override {
    context_ = ToUtf8(context.Identity());
  }

  void WriteEntry(const Variant& source, const Variant& text,
                  const Variant& number) {
    nlohmann::json entry = {
        {"time", UtcNow()},
        {"source", ToUtf8(ToString(source))},
        {"text", ToUtf8(ToString(text))},
        {"number", ToLong(number)},
        {"pid", static_cast<int64_t>(getpid())},
        {"thread", ThreadName()},
        {"context",
         context_.empty() ? nlohmann::json(nullptr) : nlohmann::json(context_)},
    };
    std::string line =
        entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
        "\n";
    int fd =
        open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) Fail("cannot open");
    ssize_t written = write(fd, line.data(), line.size());
    int saved = errno;
    close(fd);
    if (written != static_cast<ssize_t>(line.size())) {
      errno = written < 0 ? saved : EIO;
      Fail("cannot write");
    }
  }

  StringView ClassName() const override { return adapter::kLogClass; }

 protected:
  const DispatchTable* Dispatch() const override {
    static const DispatchTable table{
        {u"WriteEntry", 1, [](Object& o, InvokeKind, Args a) -> Variant {
           RequireArgCount(a, 4);
           static_cast<FileLog&>(o).WriteEntry(*a[0], *a[1], *a[2]);
           return {};
         }}};
    return &table;
  }

 private:
  [[noreturn]] void Fail(const char* what) const {
    std::string reason = std::strerror(errno);
    RaiseRuntime(errors::kPathFileAccess,
                 u"Path/File access error: " + FromUtf8(what) + u" log file '" +
                     FromUtf8(path_) + u"': " + FromUtf8(reason));
  }

  std::string path_;
  std::string context_;
};

}  // namespace

void RegisterFileLog(const std::string& path) {
  RegisterClass(adapter::kLogClass, FactoryOf<FileLog>(path),
                {.replace_existing = true});
}

}  // namespace quillet::standins
