#include <cstring>

#include "library/ipod_photo_db.h"
#include "support/text.h"

namespace quill {

namespace {

struct TFormatSize {
  std::int32_t FormatId;
  std::int32_t Width;
  std::int32_t Height;
};

// Stored sizes in pixels, padding included.
constexpr TFormatSize kFormatSizes[] = {
    {1009, 42, 30},   {1013, 220, 176}, {1015, 130, 88},  {1016, 140, 140}, {1017, 56, 56},
    {1062, 56, 56},   {1019, 720, 480}, {1067, 720, 480}, {1023, 176, 132}, {1024, 320, 240},
    {1064, 320, 240}, {1027, 100, 100}, {1028, 100, 100}, {1029, 200, 200}, {1031, 42, 42},
    {1032, 42, 37},   {1036, 50, 41},   {1055, 128, 128}, {1068, 128, 128}, {3002, 128, 128},
    {1060, 320, 320}, {3005, 320, 320}, {1061, 56, 55},   {1066, 64, 64},   {1235, 64, 64},
    {3003, 64, 64},   {1071, 240, 240}, {1084, 240, 240}, {1074, 50, 50},   {1078, 80, 80},
    {1081, 640, 480}, {3008, 640, 480}, {1234, 120, 120}, {3001, 256, 256}, {3004, 56, 73},
    {3006, 55, 56},   {3007, 88, 88},   {3009, 160, 128}, {3011, 80, 79},   {3105, 1280, 320},
    {3106, 112, 112}, {3113, 112, 112},
};

struct TIosThumbFile {
  const char* FileName;
  std::int32_t FormatId;
  std::int32_t Width;
  std::int32_t Height;
  std::int32_t SlotBytes;
};

// Each record is Width x Height 16-bit pixels and 28 trailing bytes.
constexpr TIosThumbFile kIosThumbFiles[] = {
    {"79x79.ithmb", 3011, 80, 79, 12668},
    {"120x120.ithmb", 1234, 120, 120, 28828},
    {"64x64.ithmb", 1235, 64, 64, 8220},
};

void PutU16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

void TIpodPhotoDb::LookupFormat(TPhotoInfo& info) const {
  if (info.FromIosLibrary) {
    if (info.FileName.empty()) {
      info.FormatId = 3011;
      info.SlotBytes = 0;
      return;
    }
    for (const TIosThumbFile& file : kIosThumbFiles) {
      if (EqualsNoCase(info.FileName, file.FileName)) {
        info.FormatId = file.FormatId;
        info.Width = file.Width;
        info.Height = file.Height;
        info.SlotBytes = file.SlotBytes;
        info.FileCount = 0;
        return;
      }
    }
    return;
  }
  for (const TFormatSize& size : kFormatSizes) {
    if (size.FormatId == info.FormatId) {
      info.Width = size.Width;
      info.Height = size.Height;
      return;
    }
  }
}

void TIpodPhotoDb::PrepareBitmapHeader(bool forThumbs) {
  const TPhotoInfo& info = forThumbs ? ThumbFormat : ExportFormat;
  // The 28 bytes after each iOS thumbnail record are not pixels; the reader of
  // the bitmap ignores what follows the declared image.
  const std::int64_t imageBytes =
      std::int64_t{info.SlotBytes} - ((forThumbs && ThumbFormat.FromIosLibrary) ? 28 : 0);
  const bool ios = Device.HasIosData();

  std::uint8_t* h = BitmapHeader.data();
  std::memset(h, 0, BitmapHeader.size());
  h[0] = 'B';
  h[1] = 'M';
  PutU32(h + 2, static_cast<std::uint32_t>(66 + imageBytes));
  PutU32(h + 10, 66);
  PutU32(h + 14, 40);
  PutU32(h + 18, static_cast<std::uint32_t>(info.Width));
  // A negative height stores the rows top to bottom.
  PutU32(h + 22, static_cast<std::uint32_t>(-std::int64_t{info.Height}));
  PutU16(h + 26, 1);
  PutU16(h + 28, 16);
  PutU32(h + 30, 3);
  PutU32(h + 34, static_cast<std::uint32_t>(imageBytes));
  PutU32(h + 54, ios ? 0x7C00 : 0xF800);
  PutU32(h + 58, ios ? 0x03E0 : 0x07E0);
  PutU32(h + 62, 0x001F);
}

}  // namespace quill
