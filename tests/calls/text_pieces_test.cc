#include "calls/text_pieces.h"

#include <gtest/gtest.h>

namespace quillet {
namespace {

std::vector<size_t> Lengths(StringView text) {
  std::vector<size_t> out;
  for (StringView piece : TextPieces(text)) out.push_back(piece.size());
  return out;
}

TEST(TextPiecesTest, CutsAt2048) {
  EXPECT_EQ(Lengths(u""), std::vector<size_t>{});
  EXPECT_EQ(Lengths(String(1, u'a')), std::vector<size_t>{1});
  EXPECT_EQ(Lengths(String(2048, u'a')), std::vector<size_t>{2048});
  EXPECT_EQ(Lengths(String(2049, u'a')), (std::vector<size_t>{2048, 1}));
  EXPECT_EQ(Lengths(String(4096, u'a')), (std::vector<size_t>{2048, 2048}));
  EXPECT_EQ(Lengths(String(4097, u'a')), (std::vector<size_t>{2048, 2048, 1}));
}

TEST(TextPiecesTest, NeverSplitsASurrogatePair) {
  // A pair at code units 2047-2048 (0-based): the first piece ends early.
  String text(2047, u'a');
  text += u"\U0001F600";  // two code units
  text += u"b";
  std::vector<StringView> pieces = TextPieces(text);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].size(), 2047u);
  EXPECT_EQ(pieces[1], StringView(u"\U0001F600b"));
  // A pair that ends exactly at a boundary is not moved.
  String aligned(2046, u'a');
  aligned += u"\U0001F600";
  aligned += u"c";
  EXPECT_EQ(Lengths(aligned), (std::vector<size_t>{2048, 1}));
  // An unpaired high surrogate at the boundary is cut as any other unit.
  String lone(2047, u'a');
  lone += static_cast<char16_t>(0xD800);
  lone += u"x";
  EXPECT_EQ(Lengths(lone), (std::vector<size_t>{2048, 1}));
  // The pieces always cover the whole text.
  String all;
  for (StringView p : TextPieces(text)) all += p;
  EXPECT_EQ(all, text);
}

// A text given as a head and a tail is cut exactly as the two joined,
// wherever the join falls against a piece's end, a pair across it included.
TEST(TextPiecesTest, HeadAndTailCutAsOneText) {
  const String pair = u"\U0001F600";
  const String tails[] = {u"", u"\r\n", pair + u"z", String(2049, u't')};
  for (size_t length : {0, 1, 2046, 2047, 2048, 2049, 4095, 4096, 4097})
    for (const String& tail : tails)
      for (bool pair_at_join : {false, true}) {
        String head(length, u'h');
        if (pair_at_join && length > 0) head.back() = pair[0];
        String whole_tail = pair_at_join ? pair.substr(1) + tail : tail;
        std::vector<String> split;
        ForEachTextPiece(head, whole_tail,
                         [&](StringView p) { split.emplace_back(p); });
        const String text = head + whole_tail;
        std::vector<String> joined;
        for (StringView p : TextPieces(text)) joined.emplace_back(p);
        EXPECT_EQ(split, joined)
            << length << " " << tail.size() << " " << pair_at_join;
      }
}

}  // namespace
}  // namespace quillet
