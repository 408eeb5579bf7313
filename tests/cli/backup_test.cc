// `quillet backend backup` and `restore` on SQLite, through the built
// executable: a backup of a database a batch is writing, and what each
// refuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include "http/server_process.h"
#include "support/cli_runner.h"

namespace quillet::cli {
namespace {

using json = nlohmann::json;

class BackupTest : public ::testing::Test, protected testing::CliFolder {
 protected:
  // The call numbers `db` lists.
  std::set<std::string> Calls(const std::string& db) const {
    testing::CliResult r = Quillet({"--db", db, "calls", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::set<std::string> numbers;
    for (const json& call : json::parse(r.out))
      numbers.insert(call["CallNumber"].get<std::string>());
    return numbers;
  }
  std::string IntegrityCheck(const std::string& db) const {
    sqlite3* handle = nullptr;
    std::string answer = "not opened";
    if (sqlite3_open_v2(dir.Path(db).c_str(), &handle, SQLITE_OPEN_READONLY,
                        nullptr) == SQLITE_OK) {
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &stmt, nullptr);
      answer = sqlite3_step(stmt) == SQLITE_ROW
                   ? reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))
                   : sqlite3_errmsg(handle);
      sqlite3_finalize(stmt);
    }
    sqlite3_close(handle);
    return answer;
  }
};

// A backup taken while a batch writes (a real `quillet batch` process)
// opens as a database, passes integrity_check, and holds every call the
// batch had answered before the backup began; the batch wrote on meanwhile.
TEST_F(BackupTest, ABackupDuringABatchHoldsEveryCallAnsweredBeforeIt) {
  {
    std::ofstream batch(dir.Path("ops.jsonl"));
    for (int i = 0; i < 40000; ++i)
      batch << R"({"op":"create-call","details":{"SOLDTOBP":"BP-1","Q_TEXT":")"
            << "line " << i << "\"}}\n";
  }
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.Path("").c_str()) != 0) _exit(3);
    int out = open("batch.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = open("/dev/null", O_WRONLY);
    dup2(out, 1);
    dup2(null, 2);
    execl(QUILLET_CLI_PATH, "quillet", "batch", "ops.jsonl",
          static_cast<char*>(nullptr));
    _exit(3);
  }
  // The calls answered so far: the whole lines of the batch's output.
  auto answered = [&] {
    std::set<std::string> numbers;
    std::istringstream lines(Read("batch.out"));
    for (std::string line; std::getline(lines, line);) {
      json record = json::parse(line, nullptr, false);
      if (!record.is_discarded() && lines)
        numbers.insert(record["result"]["CALLNUMBER"].get<std::string>());
    }
    return numbers;
  };
  std::set<std::string> before;
  for (int i = 0; i < 200 && before.size() < 500; ++i) {  // up to 20 s
    usleep(100000);
    before = answered();
  }
  ASSERT_GE(before.size(), 500u);
  testing::CliResult backup =
      Quillet({"--db", "quillet.db", "backend", "backup", "backup.db"});
  bool batch_ran_on = waitpid(pid, nullptr, WNOHANG) == 0;
  std::set<std::string> in_backup =
      backup.status == 0 ? Calls("backup.db") : std::set<std::string>{};
  // The batch goes on writing past the copy, which is of the moment the
  // backup began: a call answered now is one the backup does not hold.
  bool answered_after = false;
  for (int i = 0; i < 100 && batch_ran_on && !answered_after; ++i) {
    usleep(100000);  // up to 10 s
    for (const std::string& number : answered())
      answered_after |= !in_backup.count(number);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  ASSERT_EQ(backup.status, 0) << backup.err;
  EXPECT_NE(backup.out.find("backup 'backup.db' written and checked"),
            std::string::npos)
      << backup.out;
  EXPECT_TRUE(batch_ran_on) << "the batch ended before the backup did";
  EXPECT_EQ(IntegrityCheck("backup.db"), "ok");
  for (const std::string& number : before)
    ASSERT_TRUE(in_backup.count(number)) << number << " is not in the backup";
  EXPECT_TRUE(answered_after) << "the batch wrote nothing past the backup";
  EXPECT_GT(Calls("quillet.db").size(), in_backup.size());
  // Nothing left beside it but the backup.
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path("")))
    EXPECT_EQ(entry.path().filename().string().find(".partial"),
              std::string::npos);
}

