// The files the command writes and keeps: outputs never land on what it
// keeps, undecodable input never stops a batch, a batch is known by what
// its lines say, and what says it writes nothing writes nothing. One table
// per group; each case starts from a folder of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

#include "support/cli_runner.h"
#include "support/shell.h"
#include "support/temp_dir.h"

namespace quillet::cli {
namespace {

using json = nlohmann::ordered_json;
namespace fs = std::filesystem;

constexpr const char* kCreate =
    R"({"op":"create-call","details":{"SOLDTOBP":"BP-1","CALLDESC":"%"}})";

std::string CreateLine(const std::string& description) {
  std::string line = kCreate;
  return line.replace(line.find('%'), 1, description);
}

class CommandFilesTest : public ::testing::Test {
 protected:
  // A folder with a database holding one call, its log and a batch file.
  struct Folder : testing::CliFolder {
    // Every file but the runner's own, with its size and a digest of its
    // bytes.
    std::map<std::string, std::string> Files() const {
      std::map<std::string, std::string> files;
      for (const auto& entry : fs::recursive_directory_iterator(dir.Path(""))) {
        std::string name = fs::relative(entry.path(), dir.Path("")).string();
        if (!entry.is_regular_file() || name == "stderr.txt" ||
            name == "stdin.txt")
          continue;
        std::string bytes = Read(name);
        files[name] = std::to_string(bytes.size()) + " bytes, " +
                      std::to_string(std::hash<std::string>{}(bytes));
      }
      return files;
    }
    int Calls(const std::string& db = "quillet.db") const {
      testing::CliResult listed = Quillet({"calls", "--json", "--db", db});
      return listed.status == 0
                 ? static_cast<int>(json::parse(listed.out).size())
                 : -1;
    }
  };
  static std::unique_ptr<Folder> NewFolder() {
    auto f = std::make_unique<Folder>();
    f->Write("ops.jsonl", CreateLine("a") + "\n" + CreateLine("b") + "\n");
    EXPECT_EQ(f->Quillet({"create-call", "SOLDTOBP=BP-1"}).status, 0);
    return f;
  }
};

TEST_F(CommandFilesTest, OutputsNeverLandOnWhatTheCommandKeeps) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* in_err;
  } cases[] = {
      {"a dry run's trace on the database",
       {"create-call", "--dry-run", "--trace", "quillet.db", "SOLDTOBP=BP-1"},
       "--trace 'quillet.db' is the database"},
      {"the database by a link",
       {"create-call", "--trace", "link.db", "SOLDTOBP=BP-1"},
       "is the database"},
      {"the database by another spelling",
       {"create-call", "--trace", "sub/../quillet.db", "SOLDTOBP=BP-1"},
       "is the database"},
      {"the write-ahead file, not there yet",
       {"create-call", "--trace", "quillet.db-wal", "SOLDTOBP=BP-1"},
       "is the database's wal file"},
      {"a link to the write-ahead file, not there yet",
       {"batch", "ops.jsonl", "--trace", "wal.link"},
       "is the database's wal file"},
      {"the log",
       {"create-call", "--trace", "./quillet.log", "SOLDTOBP=BP-1"},
       "is the log"},
      {"outcomes on the batch input",
       {"batch", "ops.jsonl", "--out", "ops.jsonl"},
       "--out 'ops.jsonl' is the batch file"},
      {"a trace on the batch input",
       {"batch", "ops.jsonl", "--trace", "sub/../ops.jsonl"},
       "is the batch file"},
      {"outcomes on the database",
       {"batch", "ops.jsonl", "--out", "quillet.db"},
       "is the database"},
      {"the log on the batch input",
       {"batch", "ops.jsonl", "--log", "ops.jsonl"},
       "the log 'ops.jsonl' is the batch file"},
      {"the log on the database",
       {"create-call", "--log", "quillet.db", "SOLDTOBP=BP-1"},
       "is the database"},
      {"outcomes and trace in one file",
       {"batch", "ops.jsonl", "--out", "o.jsonl", "--trace", "o.jsonl"},
       "is the same file as --out"},
      {"the service's trace on the database",
       // (A missing token file stops a service that would not refuse.)
       {"serve", "--listen", "127.0.0.1:0", "--trace", "quillet.db",
        "--token-file", "no-such-token"},
       "is the database"},
      // Webhooks are checked before the service opens anything; neither
      // the secret nor a URL's credentials or query is repeated.
      {"a webhook secret its group may read",
       {"serve", "--listen", "127.0.0.1:0", "--webhook", "http://127.0.0.1:9/h",
        "--webhook-secret-file", "open.secret"},
       "may be read or written by its group or others"},
      {"a webhook URL carrying credentials",
       {"serve", "--listen", "127.0.0.1:0", "--webhook",
        "https://user:pw@hooks.example/h", "--webhook-secret-file",
        "owner.secret"},
       "carries no credentials"},
      {"a webhook in clear to another machine",
       {"serve", "--listen", "127.0.0.1:0", "--webhook",
        "http://hooks.example/h?key=k", "--webhook-secret-file",
        "owner.secret"},
       "http:// is for loopback only"},
      {"a webhook without its secret",
       {"serve", "--listen", "127.0.0.1:0", "--webhook",
        "http://127.0.0.1:9/h"},
       "each --webhook takes its own --webhook-secret-file"},
      {"the service's trace on a webhook secret",
       {"serve", "--listen", "127.0.0.1:0", "--webhook", "http://127.0.0.1:9/h",
        "--webhook-secret-file", "owner.secret", "--trace", "owner.secret"},
       "is a webhook secret file"},
      {"a refused request leaves its trace file alone",
       {"create-call", "--trace", "kept.trace", "--db", "", "SOLDTOBP=BP-1"},
       "the database path is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto f = NewFolder();
    fs::create_directory(f->dir.Path("sub"));
    fs::create_symlink("quillet.db", f->dir.Path("link.db"));
    fs::create_symlink("quillet.db-wal", f->dir.Path("wal.link"));
    f->Write("kept.trace", "earlier trace\n");
    f->Write("open.secret", "s3cret-kept-to-itself");
    fs::permissions(f->dir.Path("open.secret"), fs::perms(0644));
    f->Write("owner.secret", "s3cret-kept-to-itself");
    fs::permissions(f->dir.Path("owner.secret"), fs::perms(0600));
    auto before = f->Files();
    testing::CliResult r = f->Quillet(c.args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.in_err), std::string::npos) << r.err;
    for (const char* hidden : {"s3cret", "pw@", "key=k"})
      EXPECT_EQ(r.err.find(hidden), std::string::npos) << r.err;
    EXPECT_EQ(f->Files(), before);
    EXPECT_EQ(f->Calls(), 1);
  }
}

