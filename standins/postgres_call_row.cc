#include "postgres_call_row.h"

#include <charconv>
#include <cstdint>

#include "backend_failure.h"

namespace quillet::standins {
namespace {

void Frame(std::string& out, std::string_view bytes) {
  auto n = static_cast<uint32_t>(bytes.size());
  if (n != bytes.size())
    RaiseBackend("a value is too large to store (4 GiB or more)");
  char length[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                    static_cast<char>(n >> 8), static_cast<char>(n)};
  out.append(length, 4);
  out.append(bytes);
}

// The frames of `frames`, each checked to lie within it.
std::vector<std::string_view> Frames(std::string_view frames) {
  std::vector<std::string_view> out;
  while (!frames.empty()) {
    if (frames.size() < 4) break;
    auto byte = [&](size_t i) {
      return static_cast<uint32_t>(static_cast<unsigned char>(frames[i]));
    };
    size_t n = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
    if (n > frames.size() - 4) break;
    out.push_back(frames.substr(4, n));
    frames.remove_prefix(4 + n);
  }
  if (!frames.empty())
    RaiseBackend("a stored call is not readable: its row is damaged");
  return out;
}

}  // namespace

std::string FrameProperties(const StoredProperties& props,
                            const UnknownProperties& unknown) {
  std::string out;
  out.reserve(512);
  ForEachStored(props, unknown,
                [&](std::string_view name, const StoredValue& value) {
                  Frame(out, name);
                  Frame(out, TypeName(value.type));
                  Frame(out, value.type == VarType::String
                                 ? value.text
                                 : std::to_string(value.number));
                });
  return out;
}

void UnframeProperties(std::string_view frames, StoredProperties& props,
                       UnknownProperties& unknown) {
  std::vector<std::string_view> all = Frames(frames);
  if (all.size() % 3 != 0)
    RaiseBackend("a stored call is not readable: its row is damaged");
  for (size_t i = 0; i < all.size(); i += 3) {
    std::optional<VarType> type = StoredTypeNamed(all[i + 1]);
    if (!type)
      RaiseBackend(
          "a stored call is not readable: a property's type is unknown");
    StoredValue v{*type, "", 0};
    if (v.type == VarType::String) {
      v.text = std::string(all[i + 2]);
    } else {
      const char* end = all[i + 2].data() + all[i + 2].size();
      auto [at, error] = std::from_chars(all[i + 2].data(), end, v.number);
      if (error != std::errc() || at != end)
        RaiseBackend("a stored call is not readable: its row is damaged");
    }
    if (std::optional<CallProperty> p = StoredPropertyNamed(all[i]))
      props[*p] = std::move(v);
    else
      unknown[std::string(all[i])] = std::move(v);
  }
}

std::string FramePieces(const std::vector<std::string>& pieces, size_t from) {
  std::string out;
  size_t size = 0;
  for (size_t i = from; i < pieces.size(); ++i) size += 4 + pieces[i].size();
  out.reserve(size);
  for (size_t i = from; i < pieces.size(); ++i) Frame(out, pieces[i]);
  return out;
}

std::vector<std::string> UnframePieces(std::string_view frames) {
  std::vector<std::string> out;
  for (std::string_view piece : Frames(frames)) out.emplace_back(piece);
  return out;
}

}  // namespace quillet::standins
