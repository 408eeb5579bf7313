// The options of UpdateCall: the one table of what each "OPTION" changes and
// which detail keys it reads. UpdateCall applies it; the command's help and
// the web console's buttons are made from it.
//
// Every option also reads CALLNUMBER, ENGINEER and ACTIONDONEBY. A request
// whose OPTION is none of 1 to 9 (or that has none) is option 8.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quillet {

// One step of an option, in the order UpdateCall takes them.
enum class UpdateStep : uint8_t {
  kProblem,        // PROBLEM as the action problem
  kActions,        // PROBLEM, SOLUTION, ACTIVITY as the three actions
  kTimePlusSpent,  // the engineer time of Q_ID plus TIMESPENT minutes
  kEngineerTime,   // the engineer time of Q_ID
  kSolutionText,   // SOLUTIONTEXT as the solution text
  kCallText,       // Q_TEXT appended to the call text
  kWaitingEnds,    // the waiting flag 2, its description cleared
  kWaiting,        // the waiting flag 1, WAITINGDESC its description
  kOptionFlag,     // the option flag set
};

struct UpdateOption {
  int number;
  std::string_view name;          // what a person is shown ("Record problem")
  std::optional<uint8_t> status;  // the status set; nothing: kept
  std::string_view status_note;   // what the status means, when it says more
  std::array<std::optional<UpdateStep>, 3> steps;
  bool confirm = false;  // final: a person confirms before it is sent
};

inline constexpr std::array<UpdateOption, 9> kUpdateOptions = {{
    {1, "Record problem", 15, "", {UpdateStep::kProblem}},
    {2,
     "Solve with time",
     15,
     "",
     {UpdateStep::kActions, UpdateStep::kTimePlusSpent,
      UpdateStep::kSolutionText}},
    {3, "End waiting", 15, "", {UpdateStep::kWaitingEnds}},
    {4,
     "Mark solved",
     25,
     "",
     {UpdateStep::kActions, UpdateStep::kSolutionText,
      UpdateStep::kTimePlusSpent}},
    {5, "Wait", 15, "", {UpdateStep::kWaiting}},
    {6,
     "Complete",
     30,
     "completed, service order",
     {UpdateStep::kActions, UpdateStep::kSolutionText,
      UpdateStep::kEngineerTime},
     true},
    {7, "Add call text", std::nullopt, "", {UpdateStep::kCallText}},
    {8, "Register", 10, "", {UpdateStep::kEngineerTime}},
    {9, "Set option flag", std::nullopt, "", {UpdateStep::kOptionFlag}},
}};

// The option that a request with no usable OPTION gets.
inline constexpr int kDefaultUpdateOption = 8;

// The option numbered `number` (1 to 9).
inline const UpdateOption& UpdateOptionNumbered(int number) {
  return kUpdateOptions.at(static_cast<size_t>(number - 1));
}

// The detail keys a step reads, in the order it reads them.
inline std::vector<std::string_view> DetailKeysOf(UpdateStep step) {
  switch (step) {
    case UpdateStep::kProblem:
      return {"PROBLEM"};
    case UpdateStep::kActions:
      return {"PROBLEM", "SOLUTION", "ACTIVITY"};
    case UpdateStep::kTimePlusSpent:
      return {"Q_ID", "TIMESPENT"};
    case UpdateStep::kEngineerTime:
      return {"Q_ID"};
    case UpdateStep::kSolutionText:
      return {"SOLUTIONTEXT"};
    case UpdateStep::kCallText:
      return {"Q_TEXT"};
    case UpdateStep::kWaiting:
      return {"WAITINGDESC"};
    case UpdateStep::kWaitingEnds:
    case UpdateStep::kOptionFlag:
      break;
  }
  return {};
}

// The detail keys an option reads beside those every option reads.
inline std::vector<std::string_view> DetailKeysOf(const UpdateOption& option) {
  std::vector<std::string_view> keys;
  for (const std::optional<UpdateStep>& step : option.steps)
    if (step)
      for (std::string_view key : DetailKeysOf(*step)) keys.push_back(key);
  return keys;
}

}  // namespace quillet
