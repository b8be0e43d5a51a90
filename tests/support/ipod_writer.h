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
  // Bytes from one record's start to the next (0: the record size; JPEG
  // records then lie back to back, each reference carrying its own size).
  std::uint32_t SlotBytes = 0;
  // Write the file-name string chunk after the reference.
  bool WithFileName = true;
};

struct TPhotoSpec {
  std::uint32_t Id = 0;
  TBitmap24 Picture;  // scaled to each format's stored size when encoded; empty: black
  // For libraries of original files: the name of the original under
  // Photos/Full Resolution/ ('/' for sub folders) and its bytes.
  std::string OriginalName;
  std::vector<std::uint8_t> OriginalBytes;
  // The dates of its mhii (seconds since 1904, 0 for none); unset:
  // DefaultPhotoDate(Id) for both.
  std::optional<std::uint32_t> Created = std::nullopt;
  std::optional<std::uint32_t> Digitized = std::nullopt;
};

// The date a photo of the writer gets unless its TPhotoSpec says otherwise
// (seconds since 1904: 2005-07-17 and on).
inline std::uint32_t DefaultPhotoDate(std::uint32_t id) { return 0xBF000000u + id * 60u; }

struct TAlbumSpec {
  std::string Title;
  bool Utf16Title = false;         // title in a type-3 (UTF-16) string chunk
  bool ExtraStringChunks = false;  // a type-2 and a type-1 string chunk after the title
  std::vector<std::uint32_t> PhotoIds;
  std::uint32_t AlbumId = 0;  // 0: 0x64 + the album's index, as real libraries number them
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
  bool AlbumListFirst = false;  // section 2 before section 1
  bool FileListSection = true;  // a type-3 section (file list) at the end
  bool Utf8FileNames = false;   // file names in type-1 chunks instead of type 3
  bool UpperCaseTags = false;   // tags written in capital letters
  std::uint32_t Padding = 0;    // extra zero bytes in every chunk header
};

// The pixels a record of the layout holds for the picture, scaled
// (nearest neighbour) to width x height stored pixels. The YUV layouts need
// an even width and height. Throws std::invalid_argument for unusable sizes.
std::vector<std::uint8_t> EncodeRecord(TRecordLayout layout, const TBitmap24& picture, int width,
                                       int height);
// What a perfect decoder gives back for the record: the picture as stored
// (scaled, quantised), as a 24-bit bitmap of the exported size (interlaced:
// the 8 edge columns of each side dropped and 704 scaled to 640 columns).
TBitmap24 ExpectedPicture(TRecordLayout layout, const TBitmap24& picture, int width, int height);

// Where one stored image lies: file F<id>_<FileNumber>.ithmb, at Offset, Size
// bytes (the size written in its reference).
struct TRecordPlace {
  int FileNumber = 1;
  std::uint32_t Offset = 0;
  std::uint32_t Size = 0;
};
// The place of every record, indexed [photo][format] as in the description.
std::vector<std::vector<TRecordPlace>> PlaceRecords(const TLibrarySpec& desc);
// "F1019_2.ithmb".
std::string IthmbFileName(std::int32_t formatId, int fileNumber);

// The Photo Database file of the description.
std::vector<std::uint8_t> BuildPhotoDatabase(const TLibrarySpec& desc);
// Writes a whole disk-mode iPod under root: iPod_Control/iTunes/,
// Photos/Photo Database, Photos/Thumbs/F<id>_<n>.ithmb, originals and the
// camera folder. Throws std::runtime_error when a file cannot be written.
void WriteIpod(const TLibrarySpec& desc, const std::string& root);
// Creates the missing parent folders. Throws std::runtime_error on failure.
void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadFile(const std::string& path);

// Pictures drawn by code: gradients, bars and a disc, different per seed.
TBitmap24 TestPicture(int width, int height, std::uint32_t seed);
// Peak signal-to-noise ratio of two bitmaps of one size, in dB (infinite for
// equal bitmaps, 0 for bitmaps of different sizes).
double Psnr(const TBitmap24& a, const TBitmap24& b);

