#include "support/memory_stream.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <vector>

namespace quill {
namespace {

TEST(MemoryStream, WritesAtThePositionAndReadsWhatIsLeft) {
  TMemoryStream stream;
  stream.Write(std::vector<std::uint8_t>{1, 2, 3, 4, 5});
  stream.Seek(2);
  stream.Write(std::vector<std::uint8_t>{9, 9, 9, 9});  // overwrites 3 and 4, then grows
  EXPECT_EQ(stream.Size(), 6u);
  EXPECT_EQ(stream.Position(), 6u);

  stream.Seek(100);
  EXPECT_EQ(stream.Position(), 6u);
  stream.Seek(4);
  std::uint8_t out[8] = {};
  EXPECT_EQ(stream.Read(out, sizeof out), 2u);
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(stream.Read(out, sizeof out), 0u);

  stream.Seek(1);
  std::uint8_t* room = stream.Extend(7);  // past the end: grows
  EXPECT_EQ(room, stream.Bytes().data() + 1);
  EXPECT_EQ(stream.Size(), 8u);

  stream.Truncate(3);
  EXPECT_EQ(stream.Size(), 3u);
  EXPECT_EQ(stream.Position(), 3u);
}

TEST(MemoryStream, ClearedStreamsReuseTheirBufferAndShowOnlyNewBytes) {
  TMemoryStream stream;
  stream.Write(std::vector<std::uint8_t>(64, 7));
  const std::uint8_t* buffer = stream.Bytes().data();
  stream.Clear();
  EXPECT_EQ(stream.Size(), 0u);
  EXPECT_TRUE(stream.Bytes().empty());
  std::uint8_t out[4] = {};
  EXPECT_EQ(stream.Read(out, sizeof out), 0u) << "nothing of the old content is readable";

  // The next record lands in the same memory, and the stream is only as
  // long as what was written.
  stream.Write(std::vector<std::uint8_t>{1, 2});
  EXPECT_EQ(stream.Bytes().data(), buffer);
  EXPECT_EQ(stream.Bytes().size(), 2u);
  stream.Seek(0);
  EXPECT_EQ(stream.Read(out, sizeof out), 2u);
  EXPECT_EQ(out[1], 2);

  // Room that is not filled is cut back, as a failed read does.
  stream.Extend(10);
  stream.Truncate(2);
  EXPECT_EQ(stream.Size(), 2u);
  stream.MutableBytes()[0] = 9;
  EXPECT_EQ(stream.Bytes()[0], 9);
}

TEST(MemoryStream, FillWholeReplacesTheContent) {
  TMemoryStream stream;
  stream.Write(std::vector<std::uint8_t>(32, 7));
  const int result = stream.FillWhole([](std::vector<std::uint8_t>& bytes) {
    bytes.assign({4, 5, 6});
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(stream.Size(), 3u);
  EXPECT_EQ(stream.Position(), 0u);
  EXPECT_EQ(stream.Bytes()[2], 6);
  // A fill that fails says so; what it left is the content.
  EXPECT_EQ(stream.FillWhole([](std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    return 2;
  }),
            2);
  EXPECT_EQ(stream.Size(), 0u);
}

TEST(MemoryStream, ShrunkBufferAndHugeCountsAreContained) {
  TMemoryStream stream;
  stream.Write(std::vector<std::uint8_t>(16, 7));
  // The stream is cut under the position: a read finds nothing instead of
  // copying from past the end.
  stream.Seek(10);
  stream.Truncate(4);
  std::uint8_t out[4] = {};
  EXPECT_EQ(stream.Read(out, sizeof out), 0u);

  stream.Seek(2);
  EXPECT_THROW(stream.Extend(std::numeric_limits<std::size_t>::max() - 1), std::length_error);
  EXPECT_EQ(stream.Size(), 4u);
}

}  // namespace
}  // namespace quill
