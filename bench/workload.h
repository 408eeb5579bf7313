// The call details every benchmark uses, as a caller would hold them.
#pragma once

#include <array>

#include "hand_written.h"
#include "quillet/dictionary.h"

namespace quillet::bench {

// The master data the workload's calls name (business partner BP-1,
// service object PRN-1, question Q-1), as JSON for LoadMasterData.
inline constexpr const char* kMasterData =
    R"({"serviceObjects":[{"object":"PRN-1","contract":"K-100",
  "warranty":"W-STD","warrantyDescription":"Standard","warrantyExpiryDate":"2027-06-30"}],
  "businessPartners":[{"number":"BP-1","name":"Acme"}],
  "engineerTime":[{"question":"Q-1","minutes":45}]})";

const Details& CallDetails();
// Option 2 (solution text) or 7 (call text), with a 5000-character text.
Details UpdateDetails(int option);
// The properties the embedded back end stores for one call of the workload,
// for the raw-database versions of it.
const std::array<const char*, 24>& StoredPropertyNames();
// The caller's dictionary, built anew for every call as a caller would.
Ref<Dictionary> ToDictionary(const Details& details);

}  // namespace quillet::bench
