#include "support/photos_sqlite_writer.h"

#include <filesystem>
#include <stdexcept>

#include "support/ipod_writer.h"
#include "support/sqlite_database.h"

namespace quill::testing {

namespace {

// SQL text literal with its quotes doubled, or NULL.
std::string Literal(const std::string& text) {
  if (text.empty()) return "NULL";
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

void Run(TSQLiteDatabase& db, const std::string& sql) { db.Query(sql); }

void AddAlbum(TSQLiteDatabase& db, const TSqliteLibrarySpec& desc, const TSqliteAlbumSpec& album) {
  const std::string a = std::to_string(desc.Entities.Album);
  const std::string g = std::to_string(desc.Entities.Generic);
  Run(db, "INSERT INTO ZGENERICALBUM (Z_PK, Z_ENT, ZKIND, ZTITLE) VALUES (" +
              std::to_string(album.Id) + ", " + a + ", " + std::to_string(album.Kind) + ", " +
              Literal(album.Title) + ")");
  for (std::uint32_t id : album.AssetIds) {
    Run(db, "INSERT INTO Z_" + a + "ASSETS (Z_" + a + "ALBUMS, Z_" + g + "ASSETS) VALUES (" +
                std::to_string(album.Id) + ", " + std::to_string(id) + ")");
  }
}

}  // namespace

TIosThumbGeometry IosThumbGeometry(const std::string& thumbFile) {
  if (thumbFile == "79x79.ithmb") return {80, 79, 12668};
  if (thumbFile == "120x120.ithmb") return {120, 120, 28828};
  if (thumbFile == "64x64.ithmb") return {64, 64, 8220};
  return {};
}

void WritePhotosSqliteLibrary(const TSqliteLibrarySpec& desc, const std::string& root) {
  namespace fs = std::filesystem;
  const std::string data = root + "/PhotoData";
  fs::create_directories(data);
  // Built beside the final name and copied while the connection is open:
  // closing would checkpoint the log into the database and delete it.
  const std::string work = data + "/build.sqlite";
  {
    TSQLiteDatabase db(work);
    Run(db, "PRAGMA journal_mode=WAL");
    Run(db, "PRAGMA wal_autocheckpoint=0");
    const std::string a = std::to_string(desc.Entities.Album);
    const std::string g = std::to_string(desc.Entities.Generic);
    if (!desc.NoPrimaryKeyTable) {
      Run(db,
          "CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, "
          "Z_SUPER INTEGER, Z_MAX INTEGER)");
      auto keys = desc.PrimaryKeys;
      if (keys.empty()) {
        keys = {{desc.Entities.Album, "Album"},
                {desc.Entities.Generic, "GenericAsset"},
                {desc.Entities.Asset, "Asset"}};
      }
      for (const auto& [ent, name] : keys) {
        Run(db, "INSERT INTO Z_PRIMARYKEY (Z_ENT, Z_NAME, Z_SUPER, Z_MAX) VALUES (" +
                    std::to_string(ent) + ", " + Literal(name) + ", 0, 0)");
      }
    }
    Run(db,
        "CREATE TABLE ZGENERICALBUM (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
        "ZKIND INTEGER, ZTITLE VARCHAR)");
    Run(db,
        "CREATE TABLE ZGENERICASSET (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, "
        "ZTHUMBNAILINDEX INTEGER, ZSAVEDASSETTYPE INTEGER, ZDIRECTORY VARCHAR, "
        "ZFILENAME VARCHAR)");
    Run(db, "CREATE TABLE Z_" + a + "ASSETS (Z_" + a + "ALBUMS INTEGER, Z_" + g +
                "ASSETS INTEGER, Z_FOK_" + g + "ASSETS INTEGER)");
    // One transaction: a library of many thousand assets is written in
    // moments instead of one commit per row.
    Run(db, "BEGIN");
    for (const TSqliteAssetSpec& asset : desc.Assets) {
      Run(db,
          "INSERT INTO ZGENERICASSET (Z_PK, Z_ENT, ZTHUMBNAILINDEX, ZSAVEDASSETTYPE, "
          "ZDIRECTORY, ZFILENAME) VALUES (" +
              std::to_string(asset.Id) + ", " + std::to_string(desc.Entities.Asset) + ", " +
              std::to_string(asset.ThumbnailIndex) + ", " + std::to_string(asset.SavedAssetType) +
              ", " + Literal(asset.Directory) + ", " + Literal(asset.FileName) + ")");
    }
    bool walAlbums = false;
    for (const TSqliteAlbumSpec& album : desc.Albums) {
      if (album.OnlyInWal) {
        walAlbums = true;
      } else {
        AddAlbum(db, desc, album);
      }
    }
    Run(db, "COMMIT");
    // Everything so far goes into the database file itself.
    Run(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    for (const TSqliteAlbumSpec& album : desc.Albums) {
      if (album.OnlyInWal) AddAlbum(db, desc, album);
    }
    fs::copy_file(work, data + "/Photos.sqlite", fs::copy_options::overwrite_existing);
    if (walAlbums) {
      fs::copy_file(work + "-wal", data + "/Photos.sqlite-wal",
                    fs::copy_options::overwrite_existing);
    }
  }
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(work + suffix);

  if (!desc.ThumbFile.empty()) {
    const TIosThumbGeometry geometry = IosThumbGeometry(desc.ThumbFile);
    if (geometry.SlotBytes == 0) throw std::invalid_argument("unknown thumbnail file");
    std::vector<std::uint8_t> file;
    for (const TSqliteAssetSpec& asset : desc.Assets) {
      if (asset.ThumbnailIndex < 0) continue;
      const std::size_t at = static_cast<std::size_t>(asset.ThumbnailIndex) * geometry.SlotBytes;
      if (file.size() < at + geometry.SlotBytes) file.resize(at + geometry.SlotBytes, 0);
      if (asset.Thumbnail.Width() == 0) continue;
      const std::vector<std::uint8_t> pixels =
          EncodeRecord(TRecordLayout::Rgb555, asset.Thumbnail, geometry.Width, geometry.Height);
      std::copy(pixels.begin(), pixels.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
      // The tail after the pixels carries the record's own bookkeeping.
      for (std::size_t i = pixels.size(); i < geometry.SlotBytes; ++i)
        file[at + i] = static_cast<std::uint8_t>(0xA0 + i % 16);
    }
    WriteFile(data + "/Thumbnails/" + desc.ThumbFile, file);
  }
  for (const TSqliteAssetSpec& asset : desc.Assets) {
    if (!asset.OriginalBytes.empty())
      WriteFile(root + "/" + asset.Directory + "/" + asset.FileName, asset.OriginalBytes);
  }
}

}  // namespace quill::testing
