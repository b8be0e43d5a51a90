#include "support/exif.h"

#include <libexif/exif-data.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace quill {

#ifdef QUILL_HASH_AVX2
namespace content_hash_avx2 {
XXH128_hash_t Hash(const void* data, std::size_t size, std::uint64_t seed);
}
#endif

namespace {

constexpr std::uint8_t kExifMark[6] = {'E', 'x', 'i', 'f', 0, 0};
// A segment's length field counts itself: 65535 at most.
constexpr std::size_t kMaxSegmentPayload = 65533;

struct TSegment {
  std::size_t Offset = 0;  // of its 0xFF
  std::size_t Size = 0;    // marker and length included
};

struct TJpegLayout {
  std::size_t InsertAt = 2;          // after SOI, or after a JFIF APP0 that follows it
  std::optional<TSegment> Exif;      // the first APP1 with the EXIF mark
};

std::uint16_t Be16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

bool IsExifPayload(std::span<const std::uint8_t> payload) {
  return payload.size() >= sizeof kExifMark && std::memcmp(payload.data(), kExifMark, sizeof kExifMark) == 0;
}

// The segments before the scan data; nothing when the bytes are no JPEG.
// Every length is checked against the bytes there are: a damaged segment
// ends the walk with what came before it, so that the block this program
// puts first is found whatever follows.
std::optional<TJpegLayout> ScanJpeg(std::span<const std::uint8_t> jpeg) {
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return std::nullopt;
  TJpegLayout layout;
  std::size_t pos = 2;
  bool first = true;
  while (pos + 4 <= jpeg.size()) {
    if (jpeg[pos] != 0xFF) break;
    const std::uint8_t marker = jpeg[pos + 1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) break;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
      pos += 2;
      continue;
    }
    const std::size_t length = Be16(jpeg, pos + 2);
    if (length < 2 || pos + 2 + length > jpeg.size()) break;
    const std::span<const std::uint8_t> payload = jpeg.subspan(pos + 4, length - 2);
    if (first && marker == 0xE0) layout.InsertAt = pos + 2 + length;
    if (marker == 0xE1 && !layout.Exif && IsExifPayload(payload)) layout.Exif = TSegment{pos, 2 + length};
    first = false;
    pos += 2 + length;
  }
  return layout;
}

struct TExifDataFree {
  void operator()(ExifData* data) const { exif_data_unref(data); }
};
using TExifData = std::unique_ptr<ExifData, TExifDataFree>;

// A block of libexif's that adds nothing by itself: the mandatory tags it
// fills in by default would stamp the current time into the file and make
// the same photo write other bytes on every run.
TExifData NewExifData() {
  TExifData data(exif_data_new());
  if (!data) return data;
  exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_set_data_type(data.get(), EXIF_DATA_TYPE_COMPRESSED);
  return data;
}

bool LoadBlock(ExifData* data, std::span<const std::uint8_t> block) {
  if (block.size() > 0x7FFFFFFF) return false;
  if (IsExifPayload(block)) {
    exif_data_load_data(data, block.data(), static_cast<unsigned>(block.size()));
    return true;
  }
  // A block from its TIFF header on: libexif wants the mark before it.
  std::vector<std::uint8_t> marked(std::begin(kExifMark), std::end(kExifMark));
  marked.insert(marked.end(), block.begin(), block.end());
  exif_data_load_data(data, marked.data(), static_cast<unsigned>(marked.size()));
  return true;
}

void SetAscii(ExifData* data, ExifIfd ifd, ExifTag tag, const std::string& text) {
  ExifContent* content = data->ifd[ifd];
  if (ExifEntry* old = exif_content_get_entry(content, tag)) exif_content_remove_entry(content, old);
  ExifMem* mem = exif_mem_new_default();
  ExifEntry* entry = exif_entry_new_mem(mem);
  const std::size_t size = text.size() + 1;
  auto* bytes = entry ? static_cast<unsigned char*>(exif_mem_alloc(mem, static_cast<ExifLong>(size))) : nullptr;
  if (bytes) {
    std::memcpy(bytes, text.c_str(), size);
    entry->data = bytes;
    entry->size = static_cast<unsigned>(size);
    entry->components = size;
    entry->format = EXIF_FORMAT_ASCII;
    entry->tag = tag;
    exif_content_add_entry(content, entry);
  }
  if (entry) exif_entry_unref(entry);
  exif_mem_unref(mem);
}

