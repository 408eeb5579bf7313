// The questions a listing asks of the back end, and what it remembers of a
// batch run: one definition, used alike by the operation layer that reads
// them from its callers and by the back end that answers them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillet {

// Which calls a listing visits, in the order they were created.
struct CallQuery {
  std::optional<std::string> after;  // only calls created after this one
  std::optional<int64_t> status;
  std::optional<std::string> sold_to;    // SoldToBusinessPartner
  std::optional<int64_t> changed_since;  // LastTransactionTime at least
  std::optional<std::string> text;       // CallDescription contains it
  // A search: calls whose texts (the description, problem, caller's and
  // customer's names, call and solution text) hold each of its words, as a
  // word or the start of one, letter case and accents aside; the newest
  // call first, `after` a call this order passes.
  std::optional<std::string> words;
  // Filters the back end's rules apply to the calls the others leave (each
  // call read): any of these statuses (none: any), a status below this
  // one, any of these sold-to partners, this engineer, waiting or not.
  std::vector<int64_t> statuses;
  std::optional<int64_t> status_below;
  std::vector<std::string> sold_to_any;
  std::optional<std::string> engineer;
  std::optional<bool> waiting;
  std::optional<int64_t> limit;
  // The most recently changed first (ties: the newest call first), and
  // `after` a call that this order passes, instead of the order of creation.
  bool newest_change_first = false;
};

// Which items a listing visits, in the order of their serial numbers.
struct ItemQuery {
  std::optional<std::string> after;  // only serials after this one
  std::optional<int64_t> limit;
  // Only items whose serial number or a field value contains it, ASCII
  // letters in either case (read item by item: a scan of the items).
  std::optional<std::string> text;
};

// A run of a batch file, as the command remembers it to tell an
// interrupted run from an edited file.
struct BatchRun {
  std::string identity;    // what its lines say, or the caller's batch id
  std::string file_name;   // the batch file's absolute path
  int64_t lines = 0;       // lines that say something
  int64_t lines_done = 0;  // of them, run so far (never goes back)
  bool finished = false;   // ran to its end
};

}  // namespace quillet
