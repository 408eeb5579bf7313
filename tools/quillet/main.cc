// quillet: the Calls component from the command line, on the embedded back
// end. Each command prints one JSON object (or a table for people); the exit
// status says what happened (exit_status.h and docs/user-guide.md). The
// commands are wired in command_line.cc.
#include <csignal>

#include "command_line.h"

int main(int argc, char** argv) {
  // A reader that went away (`quillet calls | head`) is a write that
  // failed, reported with what was done, not a silent death by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  return quillet::cli::Main(argc, argv);
}
