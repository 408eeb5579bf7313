#include "workload.h"

#include "support/call_details.h"

namespace quillet::bench {
namespace {

Details AsMap(const testing::DetailTexts& texts) {
  return Details(texts.begin(), texts.end());
}

}  // namespace

const Details& CallDetails() {
  static const Details details = AsMap(testing::CreateCallDetails());
  return details;
}

Details UpdateDetails(int option) {
  return AsMap(testing::UpdateCallDetails(option, 5000));
}

Ref<Dictionary> ToDictionary(const Details& details) {
  Ref<Dictionary> d = MakeRef<Dictionary>();
  for (const auto& [k, v] : details) d->Add(k, v);
  return d;
}

}  // namespace quillet::bench
