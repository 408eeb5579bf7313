// The embedded back end's value objects: texts, records, lists, messages
// and responses, as the adapter contract (adapter.h) declares them. A record
// turns into what the back end stores, and back, in record_codec.cc.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "quillet/adapter.h"
#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/text.h"

namespace quillet::standins::embedded {

using adapter::CallProperty;

// Raises the back end's error for a use of its objects that it refuses.
[[noreturn]] inline void Refuse(const std::string& why) {
  Raise({.number = kBackendError,
         .source = u"Holmfast.Adapter.Boi",
         .description = u"Embedded back end: " + FromUtf8(why)});
}

template <class Base>
class Text final : public Base {
 public:
  // Held as the back end stores them (UTF-8): a long text is not kept
  // twice, once per encoding.
  void AddLine(const String& piece) override {
    if (piece.size() > 2048)
      Refuse("a text piece is longer than 2048 characters");
    pieces_.push_back(ToUtf8(piece));
  }
  String TextMode() const override { return mode_; }
  void SetTextMode(const String& mode) override { mode_ = mode; }

  // The text as stored, without its pieces: LendPieces moves them in for
  // one submit, TakeBackPieces returns them, so that they are never
  // copied and the text can be submitted again.
  StoredText Stored() const { return {{}, ToUtf8(mode_)}; }
  void LendPieces(StoredText& stored) { stored.pieces = std::move(pieces_); }
  void TakeBackPieces(StoredText& stored) {
    pieces_ = std::move(stored.pieces);
  }

 private:
  std::vector<std::string> pieces_;
  String mode_;
};
using CallTextImpl = Text<adapter::CallText>;
using SolutionTextImpl = Text<adapter::SolutionText>;

class Record final : public adapter::ServiceCallRecord {
 public:
  Variant Get(CallProperty p) const override {
    auto it = values_.find(p);
    return it == values_.end() ? adapter::UnsetValue(p) : it->second;
  }
  void Set(CallProperty p, Variant value) override {
    values_[p] = std::move(value);
  }

  // What was set on the record, as the back end stores it, but for the
  // texts' pieces: LendPieces moves them into `call` for its submit and
  // TakeBackPieces returns them (a record may be in a list twice).
  CallData Submitted() const;
  void LendPieces(CallData& call);
  void TakeBackPieces(CallData& call);
  // A record that holds the stored call's properties.
  static Ref<Record> FromStored(const StoredCall& call);

 private:
  std::map<CallProperty, Variant> values_;
};

class List final : public adapter::ServiceCallList {
 public:
  void Add(const Ref<adapter::ServiceCallRecord>& record) override {
    if (!record) RaiseRuntime(errors::kObjectNotSet);
    items_.push_back(record);
  }
  int32_t Count() const override { return static_cast<int32_t>(items_.size()); }
  Ref<adapter::ServiceCallRecord> Item(int32_t index) const override {
    if (index < 0 || index >= Count())
      RaiseRuntime(errors::kSubscriptOutOfRange);
    return items_[static_cast<size_t>(index)];
  }

 private:
  std::vector<Ref<adapter::ServiceCallRecord>> items_;
};

class Message final : public adapter::AdapterMessage {
 public:
  explicit Message(String text) : text_(std::move(text)) {}
  String Text() const override { return text_; }

 private:
  String text_;
};

class Messages final : public adapter::MessageList {
 public:
  void Add(const std::string& text) { texts_.push_back(FromUtf8(text)); }
  int32_t Count() const override { return static_cast<int32_t>(texts_.size()); }
  Ref<adapter::AdapterMessage> Item(int32_t index) const override {
    if (index < 0 || index >= Count())
      RaiseRuntime(errors::kSubscriptOutOfRange);
    return MakeRef<Message>(texts_[static_cast<size_t>(index)]);
  }

 private:
  std::vector<String> texts_;
};

template <class Base>
class Response final : public Base {
 public:
  Ref<adapter::ServiceCallList> ReturnedCalls() const override { return list_; }
  Ref<adapter::MessageList> Messages() const override { return messages_; }
  Ref<List> list_ = MakeRef<List>();
  Ref<class Messages> messages_ = MakeRef<class Messages>();
};

}  // namespace quillet::standins::embedded
