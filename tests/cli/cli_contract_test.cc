// What the command reports and what it touches: exit statuses, messages,
// output order, files left alone. One table per group.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "quillet/operations/digest.h"
#include "quillet/standins/backend_store.h"
#include "support/cli_runner.h"
#include "support/temp_dir.h"

namespace quillet::cli {
namespace {

using json = nlohmann::ordered_json;

class CliContractTest : public ::testing::Test, protected testing::CliFolder {};

struct Case {
  std::string name;
  std::vector<std::string> args;
  int status;
  std::string in_err;  // standard error contains this
  std::string stdout_path = "";
};

void Check(const Case& c, const testing::CliResult& r) {
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_NE(r.err.find(c.in_err), std::string::npos) << r.err;
}

TEST_F(CliContractTest, ExitStatusesAndMessagesSayWhatHappened) {
  Write("good.jsonl", R"({"op":"create-call","details":{"SOLDTOBP":"BP-1"}})"
                      "\n");
  Write("mixed.jsonl", R"({"op":"create-call","details":{"SOLDTOBP":"BP-1"}})"
                       "\n"
                       R"({"op":"update-call","details":{"OPTION":"x"}})"
                       "\n");
  std::filesystem::create_directory(dir.Path("folder"));
  Write("nul.json", std::string("{\"SOLDTOBP\":\"BP-1\"}\0{\"more\":1}", 30));
  Write("utf16.csv", std::string("\xFF\xFES\0,\0S\0-\0\x31\0", 12));
  Write("section-twice.json", R"({"businessPartners":[{"number":"BP-8"}],
    "businessPartners":[{"number":"BP-9"}]})");
  Write("object-twice.json",
        R"({"businessPartners":[{"number":"BP-9"},{"number":"BP-9"}]})");
  // A line whose failed write undoes its whole group (as a full disk does)
  // stops the batch there, naming it and why.
  ASSERT_EQ(Quillet({"create-call", "--db", "undo.db", "SOLDTOBP=BP-1"}).status,
            0);
  Sql("undo.db",
      "CREATE TRIGGER undo_all BEFORE INSERT ON calls WHEN NEW.text LIKE "
      "'%undo-all%' BEGIN SELECT RAISE(ROLLBACK, 'injected'); END;");
  std::string undo_lines;
  for (const char* text : {"a", "b", "undo-all", "d"})
    undo_lines += std::string(R"({"op":"create-call","details":)") +
                  R"({"SOLDTOBP":"BP-1","Q_TEXT":")" + text + R"("}})" + "\n";
  Write("undo.jsonl", undo_lines);
  std::string emoji;  // 200 characters, 400 UTF-16 units
  for (int i = 0; i < 200; ++i) emoji += "\xF0\x9F\x98\x80";
  const Case cases[] = {
      {"output lost names the call",
       {"create-call", "SOLDTOBP=BP-1"},
       4,
       "cannot write the output (No space left on device); the operation "
       "ran: call SC000001 was created",
       "/dev/full"},
      {"refused: nothing recorded",
       {"create-call", "SITE=x"},
       3,
       "nothing was recorded: Call refused: a sold-to business partner is "
       "required"},
      {"item refused",
       {"update-item", "--component", "I", "--values",
        R"([["SERIALNUMBER","NONE"]])"},
       3,
       "nothing was recorded: Serialized item 'NONE' not found"},
      {"batch all done", {"batch", "good.jsonl"}, 0, "1 returned"},
      {"batch some raised",
       {"batch", "mixed.jsonl"},
       1,
       "1 raised or recorded nothing"},
      {"batch output lost",
       {"batch", "good.jsonl", "--out", "/dev/full"},
       4,
       "cannot write the outcomes to '/dev/full'"},
      {"batch of a folder", {"batch", "folder"}, 2, "is a folder"},
      {"batch group undone by a line",
       {"batch", "undo.jsonl", "--db", "undo.db"},
       3,
       "line 3 failed and undid the lines of its group with it: the database "
       "did not take lines 2 to 3: Embedded back end: writing the database: "
       "injected; a failed write took the writes held with it; nothing was "
       "written; try again; none of them was stored; the batch stopped there; "
       "running the batch again is safe and goes on from line 2"},
      {"unknown command",
       {"creat-call"},
       2,
       "unknown command 'creat-call'; did you mean 'create-call'?"},
      {"item without component",
       {"create-item", "--values", "[]"},
       2,
       "--component is required"},
      {"duplicate key",
       {"create-call", "--details", R"({"A":1,"A":2})"},
       2,
       "gives the key \"A\" twice"},
      {"lone surrogate",
       {"create-call", "--details", R"({"Q_TEXT":"\ud800"})"},
       2,
       "is not valid JSON"},
      {"negative tail", {"log", "--tail", "-1"}, 2, "--tail"},
      {"a number is decimal, never hex",
       {"calls", "--limit", "0x10"},
       2,
       "'0x10' is not a whole number in decimal digits"},
      {"nor signed, whatever the command",
       {"backend", "keys", "--prune-older-than", "+1"},
       2,
       "'+1' is not a whole number"},
      {"absurd tail", {"log", "--tail", "99999999999"}, 2, "--tail"},
      {"a global option before the command",
       {"--keep-keys", "30", "time-format", "90"},
       0,
       ""},
      {"key lifetime out of bounds",
       {"--keep-keys", "3651", "time-format", "90"},
       2,
       "--keep-keys"},
      {"empty key", {"create-call", "--key", "", "SOLDTOBP=BP-1"}, 2, "--key "},
      {"--key= takes no next argument",
       {"create-call", "--key=", "SOLDTOBP=BP-1"},
       2,
       "--key needs a key"},
      {"a blank key",
       {"create-call", "--key", "  ", "SOLDTOBP=BP-1"},
       2,
       "not blank"},
      {"an option with an empty value takes no next argument",
       {"create-call", "--trace=", "Q_TEXT=jams", "SOLDTOBP=BP-1"},
       2,
       "--trace= has no value"},
      {"'-' is no database", {"--db", "-", "calls"}, 2, "'-' is refused"},
      {"no password in any message, a scheme mistyped too",
       {"--db", "Postgresql://u:Secret9@h/q", "calls"},
       2,
       "u:***@h"},
      {"a C1 control in a key",
       {"create-call", "--key", "k\xC2\x85", "SOLDTOBP=BP-1"},
       2,
       "no control characters"},
      {"200 emoji are 200 characters",
       {"update-call", "--key", emoji, "CALLNUMBER=SC999999"},
       3,
       "not found"},
      {"input text in a message is escaped",
       {"update-call", "CALLNUMBER=\x1b[2J\xC2\x9B"},
       3,
       "Service call '\\x1b[2J\\u009b' not found"},
      {"the log of a mistyped database",
       {"log", "--db", "typo.db"},
       2,
       "no database 'typo.db'"},
      {"a day February lacks",
       {"calls", "--changed-since", "2026-02-31"},
       2,
       "is not a date"},
      {"help to a full disk", {"--help"}, 4, "cannot write", "/dev/full"},
      {"bytes after a NUL",
       {"create-call", "--details", "@nul.json"},
       2,
       "a NUL byte at offset 19"},
      {"a UTF-16 CSV",
       {"create-item", "--component", "I", "--values", "utf16.csv"},
       2,
       "the CSV file is UTF-16 text"},
      {"master data: a section twice",
       {"backend", "load", "section-twice.json"},
       2,
       "gives 'businessPartners' twice"},
      {"master data: an object twice",
       {"backend", "load", "object-twice.json"},
       2,
       "businessPartners[1]: number 'BP-9' is given twice (first at "
       "businessPartners[0])"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::CliResult r = Quillet(c.args, c.stdout_path);
    Check(c, r);
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
  }
  // Eight digits are a date, never a transaction time (of the year 2000).
  EXPECT_EQ(Quillet({"calls", "--json", "--changed-since", "20991231"}).out,
            "[]\n");
  // The mixed batch's first line was stored although the second raised.
  testing::CliResult listed = Quillet({"calls", "--json"});
  // The second run of good.jsonl (output lost) replayed its line.
  EXPECT_EQ(json::parse(listed.out).size(), 3u);
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
  EXPECT_EQ(listed.err.find("-2147467259"), std::string::npos);
}

TEST_F(CliContractTest, HelpAndVersionAndOrder) {
  testing::CliResult help = Quillet({"update-call", "--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* text : {"--db FILE", "7  Q_TEXT appended", "WAITINGDESC",
                           "so does a request without OPTION"})
    EXPECT_NE(help.out.find(text), std::string::npos) << text;
  std::string calls_help = Quillet({"calls", "--help"}).out;
  EXPECT_NE(calls_help.find("--limit N "), std::string::npos) << calls_help;
  EXPECT_EQ(calls_help.find("1099511627776"), std::string::npos);
  EXPECT_NE(Quillet({"batch", "--help"}).out.find("One request per line"),
            std::string::npos);
  EXPECT_NE(Quillet({"create-call", "--help"}).out.find("CALLCREATER"),
            std::string::npos);
  EXPECT_EQ(Quillet({"--version"}).out, "quillet 3.0.0\n");

  // Results keep the order the operation wrote them in; --types too.
  ASSERT_EQ(Quillet({"create-call", "SOLDTOBP=BP-1"}).status, 0);
  testing::CliResult changed =
      Quillet({"--types", "update-call", "CALLNUMBER=SC000001", "OPTION=1"});
  ASSERT_EQ(changed.status, 0) << changed.err;
  json result = json::parse(changed.out)["result"]["value"];
  std::vector<std::string> keys;
  for (const auto& [key, value] : result.items()) keys.push_back(key);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"LASTTRANSTIME", "CHANGEDFLAG",
                                      "CALLNUMBER", "STATUS", "WAITINGFLAG"}));
  EXPECT_EQ(result["STATUS"]["type"], "Byte");

  // Tables never print control characters raw.
  ASSERT_EQ(Quillet({"create-call", "SOLDTOBP=BP-1",
                     "CALLDESC=bell\x07 and \x1b[31mred"})
                .status,
            0);
  std::string table = Quillet({"calls"}).out;
  EXPECT_NE(table.find("bell\\x07 and \\x1b[31mred"), std::string::npos);
  EXPECT_EQ(table.find('\x1b'), std::string::npos);
}