void SetUpright(ExifData* data) {
  ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (entry && entry->format == EXIF_FORMAT_SHORT && entry->data && entry->size >= 2) {
    exif_set_short(entry->data, exif_data_get_byte_order(data), 1);
  }
}

// The block libexif saves for fields, on data loaded (or made new) by the
// caller; empty when it makes none or one too large for a segment.
std::vector<std::uint8_t> SaveBlock(ExifData* data, const TExifFields& fields) {
  if (const std::string text = ExifDateTime(fields.Original); !text.empty())
    SetAscii(data, EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, text);
  if (const std::string text = ExifDateTime(fields.Digitized); !text.empty())
    SetAscii(data, EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_DIGITIZED, text);
  if (!fields.ImageUniqueId.empty())
    SetAscii(data, EXIF_IFD_EXIF, EXIF_TAG_IMAGE_UNIQUE_ID, fields.ImageUniqueId);
  if (fields.Upright) SetUpright(data);
  unsigned char* saved = nullptr;
  unsigned int savedSize = 0;
  exif_data_save_data(data, &saved, &savedSize);
  const std::unique_ptr<unsigned char, decltype(&std::free)> hold(saved, &std::free);
  if (!saved || savedSize == 0 || savedSize > kMaxSegmentPayload) return {};
  return std::vector<std::uint8_t>(saved, saved + savedSize);
}

std::vector<std::uint8_t> NewBlock(const TExifFields& fields) {
  TExifData data = NewExifData();
  if (!data) return {};
  exif_data_set_byte_order(data.get(), EXIF_BYTE_ORDER_INTEL);
  return SaveBlock(data.get(), fields);
}

// A new block differs from another new block of the same tags in the
// values' bytes only: libexif's block for stand-in values, with the places
// of those values, gives every photo's block without building it again
// (building one costs more than the rest of stamping a small photo).
class TNewBlockShape {
public:
  static constexpr std::size_t kDateSize = 19;  // "YYYY:MM:DD HH:MM:SS"
  static constexpr std::size_t kIdSize = 32;

  TNewBlockShape(bool original, bool digitized, bool id) {
    TExifFields standIn;
    // Stand-ins that no other bytes of the block can hold.
    if (original) standIn.Original = kOriginalStandIn;
    if (digitized) standIn.Digitized = kDigitizedStandIn;
    if (id) standIn.ImageUniqueId = std::string(kIdSize, 'q');
    block_ = NewBlock(standIn);
    valid_ = !block_.empty() && Find(original, ExifDateTime(kOriginalStandIn), original_) &&
             Find(digitized, ExifDateTime(kDigitizedStandIn), digitized_) &&
             Find(id, standIn.ImageUniqueId, id_);
  }

  // The block for fields, whose tags are this shape's; false where the
  // values are not of the shape's sizes.
  bool Fill(const std::string& original, const std::string& digitized, const TExifFields& fields,
            std::vector<std::uint8_t>& block) const {
    if (!valid_) return false;
    if ((original_ && original.size() != kDateSize) || (digitized_ && digitized.size() != kDateSize) ||
        (id_ && fields.ImageUniqueId.size() != kIdSize))
      return false;
    block = block_;
    if (original_) std::memcpy(block.data() + *original_, original.data(), kDateSize);
    if (digitized_) std::memcpy(block.data() + *digitized_, digitized.data(), kDateSize);
    if (id_) std::memcpy(block.data() + *id_, fields.ImageUniqueId.data(), kIdSize);
    return true;
  }

private:
  static constexpr std::int64_t kOriginalStandIn = 2045822772;   // 2034:10:30 12:06:12
  static constexpr std::int64_t kDigitizedStandIn = 3094408741;  // 2068:01:21 21:59:01

