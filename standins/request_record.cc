#include "request_record.h"

#include <xxhash.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "backend_failure.h"

namespace quillet::standins {
namespace {

// Every field is fed with its length first, so that no two different
// requests feed the same bytes.
class Digest {
 public:
  Digest() : state_(XXH3_createState(), &XXH3_freeState) {
    XXH3_128bits_reset(state_.get());
  }
  Digest& Add(std::string_view text) {
    uint64_t size = text.size();
    XXH3_128bits_update(state_.get(), &size, sizeof size);
    XXH3_128bits_update(state_.get(), text.data(), text.size());
    return *this;
  }
  Digest& Add(int64_t n) {
    XXH3_128bits_update(state_.get(), &n, sizeof n);
    return *this;
  }
  std::string Hex() const {
    XXH128_hash_t h = XXH3_128bits_digest(state_.get());
    char out[33];
    std::snprintf(out, sizeof out, "%016llx%016llx",
                  static_cast<unsigned long long>(h.high64),
                  static_cast<unsigned long long>(h.low64));
    return out;
  }

 private:
  std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t*)> state_;
};

void AddText(Digest& d, const std::optional<StoredText>& text) {
  d.Add(text ? int64_t{1} : int64_t{0});
  if (!text) return;
  d.Add(text->text_mode).Add(static_cast<int64_t>(text->pieces.size()));
  for (const std::string& piece : text->pieces) d.Add(piece);
}

// Each kind and its stored spelling; a write's refused kind follows it.
constexpr std::pair<RequestKind, std::string_view> kSpellings[] = {
    {RequestKind::kCreateCall, "create-call"},
    {RequestKind::kUpdateCall, "update-call"},
    {RequestKind::kCreateItem, "create-item"},
    {RequestKind::kUpdateItem, "update-item"},
    {RequestKind::kRefusedCreateCall, "refused create-call"},
    {RequestKind::kRefusedUpdateCall, "refused update-call"},
    {RequestKind::kRefusedCreateItem, "refused create-item"},
    {RequestKind::kRefusedUpdateItem, "refused update-item"},
};
constexpr std::pair<RequestKind, RequestKind> kRefused[] = {
    {RequestKind::kCreateCall, RequestKind::kRefusedCreateCall},
    {RequestKind::kUpdateCall, RequestKind::kRefusedUpdateCall},
    {RequestKind::kCreateItem, RequestKind::kRefusedCreateItem},
    {RequestKind::kUpdateItem, RequestKind::kRefusedUpdateItem},
};

// Appends `text` as a JSON string, as the JSON library dumps it. Plain
// ASCII, nearly every text of an answer, is copied as it is; anything else
// goes through the library, which escapes it and leaves out bytes that are
// not UTF-8 (texts of any bytes are kept, not refused).
void AppendAnswerString(std::string& out, std::string_view text) {
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x80 || c == '"' || c == '\\') {
      out += nlohmann::json(std::string(text))
                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::ignore);
      return;
    }
  }
  out += '"';
  out += text;
  out += '"';
}

}  // namespace

std::string_view Spelling(RequestKind kind) {
  for (const auto& [k, spelling] : kSpellings)
    if (k == kind) return spelling;
  return "";
}

RequestKind RequestKindSpelled(std::string_view spelling) {
  for (const auto& [k, s] : kSpellings)
    if (s == spelling) return k;
  return RequestKind::kOther;
}

RequestKind RefusedKind(RequestKind kind) {
  for (const auto& [write, refused] : kRefused)
    if (write == kind) return refused;
  return RequestKind::kOther;
}

std::string RequestDigest(std::string_view kind, const std::string& component,
                          const CallData& call) {
  Digest d;
  d.Add(kind).Add(component).Add(static_cast<int64_t>(call.properties.size()));
  for (const auto& [property, value] : call.properties)
    d.Add(StoredName(property))
        .Add(TypeName(value.type))
        .Add(value.text)
        .Add(value.number);
  AddText(d, call.text);
  AddText(d, call.solution_text);
  return d.Hex();
}

