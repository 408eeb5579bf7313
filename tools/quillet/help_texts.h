// The command's help texts, as `quillet --help` and each command's help
// show them.
#pragma once

#include "quillet/object_context.h"

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

inline constexpr const char* kUpdateCallHelp =
    "Call detail keys read: COMPONENT, CALLNUMBER, ENGINEER, ACTIONDONEBY, "
    "OPTION,\nand per OPTION:\n"
    "  1  status 15; PROBLEM\n"
    "  2  status 15; PROBLEM, SOLUTION, ACTIVITY, Q_ID + TIMESPENT, "
    "SOLUTIONTEXT\n"
    "  3  status 15; the waiting state ends\n"
    "  4  status 25; PROBLEM, SOLUTION, ACTIVITY, SOLUTIONTEXT, Q_ID + "
    "TIMESPENT\n"
    "  5  status 15; waiting, WAITINGDESC\n"
    "  6  status 30 (completed, service order); PROBLEM, SOLUTION, "
    "ACTIVITY,\n     SOLUTIONTEXT, Q_ID\n"
    "  7  Q_TEXT appended to the call text\n"
    "  8  status 10; Q_ID (so does a request without OPTION, or with any\n"
    "     OPTION that is not 1-9)\n"
    "  9  the option flag\n\n";

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
