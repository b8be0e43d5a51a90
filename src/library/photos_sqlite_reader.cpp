#include <cstdint>
#include <memory>
#include <string>

#include "library/ipod_photo_db.h"
#include "support/sqlite_database.h"
#include "support/text.h"

namespace quill {

namespace {

std::uint32_t Low32(std::int64_t value) { return static_cast<std::uint32_t>(value); }

}  // namespace

bool TIpodPhotoDb::SelectIosThumbFile() {
  static constexpr const char* kCandidates[] = {"79x79.ithmb", "120x120.ithmb", "64x64.ithmb"};
  std::string fileName;
  for (const char* candidate : kCandidates) {
    if (Device.DeviceFileExists(std::string("PhotoData/Thumbnails/") + candidate)) {
      fileName = candidate;
      break;
    }
  }
  ThumbFormat.FileName = fileName;
  ThumbFormat.FromIosLibrary = true;
  LookupFormat(ThumbFormat);
  return !fileName.empty();
}

bool TIpodPhotoDb::ReadPhotosSqlite(const std::string& fileName) {
  CopyOriginals = true;
  int untitled = 1;
  TSQLiteDatabase db(fileName);

  SelectIosThumbFile();
  SetPageLayout(false);

  TPhotoAlbumItem& all = Albums.Add();
  all.Name = "Pictures";
  all.AlbumId = 0;
  all.Count = 0;

  if (IsModernPhotosSqlite(db)) {
    ReadModernPhotosSqlite(db);
    return true;
  }

  std::int32_t album = -1, asset = -1, generate = -1;
  {
    const auto keys = db.Query("SELECT Z_ENT,Z_NAME FROM Z_PRIMARYKEY");
    while (!keys->Eof()) {
      const std::string name = keys->FieldAsString(1);
      const auto number = static_cast<std::int32_t>(Low32(keys->FieldAsInteger(0)));
      if (EqualsNoCase(name, "Album")) {
        album = number;
      } else if (EqualsNoCase(name, "Asset")) {
        asset = number;
      } else if (EqualsNoCase(name, "GenerateAsset") || EqualsNoCase(name, "GenericAsset")) {
        // Real libraries name the entity GenericAsset.
        generate = number;
      }
      if (album > 0 && asset > 0 && generate > 0) break;
      keys->Next();
    }
  }
  if (album < 0 || asset < 0 || generate < 0) {
    if (db.TableExists("Z_6ASSETS")) {
      album = 6;
      generate = 11;
      asset = 12;
    } else {
      album = 8;
      generate = 14;
      asset = 15;
    }
  }

  {
    const auto rows =
        db.Query("SELECT Z_PK,ZTITLE FROM ZGENERICALBUM WHERE Z_ENT=" + std::to_string(album) +
                 " AND ZKIND=1550 OR ZKIND=2");
    for (; !rows->Eof(); rows->Next()) {
      const std::uint32_t id = Low32(rows->FieldAsInteger(0));
      if (id == 0) continue;
      TPhotoAlbumItem& item = Albums.Add();
      item.AlbumId = id;
      item.Count = 0;
      item.Name = rows->FieldAsString(1);
      if (item.Name.empty()) item.Name = "Photo Album " + std::to_string(untitled++);
    }
  }

  {
    const std::string where =
        " FROM ZGENERICASSET WHERE Z_ENT=" + std::to_string(asset) + " AND ZSAVEDASSETTYPE<>3";
    // Counted first: a list grown one row at a time holds up to twice the
    // room it needs for as long as the library is shown.
    {
      const auto count = db.Query("SELECT COUNT(*)" + where);
      if (!count->Eof()) {
        const std::int64_t rows = count->FieldAsInteger(0);
        if (rows > 0 && rows <= std::int64_t{1} << 24) Photos.Reserve(static_cast<std::size_t>(rows));
      }
    }
    const auto rows = db.Query("SELECT Z_PK,ZTHUMBNAILINDEX,ZDIRECTORY,ZFILENAME" + where);
    const auto slot = static_cast<std::uint32_t>(ThumbFormat.SlotBytes);
    for (; !rows->Eof(); rows->Next()) {
      TPhotoItem& photo = Photos.Add();
      photo.Selected = false;
      photo.Id = Low32(rows->FieldAsInteger(0));
      // A 32-bit product, as the offsets of the thumbnail file are.
      photo.ThumbOffset = Low32(rows->FieldAsInteger(1)) * slot;
      photo.Path = rows->FieldAsString(2) + "/" + rows->FieldAsString(3);
    }
  }

  TPhotoAlbumItem& first = Albums.Items(0);
  first.Count = static_cast<std::int32_t>(Photos.Count());
  first.PhotoIds.reserve(Photos.Count());
  for (std::size_t i = 0; i < Photos.Count(); ++i) first.PhotoIds.push_back(Photos.Items(i).Id);

  const std::string membership = "SELECT Z_" + std::to_string(generate) + "ASSETS FROM Z_" +
                                 std::to_string(album) + "ASSETS WHERE Z_" + std::to_string(album) +
                                 "ALBUMS=";
  for (std::size_t i = 0; i < Albums.Count(); ++i) {
    TPhotoAlbumItem& item = Albums.Items(i);
    const auto rows = db.Query(membership + std::to_string(item.AlbumId));
    for (; !rows->Eof(); rows->Next()) {
      ++item.Count;
      item.PhotoIds.push_back(Low32(rows->FieldAsInteger(0)));
    }
    // Grown a row at a time: up to twice its room, for as long as it is shown.
    item.PhotoIds.shrink_to_fit();
  }
  return true;
}

}  // namespace quill
