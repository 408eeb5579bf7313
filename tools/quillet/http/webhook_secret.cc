#include "http/webhook_secret.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "quillet/operations/usage_error.h"

namespace quillet::cli::http {

using operations::UsageError;

namespace {
constexpr size_t kMostSecretBytes = 4096;
}  // namespace

std::string LoadWebhookSecret(const std::string& path,
                              const std::string& what) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw UsageError(what + " cannot be read");
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat facts {};
  if (fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode))
    throw UsageError(what + " is not a file that can be read");
  if (facts.st_mode & (S_IRWXG | S_IRWXO))
    throw UsageError(what +
                     " may be read or written by its group or others: make "
                     "it its owner's only (chmod 600)");
  std::string text;
  char buffer[1024];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw UsageError(what + " cannot be read");
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > kMostSecretBytes + 64)
      throw UsageError(what + " holds more than 4096 bytes");
  }
  const char* blank = " \t\r\n";
  size_t first = text.find_first_not_of(blank);
  if (first == std::string::npos) throw UsageError(what + " holds no secret");
  text = text.substr(first, text.find_last_not_of(blank) + 1 - first);
  if (text.size() > kMostSecretBytes)
    throw UsageError(what + " holds more than 4096 bytes");
  return text;
}

std::string WebhookSignature(const std::string& secret, int64_t unix_seconds,
                             const std::string& body) {
  std::string t = std::to_string(unix_seconds);
  std::string signed_text = t + "." + body;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(signed_text.data()),
       signed_text.size(), mac, &size);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex.push_back(kDigits[mac[i] >> 4]);
    hex.push_back(kDigits[mac[i] & 15]);
  }
  return "t=" + t + ",v1=" + hex;
}

}  // namespace quillet::cli::http
