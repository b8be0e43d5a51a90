#include "fuzz_input.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "support/ipod_writer.h"

namespace quill::fuzz {

namespace {

constexpr std::size_t kHeaderBytes = 1 + 4 * 4 + 1;
constexpr std::size_t kPhotoBytes = 13;
constexpr std::size_t kMaxPhotos = 8;

class TCursor {
public:
  explicit TCursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint32_t U32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= std::uint32_t{U8()} << (8 * i);
    return value;
  }
  std::uint8_t U8() { return pos_ < bytes_.size() ? bytes_[pos_++] : 0; }
  std::span<const std::uint8_t> Rest() const {
    return bytes_.subspan(std::min(pos_, bytes_.size()));
  }

private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

TFuzzDevice::TFuzzDevice() {
  std::filesystem::create_directories(Drive() + "/iPod_Control/iTunes");
  std::filesystem::create_directories(Drive() + "/Photos/Thumbs");
  std::filesystem::create_directories(Dest());
  Device = std::make_unique<TIpodDevice>(Platform, nullptr);
  std::string error;
  if (!Device->UseFolder(Drive(), error)) throw std::runtime_error(error);
}

void CheckAlbumsAndSelection(TIpodPhotoDb& db) {
  for (std::size_t i = 0; i < db.Albums.Count(); ++i) {
    const TPhotoAlbumItem& album = db.Albums.Items(i);
    if (album.Count != static_cast<std::int32_t>(album.PhotoIds.size())) std::abort();
  }
  // Album ids that name no photo, or one photo many times, must not push
  // the counts out of the list.
  for (int album = 0; album < static_cast<int>(db.Albums.Count()) && album < 8; ++album) {
    db.SelectAlbumPhotos(TSelectOp::Invert, album);
    db.SelectAlbumPhotos(TSelectOp::SelectAll, album);
    if (db.Photos.SelectedCount < 0 ||
        static_cast<std::size_t>(db.Photos.SelectedCount) > db.Photos.Count()) {
      std::abort();
    }
  }
}

void TFuzzDevice::Reset() {
  std::error_code ec;
  std::filesystem::remove_all(Dest(), ec);
  std::filesystem::create_directories(Dest());
  Device->Messages.clear();
}

std::vector<std::uint8_t> EncodeExportCase(const TExportCase& item) {
  std::vector<std::uint8_t> out;
  const auto* id =
      std::find(std::begin(kExportFormatIds), std::end(kExportFormatIds), item.FormatId);
  if (id == std::end(kExportFormatIds)) throw std::invalid_argument("export format id");
  out.push_back(static_cast<std::uint8_t>(id - std::begin(kExportFormatIds)));
  PutU32(out, static_cast<std::uint32_t>(item.SlotBytes));
  PutU32(out, static_cast<std::uint32_t>(item.Width));
  PutU32(out, static_cast<std::uint32_t>(item.Height));
  PutU32(out, static_cast<std::uint32_t>(item.FileCount));
  const std::size_t count = std::min(item.Photos.size(), kMaxPhotos);
  out.push_back(static_cast<std::uint8_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    const TExportCase::TPhoto& photo = item.Photos[i];
    PutU32(out, static_cast<std::uint32_t>(photo.FileNumber));
    PutU32(out, photo.ImageOffset);
    PutU32(out, photo.ImageSize);
    out.push_back(photo.Selected ? 1 : 0);
  }
  out.insert(out.end(), item.Ithmb.begin(), item.Ithmb.end());
  return out;
}

TExportCase DecodeExportCase(std::span<const std::uint8_t> bytes) {
  static_assert(kHeaderBytes == 18 && kPhotoBytes == 13);
  TCursor in(bytes);
  TExportCase item;
  item.FormatId = kExportFormatIds[in.U8() % std::size(kExportFormatIds)];
  item.SlotBytes = static_cast<std::int32_t>(in.U32());
  item.Width = static_cast<std::int32_t>(in.U32());
  item.Height = static_cast<std::int32_t>(in.U32());
  item.FileCount = static_cast<std::int32_t>(in.U32());
  const std::size_t count = std::min<std::size_t>(in.U8(), kMaxPhotos);
  for (std::size_t i = 0; i < count; ++i) {
    TExportCase::TPhoto photo;
    photo.FileNumber = static_cast<std::int32_t>(in.U32());
    photo.ImageOffset = in.U32();
    photo.ImageSize = in.U32();
    photo.Selected = (in.U8() & 1) != 0;
    item.Photos.push_back(photo);
  }
  const std::span<const std::uint8_t> rest = in.Rest();
  item.Ithmb.assign(rest.begin(), rest.end());
  return item;
}

}  // namespace quill::fuzz
