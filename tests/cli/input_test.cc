// The command's input readers, directly: CSV tables, JSON texts, details.
#include "input.h"

#include <gtest/gtest.h>

#include <sstream>

#include "quillet/operations/json_variant.h"

namespace quillet::cli {
namespace {

using operations::UsageError;

// The rows as compact JSON, or "usage: <message>" when refused.
std::string Read(const std::function<Json()>& read) {
  try {
    return read().dump();
  } catch (const UsageError& e) {
    return std::string("usage: ") + e.what();
  }
}

TEST(InputTest, CsvRows) {
  struct Case {
    std::string text, rows;
  };
  const Case cases[] = {
      {"A,1\nB,2\n", R"([["A","1"],["B","2"]])"},
      {"A,1\r\nB,2", R"([["A","1"],["B","2"]])"},
      {"\xEF\xBB\xBFSERIAL,S-1\n", R"([["SERIAL","S-1"]])"},
      {"ITEM,\"PRN, \"\"large\"\"\"\n", R"([["ITEM","PRN, \"large\""]])"},
      {"A,\"two\nlines\"\n\nB,\n", R"([["A","two\nlines"],["B",""]])"},
      {"", "[]"},
      {"A,\"open\n", "usage: the CSV file ends inside a quoted field"},
      {"A;1\nB;2\n",
       "usage: the CSV file is not comma-separated (it has semicolons or tabs "
       "and no commas)"},
      {"A\t1\n",
       "usage: the CSV file is not comma-separated (it has "
       "semicolons or tabs and no commas)"},
      {"NOTE,a;b\n", R"([["NOTE","a;b"]])"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Read([&] { return CsvRows(c.text); }), c.rows);
  }
}

TEST(InputTest, JsonTextsAndDetails) {
  struct Case {
    std::string name;
    std::function<Json()> read;
    std::string out;
  };
  std::istringstream no_input;
  const Case cases[] = {
      {"order kept", [] { return ParseJson(R"({"Z":1,"A":2})", "x"); },
       R"({"Z":1,"A":2})"},
      {"byte-order mark", [] { return ParseJson("\xEF\xBB\xBF[1]", "x"); },
       "[1]"},
      {"where and why", [] { return ParseJson("{\"A\":1,}", "--details"); },
       "usage: --details is not valid JSON: parse error at line 1, column 8: "
       "syntax error while parsing object key - unexpected '}'; expected "
       "string literal"},
      {"number overflow", [] { return ParseJson("7000.8870E718", "x"); },
       "usage: x is not valid JSON: number overflow parsing '7000.8870E718'"},
      {"duplicate key",
       [] { return ParseJson(R"({"A":1,"B":{"A":2},"A":3})", "line 4"); },
       "usage: line 4 gives the key \"A\" twice"},
      {"a key twice among many, first and last",
       [] {
         std::string text = "{";
         for (int i = 0; i < 5000; ++i)
           text += "\"K" + std::to_string(i) + "\":[{},{\"K\":0}],";
         return ParseJson(text + "\"K0\":1}", "x");
       },
       "usage: x gives the key \"K0\" twice"},
      {"bad bytes quoted escaped", [] { return ParseJson("[\"ab\xff", "x"); },
       "usage: x is not valid JSON: parse error at line 1, column 5: syntax "
       "error while parsing value - invalid string: ill-formed UTF-8 byte; "
       "last read: '\"ab\\xff'"},
      {"too deep", [] { return ParseJson(std::string(65, '['), "x"); },
       "usage: x is nested too deeply"},
      {"pairs",
       [&] {
         return DetailsJson("", {"B=1", "A=x=y"}, no_input);
       },
       R"({"B":"1","A":"x=y"})"},
      {"pair twice",
       [&] {
         return DetailsJson("", {"A=1", "A=2"}, no_input);
       },
       "usage: the key \"A\" is given twice"},
      {"both forms", [&] { return DetailsJson("{}", {"A=1"}, no_input); },
       "usage: give the details either with --details or as KEY=VALUE, not "
       "both"},
      {"a folder", [] { return ValuesJson("/"); },
       "usage: '/' is a folder, not a file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Read(c.read), c.out);
  }
}

}  // namespace
}  // namespace quillet::cli
