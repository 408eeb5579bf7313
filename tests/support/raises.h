// Raised errors, checked in one place: the number always, the description
// when given. A failure prints what was raised instead.
//
//   EXPECT_RAISES(d.Add(u"K", 2), errors::kDuplicateKey);
//   EXPECT_RAISES_WITH(ToLong(v), 6, u"Overflow");
//   int32_t n = NumberRaisedBy([&] { ToLong(v); });   // 0: nothing raised
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "quillet/error.h"

namespace quillet::testing {

// The error that `f` raised, or nullopt when it returned normally.
template <class F>
std::optional<ErrorInfo> RaisedBy(F&& f) {
  try {
    f();
    return std::nullopt;
  } catch (const Error& e) {
    return e.info();
  }
}

// The number of the error that `f` raised; 0 when it returned normally.
template <class F>
int32_t NumberRaisedBy(F&& f) {
  std::optional<ErrorInfo> raised = RaisedBy(std::forward<F>(f));
  return raised ? raised->number : 0;
}

::testing::AssertionResult Raises(const std::optional<ErrorInfo>& raised,
                                  int32_t number,
                                  std::optional<StringView> description = {});

}  // namespace quillet::testing

#define EXPECT_RAISES(statement, number)  \
  EXPECT_TRUE(::quillet::testing::Raises( \
      ::quillet::testing::RaisedBy([&] { statement; }), number))
#define EXPECT_RAISES_WITH(statement, number, description) \
  EXPECT_TRUE(::quillet::testing::Raises(                  \
      ::quillet::testing::RaisedBy([&] { statement; }), number, description))
