#include "support/photos_sqlite_writer.h"

#include <cstdio>
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

std::string Real(const std::optional<double>& value) {
  if (!value) return "NULL";
  char text[64];
  std::snprintf(text, sizeof text, "%.6f", *value);
  return text;
}

std::string Base(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

// A library as iOS 7 and later write it: entity numbers of their own, more
// columns than the reader needs, a join table found through Z_PRIMARYKEY and
// decoys whose names also end in ASSETS.
void WriteModernDatabase(TSQLiteDatabase& db, const TSqliteLibrarySpec& desc, bool walPart) {
  const TModernEntities& e = desc.Modern;
  const bool zasset = desc.Layout == TSqliteLayout::Asset;
  const std::string assetTable = zasset ? "ZASSET" : "ZGENERICASSET";
  const std::int32_t joinAsset = zasset ? e.Asset : e.GenericAsset;
  const std::string album = std::to_string(e.Album);
  const std::string joinTable = "Z_" + album + "ASSETS";
  const std::string albumCol = "Z_" + album + "ALBUMS";
  const std::string assetCol = "Z_" + std::to_string(joinAsset) + "ASSETS";
  const std::string fokCol = "Z_FOK_" + std::to_string(joinAsset) + "ASSETS";
  auto addAlbum = [&](const TSqliteAlbumSpec& given) {
    TSqliteAlbumSpec a = given;
    // The iOS 5 default kind stands for a user album here.
    if (a.Kind == 1550) a.Kind = 2;
    Run(db, "INSERT INTO ZGENERICALBUM (Z_PK, Z_ENT, Z_OPT, ZKIND, ZTITLE, ZTRASHEDSTATE, "
            "ZPARENTFOLDER, ZCACHEDCOUNT) VALUES (" +
                std::to_string(a.Id) + ", " + std::to_string(a.Kind == 4000 ? e.GenericAlbum : e.Album) +
                ", 1, " + std::to_string(a.Kind) + ", " + Literal(a.Title) + ", " +
                (a.Trashed ? "1" : "0") + ", " + (a.ParentFolder ? std::to_string(a.ParentFolder) : "NULL") +
                ", 999)");
    // Rows go in backwards: only the order column gives the album's order.
    for (std::size_t k = a.AssetIds.size(); k-- > 0;) {
      Run(db, "INSERT INTO " + joinTable + " (" + albumCol + ", " + assetCol + ", " + fokCol +
                  ") VALUES (" + std::to_string(a.Id) + ", " + std::to_string(a.AssetIds[k]) + ", " +
                  std::to_string(1024 * (k + 1)) + ")");
    }
  };
  if (walPart) {
    for (const TSqliteAlbumSpec& a : desc.Albums)
      if (a.OnlyInWal) addAlbum(a);
    return;
  }
  Run(db, "CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER, Z_MAX INTEGER)");
  std::vector<std::pair<std::int32_t, std::string>> keys = {
      {1, "AdditionalAssetAttributes"}, {e.GenericAlbum, "GenericAlbum"}, {e.Album, "Album"},
      {e.GenericAlbum + 10, "Folder"}, {e.Asset, "Asset"}, {e.Asset + 40, "Memory"}};
  if (!zasset) keys.push_back({e.GenericAsset, "GenericAsset"});
  for (const auto& [ent, name] : keys)
    Run(db, "INSERT OR REPLACE INTO Z_PRIMARYKEY VALUES (" + std::to_string(ent) + ", " + Literal(name) +
                ", 0, 0)");
  Run(db, "CREATE TABLE Z_METADATA (Z_VERSION INTEGER PRIMARY KEY, Z_UUID VARCHAR, Z_PLIST BLOB)");
  Run(db, "CREATE TABLE " + assetTable +
              " (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZKIND INTEGER, ZKINDSUBTYPE INTEGER, "
              "ZPLAYBACKSTYLE INTEGER, ZHIDDEN INTEGER, ZTRASHEDSTATE INTEGER, ZSAVEDASSETTYPE INTEGER, "
              "ZHASADJUSTMENTS INTEGER, ZADDITIONALATTRIBUTES INTEGER, ZDATECREATED TIMESTAMP, "
              "ZMODIFICATIONDATE TIMESTAMP, ZDIRECTORY VARCHAR, ZFILENAME VARCHAR, ZUUID VARCHAR, "
              "ZUNIFORMTYPEIDENTIFIER VARCHAR)");
  Run(db, "CREATE TABLE ZADDITIONALASSETATTRIBUTES (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, ZASSET INTEGER, "
          "ZORIGINALFILENAME VARCHAR, ZORIGINALFILESIZE INTEGER, ZTIMEZONENAME VARCHAR)");
  Run(db, "CREATE TABLE ZGENERICALBUM (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZKIND INTEGER, "
          "ZTITLE VARCHAR, ZTRASHEDSTATE INTEGER, ZPARENTFOLDER INTEGER, ZCUSTOMSORTKEY INTEGER, "
          "ZCACHEDCOUNT INTEGER, ZUUID VARCHAR)");
  Run(db, "CREATE TABLE " + joinTable + " (" + albumCol + " INTEGER, " + assetCol + " INTEGER, " + fokCol +
              " INTEGER, PRIMARY KEY (" + albumCol + ", " + assetCol + "))");
  if (desc.DecoyTables) {
    // Other tables of the same shape of name: memories, and an album list.
    const std::string memory = std::to_string(e.Asset + 40);
    Run(db, "CREATE TABLE Z_" + memory + "MEMORIESBEINGCURATEDASSETS (Z_" + memory + "MEMORIESBEINGCURATED INTEGER, "
                "Z_" + std::to_string(joinAsset) + "CURATEDASSETS INTEGER)");
    Run(db, "CREATE TABLE Z_" + std::to_string(e.GenericAlbum + 10) + "ASSETS (Z_" +
                std::to_string(e.GenericAlbum + 10) + "KEYWORDS INTEGER, " + assetCol + " INTEGER)");
    Run(db, "INSERT INTO Z_" + std::to_string(e.GenericAlbum + 10) + "ASSETS VALUES (1, 1)");
    Run(db, "CREATE TABLE Z_" + std::to_string(e.GenericAlbum) + "ALBUMLISTS (Z_" +
                std::to_string(e.GenericAlbum) + "ALBUMS INTEGER, Z_2ALBUMLISTS INTEGER)");
  }
  Run(db, "BEGIN");
  std::uint32_t extra = 500;
  for (const TSqliteAssetSpec& a : desc.Assets) {
    const std::uint32_t attributes = ++extra;
    Run(db, "INSERT INTO ZADDITIONALASSETATTRIBUTES (Z_PK, Z_ENT, ZASSET, ZORIGINALFILENAME) VALUES (" +
                std::to_string(attributes) + ", 1, " + std::to_string(a.Id) + ", " +
                Literal(a.OriginalFileName) + ")");
    Run(db, "INSERT INTO " + assetTable +
                " (Z_PK, Z_ENT, Z_OPT, ZKIND, ZKINDSUBTYPE, ZHIDDEN, ZTRASHEDSTATE, ZSAVEDASSETTYPE, "
                "ZHASADJUSTMENTS, ZADDITIONALATTRIBUTES, ZDATECREATED, ZDIRECTORY, ZFILENAME) VALUES (" +
                std::to_string(a.Id) + ", " + std::to_string(e.Asset) + ", 3, " + std::to_string(a.Kind) + ", " +
                std::to_string(a.Subtype) + ", " + (a.Hidden ? "1" : "0") + ", " + (a.Trashed ? "1" : "0") +
                ", 3, " + (a.Render.empty() && a.Sidecar.empty() ? "0" : "1") + ", " +
                std::to_string(attributes) + ", " + Real(a.Created) + ", " + Literal(a.Directory) + ", " +
                Literal(a.FileName) + ")");
  }
  for (const TSqliteAlbumSpec& a : desc.Albums)
    if (!a.OnlyInWal) addAlbum(a);
  Run(db, "COMMIT");
}

void WriteModernFiles(const TSqliteLibrarySpec& desc, const std::string& root) {
  for (const TSqliteAssetSpec& a : desc.Assets) {
    // A directory of one name is a camera folder under DCIM.
    const std::string dir = a.Directory.find('/') == std::string::npos ? "DCIM/" + a.Directory : a.Directory;
    const std::string folder = root + "/" + dir + "/";
    if (a.OnDevice && !a.OriginalBytes.empty()) WriteFile(folder + a.FileName, a.OriginalBytes);
    if (!a.LiveClip.empty()) WriteFile(folder + Base(a.FileName) + ".MOV", a.LiveClip);
    if (!a.Sidecar.empty()) WriteFile(folder + Base(a.FileName) + ".AAE", a.Sidecar);
    if (!a.Render.empty())
      WriteFile(root + "/PhotoData/Mutations/" + dir + "/" + Base(a.FileName) +
                    "/Adjustments/FullSizeRender.jpg",
                a.Render);
    if (!a.V2Thumbnail.empty())
      WriteFile(root + "/PhotoData/Thumbnails/V2/" + dir + "/" + a.FileName + "/5005.JPG",
                a.V2Thumbnail);
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
    const bool modern = desc.Layout != TSqliteLayout::Ios5;
    const std::string a = std::to_string(desc.Entities.Album);
    const std::string g = std::to_string(desc.Entities.Generic);
    if (modern) {
      WriteModernDatabase(db, desc, false);
      Run(db, "PRAGMA wal_checkpoint(TRUNCATE)");
      WriteModernDatabase(db, desc, true);
      bool walAlbums = false;
      for (const TSqliteAlbumSpec& album : desc.Albums) walAlbums = walAlbums || album.OnlyInWal;
      fs::copy_file(work, data + "/Photos.sqlite", fs::copy_options::overwrite_existing);
      if (walAlbums)
        fs::copy_file(work + "-wal", data + "/Photos.sqlite-wal", fs::copy_options::overwrite_existing);
    } else if (!desc.NoPrimaryKeyTable) {
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
    if (!modern) {
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
  if (desc.Layout != TSqliteLayout::Ios5) {
    WriteModernFiles(desc, root);
    return;
  }
  for (const TSqliteAssetSpec& asset : desc.Assets) {
    if (!asset.OriginalBytes.empty())
      WriteFile(root + "/" + asset.Directory + "/" + asset.FileName, asset.OriginalBytes);
  }
}

}  // namespace quill::testing
