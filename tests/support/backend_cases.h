// The back end's end-to-end cases, run against each storage engine: a test
// program instantiates BackendCaseTest with the engines it has.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <ostream>
#include <string>
#include <utility>

#include "quillet/calls.h"
#include "support/temp_dir.h"

namespace quillet::standins {

struct BackendEngine {
  std::string name;
  // A fresh, empty database: a file in `dir`, or a new server database.
  std::function<std::string(const testing::TempDir& dir)> new_database;
};
inline void PrintTo(const BackendEngine& engine, std::ostream* out) {
  *out << engine.name;
}

// Calls on the embedded back end on a fresh database with master data, and
// the file log.
class BackendCaseTest : public ::testing::TestWithParam<BackendEngine> {
 protected:
  BackendCaseTest();
  Ref<Dictionary> Details(
      std::initializer_list<std::pair<const char16_t*, Variant>> entries);
  Ref<Dictionary> Create(const Ref<Dictionary>& details, Variant& error);
  int LogLines();

  testing::TempDir dir_;
  std::string db_;
  std::string log_;
  Ref<CallsInterface> calls_ = NewCalls();
};

}  // namespace quillet::standins