TEST_F(CommandFilesTest, ATraceThatCannotBeWrittenComesAfterTheAnswer) {
  auto f = NewFolder();
  testing::CliResult r =
      f->Quillet({"create-call", "--trace", "/dev/full", "SOLDTOBP=BP-1"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(json::parse(r.out)["result"]["CALLNUMBER"], "SC000002");
  EXPECT_NE(r.err.find("cannot write the trace to '/dev/full' (No space left "
                       "on device); the operation ran: call SC000002 was "
                       "created"),
            std::string::npos)
      << r.err;
}

TEST_F(CommandFilesTest, UndecodableLinesAreUnreadableAndTheRestRun) {
  const std::string first = R"({"op":"time-format","value":90})";
  const std::string last = R"({"op":"time-format","value":5})";
  struct Case {
    const char* name;
    std::string line;
    const char* escaped;  // in the line's outcome and on standard error
  } cases[] = {
      {"a bad byte in a string",
       R"({"op":"create-call","details":{"SOLDTOBP":"B)"
       "\xff"
       R"("}})",
       "\"B\\xff\""},
      {"a bad byte outside strings", "\xc3(" + first, "\\xc3("},
      {"UTF-16", std::string("\xff\xfe{\0\"\0o\0p\0", 10), "\\xff\\xfe{\\x00"},
      {"control characters and a truncated sequence",
       std::string("{\"op\":\x1b[31m\"x\"\xe2\x82", 16), "\\x1b[31m"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto f = NewFolder();
    f->Write("bad.jsonl", first + "\n" + c.line + "\n" + last + "\n");
    testing::CliResult r = f->Quillet({"batch", "bad.jsonl", "--out", "o"});
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_NE(r.err.find("line 2 "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.escaped), std::string::npos) << r.err;
    std::vector<json> outcomes;
    std::ifstream in(f->dir.Path("o"));
    for (std::string text; std::getline(in, text);)
      outcomes.push_back(json::parse(text));  // each a whole JSON line
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[0]["result"], 130);
    EXPECT_NE(outcomes[1]["usage"].get<std::string>().find(c.escaped),
              std::string::npos)
        << outcomes[1];
    EXPECT_EQ(outcomes[2]["result"], 5);
    // Run again: the same, never a stop at the same line.
    EXPECT_EQ(f->Quillet({"batch", "bad.jsonl"}).status, 5);
  }
}

