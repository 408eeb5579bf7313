#include "exit_status.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <regex>

#include "quillet/operations/text_excerpt.h"

namespace quillet::cli {

using operations::Printable;
using operations::Verdict;

bool Flushed(std::ostream& out) {
  out.flush();
  if (&out == &std::cout && (std::fflush(stdout) != 0 || std::ferror(stdout)))
    return false;
  return static_cast<bool>(out);
}

// A URI's password is cut from every message: a mistyped command word, a
// path or a scheme spelled wrong may quote the URI.
void Say(const std::string& line) {
  static const std::regex kPassword(
      R"(([A-Za-z][A-Za-z0-9+.-]*:/+[^:/@\s'"]*:)[^@\s'"]*@)");
  std::cerr << "quillet: "
            << Printable(std::regex_replace(line, kPassword, "$1***@")) << "\n";
}

int OutputLost(const std::string& what, const std::string& done) {
  std::string reason = errno ? std::strerror(errno) : "write failed";
  Say("cannot write " + what + " (" + reason + ")" +
      (done.empty() ? "" : "; the operation ran: " + done));
  return kExitOutputLost;
}

int StatusOf(Verdict verdict) {
  switch (verdict) {
    case Verdict::kDone:
      return kExitDone;
    case Verdict::kRaised:
      return kExitRaised;
    case Verdict::kNothingRecorded:
    case Verdict::kKeyConflict:
    case Verdict::kRetryLater:
      return kExitNothingRecorded;
    case Verdict::kOutcomeUnknown:
      return kExitOutcomeUnknown;
  }
  return kExitRaised;
}

}  // namespace quillet::cli
