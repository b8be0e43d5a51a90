#include "support/byte_reader.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace quill {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(CheckedArithmetic, ReportsOverflowOfSixtyFourBits) {
  EXPECT_EQ(CheckedAdd(2, 3), 5u);
  EXPECT_EQ(CheckedAdd(kMax - 1, 1), kMax);
  EXPECT_EQ(CheckedAdd(kMax, 1), std::nullopt);
  EXPECT_EQ(CheckedAdd(1, kMax), std::nullopt);
  EXPECT_EQ(CheckedAdd(kMax / 2 + 1, kMax / 2 + 1), std::nullopt);

  EXPECT_EQ(CheckedMul(0, kMax), 0u);
  EXPECT_EQ(CheckedMul(kMax, 0), 0u);
  EXPECT_EQ(CheckedMul(kMax, 1), kMax);
  EXPECT_EQ(CheckedMul(std::uint64_t{1} << 32, std::uint64_t{1} << 31), std::uint64_t{1} << 63);
  EXPECT_EQ(CheckedMul(std::uint64_t{1} << 32, std::uint64_t{1} << 32), std::nullopt);
  EXPECT_EQ(CheckedMul(kMax / 3 + 1, 3), std::nullopt);
}

TEST(ByteReader, ReadsLittleEndian) {
  const std::vector<std::uint8_t> data = {0x6D, 0x68, 0x66, 0x64, 0x84, 0x00, 0x00, 0x80, 0xFF};
  const TByteReader in(data);
  EXPECT_EQ(in.U16At(0), 0x686Du);
  EXPECT_EQ(in.U32At(0), 0x6466686Du);
  EXPECT_EQ(in.U32At(4), 0x80000084u);
  EXPECT_EQ(in.U16At(7), 0xFF80u);
  const auto bytes = in.BytesAt(2, 3);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(bytes->size(), 3u);
  EXPECT_EQ((*bytes)[0], 0x66);
  EXPECT_EQ(bytes->data(), data.data() + 2);
}

TEST(ByteReader, TruncationAtEveryBoundary) {
  const std::vector<std::uint8_t> data(10, 0xAB);
  for (std::size_t size = 0; size <= data.size(); ++size) {
    const TByteReader in(std::span<const std::uint8_t>(data).first(size));
    EXPECT_EQ(in.Size(), size);
    for (std::uint64_t offset = 0; offset <= size + 5; ++offset) {
      EXPECT_EQ(in.U16At(offset).has_value(), offset + 2 <= size) << size << " " << offset;
      EXPECT_EQ(in.U32At(offset).has_value(), offset + 4 <= size) << size << " " << offset;
      EXPECT_EQ(in.TagAt(offset, "\xAB\xAB\xAB\xAB"), offset + 4 <= size) << size << " " << offset;
      EXPECT_EQ(in.BytesAt(offset, 3).has_value(), offset + 3 <= size) << size << " " << offset;
      // An empty range is inside the data up to its very end.
      EXPECT_EQ(in.Has(offset, 0), offset <= size);
    }
  }
}

TEST(ByteReader, HugeOffsetsAndSizesDoNotWrap) {
  const std::vector<std::uint8_t> data(16, 0);
  const TByteReader in(data);
  for (std::uint64_t offset : {kMax, kMax - 1, kMax - 3, std::uint64_t{1} << 63}) {
    EXPECT_FALSE(in.U16At(offset).has_value());
    EXPECT_FALSE(in.U32At(offset).has_value());
    EXPECT_FALSE(in.TagAt(offset, "mhod"));
    EXPECT_FALSE(in.Has(offset, 1));
  }
  EXPECT_FALSE(in.BytesAt(1, kMax).has_value());
  EXPECT_FALSE(in.BytesAt(16, kMax).has_value());
  EXPECT_FALSE(in.Has(8, kMax - 4));
  EXPECT_TRUE(in.BytesAt(0, 16).has_value());
  EXPECT_FALSE(in.BytesAt(0, 17).has_value());
}

TEST(ByteReader, TagAtIgnoresLetterCaseOnly) {
  const std::vector<std::uint8_t> data = {'x', 'm', 'H', 'i', 'I', '@', '[', '1', '2'};
  const TByteReader in(data);
  EXPECT_TRUE(in.TagAt(1, "mhii"));
  EXPECT_TRUE(in.TagAt(1, "MHII"));
  EXPECT_FALSE(in.TagAt(0, "mhii"));
  EXPECT_FALSE(in.TagAt(1, "mhia"));
  // '@' and '[' sit next to 'A' and 'Z' but are no letters.
  EXPECT_TRUE(in.TagAt(4, "i@[1"));
  EXPECT_FALSE(in.TagAt(4, "i`{1"));
  // Only four-character tags compare.
  EXPECT_FALSE(in.TagAt(1, "mhi"));
  EXPECT_FALSE(in.TagAt(1, "mhiiI"));
  // Bytes above 0x7F are compared as they are.
  const std::vector<std::uint8_t> high = {0xC9, 0xE9, 'a', 'b'};
  EXPECT_TRUE(TByteReader(high).TagAt(0,
                                      "\xC9\xE9"
                                      "AB"));
  EXPECT_FALSE(TByteReader(high).TagAt(0,
                                       "\xE9\xE9"
                                       "AB"));
}

}  // namespace
}  // namespace quill
