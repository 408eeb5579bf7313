// Hostile input through the C++ API and the command line: each gets a clear
// answer and nothing is lost or half written.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "quillet/calls.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/file_log.h"
#include "quillet/text.h"
#include "support/cli_runner.h"
#include "support/temp_dir.h"

namespace quillet {
namespace {

using nlohmann::json;

class HostileApiTest : public ::testing::Test {
 protected:
  HostileApiTest() {
    standins::RegisterEmbeddedBackend(dir_.Path("q.db"));
    standins::RegisterFileLog(dir_.Path("q.log"));
  }
  // The stored call text, joined, of the call CreateCall answered.
  std::string StoredText(const Ref<Dictionary>& result) {
    std::string number = ToUtf8(result->Item(u"CALLNUMBER").AsString());
    std::optional<standins::StoredCall> call =
        standins::BackendStore(dir_.Path("q.db")).Call(number);
    std::string text;
    for (const std::string& piece : call->text) text += piece;
    return text;
  }
  testing::TempDir dir_;
  Ref<CallsInterface> calls_ = NewCalls();
};

TEST_F(HostileApiTest, TextsAreStoredExactly) {
  struct Case {
    std::string name;
    String text;
    std::string stored;  // UTF-8, with the CR LF that CreateCall appends
  };
  String big(10 * 1024 * 1024 / 2, u'x');  // 10 MB of UTF-16
  const Case cases[] = {
      {"embedded NULs", String(u"a\0b\0c", 5), std::string("a\0b\0c\r\n", 7)},
      {"SQL metacharacters", u"'); DROP TABLE calls; --",
       "'); DROP TABLE calls; --\r\n"},
      {"non-ASCII", u"Grüße \U0001F600",
       "Gr\xc3\xbc\xc3\x9f"
       "e \xf0\x9f\x98\x80\r\n"},
      // Half a surrogate pair has no UTF-8 form: it is stored as U+FFFD.
      {"unpaired surrogate", String(1, char16_t(0xD800)) + u"z",
       "\xef\xbf\xbdz\r\n"},
      {"10 MB", big, std::string(big.size(), 'x') + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Ref<Dictionary> details = MakeRef<Dictionary>();
    details->Add(u"SOLDTOBP", u"BP-1");
    details->Add(u"Q_TEXT", c.text);
    Variant error;
    Ref<Dictionary> result = calls_->CreateCall(details, error);
    ASSERT_TRUE(result && result->Exists(u"CALLNUMBER"))
        << ToUtf8(ToString(error));
    EXPECT_EQ(StoredText(result), c.stored);
  }
  standins::BackendStore store(dir_.Path("q.db"));
  EXPECT_EQ(store.Calls().size(), std::size(cases));
}

TEST_F(HostileApiTest, NumbersAtAndPastTheirBoundaries) {
  struct Case {
    const char16_t* key;
    Variant value;
    std::string error;  // "" when the call is stored
  };
  const Case cases[] = {
      {u"PRIORITY", 255, ""},
      {u"PRIORITY", u"1e2", ""},
      {u"PRIORITY", u"&HFF", ""},
      {u"TIMESPENT", 1288490207, ""},  // the most that formats
      {u"TIMESPENT", u"2147483648", "Overflow"},
      {u"TIMESPENT", -2147483647 - 1, ""},
      {u"TIMESPENT", kNull, "Invalid use of Null"},
  };
  size_t stored = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.key) + " " +
                 ToUtf8(ToString(Concat(Variant(u""), c.value))));
    Ref<Dictionary> details = MakeRef<Dictionary>();
    details->Add(u"SOLDTOBP", u"BP-1");
    details->Add(c.key, c.value);
    Variant error;
    Ref<Dictionary> result = calls_->CreateCall(details, error);
    if (c.error.empty()) {
      EXPECT_TRUE(result && result->Exists(u"CALLNUMBER"));
      ++stored;
    } else {
      EXPECT_FALSE(result);
      EXPECT_EQ(ToUtf8(error.AsString()), c.error);
    }
  }
  EXPECT_EQ(standins::BackendStore(dir_.Path("q.db")).Calls().size(), stored);
}

TEST(HostileCliTest, BadInputIsRefusedWithNothingWritten) {
  std::string deep_array(100000, '[');
  std::string deep_object;
  for (int i = 0; i < 100000; ++i) deep_object += "{\"a\":";
  struct Case {
    std::vector<std::string> args;
    std::string in_err;  // after "quillet: "
    std::string input = "";
  };
  const std::vector<std::string> item = {"create-item", "--component", "I",
                                         "--values"};
  auto with = [](std::vector<std::string> args, const std::string& last) {
    args.push_back(last);
    return args;
  };
  const Case cases[] = {
      {{"create-call", "--details", "-"},
       "standard input is nested too deeply",
       deep_array},
      {{"create-call", "--details", "-"},
       "standard input is nested too deeply",
       deep_object + "1" + std::string(100000, '}')},
      {{"create-call", "--details", "{\"A\": 1,"},
       "--details is not valid JSON"},
      {{"create-call", "--details", "[1,2]"}, "must be a JSON object"},
      {{"create-call", "--details", "{\"A\": \"\xff\"}"}, "ill-formed UTF-8"},
      {{"create-call", "A=\xc3\x28"}, "a text is not valid UTF-8"},
      {{"create-call", "NOEQUALS"}, "is not KEY=VALUE"},
      {{"time-format", "abc"}, "not valid JSON"},
      {with(item, "[[[1]]]"), "nested too deeply for a variant"},
      {with(item, R"([["a"],["b","c"]])"), "the same number of cells"},
      {with(item, "missing.csv"), "cannot read 'missing.csv'"},
      {{"batch", "missing.jsonl"}, "cannot read 'missing.jsonl'"},
      {{"--db", "/proc/quillet/q.db", "calls"}, "no database '/proc/quillet"},
      {{"no-such-command"}, "unknown command"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in_err);
    testing::TempDir dir;
    testing::CliResult r = testing::RunQuillet(dir, c.args, c.input);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("quillet: "), std::string::npos);
    EXPECT_NE(r.err.find(c.in_err), std::string::npos) << r.err;
    EXPECT_FALSE(std::ifstream(dir.Path("quillet.db")).good());
    EXPECT_FALSE(std::ifstream(dir.Path("quillet.log")).good());
  }
}

TEST(HostileCliTest, AnUnwritableLogFailsTheCallLoudly) {
  testing::TempDir dir;
  // A refusal must be logged; with no log to write to, the call fails.
  testing::CliResult r = testing::RunQuillet(
      dir, {"--log", "/proc/quillet/q.log", "create-call", "Q_TEXT=x"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  json out = json::parse(r.out);
  EXPECT_EQ(out["error"]["number"], 75);
  // The refusal's log entry failed; the failure path's own entry failed too,
  // and that failure left the call.
  EXPECT_EQ(out["errorDescription"].get<std::string>().rfind(
                "Path/File access error: cannot open log file", 0),
            0u);
}

}  // namespace
}  // namespace quillet