// Damage done to a Photo Database that BuildPhotoDatabase wrote (with any
// layout switches). "The middle image" is image number count / 2 of the list
// (0-based), so with two or more photos it is never the first one, whose
// children decide the formats.
enum class TBreakage {
  CutInFileHeader,  // the file ends inside its 28-byte header
  CutInImage,       // the file ends halfway through the middle image
  HugeImageCount,   // the image list claims 0x7FFFFFFF images
  ZeroImageLength,  // the middle image's total length is 0
  // The middle image's first child has total length 0 and the image claims
  // 0xFFFFFFFF children: a reader that neither bounds by the data nor refuses
  // a zero step spins for ever.
  ZeroChildLength,
  // The second string chunk of the first album with two or more of them has
  // the total length that leads back to its first string chunk (32-bit
  // wrap-around). Throws std::invalid_argument when no album has two.
  AlbumStringLoop,
  SectionPastEnd,       // the first section's total length is 0x7FFFFFF0
  MixedCaseTags,        // every walked tag written as "MhIi": still valid
  WrongFileTag,         // "mhfd"
  WrongImageListTag,    // "mhli"
  WrongFirstImageTag,   // the first "mhii"
  WrongImageTag,        // the middle "mhii"
  WrongFirstChildTag,   // the first "mhod" of the first image
  WrongChildTag,        // the first "mhod" of the middle image
  WrongReferenceTag,    // the first "mhni" of the middle image
  WrongAlbumListTag,    // "mhla"
  WrongAlbumItemTag,    // the first "mhia" of the first album
  WrongAlbumStringTag,  // the title chunk of the last album
};
// Throws std::invalid_argument when the file lacks the chunk to damage.
std::vector<std::uint8_t> BreakDatabase(std::vector<std::uint8_t> file, TBreakage kind);

// Chunk builders for hand-made and broken files. Each returns the chunk's
// bytes with the header length of real iPods plus Style.Padding, its lengths
// and counts filled in; children are appended after the header.
namespace chunk {
struct TChunkStyle {
  std::uint32_t Padding = 0;   // extra zero bytes in the header
  bool UpperCaseTags = false;  // "MHII" instead of "mhii"
};
// The bare header: tag, headerLen at 4, third at 8, zeros up to headerLen
// bytes, or up to headerPadTo when larger (to write a lying header length);
// never shorter than those 12 bytes.
std::vector<std::uint8_t> Header(const char tag[4], std::uint32_t headerLen, std::uint32_t third,
                                 std::uint32_t headerPadTo = 0);
std::vector<std::uint8_t> Mhfd(std::uint32_t sections, const std::vector<std::uint8_t>& body,
                               const TChunkStyle& style = {});
std::vector<std::uint8_t> Section(std::uint32_t type, const std::vector<std::uint8_t>& body,
                                  const TChunkStyle& style = {});
std::vector<std::uint8_t> Mhli(const std::vector<std::vector<std::uint8_t>>& images,
                               const TChunkStyle& style = {});
std::vector<std::uint8_t> Mhii(std::uint32_t id,
                               const std::vector<std::vector<std::uint8_t>>& children,
                               const TChunkStyle& style = {});
// The same with its dates (seconds since 1904; unset: DefaultPhotoDate(id)).
std::vector<std::uint8_t> Mhii(std::uint32_t id, std::optional<std::uint32_t> created,
                               std::optional<std::uint32_t> digitized,
                               const std::vector<std::vector<std::uint8_t>>& children,
                               const TChunkStyle& style = {});
// A child chunk ("mhod") of the type holding the payload (an mhni for 2 and 5).
std::vector<std::uint8_t> Container(std::uint16_t type, const std::vector<std::uint8_t>& payload,
                                    const TChunkStyle& style = {});
std::vector<std::uint8_t> Mhni(std::int32_t formatId, std::uint32_t offset, std::uint32_t size,
                               std::uint16_t width, std::uint16_t height, std::uint16_t padH,
                               std::uint16_t padV, const std::vector<std::uint8_t>& nameChunk,
                               const TChunkStyle& style = {});
// A string chunk: type 3 holds UTF-16 little-endian, any other type UTF-8.
std::vector<std::uint8_t> String(std::uint16_t type, const std::string& utf8,
                                 const TChunkStyle& style = {});
std::vector<std::uint8_t> Mhla(const std::vector<std::vector<std::uint8_t>>& albums,
                               const TChunkStyle& style = {});
// An album: its string chunks, then one mhia per id. albumType 1 marks the
// master album, 2 an ordinary one.
std::vector<std::uint8_t> Mhba(const std::vector<std::vector<std::uint8_t>>& strings,
                               const std::vector<std::uint32_t>& ids, std::uint32_t albumId = 0x64,
                               std::uint8_t albumType = 2, const TChunkStyle& style = {});
std::vector<std::uint8_t> Mhia(std::uint32_t id, const TChunkStyle& style = {});
// The file list of a type-3 section: one mhif per stored format.
std::vector<std::uint8_t> Mhlf(const std::vector<std::vector<std::uint8_t>>& files,
                               const TChunkStyle& style = {});
std::vector<std::uint8_t> Mhif(std::int32_t formatId, std::uint32_t recordBytes,
                               const TChunkStyle& style = {});
void Append(std::vector<std::uint8_t>& to, const std::vector<std::uint8_t>& bytes);
void PutU32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value);
void PutU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value);
}  // namespace chunk

}  // namespace quill::testing
