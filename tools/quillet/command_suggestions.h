// A mistyped command word, answered with the closest command's name.
#pragma once

#include <optional>
#include <string>

namespace quillet::cli {

// The command word of the arguments, when it names no command: a message
// with the closest command, if one is close (at most two edits away).
std::optional<std::string> UnknownCommand(int argc, char** argv);

}  // namespace quillet::cli
