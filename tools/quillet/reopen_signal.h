// SIGHUP for a long-running command that appends to files (a batch and its
// --trace): rather than ending the process, it asks for the files to be
// opened again before their next whole line, after logrotate moved them.
// (The log needs none: each entry opens it by name.)
#pragma once

namespace quillet::cli {

// From now on SIGHUP is counted, not fatal.
void ReopenOnSighup();

// How many SIGHUPs came so far: a file opened when it was another number
// is opened again.
unsigned ReopenRequests();

}  // namespace quillet::cli
