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
  std::uint8_t* room = stream.Extend(7);  // past the end: grows with zeros
  EXPECT_EQ(room, stream.Data().data() + 1);
  EXPECT_EQ(stream.Size(), 8u);
  EXPECT_EQ(stream.Bytes()[7], 0);

  stream.Truncate(3);
  EXPECT_EQ(stream.Size(), 3u);
  EXPECT_EQ(stream.Position(), 3u);

  const std::size_t capacity = stream.Data().capacity();
  stream.Clear();
  EXPECT_EQ(stream.Size(), 0u);
  EXPECT_EQ(stream.Data().capacity(), capacity);
}

TEST(MemoryStream, ShrunkBufferAndHugeCountsAreContained) {
  TMemoryStream stream;
  stream.Write(std::vector<std::uint8_t>(16, 7));
  // The buffer shrinks under the position: a read finds nothing instead of
  // copying from past the end.
  stream.Data().resize(4);
  std::uint8_t out[4] = {};
  EXPECT_EQ(stream.Read(out, sizeof out), 0u);

  stream.Seek(2);
  EXPECT_THROW(stream.Extend(std::numeric_limits<std::size_t>::max() - 1), std::length_error);
  EXPECT_EQ(stream.Size(), 4u);
}

}  // namespace
}  // namespace quill