TEST_F(CliContractTest, NothingIsTouchedThatWasNotAskedFor) {
  // A database that is someone else's, and one of a newer Quillet.
  Sql("foreign.db", "CREATE TABLE notes(t); INSERT INTO notes VALUES('x');");
  std::string foreign = Read("foreign.db");
  ASSERT_EQ(
      Quillet({"create-call", "SOLDTOBP=BP-1", "--db", "newer.db"}).status, 0);
  Sql("newer.db", "PRAGMA user_version = 99");
  Write("master.json", R"({"businessPartners":[{"number":"BP-1"}],
    "engineerTime":[{"question":"Q","minutes":-1}]})");
  Write("unknown.json", R"({"partners":[]})");
  const Case cases[] = {
      {"reading a missing file: the back end's error by its description",
       {"calls", "--db", "typo.db"},
       2,
       "quillet: Embedded back end: no database 'typo.db'"},
      {"reading a foreign file",
       {"calls", "--db", "foreign.db"},
       2,
       "'foreign.db' is not a Quillet database; it was left untouched"},
      {"writing a foreign file",
       {"create-call", "--db", "foreign.db", "SOLDTOBP=BP-1"},
       2,
       "is not a Quillet database"},
      {"a newer schema",
       {"create-call", "--db", "newer.db", "SOLDTOBP=B"},
       2,
       "has schema version 99, newer than this Quillet's (" +
           std::to_string(standins::kSchemaVersion) + ")"},
      {"an empty path",
       {"create-call", "--db", "", "SOLDTOBP=B"},
       2,
       "the database path is empty"},
      {"memory",
       {"create-call", "--db", ":memory:", "SOLDTOBP=B"},
       2,
       "':memory:' is refused"},
      {"a URI",
       {"create-call", "--db", "file:x.db", "SOLDTOBP=B"},
       2,
       "'file:x.db' is refused"},
      {"minutes out of range",
       {"backend", "load", "master.json", "--db", "m.db"},
       2,
       "master data: engineerTime[0]: 'minutes' must be a whole "
       "number from 0 to 2147483647"},
      {"an unknown section",
       {"backend", "load", "unknown.json", "--db", "m.db"},
       2,
       "unknown section 'partners'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Check(c, Quillet(c.args));
  }
  EXPECT_EQ(Read("foreign.db"), foreign);
  for (const char* name : {"typo.db", "foreign.db-wal", "x.db", "file:x.db"})
    EXPECT_FALSE(Exists(name)) << name;
  // Nothing of the refused master data was loaded: BP-1 is unknown.
  testing::CliResult with_unknown =
      Quillet({"create-call", "--db", "m.db", "SOLDTOBP=B", "BPNUMBER=BP-1"});
  EXPECT_NE(with_unknown.out.find("Unknown business partner 'BP-1'"),
            std::string::npos);

  // time-format opens nothing.
  testing::TempDir clean;
  EXPECT_EQ(testing::RunQuillet(clean, {"time-format", "90"}).status, 0);
  EXPECT_FALSE(std::filesystem::exists(clean.Path("quillet.db")));
}