// What backup and restore refuse, changing nothing (the database's own
// files as a backup, a database a service holds, a PostgreSQL database),
// and a restore that works: the backup's calls in the database, the old
// one kept aside whole.
TEST_F(BackupTest, RestoreRefusesAHeldDatabaseAndWorksOtherwise) {
  ASSERT_EQ(Quillet({"--db", "q.db", "create-call", "SOLDTOBP=BP-1"}).status,
            0);
  ASSERT_EQ(Quillet({"--db", "q.db", "backend", "backup", "one.db"}).status, 0);
  ASSERT_EQ(Quillet({"--db", "q.db", "create-call", "SOLDTOBP=BP-2"}).status,
            0);
  Write("junk.db", std::string(4096, 'j'));
  Write("gone.db-wal", std::string(4096, 'w'));
  Write("old.db-journal", std::string(4096, 'j'));
  ASSERT_EQ(::mkfifo(dir.Path("pipe").c_str(), 0600), 0);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool serving;  // a `quillet serve` has q.db open
    int status;
    const char* said;
    const char* db = "q.db";
  };
  const Case cases[] = {
      {"backup onto the database",
       {"backup", "q.db"},
       false,
       2,
       "is the database;"},
      {"backup onto its -wal",
       {"backup", "q.db-wal"},
       true,
       2,
       "is the database's wal file"},
      {"backup onto its -shm",
       {"backup", "q.db-shm"},
       true,
       2,
       "is the database's shm file"},
      {"backup onto a pipe (never replaced by a file)",
       {"backup", "pipe"},
       false,
       2,
       "is not a regular file"},
      {"backup onto the log",
       {"backup", "quillet.log"},
       false,
       2,
       "is the log"},
      {"restore the database onto itself",
       {"restore", "q.db"},
       false,
       2,
       "is the database itself"},
      {"restore what is no database",
       {"restore", "junk.db"},
       false,
       2,
       "junk.db"},
      {"restore where a -wal outlived its database",
       {"restore", "one.db"},
       false,
       2,
       "has a wal file beside it",
       "gone.db"},
      {"backup where a -journal is left",
       {"backup", "old.db"},
       false,
       2,
       "has a journal file beside it"},
      {"restore while a service holds it",
       {"restore", "one.db"},
       true,
       2,
       "is open in another process"},
      {"backup on PostgreSQL",
       {"backup", "pg.db"},
       false,
       2,
       "backed up with pg_dump",
       "postgresql://q@127.0.0.1:9/q"},
      {"restore on PostgreSQL",
       {"restore", "one.db"},
       false,
       2,
       "restored with pg_restore",
       "postgresql://q@127.0.0.1:9/q"},
      {"restore", {"restore", "one.db"}, false, 0, "kept as 'q.db.before-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<ServerProcess> server;
    if (c.serving) {
      server.emplace(dir, std::vector<std::string>{});
      ASSERT_GT(server->port(), 0);
    }
    std::vector<std::string> args = {"--db", c.db, "backend"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    testing::CliResult r = Quillet(args);
    server.reset();
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE((r.out + r.err).find(c.said), std::string::npos)
        << r.out << r.err;
    EXPECT_EQ(Calls("q.db").size(), c.status == 0 ? 1u : 2u);
    EXPECT_EQ(IntegrityCheck("q.db"), "ok");
    if (c.status != 0) continue;
    // The database it replaced, whole, under the name it gave.
    size_t at = r.out.find("kept as '") + 9;
    std::string aside = r.out.substr(at, r.out.find('\'', at) - at);
    EXPECT_EQ(Calls(aside).size(), 2u);
  }
}

}  // namespace
}  // namespace quillet::cli
