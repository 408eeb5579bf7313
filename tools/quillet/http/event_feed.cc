#include "http/event_feed.h"

#include <iostream>

#include "quillet/error.h"
#include "quillet/text.h"

namespace quillet::cli::http {

using Json = nlohmann::ordered_json;

std::string SseText(const Json& events) {
  std::string text;
  for (const Json& e : events) {
    text += "id: " + std::to_string(e["position"].get<int64_t>()) +
            "\nevent: " + e["operation"].get<std::string>() + "\ndata: " +
            e.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n\n";
  }
  return text;
}

std::shared_ptr<void> StreamGate::Take(const std::string& caller) {
  {
    MutexLock lock(mutex_);
    int& mine = per_caller_[caller];
    if (mine >= kStreamsPerCaller || in_all_ >= kStreamsInAll) {
      if (mine == 0) per_caller_.erase(caller);
      return nullptr;
    }
    ++mine;
    ++in_all_;
  }
  metrics_.StreamOpened();
  // Any pointer that is not null: only the deleter matters.
  return std::shared_ptr<void>(this, [this, caller](void*) { Give(caller); });
}

void StreamGate::Give(const std::string& caller) {
  metrics_.StreamClosed();
  MutexLock lock(mutex_);
  --in_all_;
  auto it = per_caller_.find(caller);
  if (it != per_caller_.end() && --it->second == 0) per_caller_.erase(it);
}

EventFeed::EventFeed(const operations::BackendSetup& backend,
                     operations::EventQuery query,
                     const operations::EventPage& first,
                     std::shared_ptr<void> slot,
                     const std::atomic<uint64_t>* token_generation)
    : backend_(backend),
      query_(std::move(query)),
      first_(SseText(first.events)),
      first_full_(static_cast<int64_t>(first.events.size()) == query_.limit),
      slot_(std::move(slot)),
      token_generation_(token_generation),
      generation_at_start_(token_generation ? token_generation->load() : 0) {
  query_.after = first.next;
}

Stream::Piece EventFeed::Next() {
  Piece piece;
  if (token_generation_ && token_generation_->load() != generation_at_start_) {
    piece.over = true;  // the tokens were re-read: let in again, or not
    return piece;
  }
  if (!first_.empty()) {
    piece.text = std::move(first_);
    first_.clear();
    piece.more = first_full_;
    return piece;
  }
  try {
    operations::EventPage page = operations::ReadEvents(backend_, query_);
    failing_ = false;
    if (page.gone) {
      piece.over = true;
      return piece;
    }
    piece.text = SseText(page.events);
    piece.more = static_cast<int64_t>(page.events.size()) == query_.limit;
    query_.after = page.next;
  } catch (const Error& e) {
    // Tried again at the next poll; said once, not at every one.
    if (!failing_)
      std::cerr << "quillet: following events: " << ToUtf8(e.info().description)
                << std::endl;
    failing_ = true;
  }
  return piece;
}

}  // namespace quillet::cli::http