TEST_F(CliContractTest, ListingsPageFilterAndOrderBySequence) {
  ASSERT_EQ(Quillet({"create-call", "SOLDTOBP=BP-1"}).status, 0);
  // A call stored by hand at 999,998, so that the next numbers widen past
  // six digits.
  Sql("quillet.db",
      "INSERT INTO calls(seq, component, last_transaction_time, properties) "
      "SELECT 999998, 'Desk', t, json_object('CallNumber', 'SC999998', "
      "'SoldToBusinessPartner', 'BP-3', 'LastTransactionTime', "
      "json_array('Long', t)) FROM (SELECT strftime('%s', 'now') - 946684800 "
      "AS t)");
  for (const char* partner : {"BP-2", "BP-1", "BP-2"})
    ASSERT_EQ(
        Quillet({"create-call", std::string("SOLDTOBP=") + partner}).status, 0);
  ASSERT_EQ(Quillet({"update-call", "CALLNUMBER=SC1000000", "OPTION=1"}).status,
            0);
  auto numbers = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"calls", "--json"});
    testing::CliResult r = Quillet(args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string out;
    for (const json& call : json::parse(r.out))
      out += call["CallNumber"].get<std::string>() + " ";
    return out;
  };
  EXPECT_EQ(numbers({}), "SC000001 SC999998 SC999999 SC1000000 SC1000001 ");
  EXPECT_EQ(numbers({"--after", "SC999999", "--limit", "1"}), "SC1000000 ");
  EXPECT_EQ(numbers({"--sold-to", "BP-2"}), "SC999999 SC1000001 ");
  EXPECT_EQ(numbers({"--status", "15"}), "SC1000000 ");
  // Leading zeros are decimal, as the service reads them (not octal 13, 8).
  EXPECT_EQ(numbers({"--status", "015", "--limit", "010"}), "SC1000000 ");
  EXPECT_EQ(numbers({"--changed-since", "2000-01-01"}),
            "SC000001 SC999998 SC999999 SC1000000 SC1000001 ");
  EXPECT_EQ(numbers({"--changed-since", "2999-01-01T00:00:00Z"}), "");
  // A listing that fails says so on standard error alone.
  for (const char* as : {"--json", "--db=quillet.db"}) {
    testing::CliResult failed = Quillet({"calls", as, "--after", "SC42"});
    EXPECT_EQ(failed.status, 2);
    EXPECT_EQ(failed.out, "") << as;
  }

  // Transaction times are the clock (seconds since 2000), not ahead of it.
  int64_t now = standins::TransactionTimeAt(std::time(nullptr));
  for (const json& call : json::parse(Quillet({"calls", "--json"}).out)) {
    int64_t stamp = call["LastTransactionTime"];
    EXPECT_LE(stamp, now + 1);
    EXPECT_GT(stamp, now - 600);
  }
  // 2038 is no limit: a Long holds transaction times until 2068.
  EXPECT_LT(standins::TransactionTimeAt(3092601600), int64_t{INT32_MAX});
}