  // The one place of text (and its terminating zero) in the block.
  bool Find(bool wanted, const std::string& text, std::optional<std::size_t>& at) const {
    if (!wanted) return true;
    const std::span<const std::uint8_t> needle(reinterpret_cast<const std::uint8_t*>(text.c_str()),
                                               text.size() + 1);
    const auto first = std::search(block_.begin(), block_.end(), needle.begin(), needle.end());
    if (first == block_.end()) return false;
    if (std::search(first + 1, block_.end(), needle.begin(), needle.end()) != block_.end()) return false;
    at = static_cast<std::size_t>(first - block_.begin());
    return true;
  }

  std::vector<std::uint8_t> block_;
  std::optional<std::size_t> original_, digitized_, id_;
  bool valid_ = false;
};

std::vector<std::uint8_t> FreshBlock(const TExifFields& fields) {
  static const TNewBlockShape shapes[8] = {
      {false, false, false}, {true, false, false}, {false, true, false}, {true, true, false},
      {false, false, true},  {true, false, true},  {false, true, true},  {true, true, true}};
  const std::string original = ExifDateTime(fields.Original);
  const std::string digitized = ExifDateTime(fields.Digitized);
  const int shape = (original.empty() ? 0 : 1) | (digitized.empty() ? 0 : 2) |
                    (fields.ImageUniqueId.empty() ? 0 : 4);
  std::vector<std::uint8_t> block;
  if (shapes[shape].Fill(original, digitized, fields, block)) return block;
  return NewBlock(fields);
}

// fresh: a new block, where the file has none and no base is given, or in
// place of one that libexif reads into something it cannot write back;
// otherwise the file's own block (or base) with the fields set.
bool WriteBlock(std::span<const std::uint8_t> jpeg, const TJpegLayout* layout, const TExifFields& fields,
                std::vector<std::uint8_t>& out, TExifPlacement* placement,
                std::span<const std::uint8_t> base, bool fresh) {
  out.clear();
  if (placement) *placement = {};
  std::vector<std::uint8_t> block;
  if (fresh) {
    block = FreshBlock(fields);
  } else {
    TExifData data = NewExifData();
    if (!data) return false;
    LoadBlock(data.get(), layout->Exif ? jpeg.subspan(layout->Exif->Offset + 4, layout->Exif->Size - 4)
                                       : base);
    block = SaveBlock(data.get(), fields);
  }
  if (block.empty()) return false;

  // SOI (and JFIF APP0), the block, then the rest without the old block.
  std::size_t insertAt = layout->InsertAt;
  std::size_t skipFrom = jpeg.size(), skipTo = jpeg.size();
  if (layout->Exif) {
    skipFrom = layout->Exif->Offset;
    skipTo = skipFrom + layout->Exif->Size;
    if (skipFrom < insertAt) insertAt = skipFrom;
  }
  out.reserve(jpeg.size() + block.size() + 4);
  out.insert(out.end(), jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(insertAt));
  const std::size_t length = block.size() + 2;
  out.push_back(0xFF);
  out.push_back(0xE1);
  out.push_back(static_cast<std::uint8_t>(length >> 8));
  out.push_back(static_cast<std::uint8_t>(length & 0xFF));
  out.insert(out.end(), block.begin(), block.end());
  if (placement) *placement = {insertAt, block.size() + 4};
  auto copyRange = [&](std::size_t from, std::size_t to) {
    if (from < to) out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(from),
                              jpeg.begin() + static_cast<std::ptrdiff_t>(to));
  };
  copyRange(insertAt, std::min(skipFrom, jpeg.size()));
  copyRange(std::max(insertAt, skipTo), jpeg.size());
  return true;
}

}  // namespace

bool WriteJpegExif(std::span<const std::uint8_t> jpeg, const TExifFields& fields,
                   std::vector<std::uint8_t>& out, TExifPlacement* placement,
                   std::span<const std::uint8_t> base) {
  out.clear();
  if (placement) *placement = {};
  const std::optional<TJpegLayout> layout = ScanJpeg(jpeg);
  if (!layout) return false;
  // A block made new holds what was set; one read from the file (or base)
  // may be damaged, and one that does not come back with the identifier
  // gives way to a new block.
  const bool loads = layout->Exif || !base.empty();
  if (!loads) return WriteBlock(jpeg, &*layout, fields, out, placement, base, true);
  if (WriteBlock(jpeg, &*layout, fields, out, placement, base, false) &&
      (fields.ImageUniqueId.empty() || ReadJpegImageUniqueId(out) == fields.ImageUniqueId)) {
    return true;
  }
  return WriteBlock(jpeg, &*layout, fields, out, placement, base, true);
}