TEST_F(CommandFilesTest, ABatchIsKnownByWhatItsLinesSay) {
  const std::string text =
      CreateLine("a") + "\n" + CreateLine("b") + "\n" + CreateLine("c") + "\n";
  auto crlf = [](std::string s) {
    for (size_t at = 0; (at = s.find('\n', at)) != std::string::npos; at += 2)
      s.insert(at, "\r");
    return s;
  };
  std::string trailing_space = text;
  trailing_space.insert(trailing_space.find('\n'), "  ");
  std::string changed = text;
  changed.replace(changed.find("\"c\""), 3, "\"C\"");
  struct Case {
    const char* name;
    std::string edited;
    std::vector<std::string> args;
    int status;
    int calls;  // stored in all, the first line's call and the folder's
    const char* in_err;
  } cases[] = {
      {"a trailing blank line", text + "\n  \n", {}, 0, 4, "1 replayed"},
      {"CR LF line ends", crlf(text), {}, 0, 4, "1 replayed"},
      {"a trailing space", trailing_space, {}, 0, 4, "1 replayed"},
      {"a changed request", changed, {}, 2, 2, "--new-batch"},
      {"a changed request, the earlier run continued",
       changed,
       {"--batch-id", "EARLIER"},
       0,
       4,
       "1 replayed"},
      {"a changed request as a new batch",
       changed,
       {"--new-batch"},
       0,
       5,
       "0 replayed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto f = NewFolder();
    f->Write("ops.jsonl", text);
    // Interrupted after the first line: its outcome cannot be written.
    testing::CliResult cut =
        f->Quillet({"batch", "ops.jsonl", "--out", "/dev/full"});
    ASSERT_EQ(cut.status, 4) << cut.err;
    ASSERT_EQ(f->Calls(), 2);
    f->Write("ops.jsonl", c.edited);
    // A refused run leaves the database as it was, its journal mode too.
    f->Sql("quillet.db", "PRAGMA journal_mode=DELETE");
    auto before = f->Files();
    std::vector<std::string> args = {"batch", "ops.jsonl", "--out", "o"};
    std::string earlier;
    for (std::string arg : c.args) {
      if (arg == "EARLIER") {
        testing::CliResult refused = f->Quillet({"batch", "ops.jsonl"});
        size_t at = refused.err.find("--batch-id ");
        ASSERT_NE(at, std::string::npos) << refused.err;
        arg = refused.err.substr(at + 11, 16);
      }
      args.push_back(arg);
    }
    testing::CliResult r = f->Quillet(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.in_err), std::string::npos) << r.err;
    EXPECT_EQ(f->Calls(), c.calls);
    if (c.status == 0) {  // the file run again as it is: nothing twice
      testing::CliResult again = f->Quillet({"batch", "ops.jsonl"});
      EXPECT_EQ(f->Calls(), c.calls) << again.err;
    }
    if (c.status == 2) {
      EXPECT_NE(r.err.find("unfinished run as batch "), std::string::npos);
      EXPECT_NE(r.err.find("now make batch "), std::string::npos);
      EXPECT_FALSE(fs::exists(f->dir.Path("o.partial")));
      EXPECT_FALSE(fs::exists(f->dir.Path("o")));
      EXPECT_EQ(f->Files(), before);
    }
  }
}

TEST_F(CommandFilesTest, WhatSaysItWritesNothingWritesNothing) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* in_err;
  } cases[] = {
      {"a dry run on an earlier schema",
       {"create-call", "--dry-run", "--db", "old.db", "SOLDTOBP=BP-1"},
       2,
       "quillet backend migrate"},
      {"a dry batch on an earlier schema",
       {"batch", "ops.jsonl", "--dry-run", "--db", "old.db"},
       2,
       "quillet backend migrate"},
      {"a dry run on a mistyped path",
       {"create-call", "--dry-run", "--db", "typo.db", "SOLDTOBP=BP-1"},
       2,
       "no database 'typo.db'"},
      {"a dry run on the current schema",
       {"create-call", "--dry-run", "SOLDTOBP=BP-1"},
       0,
       "nothing was stored"},
      {"a dry run on a rollback-journal database",
       {"create-call", "--dry-run", "--db", "journal.db", "SOLDTOBP=BP-1"},
       0,
       "nothing was stored"},
      {"a dry batch on a rollback-journal database",
       {"batch", "ops.jsonl", "--dry-run", "--db", "journal.db"},
       0,
       ""},
      {"migrating a missing path",
       {"backend", "migrate", "--db", "typo.db"},
       2,
       "no database 'typo.db'"},
      {"pruning keys on a mistyped path",
       {"backend", "keys", "--prune-older-than", "1", "--db", "typo.db"},
       2,
       "no database 'typo.db'"},
      {"pruning keys on an earlier schema",
       {"backend", "keys", "--prune-older-than", "1", "--db", "old.db"},
       2,
       "quillet backend migrate"},
      {"loading invalid master data into an earlier schema",
       {"backend", "load", "bad.json", "--db", "old.db"},
       2,
       "unknown section"},
      {"a batch on a database that is not Quillet's",
       {"batch", "ops.jsonl", "--out", "o", "--db", "foreign.db"},
       2,
       "not a Quillet database"},
      {"a batch refused for its --out, with no database",
       {"batch", "ops.jsonl", "--out", "nodir/o", "--db", "new.db"},
       2,
       "--out: cannot write"},
      {"a batch refused for its --out, on an earlier schema",
       {"batch", "ops.jsonl", "--out", "nodir/o", "--db", "old.db"},
       2,
       "--out: cannot write"},
      {"a call refused for its --trace, with no database",
       {"create-call", "--db", "new.db", "--trace", "nodir/t", "SOLDTOBP=BP-1"},
       2,
       "--trace: cannot write"},
      {"a listing", {"calls"}, 0, ""},
      {"a listing of an earlier schema", {"calls", "--db", "old.db"}, 2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto f = NewFolder();
    // An earlier schema: today's less the batch runs, marked 3.
    fs::copy_file(f->dir.Path("quillet.db"), f->dir.Path("old.db"));
    f->Sql("old.db",
           "DROP TABLE batch_runs; PRAGMA journal_mode=DELETE;"
           "PRAGMA user_version = 3");
    // Today's schema, in the rollback-journal mode a dry run must keep.
    fs::copy_file(f->dir.Path("quillet.db"), f->dir.Path("journal.db"));
    f->Sql("journal.db", "PRAGMA journal_mode=DELETE");
    f->Sql("foreign.db", "CREATE TABLE notes(t)");
    f->Write("bad.json", R"({"partners":[]})");
    auto before = f->Files();
    testing::CliResult r = f->Quillet(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.in_err), std::string::npos) << r.err;
    for (const char* hidden : {"s3cret", "pw@", "key=k"})
      EXPECT_EQ(r.err.find(hidden), std::string::npos) << r.err;
    EXPECT_EQ(f->Files(), before);
  }
}

