#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>
#include <string_view>

#include "library/ipod_photo_db.h"
#include "support/text.h"

namespace quill {

namespace {

// Bytes read of each chunk's header. A chunk whose header does not lie wholly
// inside the data reads as a chunk with a wrong tag.
constexpr std::uint64_t kFileHeaderBytes = 28;
constexpr std::uint64_t kSectionBytes = 16;
constexpr std::uint64_t kListBytes = 12;
constexpr std::uint64_t kImageBytes = 52;
constexpr std::uint64_t kChildBytes = 16;
constexpr std::uint64_t kReferenceBytes = 36;
constexpr std::uint64_t kAlbumBytes = 64;
constexpr std::uint64_t kAlbumItemBytes = 20;
constexpr std::uint64_t kStringHeaderBytes = 12;

// Format ids whose reference names an original file instead of a record.
bool IsOriginalFileFormat(std::int32_t formatId) {
  return formatId == 4005 || formatId == 4006 || formatId == 4036;
}

// Thumbnail formats taken whenever a photo has one, whatever their width.
bool IsPreferredThumbFormat(std::int32_t formatId) {
  return formatId == 1032 || formatId == 1036 || formatId == 1066 || formatId == 3004 ||
         formatId == 3113;
}

// The fields of the file are read once their header is known to be inside
// the data, so these never come back empty in practice; the fallback keeps
// the arithmetic total.
std::uint32_t U32(const TByteReader& data, std::uint64_t offset) {
  return data.U32At(offset).value_or(0);
}
std::int32_t I32(const TByteReader& data, std::uint64_t offset) {
  return static_cast<std::int32_t>(U32(data, offset));
}
std::uint16_t U16(const TByteReader& data, std::uint64_t offset) {
  return data.U16At(offset).value_or(0);
}

struct TChunk {
  std::uint32_t HeaderLen = 0;
  std::uint32_t Third = 0;  // total length or count, by chunk
};

// The lengths of a chunk found where the walk expects one: its header lies
// wholly inside the data and its tag (when the walk checks one) matches.
// Anything else is a wrong tag.
std::optional<TChunk> ReadChunk(const TByteReader& data, std::uint64_t pos, std::string_view tag,
                                std::uint64_t bytes) {
  if (!data.Has(pos, bytes)) return std::nullopt;
  if (!tag.empty() && !data.TagAt(pos, tag)) return std::nullopt;
  return TChunk{U32(data, pos + 4), U32(data, pos + 8)};
}

// A chunk whose total length does not carry the walk past its own header
// (zero, or shorter than the header) would make the walk visit it, or its
// inside, again: it is read and then ends its loop.
bool MovesForward(const TChunk& chunk) { return chunk.Third > 0 && chunk.Third >= chunk.HeaderLen; }

std::uint64_t Add(std::uint64_t a, std::uint64_t b) {
  // Past the end of any data: the next read there fails like a short read.
  return CheckedAdd(a, b).value_or(std::numeric_limits<std::uint64_t>::max());
}

// The number in a stored file name such as ":Thumbs:F1019_2.ithmb": the
// characters after the first "_" (or from the start) up to the next ".";
// 1 when they are not a decimal number.
std::int32_t FileNumberFromName(std::string_view name) {
  const std::size_t underscore = name.find('_');
  std::string_view digits =
      underscore == std::string_view::npos ? name : name.substr(underscore + 1);
  digits = digits.substr(0, digits.find('.'));
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  std::int32_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return 1;
  return number;
}

}  // namespace

bool TIpodPhotoDb::ParsePhotoDatabase() {
  TMemoryStream stream;
  if (!Device.ReadPhotoDatabase(stream)) {
    AddLog("Read DB fail: " + Device.Messages);
    photo_database_read_ = false;
    return false;
  }
  return ParsePhotoDatabaseBytes(stream.Bytes());
}

bool TIpodPhotoDb::ParsePhotoDatabaseBytes(std::span<const std::uint8_t> file) {
  const TByteReader data(file);
  auto walk = [&]() -> bool {
    const std::optional<TChunk> header = ReadChunk(data, 0, "mhfd", kFileHeaderBytes);
    if (!header) {
      AddLog("MHFD Err");
      return false;
    }
    bool result = false;
    std::uint64_t pos = header->HeaderLen;
    const std::int32_t sections = I32(data, 20);
    for (std::int32_t i = 0; i < sections; ++i) {
      // Sections carry no tag of their own: one that the data cannot hold
      // ends the list of sections.
      const std::optional<TChunk> section = ReadChunk(data, pos, {}, kSectionBytes);
      if (!section) break;
      const std::uint32_t type = U32(data, pos + 12);
      if (type == 1) {
        result = ReadImageList(data, pos, section->HeaderLen);
        if (!result) return false;
      } else if (type == 2) {
        if (!ReadAlbumList(data, pos, section->HeaderLen)) return result;
      }
      if (!MovesForward(*section)) break;
      pos = Add(pos, section->Third);
    }
    SetPageLayout(false);
    return result;
  };
  const bool result = walk();
  photo_database_read_ = result;
  return result;
}

bool TIpodPhotoDb::ReadImageList(const TByteReader& data, std::uint64_t sectionPos,
                                 std::uint64_t sectionHeaderLen) {
  Photos.Clear();
  const std::uint64_t listPos = Add(sectionPos, sectionHeaderLen);
  const std::optional<TChunk> list = ReadChunk(data, listPos, "mhli", kListBytes);
  if (!list) {
    AddLog("MHLI Err");
    return false;
  }
  const auto count = static_cast<std::int32_t>(list->Third);
  if (count == 0) return false;
  std::uint64_t pos = Add(listPos, list->HeaderLen);
  if (!SurveyFormats(data, pos)) return false;
  // The count is the file's word; no more images than the data can hold
  // are reserved for.
  Photos.Reserve(std::min<std::uint64_t>(list->Third, data.Size() / kImageBytes));
  // Each image moves the walk forward and a read past the end is a wrong tag,
  // so a count larger than the data ends at the end of the data.
  for (std::int32_t i = 0; i < count; ++i) {
    const std::uint32_t length = ReadImageItem(data, pos);
    if (length == 0) break;
    pos = Add(pos, length);
  }
  return true;
}

bool TIpodPhotoDb::SurveyFormats(const TByteReader& data, std::uint64_t pos) {
  const std::optional<TChunk> image = ReadChunk(data, pos, "mhii", kImageBytes);
  if (!image) {
    AddLog("Get info: MHII err");
    return false;
  }
  ExportFormat.FromIosLibrary = false;
  ThumbFormat.FromIosLibrary = false;
  std::int32_t maxWidth = 0;
  std::int32_t minWidth = 1024;
  bool thumbFixed = false;

  const std::int32_t children = I32(data, pos + 12);
  std::uint64_t childPos = Add(pos, image->HeaderLen);
  for (std::int32_t i = 0; i < children; ++i) {
    const std::optional<TChunk> child = ReadChunk(data, childPos, "mhod", kChildBytes);
    if (!child) {
      AddLog("Get info: MHOD");
      return false;
    }
    const std::uint16_t type = U16(data, childPos + 12);
    if (type == 5) {
      CopyOriginals = true;
      ExportFormat.FormatId = 0;
      ExportFormat.SlotBytes = 0;
      ExportFormat.Width = 0;
      ExportFormat.Height = 0;
      maxWidth = 2042;
    } else if (type == 2) {
      const std::uint64_t refPos = Add(childPos, child->HeaderLen);
      if (!ReadChunk(data, refPos, "mhni", kReferenceBytes)) {
        AddLog("Get info: MHNI");
        return false;
      }
      const std::int32_t formatId = I32(data, refPos + 16);
      const std::int32_t size = I32(data, refPos + 24);
      const std::int32_t padV = U16(data, refPos + 28);
      const std::int32_t padH = U16(data, refPos + 30);
      const std::int32_t height = U16(data, refPos + 32);
      const std::int32_t width = U16(data, refPos + 34);
      if (IsOriginalFileFormat(formatId)) {
        CopyOriginals = true;
        ExportFormat.FormatId = formatId;
        ExportFormat.SlotBytes = 0;
        ExportFormat.Width = 0;
        ExportFormat.Height = 0;
        maxWidth = 2042;
      } else if (width > maxWidth) {
        maxWidth = width;
        ExportFormat.SlotBytes = size;
        ExportFormat.Width = width + padH;
        ExportFormat.Height = height + padV;
        ExportFormat.FormatId = formatId;
      }
      if (!thumbFixed) {
        if (IsPreferredThumbFormat(formatId)) {
          thumbFixed = true;
          minWidth = 1;
          ThumbFormat.SlotBytes = size;
          ThumbFormat.FormatId = formatId;
        } else if (width > 0 && width < minWidth) {
          minWidth = width;
          ThumbFormat.SlotBytes = size;
          ThumbFormat.Width = width + padH;
          ThumbFormat.Height = height + padV;
          ThumbFormat.FormatId = formatId;
        }
      }
    }
    if (!MovesForward(*child)) break;
    childPos = Add(childPos, child->Third);
  }
  ExportFormat.FileCount = 1;
  ThumbFormat.FileCount = 1;
  const bool found = maxWidth > 0 && minWidth < 1024;
  if (found) {
    LookupFormat(ThumbFormat);
    LookupFormat(ExportFormat);
  }
  return found;
}

std::uint32_t TIpodPhotoDb::ReadImageItem(const TByteReader& data, std::uint64_t pos) {
  const std::optional<TChunk> image = ReadChunk(data, pos, "mhii", kImageBytes);
  if (!image) {
    AddLog("MHII Err");
    return 0;
  }
  // 0 ends the image list.
  const std::uint32_t result = MovesForward(*image) ? image->Third : 0;
  TPhotoItem& photo = Photos.Add();
  photo.Id = U32(data, pos + 16);
  photo.Selected = false;
  // A header too short to hold the dates has none.
  if (image->HeaderLen >= 48) {
    photo.WallCreated1904 = U32(data, pos + 40);
    photo.WallDigitized1904 = U32(data, pos + 44);
  }

  int found = 0;
  const std::int32_t children = I32(data, pos + 12);
  std::uint64_t childPos = Add(pos, image->HeaderLen);
  for (std::int32_t i = 0; i < children; ++i) {
    const std::optional<TChunk> child = ReadChunk(data, childPos, "mhod", kChildBytes);
    if (!child) {
      // The photo stays as far as it was filled; the list goes on.
      AddLog("MHOD photo err");
      return result;
    }
    const std::uint16_t type = U16(data, childPos + 12);
    if (!ReadImageChild(data, Add(childPos, child->HeaderLen), found, type)) break;
    if (found == 2 || !MovesForward(*child)) break;
    childPos = Add(childPos, child->Third);
  }
  // A photo needs both its export image and its thumbnail.
  if (found < 2) Photos.Delete(Photos.Count() - 1);
  return result;
}

bool TIpodPhotoDb::ReadImageChild(const TByteReader& data, std::uint64_t payloadPos, int& found,
                                  std::uint16_t type) {
  if (type == 1) return true;
  const std::optional<TChunk> ref = ReadChunk(data, payloadPos, "mhni", kReferenceBytes);
  if (!ref) {
    AddLog("MHNI error");
    return false;
  }
  if (Photos.Count() == 0) return true;
  TPhotoItem& photo = Photos.Items(Photos.Count() - 1);
  const std::uint64_t namePos = Add(payloadPos, ref->HeaderLen);

  if (type == 5) {
    std::string text;
    if (ReadStringChunk(data, namePos, text) > 0) {
      photo.Path = text;
      ++found;
    }
    return true;
  }
  const std::int32_t formatId = I32(data, payloadPos + 16);
  if (type == 2 && formatId == ExportFormat.FormatId) {
    std::string text;
    if (ReadStringChunk(data, namePos, text) > 0) {
      if (IsOriginalFileFormat(formatId)) {
        photo.Path = text;
      } else {
        photo.ImageOffset = U32(data, payloadPos + 20);
        photo.ImageSize = U32(data, payloadPos + 24);
        photo.FileNumber = FileNumberFromName(text);
        if (photo.FileNumber > ExportFormat.FileCount) ExportFormat.FileCount = photo.FileNumber;
      }
      ++found;
      return true;
    }
  }
  if (type == 2 && formatId == ThumbFormat.FormatId) {
    // Thumbnails are always read from file number 1.
    photo.ThumbOffset = U32(data, payloadPos + 20);
    ++found;
  }
  return true;
}

std::uint32_t TIpodPhotoDb::ReadStringChunk(const TByteReader& data, std::uint64_t pos,
                                            std::string& text) {
  const std::optional<TChunk> chunk = ReadChunk(data, pos, "mhod", kChildBytes);
  if (!chunk || !MovesForward(*chunk)) return 0;
  const std::uint16_t type = U16(data, pos + 12);
  if (type == 1 || type == 3) {
    const std::uint64_t stringPos = Add(pos, chunk->HeaderLen);
    if (!data.Has(stringPos, kStringHeaderBytes)) return 0;
    const std::uint32_t byteLength = U32(data, stringPos);
    const auto bytes = data.BytesAt(Add(stringPos, kStringHeaderBytes), byteLength);
    if (!bytes) return 0;
    text = type == 1 ? BytesToUtf8(*bytes) : Utf16LeToUtf8(*bytes);
  }
  return chunk->Third;
}

bool TIpodPhotoDb::ReadAlbumList(const TByteReader& data, std::uint64_t sectionPos,
                                 std::uint64_t sectionHeaderLen) {
  const std::uint64_t listPos = Add(sectionPos, sectionHeaderLen);
  const std::optional<TChunk> list = ReadChunk(data, listPos, "mhla", kListBytes);
  if (!list) {
    AddLog("MHLA Err");
    return false;
  }
  std::uint64_t pos = Add(listPos, list->HeaderLen);
  Albums.Clear();
  const auto count = static_cast<std::int32_t>(list->Third);
  for (std::int32_t i = 0; i < count; ++i) {
    // Album chunks carry no checked tag: one that the data cannot hold ends
    // the list.
    const std::optional<TChunk> album = ReadChunk(data, pos, {}, kAlbumBytes);
    if (!album) break;
    const std::uint64_t albumEnd = Add(pos, album->Third);
    std::uint64_t p = Add(pos, album->HeaderLen);
    std::string title;
    std::uint32_t length = ReadStringChunk(data, p, title);
    if (length > 0) {
      TPhotoAlbumItem& item = Albums.Add();
      item.Name = title;
      // Further string chunks (of any type) come before the items; the album
      // chunk's end bounds them.
      std::string ignored;
      while (length > 0) {
        p = Add(p, length);
        if (p >= albumEnd) break;
        length = ReadStringChunk(data, p, ignored);
      }
      const std::int32_t items = I32(data, pos + 16);
      for (std::int32_t k = 0; k < items; ++k) {
        const std::optional<TChunk> entry = ReadChunk(data, p, {}, kAlbumItemBytes);
        if (!entry) break;
        if (data.TagAt(p, "mhia")) {
          item.PhotoIds.push_back(U32(data, p + 16));
          ++item.Count;
        }
        if (!MovesForward(*entry)) break;
        p = Add(p, entry->Third);
      }
    }
    if (!MovesForward(*album)) break;
    pos = Add(pos, album->Third);
  }
  return true;
}

}  // namespace quill
