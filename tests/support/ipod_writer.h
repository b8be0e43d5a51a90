#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/bitmap.h"

namespace quill::testing {

// How a stored image's pixels are laid out in its .ithmb record.
enum class TRecordLayout {
  Rgb565,          // 16-bit little-endian 5-6-5 (disk mode)
  Rgb555,          // 16-bit little-endian 5-5-5 (iOS thumbnails)
  SwappedRgb565,   // 16-bit 5-6-5, high byte first
  InterlacedUyvy,  // 720 x 480 4:2:2, even lines then odd lines
  PlanarYuv420,    // 720 x 480 Y plane, then U and V planes of 360 x 240
  Jpeg,            // a complete JPEG file of the record's own size
};

// One stored-image format of a library: every photo carries one reference
// of each format, in the order of TLibrarySpec::Formats.
struct TFormatSpec {
  std::int32_t FormatId = 0;
  TRecordLayout Layout = TRecordLayout::Rgb565;
  int Width = 0;   // width written in the reference (without padding)
  int Height = 0;  // height written in the reference
  int PadH = 0;    // horizontal padding written in the reference
  int PadV = 0;    // vertical padding
  // Photos per .ithmb file: 0 keeps every photo in file 1; n splits them into
  // F<id>_1, F<id>_2, ... of n photos each.
  int PhotosPerFile = 0;
  // Bytes from one record's start to the next (0: the record size).
  std::uint32_t SlotBytes = 0;
  // Write the file-name string chunk after the reference.
  bool WithFileName = true;
};

struct TPhotoSpec {
  std::uint32_t Id = 0;
  TBitmap24 Picture;  // scaled to each format's stored size when encoded
  // For libraries of original files: the name of the original under
  // Photos/Full Resolution/ and its bytes.
  std::string OriginalName;
  std::vector<std::uint8_t> OriginalBytes;
};

struct TAlbumSpec {
  std::string Title;
  bool Utf16Title = false;       // title in a type-3 (UTF-16) string chunk
  bool ExtraStringChunks = false;  // further string chunks after the title
  std::vector<std::uint32_t> PhotoIds;
};

struct TCameraFile {
  std::string Name;  // "IMG_0001.JPG"
  std::vector<std::uint8_t> Bytes;
  bool InMisc = false;  // written to DCIM/100APPLE/.MISC/ instead
};

struct TLibrarySpec {
  std::vector<TFormatSpec> Formats;
  std::vector<TPhotoSpec> Photos;
  // The first album is the master album that holds every photo, as real
  // libraries have it; the reader keeps albums in stored order.
  std::vector<TAlbumSpec> Albums;
  // Original-file library: each photo gets a type-5 child naming
  // ":Full Resolution:" + OriginalName, and the file is written.
  bool Originals = false;
  std::vector<TCameraFile> CameraFiles;
  // Layout choices real iPods make and a reader must follow.
  bool AlbumListFirst = false;   // section 2 before section 1
  bool FileListSection = true;   // a type-3 section (file list) at the end
  bool Utf8FileNames = false;    // file names in type-1 chunks instead of type 3
  bool UpperCaseTags = false;    // tags written in capital letters
  std::uint32_t Padding = 0;     // extra zero bytes in every chunk header
};

// The pixels a record of the layout holds for the picture, scaled
// (nearest neighbour) to width x height stored pixels.
std::vector<std::uint8_t> EncodeRecord(TRecordLayout layout, const TBitmap24& picture, int width,
                                       int height);
// What a perfect decoder gives back for the record: the picture as stored
// (scaled, quantised), as a 24-bit bitmap of the exported size.
TBitmap24 ExpectedPicture(TRecordLayout layout, const TBitmap24& picture, int width, int height);

// The Photo Database file of the description.
std::vector<std::uint8_t> BuildPhotoDatabase(const TLibrarySpec& spec);
// Writes a whole disk-mode iPod under root: iPod_Control/iTunes/,
// Photos/Photo Database, Photos/Thumbs/F<id>_<n>.ithmb, originals and the
// camera folder. Throws std::runtime_error when a file cannot be written.
void WriteIpod(const TLibrarySpec& spec, const std::string& root);
void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadFile(const std::string& path);

// Pictures drawn by code: gradients, bars and a disc, different per seed.
TBitmap24 TestPicture(int width, int height, std::uint32_t seed);
// Peak signal-to-noise ratio of two bitmaps of one size, in dB (infinite for
// equal bitmaps).
double Psnr(const TBitmap24& a, const TBitmap24& b);

// Chunk builders for hand-made and broken files. Each returns the chunk's
// bytes with the given header length (at least the fields it writes) and
// lengths; children are appended after the header.
namespace chunk {
std::vector<std::uint8_t> Header(const char tag[4], std::uint32_t headerLen, std::uint32_t third,
                                 std::uint32_t headerPadTo = 0);
std::vector<std::uint8_t> Mhfd(std::uint32_t sections, const std::vector<std::uint8_t>& body);
std::vector<std::uint8_t> Section(std::uint32_t type, const std::vector<std::uint8_t>& body);
std::vector<std::uint8_t> Mhli(const std::vector<std::vector<std::uint8_t>>& images);
std::vector<std::uint8_t> Mhii(std::uint32_t id, const std::vector<std::vector<std::uint8_t>>& children);
std::vector<std::uint8_t> Container(std::uint16_t type, const std::vector<std::uint8_t>& payload);
std::vector<std::uint8_t> Mhni(std::int32_t formatId, std::uint32_t offset, std::uint32_t size,
                               std::uint16_t width, std::uint16_t height, std::uint16_t padH,
                               std::uint16_t padV, const std::vector<std::uint8_t>& nameChunk);
std::vector<std::uint8_t> String(std::uint16_t type, const std::string& utf8);
std::vector<std::uint8_t> Mhla(const std::vector<std::vector<std::uint8_t>>& albums);
std::vector<std::uint8_t> Mhba(const std::vector<std::vector<std::uint8_t>>& strings,
                               const std::vector<std::uint32_t>& ids);
std::vector<std::uint8_t> Mhia(std::uint32_t id);
void Append(std::vector<std::uint8_t>& to, const std::vector<std::uint8_t>& bytes);
void PutU32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value);
void PutU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value);
}  // namespace chunk

}  // namespace quill::testing