// Health asks as a write would: a user who may read the file but not write
// it hears that it is not writable. Writes, dry runs and batches say that
// the database is read-only, and the service serves its reads, not ready.
TEST_F(CommandFilesTest, AUserWhoMayNotWriteHearsReadOnlyAndIsServedReads) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to ask as another user";
  auto f = NewFolder();  // the database is root's, 0644
  ::chmod(f->dir.Path("").c_str(), 0755);
  auto as_nobody = [&](const std::string& args) {
    std::string command = "cd " + testing::ShellQuote(f->dir.Path("")) +
                          " && runuser -u nobody -- " QUILLET_CLI_PATH " " +
                          args + " 2>&1";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      out.append(buffer, n);
    int status = pclose(pipe);
    return std::make_pair(WEXITSTATUS(status), out);
  };
  // The build may sit where another user cannot reach it (a home folder).
  if (as_nobody("--version").first != 0)
    GTEST_SKIP() << "the build is out of another user's reach";
  auto [status_code, status] = as_nobody("backend status --json");
  EXPECT_EQ(status_code, 0) << status;
  EXPECT_NE(status.find("\"writable\":false"), std::string::npos) << status;
  auto [health_code, health] = as_nobody("backend health");
  EXPECT_NE(health_code, 0) << health;
  EXPECT_NE(health.find("cannot be written"), std::string::npos) << health;
  for (const char* args :
       {"create-call SOLDTOBP=BP-1", "create-call --dry-run SOLDTOBP=BP-1",
        "batch ops.jsonl"}) {
    auto [code, said] = as_nobody(args);
    EXPECT_EQ(code, 2) << args << ": " << said;
    EXPECT_NE(said.find("is read-only here (this user may not write the "
                        "file)"),
              std::string::npos)
        << args << ": " << said;
  }
  EXPECT_EQ(as_nobody("calls").first, 0);
  // Served: its reads answered, /readyz 503 (bounded: 10 s to start).
  std::string served;
  std::string script =
      "cd " + testing::ShellQuote(f->dir.Path("")) +
      "; setpriv --reuid=nobody --regid=nogroup "
      "--clear-groups " QUILLET_CLI_PATH
      " serve --listen 127.0.0.1:0 --audit /dev/null 2>serve.err & pid=$!; "
      "for i in $(seq 200); do port=$(sed -n 's/^listening on "
      "127.0.0.1:\\([0-9]*\\).*/\\1/p' serve.err); [ -n \"$port\" ] && "
      "break; sleep 0.05; done; for path in readyz calls; do curl -s -m 10 -o "
      "/dev/null -w \"$path %{http_code} \" http://127.0.0.1:$port/$path; "
      "done; kill $pid; wait $pid";
  FILE* pipe = popen(script.c_str(), "r");
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    served.append(buffer, n);
  pclose(pipe);
  EXPECT_NE(served.find("readyz 503 calls 200"), std::string::npos)
      << served << f->Read("serve.err");
}

}  // namespace
}  // namespace quillet::cli
