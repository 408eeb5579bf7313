// A batch file: one JSON request per line. Reading it never fails on its
// bytes: a line that is not UTF-8 text or not JSON is kept as unreadable,
// with a message that quotes it escaped, and the other lines still run.
#pragma once

#include <string>
#include <vector>

#include "input.h"

namespace quillet::cli {

struct BatchLine {
  size_t number = 0;       // in the file, from 1
  Json request;            // the parsed line, when readable
  std::string unreadable;  // else why not: "line 3 is not UTF-8 text: ..."
  std::string bytes;       // an unreadable line's bytes, trailing blanks cut
};

// The lines that say something: lines of only spaces and tabs are skipped,
// a CR before the LF is dropped.
std::vector<BatchLine> ReadBatchLines(const std::string& text);

// 16 hex digits naming the batch by what its lines say: each line's number
// and its request as parsed (an unreadable line: its bytes without trailing
// blanks). Line ends, blank lines after the last request and blanks around
// a request's JSON do not change it.
std::string BatchIdentity(const std::vector<BatchLine>& lines);

// The identity releases before schema 7 gave a batch: its file's bytes.
std::string EarlierBatchIdentity(const std::string& file_text);

}  // namespace quillet::cli
