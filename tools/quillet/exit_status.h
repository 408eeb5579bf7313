// What the command tells its caller: an exit status for scripts, and one
// line to standard error for people.
#pragma once

#include <ostream>
#include <string>

#include "quillet/operations/operation.h"

namespace quillet::cli {

// What an exit status tells a script.
enum ExitStatus : int {
  kExitDone = 0,             // the operation did its work
  kExitRaised = 1,           // it raised (batch: some lines raised or
                             // recorded nothing)
  kExitUsage = 2,            // unusable input or database: nothing ran
  kExitNothingRecorded = 3,  // it returned normally but recorded nothing
  kExitOutputLost = 4,       // it ran, but its output (or, after its
                             // write, its log entry) could not be written
  kExitLinesUnread = 5,      // batch: some lines could not be read; the rest
                             // ran
  kExitOutcomeUnknown = 6,   // the connection to the database was lost after
                             // the commit was sent: it may or may not be
                             // recorded
};

// The exit status of an operation's verdict.
int StatusOf(operations::Verdict verdict);

// True when everything written to `out` so far has reached its file.
bool Flushed(std::ostream& out);

// One line to standard error, after "quillet: "; text that came from input
// or the database is shown escaped, never acted on by the terminal, and a
// URI's password never shows, whichever message quotes the URI.
void Say(const std::string& line);

// Says that `what` could not be written (with errno's reason) and, when
// `done` says what the operation did, that it ran; answers kExitOutputLost.
int OutputLost(const std::string& what, const std::string& done);

}  // namespace quillet::cli
