// The command's wiring: its commands and options, parsed, and each sent to
// the file that does it (run_one.h, batch_runner.h, the reads of the
// operation layer, the service); answers the exit status (exit_status.h).
#pragma once

namespace quillet::cli {

int Main(int argc, char** argv);

}  // namespace quillet::cli
