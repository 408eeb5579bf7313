// Hosts (processes) writing through a failover, and what must hold after
// it. Each host creates a call and appends to it, each request under its
// own key, retrying a failed request under the same key until answered.
// `kill` takes the primary away (the time after it is the kill's), then
// `recover` runs (a promotion by hand, or nothing when a manager does it);
// the hosts go on until a write is answered after the kill, and a little
// longer. Then every answered request is on the new primary, once; a
// request whose outcome was unknown is settled by its key; nothing is
// stored twice.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace quillet::standins {

struct FailoverFigures {
  int answered_before = 0;              // requests answered before the kill
  int64_t kill_to_first_write_ms = -1;  // -1: none answered after it
  int unknown = 0;  // requests with a try whose outcome was unknown
};

FailoverFigures WriteThroughFailover(const std::string& uri,
                                     const std::function<void()>& kill,
                                     const std::function<void()>& recover);

}  // namespace quillet::standins
