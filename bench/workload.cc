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

const std::array<const char*, 24>& StoredPropertyNames() {
  static const std::array<const char*, 24> names = {"CallNumber",
                                                    "SoldToBusinessPartner",
                                                    "Site",
                                                    "ServiceObject",
                                                    "ObjectNumber",
                                                    "CallDescription",
                                                    "Problem",
                                                    "Priority",
                                                    "BusinessPartnerNumber",
                                                    "OriginCode",
                                                    "CallGroup1",
                                                    "CallGroup2",
                                                    "CallerName",
                                                    "Contact",
                                                    "Engineer",
                                                    "CreatedBy",
                                                    "ActionDoneBy",
                                                    "TimeSpent",
                                                    "LastTransactionTime",
                                                    "Contract",
                                                    "WarrantyFlag",
                                                    "Warranty",
                                                    "WarrantyDescription",
                                                    "WarrantyExpiryDate"};
  return names;
}

Ref<Dictionary> ToDictionary(const Details& details) {
  Ref<Dictionary> d = MakeRef<Dictionary>();
  for (const auto& [k, v] : details) d->Add(k, v);
  return d;
}

}  // namespace quillet::bench
