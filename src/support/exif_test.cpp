#include "support/exif.h"

#include <gtest/gtest.h>
#include <libexif/exif-data.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "support/bitmap.h"
#include "support/picture.h"

namespace quill {
namespace {

constexpr std::int64_t k2010Noon = 1262347200;  // 2010-01-01 12:00:00

std::vector<std::uint8_t> SmallJpeg() {
  TBitmap24 bitmap(16, 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16 * 3; ++x) bitmap.Row(y)[x] = static_cast<std::uint8_t>((x + y) * 7);
  std::vector<std::uint8_t> jpeg;
  EXPECT_TRUE(EncodeJpeg(bitmap, 80, jpeg));
  return jpeg;
}

// The tag's text as a reader of the file sees it (libexif on the whole file).
std::string TagText(const std::vector<std::uint8_t>& file, ExifTag tag) {
  ExifData* data = exif_data_new_from_data(file.data(), static_cast<unsigned>(file.size()));
  if (!data) return "<no exif>";
  std::string text = "<none>";
  if (ExifEntry* entry = exif_data_get_entry(data, tag)) {
    char value[128];
    text = exif_entry_get_value(entry, value, sizeof value);
  }
  exif_data_unref(data);
  return text;
}

int App1Count(const std::vector<std::uint8_t>& file) {
  int count = 0;
  for (std::size_t i = 0; i + 1 < file.size(); ++i) count += file[i] == 0xFF && file[i + 1] == 0xE1;
  return count;
}

TEST(ExifTest, FieldsWrittenMergedAndReadBack) {
  const std::vector<std::uint8_t> jpeg = SmallJpeg();
  TExifFields fields;
  fields.Original = k2010Noon;
  fields.Digitized = k2010Noon + 61;
  fields.ImageUniqueId = ContentIdentifier(jpeg, 1019);
  std::vector<std::uint8_t> out;
  TExifPlacement placement;
  ASSERT_TRUE(WriteJpegExif(jpeg, fields, out, &placement));
  EXPECT_EQ(TagText(out, EXIF_TAG_DATE_TIME_ORIGINAL), "2010:01:01 12:00:00");
  EXPECT_EQ(TagText(out, EXIF_TAG_DATE_TIME_DIGITIZED), "2010:01:01 12:01:01");
  EXPECT_EQ(ReadJpegImageUniqueId(out), fields.ImageUniqueId);
  // The file without the block is the JPEG it was made from, and still decodes.
  std::vector<std::uint8_t> without = out;
  without.erase(without.begin() + static_cast<std::ptrdiff_t>(placement.Offset),
                without.begin() + static_cast<std::ptrdiff_t>(placement.Offset + placement.Size));
  EXPECT_EQ(without, jpeg);
  TBitmap24 decoded;
  EXPECT_TRUE(DecodeJpeg(out, decoded));
  EXPECT_EQ(decoded.Width(), 16);

  // The same input writes the same bytes; a second write sets the tags in
  // the block there is rather than adding one.
  std::vector<std::uint8_t> again;
  ASSERT_TRUE(WriteJpegExif(jpeg, fields, again));
  EXPECT_EQ(again, out);
  // Each set of tags, with values of every digit: a reader finds each value
  // whole and no tag that was not set.
  for (int set = 0; set < 8; ++set) {
    TExifFields some;
    if (set & 1) some.Original = k2010Noon + set * 7654321;
    if (set & 2) some.Digitized = 2145916799 - set * 123457;
    if (set & 4) some.ImageUniqueId = ContentIdentifier(jpeg, static_cast<std::uint64_t>(set));
    std::vector<std::uint8_t> stamped;
    ASSERT_TRUE(WriteJpegExif(jpeg, some, stamped)) << set;
    const std::string none = "<none>";
    EXPECT_EQ(TagText(stamped, EXIF_TAG_DATE_TIME_ORIGINAL), set & 1 ? ExifDateTime(some.Original) : none);
    EXPECT_EQ(TagText(stamped, EXIF_TAG_DATE_TIME_DIGITIZED), set & 2 ? ExifDateTime(some.Digitized) : none);
    EXPECT_EQ(ReadJpegImageUniqueId(stamped), some.ImageUniqueId) << set;
  }
  TExifFields other;
  other.ImageUniqueId = std::string(32, 'a');
  std::vector<std::uint8_t> rewritten;
  ASSERT_TRUE(WriteJpegExif(out, other, rewritten));
  EXPECT_EQ(App1Count(rewritten), 1);
  EXPECT_EQ(ReadJpegImageUniqueId(rewritten), other.ImageUniqueId);
  EXPECT_EQ(TagText(rewritten, EXIF_TAG_DATE_TIME_ORIGINAL), "2010:01:01 12:00:00");

  // No date: no date tag. The block of a HEIF file as a start.
  TExifFields none;
  none.Upright = true;
  std::vector<std::uint8_t> base(out.begin() + static_cast<std::ptrdiff_t>(placement.Offset + 4 + 6),
                                 out.begin() + static_cast<std::ptrdiff_t>(placement.Offset + placement.Size));
  std::vector<std::uint8_t> fromBase;
  ASSERT_TRUE(WriteJpegExif(jpeg, none, fromBase, nullptr, base));
  EXPECT_EQ(ReadJpegImageUniqueId(fromBase), fields.ImageUniqueId);
  ASSERT_TRUE(WriteJpegExif(jpeg, none, fromBase));
  EXPECT_EQ(TagText(fromBase, EXIF_TAG_DATE_TIME_ORIGINAL), "<none>");
}

// Bytes that are no JPEG are refused; a damaged JPEG (a stored record, a
// file of another program) gets its block first, where it is read back.
TEST(ExifTest, DamagedFiles) {
  const std::vector<std::uint8_t> jpeg = SmallJpeg();
  TExifFields fields;
  fields.ImageUniqueId = std::string(32, 'b');
  std::vector<std::uint8_t> stamped;
  ASSERT_TRUE(WriteJpegExif(jpeg, fields, stamped));
  for (const std::vector<std::uint8_t>& bytes :
       {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{'G', 'I', 'F', '8', '9', 'a', 0, 0}}) {
    std::vector<std::uint8_t> out = {1};
    EXPECT_FALSE(WriteJpegExif(bytes, fields, out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(ReadJpegImageUniqueId(bytes), "");
  }
  std::vector<std::uint8_t> lengthPastTheEnd = stamped;
  lengthPastTheEnd[4] = 0xFF;  // the first segment's length
  lengthPastTheEnd.resize(200);
  // Found by fuzzing: a segment past the written block whose length runs
  // beyond the end hid the block from the reader.
  std::vector<std::uint8_t> damagedTail(jpeg.begin(), jpeg.begin() + 20);
  for (const std::uint8_t b : {0xFF, 0xFF, 0x01, 0xFF, 0x4F, 0xFF, 0xD9}) damagedTail.push_back(b);
  const std::vector<std::uint8_t> damaged[] = {
      std::vector<std::uint8_t>(stamped.begin(), stamped.begin() + 30), lengthPastTheEnd, damagedTail};
  for (const std::vector<std::uint8_t>& bytes : damaged) {
    EXPECT_EQ(ReadJpegImageUniqueId(bytes), "");
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(WriteJpegExif(bytes, fields, out));
    EXPECT_EQ(ReadJpegImageUniqueId(out), fields.ImageUniqueId);
  }
}

TEST(ExifTest, IdentifiersAndDates) {
  const std::vector<std::uint8_t> a = {1, 2, 3}, b = {1, 2, 4};
  const std::string id = ContentIdentifier(a, 1019);
  EXPECT_EQ(id.size(), 32u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(ContentIdentifier(a, 1019), id);
  EXPECT_NE(ContentIdentifier(b, 1019), id);
  EXPECT_NE(ContentIdentifier(a, 1020), id);

  EXPECT_EQ(ExifDateTime(0), "");
  EXPECT_EQ(ExifDateTime(-2082844800 + 1), "1904:01:01 00:00:01");
  EXPECT_EQ(ExifDateTime(2145916799), "2037:12:31 23:59:59");
#ifndef _WIN32
  // The wall clock taken in the computer's zone, daylight saving included.
  const char* saved = std::getenv("TZ");
  const std::string keep = saved ? saved : "";
  constexpr std::int64_t kJuly = k2010Noon + 181 * 86400;  // 2010-07-01 12:00
  const struct {
    const char* Zone;
    std::int64_t Wall, Utc;
  } zones[] = {{"EST5", k2010Noon, k2010Noon + 5 * 3600},
               {"UTC0", k2010Noon, k2010Noon},
               {"CET-1CEST,M3.5.0,M10.5.0/3", k2010Noon, k2010Noon - 3600},
               {"CET-1CEST,M3.5.0,M10.5.0/3", kJuly, kJuly - 7200},
               {"EST5EDT,M3.2.0,M11.1.0", kJuly, kJuly + 4 * 3600}};
  for (const auto& zone : zones) {
    setenv("TZ", zone.Zone, 1);
    tzset();
    EXPECT_EQ(WallClockAsLocalTime(zone.Wall), zone.Utc) << zone.Zone << " " << zone.Wall;
  }
  if (saved) setenv("TZ", keep.c_str(), 1); else unsetenv("TZ");
  tzset();
#endif
}

}  // namespace
}  // namespace quill