// Databases as earlier Quillets left them: unmarked with times counted from
// 1970 (schema 0), and marked, with request keys, a row per property and
// per text piece (schema 2). Every call comes back whole.
TEST_F(CliContractTest, AnEarlierQuilletsDatabaseIsBroughtUpToDate) {
  const std::string tables = R"sql(
CREATE TABLE calls(seq INTEGER PRIMARY KEY AUTOINCREMENT,
  call_number TEXT UNIQUE, component TEXT NOT NULL,
  last_transaction_time INTEGER NOT NULL,
  created_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')));
CREATE TABLE call_properties(call_number TEXT NOT NULL, name TEXT NOT NULL,
  type TEXT NOT NULL, value, PRIMARY KEY(call_number, name)) WITHOUT ROWID;
CREATE TABLE call_texts(call_number TEXT NOT NULL, kind TEXT NOT NULL,
  position INTEGER NOT NULL, piece TEXT NOT NULL, text_mode TEXT NOT NULL,
  PRIMARY KEY(call_number, kind, position)) WITHOUT ROWID;
CREATE INDEX calls_by_time ON calls(last_transaction_time);
CREATE TABLE service_objects(object TEXT PRIMARY KEY,
  contract TEXT NOT NULL DEFAULT '', warranty TEXT NOT NULL DEFAULT '',
  warranty_description TEXT NOT NULL DEFAULT '',
  warranty_expiry_date TEXT NOT NULL DEFAULT '');
CREATE TABLE business_partners(number TEXT PRIMARY KEY,
  name TEXT NOT NULL DEFAULT '');
CREATE TABLE engineer_time(question_id TEXT PRIMARY KEY,
  minutes INTEGER NOT NULL);
CREATE TABLE items(serial TEXT PRIMARY KEY, component TEXT NOT NULL,
  changed_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')));
CREATE TABLE item_fields(serial TEXT NOT NULL, position INTEGER NOT NULL,
  name TEXT NOT NULL, value TEXT NOT NULL, PRIMARY KEY(serial, name));
INSERT INTO calls(component, last_transaction_time) VALUES('Desk', T);
UPDATE calls SET call_number = 'SC000001';
INSERT INTO calls(component, last_transaction_time) VALUES('Desk', T);
UPDATE calls SET call_number = 'SC000002' WHERE seq = 2;
INSERT INTO call_properties VALUES('SC000001', 'CallNumber', 'String',
  'SC000001'), ('SC000001', 'SoldToBusinessPartner', 'String', 'BP-1'),
  ('SC000001', 'Status', 'Integer', 30), ('SC000001', 'WarrantyFlag', 'Byte',
  1), ('SC000001', 'LastTransactionTime', 'Long', T), ('SC000002',
  'CallNumber', 'String', 'SC000002'), ('SC000002', 'CallDescription',
  'String', 'Jam "2"');
INSERT INTO call_texts VALUES('SC000001', 'Text', 2, 'second', 'a'),
  ('SC000001', 'Text', 1, 'first', ''), ('SC000001', 'SolutionText', 1,
  'fixed', '');
)sql";
  auto with_time = [&](int64_t t) {
    std::string sql = tables;
    for (size_t at; (at = sql.find(", T)")) != std::string::npos;)
      sql.replace(at, 4, ", " + std::to_string(t) + ")");
    return sql;
  };
  struct Case {
    const char* name;
    std::string sql;
    int64_t expected_time;
  } cases[] = {
      {"schema 0", with_time(1765000000), 1765000000 - 946684800},
      {"schema 2",
       with_time(818315200) +
           "CREATE TABLE request_keys(key TEXT PRIMARY KEY, kind TEXT NOT "
           "NULL, digest TEXT NOT NULL, answer TEXT NOT NULL, created_at "
           "INTEGER NOT NULL); INSERT INTO request_keys VALUES('k', "
           "'create-call', 'd', '{}', 1), ('far', 'create-call', 'd', '{}', "
           "8796093022208), ('live', 'create-call', 'd', '{}', " +
           std::to_string(std::time(nullptr) - 60) +
           "); PRAGMA application_id = " +
           std::to_string(standins::kApplicationId) +
           "; PRAGMA user_version = 2;",
       818315200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir.Path("old.db"));
    Sql("old.db", c.sql);
    testing::CliResult refused = Quillet({"calls", "--db", "old.db"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("quillet backend migrate"), std::string::npos);
    testing::CliResult migrated =
        Quillet({"backend", "migrate", "--db", "old.db"});
    ASSERT_EQ(migrated.status, 0) << migrated.err;
    std::vector<standins::StoredCall> calls =
        standins::BackendStore(dir.Path("old.db"),
                               standins::BackendStore::Open::kForReading)
            .Calls();
    ASSERT_EQ(calls.size(), 2u);
    using adapter::CallProperty;
    standins::StoredProperties expected = {
        {CallProperty::CallNumber, {VarType::String, "SC000001", 0}},
        {CallProperty::SoldToBusinessPartner, {VarType::String, "BP-1", 0}},
        {CallProperty::Status, {VarType::Integer, "", 30}},
        {CallProperty::WarrantyFlag, {VarType::Byte, "", 1}},
        {CallProperty::LastTransactionTime,
         {VarType::Long, "", c.expected_time}}};
    EXPECT_EQ(calls[0].properties, expected);
    EXPECT_EQ(calls[0].text, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(calls[0].solution_text, std::vector<std::string>{"fixed"});
    EXPECT_EQ(calls[1].properties[adapter::CallProperty::CallDescription].text,
              "Jam \"2\"");
    // Listing filters read the new layout; numbering goes on after the
    // last.
    EXPECT_EQ(json::parse(Quillet({"calls", "--db", "old.db", "--json",
                                   "--status", "30"})
                              .out)
                  .size(),
              1u);
    // The text index holds the calls stored before it was made.
    json by_text = json::parse(
        Quillet({"calls", "--db", "old.db", "--json", "--text", "m \"2"}).out);
    ASSERT_EQ(by_text.size(), 1u);
    EXPECT_EQ(by_text[0]["CallDescription"], "Jam \"2\"");
    // A batch (its run remembered in a table the migration made) goes on.
    Write("one.jsonl", R"({"op":"create-call","details":{"SOLDTOBP":"BP-1"}})"
                       "\n");
    testing::CliResult next = Quillet({"batch", "one.jsonl", "--db", "old.db"});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_NE(next.out.find("SC000003"), std::string::npos) << next.out;
    if (std::string(c.name) != "schema 2") continue;
    // Keys kept before live the default lifetime from their creation: the
    // one made long ago is new again, the recent one still answers (here
    // with a refusal: its digest is no request's).
    EXPECT_EQ(Quillet({"create-call", "--db", "old.db", "--key", "k",
                       "SOLDTOBP=BP-1"})
                  .status,
              0);
    // A Quillet of the earlier schema still running writes keys without an
    // expiry: they too live the default lifetime.
    Sql("old.db",
        "INSERT INTO request_keys(key, kind, digest, answer, created_at) "
        "VALUES('old writer', 'create-call', 'd', '{}', " +
            std::to_string(std::time(nullptr)) + ")");
    for (const char* key : {"live", "old writer"})
      EXPECT_EQ(Quillet({"create-call", "--db", "old.db", "--key", key,
                         "SOLDTOBP=BP-1"})
                    .status,
                3)
          << key;
    // Nor does it give them an id: an expired one is pruned all the same
    // (by the next key written), and the key expiring past 2^43 kept.
    Sql("old.db",
        "INSERT INTO request_keys(key, kind, digest, answer, created_at, "
        "expires_at) VALUES('gone', 'create-call', 'd', '{}', 1, 2)");
    ASSERT_EQ(Quillet({"create-call", "--db", "old.db", "--key", "next",
                       "SOLDTOBP=BP-1"})
                  .status,
              0);
    std::string keys =
        Quillet({"backend", "keys", "--db", "old.db", "--json"}).out;
    EXPECT_EQ(keys.find("\"gone\""), std::string::npos) << keys;
    EXPECT_NE(keys.find("\"far\""), std::string::npos) << keys;
  }
  // A database whose numbers do not follow their sequence numbers is left
  // as it was.
  std::filesystem::remove(dir.Path("odd.db"));
  Sql("odd.db", with_time(1765000000) +
                    "UPDATE calls SET call_number = 'X-1' WHERE seq = 2;");
  testing::CliResult odd = Quillet({"backend", "migrate", "--db", "odd.db"});
  EXPECT_EQ(odd.status, 2);
  EXPECT_NE(odd.err.find("left untouched"), std::string::npos) << odd.err;
}

// The release before schema 7 named a batch by its file's bytes. A batch it
// ran (here killed after two of its three lines) keeps its keys across the
// upgrade: run again, its done lines are answered again, not run twice.
TEST_F(CliContractTest, ABatchAnEarlierReleaseRanIsNotRunTwiceAfterTheUpgrade) {
  std::string lines;
  for (int i = 1; i <= 3; ++i)
    lines +=
        R"({"op":"create-call","details":{"SOLDTOBP":"BP-1","Q_TEXT":"line )" +
        std::to_string(i) + "\"}}\n";
  Write("b.jsonl", lines);
  Write("done.jsonl", lines.substr(0, lines.rfind(R"({"op")")));  // 1, 2
  // Its keys, as that release made them: "batch:<digest of the bytes>:<line>".
  const std::string earlier = operations::ContentDigest(lines);
  ASSERT_EQ(
      Quillet({"batch", "done.jsonl", "--batch-id", earlier, "--db", "then.db"})
          .status,
      0);
  // That release's own layout (schema 3), holding what it stored.
  Sql("old.db", R"sql(
PRAGMA page_size = 2048;
CREATE TABLE calls(seq INTEGER PRIMARY KEY, component TEXT NOT NULL,
  last_transaction_time INTEGER NOT NULL, created_at TEXT NOT NULL DEFAULT
  (strftime('%Y-%m-%dT%H:%M:%fZ','now')), properties TEXT NOT NULL, text TEXT,
  solution_text TEXT, call_number TEXT GENERATED ALWAYS AS
  ('SC' || printf('%06d', seq)) VIRTUAL);
CREATE TABLE request_keys(key TEXT PRIMARY KEY, kind TEXT NOT NULL,
  digest TEXT NOT NULL, answer TEXT NOT NULL, created_at INTEGER NOT NULL);
CREATE INDEX request_keys_by_age ON request_keys(created_at);
CREATE TABLE service_objects(object TEXT PRIMARY KEY,
  contract TEXT NOT NULL DEFAULT '', warranty TEXT NOT NULL DEFAULT '',
  warranty_description TEXT NOT NULL DEFAULT '',
  warranty_expiry_date TEXT NOT NULL DEFAULT '');
CREATE TABLE business_partners(number TEXT PRIMARY KEY,
  name TEXT NOT NULL DEFAULT '');
CREATE TABLE engineer_time(question_id TEXT PRIMARY KEY,
  minutes INTEGER NOT NULL);
CREATE TABLE items(serial TEXT PRIMARY KEY, component TEXT NOT NULL,
  changed_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')));
CREATE TABLE item_fields(serial TEXT NOT NULL, position INTEGER NOT NULL,
  name TEXT NOT NULL, value TEXT NOT NULL, PRIMARY KEY(serial, name));
ATTACH ')sql" + dir.Path("then.db") +
                    R"sql(' AS then_db;
INSERT INTO calls(seq, component, last_transaction_time, created_at,
  properties, text, solution_text) SELECT seq, component,
  last_transaction_time, created_at, properties, text, solution_text
  FROM then_db.calls;
INSERT INTO request_keys SELECT key, kind, digest, answer, created_at
  FROM then_db.request_keys;
DETACH then_db;
PRAGMA journal_mode = WAL;
PRAGMA application_id = )sql" +
                    std::to_string(standins::kApplicationId) +
                    "; PRAGMA user_version = 3;");
  ASSERT_EQ(Quillet({"backend", "migrate", "--db", "old.db"}).status, 0);
  // The search's index holds the calls there were.
  EXPECT_EQ(standins::BackendStore(dir.Path("old.db"),
                                   standins::BackendStore::Open::kForReading)
                .Calls(standins::CallQuery{.words = "LINE"})
                .size(),
            2u);
  for (const char* replayed : {"2 replayed", "3 replayed"}) {
    testing::CliResult r = Quillet({"batch", "b.jsonl", "--db", "old.db"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(replayed), std::string::npos) << r.err;
    std::vector<standins::StoredCall> calls =
        standins::BackendStore(dir.Path("old.db"),
                               standins::BackendStore::Open::kForReading)
            .Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].text.at(0).rfind("line 3", 0), 0u);  // run once
  }
}

}  // namespace
}  // namespace quillet::cli
