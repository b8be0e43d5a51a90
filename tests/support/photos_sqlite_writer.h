#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/bitmap.h"

namespace quill::testing {

// One picture asset of an iOS library.
struct TSqliteAssetSpec {
  std::uint32_t Id = 0;             // Z_PK
  std::int64_t ThumbnailIndex = 0;  // record number in the thumbnail file
  std::string Directory = "DCIM/100APPLE";
  std::string FileName;
  std::int64_t SavedAssetType = 0;          // 3: not a photo of the library
  std::vector<std::uint8_t> OriginalBytes;  // written under Directory/FileName
  TBitmap24 Thumbnail;                      // empty: a black record
};

struct TSqliteAlbumSpec {
  std::uint32_t Id = 0;      // Z_PK
  std::string Title;         // empty: written as NULL
  std::int64_t Kind = 1550;  // ZKIND; 2 for the camera roll
  std::vector<std::uint32_t> AssetIds;
  bool OnlyInWal = false;  // the album and its members exist only in the -wal file
};

// The numbers of the two layouts real libraries come in.
struct TEntityNumbers {
  std::int32_t Album = 6, Generic = 11, Asset = 12;
};
constexpr TEntityNumbers kLayout6{6, 11, 12};
constexpr TEntityNumbers kLayout8{8, 14, 15};

struct TSqliteLibrarySpec {
  TEntityNumbers Entities = kLayout6;
  // Rows of Z_PRIMARYKEY as (Z_ENT, Z_NAME); empty: the three names of
  // Entities with "GenericAsset", as real libraries list them.
  std::vector<std::pair<std::int32_t, std::string>> PrimaryKeys;
  bool NoPrimaryKeyTable = false;
  std::vector<TSqliteAssetSpec> Assets;
  std::vector<TSqliteAlbumSpec> Albums;
  // Thumbnail file under PhotoData/Thumbnails/ ("79x79.ithmb", "120x120.ithmb"
  // or "64x64.ithmb"); empty: none.
  std::string ThumbFile = "79x79.ithmb";
};

// Writes an iOS media folder under root: PhotoData/Photos.sqlite (with a
// Photos.sqlite-wal beside it when an album is OnlyInWal), the thumbnail file
// in 5-5-5 records with 28-byte tails, and the originals. Throws on failure.
void WritePhotosSqliteLibrary(const TSqliteLibrarySpec& desc, const std::string& root);

// Record geometry of the thumbnail files: width, height and slot bytes.
struct TIosThumbGeometry {
  int Width = 0, Height = 0;
  std::uint32_t SlotBytes = 0;
};
TIosThumbGeometry IosThumbGeometry(const std::string& thumbFile);

}  // namespace quill::testing
