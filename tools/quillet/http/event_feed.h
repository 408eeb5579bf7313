// GET /events as a stream of Server-Sent Events, and the bound on the
// streams open at once. Each event is sent as
//
//   id: <position>
//   event: <operation>
//   data: <the event's JSON on one line>
//   <blank line>
//
// read through the operation layer a page at a time after the position last
// sent (the page's `next`, never one computed here): no event is missed or
// sent twice, in position order. A stream whose position was pruned away
// while it followed ends; its client reconnects and is answered 410.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "http/message.h"
#include "http/metrics.h"
#include "quillet/operations/events.h"
#include "runtime/mutex.h"

namespace quillet::cli::http {

inline constexpr int kStreamsPerCaller = 4;
inline constexpr int kStreamsInAll = 64;

// The events of a page as Server-Sent Events.
std::string SseText(const nlohmann::ordered_json& events);

// Streams open at once, per caller (a token's name, else the client's
// address) and in all. Thread-safe; outlives every slot it gives.
class StreamGate {
 public:
  explicit StreamGate(Metrics& metrics) : metrics_(metrics) {}
  // A slot, given back when the last copy goes; nullptr over a bound.
  std::shared_ptr<void> Take(const std::string& caller);

 private:
  void Give(const std::string& caller);
  Metrics& metrics_;
  Mutex mutex_;
  std::map<std::string, int> per_caller_ GUARDED_BY(mutex_);
  int in_all_ GUARDED_BY(mutex_) = 0;
};

class EventFeed : public Stream {
 public:
  // `first` is the page already read after `query.after` (sent first).
  EventFeed(const operations::BackendSetup& backend,
            operations::EventQuery query, const operations::EventPage& first,
            std::shared_ptr<void> slot,
            const std::atomic<uint64_t>* token_generation = nullptr);
  Piece Next() override;

 private:
  operations::BackendSetup backend_;
  operations::EventQuery query_;
  std::string first_;
  bool first_full_ = false;
  bool failing_ = false;  // the last read failed (said once per run)
  std::shared_ptr<void> slot_;
  // The tokens' re-reads, as they stood when the stream began: once they
  // move, the stream ends and its client must be let in again.
  const std::atomic<uint64_t>* token_generation_;
  uint64_t generation_at_start_ = 0;
};

}  // namespace quillet::cli::http
