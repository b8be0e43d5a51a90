#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quill {

// One stored-image format of a library.
struct TPhotoInfo {
  std::int32_t FormatId = 0;
  std::int32_t SlotBytes = 0;
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::int32_t FileCount = 0;
  bool FromIosLibrary = false;
  std::string FileName;
};

// What an asset of a modern iOS library is.
enum class TAssetKind : std::uint8_t { Photo = 0, Video = 1, Other = 2 };

// Bits of TPhotoItem::Flags (modern iOS libraries).
enum TAssetFlag : std::uint8_t {
  kAssetLivePhoto = 1,    // its clip (same name, .MOV) travels with it
  kAssetScreenshot = 2,
  kAssetHidden = 4,       // in the Hidden album: still the user's photo
  kAssetAdjusted = 8,     // the library says it was edited
  kAssetNotOnDevice = 16, // its file is not on the device (left on iCloud, missing)
  kAssetPassedOver = 32,  // a selection of many passed over it for that reason
};

struct TPhotoItem {
  bool Selected = false;
  TAssetKind Kind = TAssetKind::Photo;
  std::uint8_t Flags = 0;
  std::uint32_t Id = 0;
  std::int32_t FileNumber = 0;
  std::uint32_t ImageOffset = 0;
  std::uint32_t ImageSize = 0;
  std::uint32_t ThumbOffset = 0;
  // The name the file takes on the computer where it is not the device's own
  // (iCloud originals keep a UUID on the device): 1 + its position in the
  // list's names; 0 for none. Few photos have one, so the name is not kept
  // in every item.
  std::uint32_t NameIndex = 0;
  // The creation and digitized dates of a Photo Database library as it
  // stores them: seconds since 1904 on the clock of the computer that synced
  // the photo, in no zone; 0 where the library has none. Kept in the
  // library's 32 bits (the item is held for every photo of a library).
  std::uint32_t WallCreated1904 = 0;
  std::uint32_t WallDigitized1904 = 0;
  // Capture time, seconds since 1970 (UTC); 0 where the library has none.
  std::int64_t Created = 0;
  std::string Path;
  // The wall-clock dates as seconds since 1970 of that time, in no zone;
  // 0 for none.
  std::int64_t WallCreated() const { return WallClock(WallCreated1904); }
  std::int64_t WallDigitized() const { return WallClock(WallDigitized1904); }
  static std::int64_t WallClock(std::uint32_t seconds1904) {
    constexpr std::int64_t k1904To1970 = 2082844800;
    return seconds1904 == 0 ? 0 : static_cast<std::int64_t>(seconds1904) - k1904To1970;
  }
  bool Has(TAssetFlag flag) const { return (Flags & flag) != 0; }
};

// The photos of a library in list order. Selected changes only through
// Select and Unselect, which keep SelectedCount and SelectedBytes; clearing
// the list leaves both as they are.
class TPhotoList {
public:
  TPhotoItem& Add() { return items_.emplace_back(); }
  TPhotoItem& Items(std::size_t i) { return items_[i]; }
  const TPhotoItem& Items(std::size_t i) const { return items_[i]; }
  std::size_t Count() const { return items_.size(); }
  void Clear() {
    items_.clear();
    names_.clear();
  }
  // The computer-side name of a photo, or empty (TPhotoItem::NameIndex).
  const std::string& OriginalName(const TPhotoItem& item) const {
    static const std::string none;
    return item.NameIndex == 0 || item.NameIndex > names_.size() ? none : names_[item.NameIndex - 1];
  }
  void SetOriginalName(TPhotoItem& item, std::string name) {
    names_.push_back(std::move(name));
    item.NameIndex = static_cast<std::uint32_t>(names_.size());
  }
  const std::vector<std::string>& OriginalNames() const { return names_; }
  // Room for count items in all, so that a load of a known size neither
  // copies the list as it grows nor holds twice the room it needs.
  void Reserve(std::size_t count) { items_.reserve(count); }
  void Delete(std::size_t i) { items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i)); }
  void Select(std::size_t i);
  void Unselect(std::size_t i);
  std::int32_t SelectedCount = 0;
  std::uint64_t SelectedBytes = 0;

private:
  std::vector<TPhotoItem> items_;
  std::vector<std::string> names_;
};

struct TPhotoAlbumItem {
  std::string Name;
  std::vector<std::uint32_t> PhotoIds;
  std::int32_t Count = 0;
  std::uint32_t AlbumId = 0;
  std::uint32_t PhotoId(std::size_t i) const { return PhotoIds[i]; }
};

class TPhotoAlbumList {
public:
  TPhotoAlbumItem& Add() { return items_.emplace_back(); }
  TPhotoAlbumItem& Items(std::size_t i) { return items_[i]; }
  const TPhotoAlbumItem& Items(std::size_t i) const { return items_[i]; }
  std::size_t Count() const { return items_.size(); }
  void Clear() { items_.clear(); }

private:
  std::vector<TPhotoAlbumItem> items_;
};

struct TCamPhotoItem {
  bool Selected = false;
  std::string FileName;
  // The camera folder that holds it (ends in its separator); empty: the
  // list's Folder.
  std::string Folder;
};

class TCamPhotoList {
public:
  TCamPhotoItem& Add() { return items_.emplace_back(); }
  TCamPhotoItem& Items(std::size_t i) { return items_[i]; }
  const TCamPhotoItem& Items(std::size_t i) const { return items_[i]; }
  std::size_t Count() const { return items_.size(); }
  void Clear() { items_.clear(); }
  void Select(std::size_t i);
  void Unselect(std::size_t i);
  std::int32_t SelectedCount = 0;
  std::string Folder;  // the first camera folder
  const std::string& FolderOf(std::size_t i) const {
    return items_[i].Folder.empty() ? Folder : items_[i].Folder;
  }

private:
  std::vector<TCamPhotoItem> items_;
};

}  // namespace quill