std::string RequestDigest(std::string_view kind, const std::string& component,
                          const ItemFields& fields) {
  Digest d;
  d.Add(kind).Add(component).Add(static_cast<int64_t>(fields.size()));
  for (const auto& [name, value] : fields) d.Add(name).Add(value);
  return d.Hex();
}

std::string NamedRequestDigest(std::string_view kind, std::string_view name) {
  Digest d;
  d.Add(kind).Add("named by its caller").Add(int64_t{-1}).Add(name);
  return d.Hex();
}

std::string AnswerJson(const SubmitOutcome& outcome) {
  // Written out directly, in the bytes the JSON library's dump of the same
  // object gives (keys in order, no spaces): building the object and
  // dumping it cost a keyed create a fifth of its instructions.
  std::string out = "{\"messages\":[";
  out.reserve(1024);
  for (size_t i = 0; i < outcome.messages.size(); ++i) {
    if (i > 0) out += ',';
    AppendAnswerString(out, outcome.messages[i]);
  }
  out += "],\"nothing_to_apply\":";
  out += outcome.nothing_to_apply ? "true" : "false";
  if (outcome.stored) {
    out += ",\"stored\":{\"call_number\":";
    AppendAnswerString(out, outcome.stored->call_number);
    out += ",\"properties\":{";
    // Each value as short as it can be read back whole: a text alone as a
    // string, a number alone as [type, number], else [type, text, number].
    // The row is smaller, so more of them share a page of the table.
    bool first = true;
    ForEachStored(outcome.stored->properties,
                  outcome.stored->unknown_properties,
                  [&](std::string_view name, const StoredValue& v) {
                    if (!first) out += ',';
                    first = false;
                    AppendAnswerString(out, name);
                    out += ':';
                    if (v.type == VarType::String && v.number == 0) {
                      AppendAnswerString(out, v.text);
                      return;
                    }
                    out += '[';
                    AppendAnswerString(out, TypeName(v.type));
                    if (v.type == VarType::String || !v.text.empty()) {
                      out += ',';
                      AppendAnswerString(out, v.text);
                    }
                    out += ',';
                    out += std::to_string(v.number);
                    out += ']';
                  });
    out += "}}";
  }
  out += '}';
  return out;
}

std::string AnswerJson(const ItemOutcome& outcome) {
  return nlohmann::json{{"refusal", outcome.refusal}}.dump(
      -1, ' ', false, nlohmann::json::error_handler_t::ignore);
}

void AnswerFromJson(const std::string& text, ItemOutcome& outcome) {
  outcome.refusal =
      nlohmann::json::parse(text).at("refusal").get<std::string>();
}

void AnswerFromJson(const std::string& text, SubmitOutcome& outcome) {
  using nlohmann::json;
  json answer = json::parse(text);
  outcome.messages = answer.at("messages").get<std::vector<std::string>>();
  outcome.nothing_to_apply = answer.at("nothing_to_apply").get<bool>();
  if (answer.contains("stored")) {
    const json& stored = answer["stored"];
    StoredCall call;
    call.call_number = stored.at("call_number").get<std::string>();
    for (const auto& [name, v] : stored.at("properties").items()) {
      StoredValue value{VarType::String, "", 0};
      if (v.is_string()) {
        value.text = v.get<std::string>();
      } else {
        std::optional<VarType> type =
            StoredTypeNamed(v.at(0).get_ref<const std::string&>());
        if (!type || (v.size() != 2 && v.size() != 3))
          RaiseBackend("the answer kept under a request key is not readable");
        value = v.size() == 2 ? StoredValue{*type, "", v.at(1).get<int64_t>()}
                              : StoredValue{*type, v.at(1).get<std::string>(),
                                            v.at(2).get<int64_t>()};
      }
      if (std::optional<CallProperty> p = StoredPropertyNamed(name))
        call.properties[*p] = std::move(value);
      else
        call.unknown_properties[name] = std::move(value);
    }
    outcome.stored = std::move(call);
  }
}

}  // namespace quillet::standins