std::string ReadJpegImageUniqueId(std::span<const std::uint8_t> jpeg) {
  const std::optional<TJpegLayout> layout = ScanJpeg(jpeg);
  if (!layout || !layout->Exif) return {};
  TExifData data = NewExifData();
  if (!data) return {};
  LoadBlock(data.get(), jpeg.subspan(layout->Exif->Offset + 4, layout->Exif->Size - 4));
  const ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_EXIF], EXIF_TAG_IMAGE_UNIQUE_ID);
  if (!entry || entry->format != EXIF_FORMAT_ASCII || !entry->data) return {};
  std::string id(reinterpret_cast<const char*>(entry->data), entry->size);
  id.resize(std::strlen(id.c_str()));
  return id;
}

std::string ContentIdentifier(std::span<const std::uint8_t> bytes, std::uint64_t format) {
#ifdef QUILL_HASH_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  const XXH128_hash_t hash = avx2 ? content_hash_avx2::Hash(bytes.data(), bytes.size(), format)
                                  : XXH3_128bits_withSeed(bytes.data(), bytes.size(), format);
#else
  const XXH128_hash_t hash = XXH3_128bits_withSeed(bytes.data(), bytes.size(), format);
#endif
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, hash);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(32);
  for (const unsigned char byte : canonical.digest) {
    hex.push_back(kHex[byte >> 4]);
    hex.push_back(kHex[byte & 15]);
  }
  return hex;
}

std::string ExifDateTime(std::int64_t wallClock) {
  using namespace std::chrono;
  if (wallClock == 0) return {};
  const sys_seconds moment{seconds{wallClock}};
  const sys_days day = floor<days>(moment);
  const year_month_day date{day};
  const hh_mm_ss time{moment - day};
  const int y = static_cast<int>(date.year());
  if (y < 1 || y > 9999) return {};
  char text[24];
  std::snprintf(text, sizeof text, "%04d:%02u:%02u %02d:%02d:%02d", y,
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

std::int64_t WallClockAsLocalTime(std::int64_t wallClock) {
#ifdef _WIN32
  using namespace std::chrono;
  const sys_seconds moment{seconds{wallClock}};
  const sys_days day = floor<days>(moment);
  const year_month_day date{day};
  const hh_mm_ss time{moment - day};
  std::tm local{};
  local.tm_year = static_cast<int>(date.year()) - 1900;
  local.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
  local.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
  local.tm_hour = static_cast<int>(time.hours().count());
  local.tm_min = static_cast<int>(time.minutes().count());
  local.tm_sec = static_cast<int>(time.seconds().count());
  local.tm_isdst = -1;  // the zone's rule for that day
  const std::time_t result = std::mktime(&local);
  // A time the C library cannot place is taken as UTC.
  return result == static_cast<std::time_t>(-1) ? wallClock : static_cast<std::int64_t>(result);
#else
  // The zone's offset at a moment, from localtime_r: unlike mktime it does
  // not look at the zone file again on every call (a stat per photo).
  const auto offset = [](std::int64_t moment, long& out) {
    const std::time_t t = static_cast<std::time_t>(moment);
    std::tm local{};
    if (!localtime_r(&t, &local)) return false;
    out = local.tm_gmtoff;
    return true;
  };
  long first = 0;
  if (!offset(wallClock, first)) return wallClock;  // a time the C library cannot place
  // The offset at the guess decides; where a change of offset lies between
  // the wall clock read as UTC and the answer, one more step settles it. A
  // wall-clock time a change skips (a spring night) takes the later offset.
  std::int64_t guess = wallClock - first;
  long second = first;
  if (!offset(guess, second) || second == first) return guess;
  const std::int64_t other = wallClock - second;
  long third = second;
  if (offset(other, third) && third == second) return other;
  return guess;
#endif
}

}  // namespace quill
