#pragma once

#include <cstdint>
#include <optional>
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

  // Modern layouts only.
  std::int64_t Kind = 0;     // ZKIND: 0 photo, 1 video
  std::int64_t Subtype = 0;  // ZKINDSUBTYPE: 2 Live Photo, 10 screenshot
  bool Trashed = false;
  bool Hidden = false;
  std::optional<double> Created;  // ZDATECREATED, seconds since 2001 (NULL when unset)
  std::string OriginalFileName;   // ZADDITIONALASSETATTRIBUTES.ZORIGINALFILENAME
  bool OnDevice = true;           // false: the original is not written (left on iCloud)
  std::vector<std::uint8_t> LiveClip;     // <base>.MOV beside the original
  std::vector<std::uint8_t> Render;       // Mutations/.../Adjustments/FullSizeRender.jpg
  std::vector<std::uint8_t> Sidecar;      // <base>.AAE beside the original
  std::vector<std::uint8_t> V2Thumbnail;  // Thumbnails/V2/<path>/5005.JPG
};

struct TSqliteAlbumSpec {
  std::uint32_t Id = 0;      // Z_PK
  std::string Title;         // empty: written as NULL
  std::int64_t Kind = 1550;  // ZKIND; 2 for the camera roll
  std::vector<std::uint32_t> AssetIds;  // in album order
  bool OnlyInWal = false;  // the album and its members exist only in the -wal file
  // Modern layouts only.
  bool Trashed = false;
  std::uint32_t ParentFolder = 0;  // Z_PK of a folder album (ZKIND 4000)
};

enum class TSqliteLayout {
  Ios5,          // the iOS 5 and 6 library (TEntityNumbers)
  GenericAsset,  // iOS 7 to 13: ZGENERICASSET, the join names GenericAsset
  Asset,         // iOS 14 on: ZASSET, the join names Asset
};

// The entity numbers of a modern library, as Z_PRIMARYKEY lists them.
struct TModernEntities {
  std::int32_t GenericAlbum = 27, Album = 28, Asset = 3, GenericAsset = 0;
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

  TSqliteLayout Layout = TSqliteLayout::Ios5;
  TModernEntities Modern;
  // Tables whose names also end in ASSETS, beside the join table.
  bool DecoyTables = true;
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
