// The command's help texts, as `quillet --help` and each command's help
// show them.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "quillet/object_context.h"
#include "quillet/update_options.h"

namespace quillet::cli {

inline constexpr const char* kKeyNeeded =
    "--key needs a key: 1 to 200 characters, no control characters";
static_assert(quillet::kMaxRequestKeyLength == 200);

inline constexpr const char* kGlobalHelp =
    "Global options, before or after the command:\n"
    "  --db FILE|URI   the database: a SQLite file (default quillet.db;\n"
    "                  created by writing commands, never by reading ones) or\n"
    "                  a PostgreSQL URI, postgresql://user@host/database;\n"
    "                  QUILLET_DB in the environment when not given\n"
    "  --log FILE      the log (default quillet.log beside the database)\n"
    "  --types         print each value as {\"type\": ..., \"value\": ...}\n"
    "  --transaction   run inside a transaction-host context\n"
    "  --keep-keys N   days that the request keys written are kept (1 to\n"
    "                  3650, default 7)\n"
    "Exit status: 0 done; 1 raised; 2 unusable input or database (nothing\n"
    "ran); 3 returned but recorded nothing; 4 the output or the log could\n"
    "not be written (the operation ran); 5 batch lines that could not be\n"
    "read (the rest ran); 6 outcome unknown (the connection to the database\n"
    "was lost after the commit was sent: it may or may not be recorded).";

inline constexpr const char* kCreateCallHelp =
    "Call detail keys read: COMPONENT, Q_TEXT, LINK, SOLDTOBP (required by "
    "the\nback end), SITE, OBJECT, OBJECTNR, CALLDESC, PROBLEM, PRIORITY "
    "(0-255),\nBPNUMBER, CALLGROUP1, CALLGROUP2, CALLERNAME, CONTACT, "
    "ENGINEER,\nCALLCREATER, Q_ID (the question; its engineer time is added), "
    "TIMESPENT\n(minutes).\n\n";

// update-call's help, made from the table of options (update_options.h):
// per option its status and what it reads, wrapped at 75 columns.
inline std::string UpdateCallHelp() {
  constexpr size_t kWidth = 75;
  const std::string indent = "     ";
  std::string help =
      "Call detail keys read: COMPONENT, CALLNUMBER, ENGINEER, ACTIONDONEBY, "
      "OPTION,\nand per OPTION:\n";
  for (const UpdateOption& option : kUpdateOptions) {
    std::vector<std::string> parts;  // what it does, comma-separated
    for (const std::optional<UpdateStep>& step : option.steps) {
      if (!step) continue;
      switch (*step) {
        case UpdateStep::kTimePlusSpent:
          parts.push_back("Q_ID + TIMESPENT");
          break;
        case UpdateStep::kCallText:
          parts.push_back("Q_TEXT appended to the call text");
          break;
        case UpdateStep::kWaitingEnds:
          parts.push_back("the waiting state ends");
          break;
        case UpdateStep::kWaiting:
          parts.push_back("waiting, WAITINGDESC");
          break;
        case UpdateStep::kOptionFlag:
          parts.push_back("the option flag");
          break;
        default:
          for (std::string_view key : DetailKeysOf(*step))
            parts.emplace_back(key);
      }
    }
    std::string text;
    for (const std::string& part : parts)
      text += (text.empty() ? "" : ", ") + part;
    if (option.status) {
      std::string status = "status " + std::to_string(*option.status);
      if (!option.status_note.empty())
        status += " (" + std::string(option.status_note) + ")";
      text = status + (text.empty() ? "" : "; " + text);
    }
    std::string line = "  " + std::to_string(option.number) + " ";
    size_t line_start = 0;  // where the last line of `line` starts
    for (size_t at = 0; at < text.size();) {
      size_t end = std::min(text.find(' ', at), text.size());
      if (line.size() - line_start + 1 + (end - at) > kWidth) {
        line_start = line.size() + 1;
        line += "\n" + indent.substr(1);
      }
      line += " " + text.substr(at, end - at);
      at = end + 1;
    }
    if (option.number == kDefaultUpdateOption)
      line +=
          " (so does a request without OPTION, or with any\n     OPTION that "
          "is not 1-9)";
    help += line + "\n";
  }
  return help + "\n";
}

inline constexpr const char* kBatchHelp =
    "One request per line, for example:\n"
    "  {\"op\":\"create-call\",\"details\":{\"SOLDTOBP\":\"BP-1\"}}\n"
    "  {\"op\":\"update-call\",\"details\":{\"CALLNUMBER\":\"SC000001\","
    "\"OPTION\":1}}\n"
    "  {\"op\":\"time-format\",\"value\":90}\n"
    "  {\"op\":\"create-item\",\"component\":\"Items\",\"values\":"
    "[[\"SERIALNUMBER\",\"S-1\"]],\"error\":\"\"}\n"
    "Each outcome is one JSON line with its line number; a line that cannot "
    "be\nread is reported and the batch goes on; a summary closes it. Every "
    "line runs\nunder a request key made of the batch's identity and its "
    "line number, so\nrunning a batch again (after a kill, or after it "
    "finished) records nothing\ntwice; such lines are marked "
    "\"replayed\": true. A line that finds the database\nbusy or away "
    "(status 3), or whose outcome is unknown (status 6), stops\nthe batch "
    "there; running it again goes on from that line.\n\n"
    "The identity comes from what the lines say: each line's number and its\n"
    "request as parsed. Line ends (LF or CR LF), blank lines after the "
    "last\nrequest and blanks around a line's JSON do not change it; a "
    "changed request\nor a line moved (also by a blank line before it) "
    "does.\nThe database remembers each run (its identity, file, "
    "lines done, finished\nor not). Running a file that was last run as "
    "another batch (edited since,\nor continued under --batch-id) is "
    "refused (status 2), naming both\nidentities. Then either\n"
    "  --batch-id ID   goes on with the earlier run: lines it did are "
    "answered\n                  again, not done again; new lines run, or\n"
    "  --new-batch     runs the file as a new batch: every line runs "
    "again.\nOne run at a time writes an --out file; a second is refused "
    "while the\nfirst runs.\n\n";

}  // namespace quillet::cli
