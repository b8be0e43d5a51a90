// The photo libraries of iOS 7 and later: the asset table ZGENERICASSET (up
// to iOS 13) or ZASSET (from iOS 14), user albums in ZGENERICALBUM, and an
// album-to-asset join table whose name and columns carry entity numbers that
// change with every release. Everything is found from the database's own
// description of itself (Z_PRIMARYKEY, sqlite_master, PRAGMA table_info),
// since real libraries differ from any list of versions in numbers, extra
// tables and columns, NULLs and orders.

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "library/ipod_photo_db.h"
#include "support/sqlite_database.h"
#include "support/text.h"

namespace quill {

namespace {

// Seconds from 1970-01-01 to 2001-01-01, the epoch of the library's dates.
constexpr std::int64_t kLibraryEpoch = 978307200;
constexpr std::int64_t kDateSpan = std::int64_t{1} << 40;  // some 35,000 years

constexpr std::int64_t kUserAlbumKind = 2;
constexpr std::int64_t kFolderKind = 4000;
constexpr std::int64_t kLivePhotoSubtype = 2;
constexpr std::int64_t kScreenshotSubtype = 10;

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// A name as SQL takes it: only names read from the database itself reach
// here, but a name with a quote in it must still not end the literal.
std::string Quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

// The columns of a table, in upper case; empty when there is no such table.
std::set<std::string> Columns(TSQLiteDatabase& db, const std::string& table) {
  std::set<std::string> columns;
  const auto rows = db.Query("PRAGMA table_info(" + Quoted(table) + ")");
  for (; !rows->Eof(); rows->Next()) columns.insert(Upper(rows->FieldAsString(1)));
  return columns;
}

// The column as a select expression of alias a, or fallback where the table
// lacks it (columns come and go between releases).
std::string ColumnOr(const std::set<std::string>& columns, const std::string& alias,
                     const std::string& column, const char* fallback) {
  return columns.count(column) ? alias + "." + column : std::string(fallback);
}

// Entity numbers by lower-case name, from Z_PRIMARYKEY.
std::map<std::string, std::int64_t> EntityNumbers(TSQLiteDatabase& db) {
  std::map<std::string, std::int64_t> numbers;
  if (!db.TableExists("Z_PRIMARYKEY")) return numbers;
  const auto rows = db.Query("SELECT Z_ENT,Z_NAME FROM Z_PRIMARYKEY");
  for (; !rows->Eof(); rows->Next()) {
    const std::string name = Lower(rows->FieldAsString(1));
    if (!name.empty() && !numbers.count(name)) numbers[name] = rows->FieldAsInteger(0);
  }
  return numbers;
}

struct TAlbumJoin {
  std::string Table, AlbumColumn, AssetColumn, OrderColumn;
};

// Whether name is "Z_" + digits + suffix; the digits' value in number.
bool NumberedName(const std::string& name, const std::string& suffix, std::int64_t& number) {
  const std::string upper = Upper(name);
  if (upper.size() <= 2 + suffix.size() || upper.compare(0, 2, "Z_") != 0) return false;
  if (upper.compare(upper.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  const std::string digits = upper.substr(2, upper.size() - 2 - suffix.size());
  if (digits.empty() || digits.size() > 6) return false;
  number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  return true;
}

// The join table's columns when table is one: exactly one album column and
// one asset column, each of a number the candidates allow (any number where
// the library names no entity).
std::optional<TAlbumJoin> ConfirmJoin(TSQLiteDatabase& db, const std::string& table,
                                      const std::vector<std::int64_t>& albumNumbers,
                                      const std::vector<std::int64_t>& assetNumbers) {
  std::vector<std::pair<std::int64_t, std::string>> albums, assets;
  std::set<std::string> columns = Columns(db, table);
  for (const std::string& column : columns) {
    std::int64_t n = 0;
    if (NumberedName(column, "ALBUMS", n)) albums.emplace_back(n, column);
    if (NumberedName(column, "ASSETS", n)) assets.emplace_back(n, column);
  }
  auto pick = [](const std::vector<std::pair<std::int64_t, std::string>>& found,
                 const std::vector<std::int64_t>& allowed) -> std::optional<std::string> {
    if (allowed.empty()) {
      if (found.size() == 1) return found.front().second;
      return std::nullopt;
    }
    for (std::int64_t n : allowed)
      for (const auto& [number, column] : found)
        if (number == n) return column;
    return std::nullopt;
  };
  const auto album = pick(albums, albumNumbers);
  const auto asset = pick(assets, assetNumbers);
  if (!album || !asset) return std::nullopt;
  TAlbumJoin join{table, *album, *asset, {}};
  const std::string order = "Z_FOK_" + asset->substr(2);
  if (columns.count(order)) join.OrderColumn = order;
  return join;
}

std::optional<TAlbumJoin> FindAlbumJoin(TSQLiteDatabase& db,
                                        const std::vector<std::int64_t>& albumNumbers,
                                        const std::vector<std::int64_t>& assetNumbers,
                                        std::string& why) {
  // The table carries the album entity's number.
  for (std::int64_t n : albumNumbers) {
    const std::string table = "Z_" + std::to_string(n) + "ASSETS";
    if (!db.TableExists(table)) continue;
    if (auto join = ConfirmJoin(db, table, albumNumbers, assetNumbers)) return join;
  }
  // Otherwise every table named like one is tested the same way (other
  // tables end in ASSETS too); only a single match is taken.
  std::vector<TAlbumJoin> matches;
  {
    std::vector<std::string> tables;
    const auto rows = db.Query("SELECT name FROM sqlite_master WHERE type='table'");
    for (; !rows->Eof(); rows->Next()) {
      std::int64_t n = 0;
      const std::string name = rows->FieldAsString(0);
      if (NumberedName(name, "ASSETS", n)) tables.push_back(name);
    }
    // The table's name is not the album entity's here: its album column
    // need not be either, as long as there is exactly one.
    for (const std::string& table : tables)
      if (auto join = ConfirmJoin(db, table, {}, assetNumbers)) matches.push_back(*join);
  }
  if (matches.size() == 1) return matches.front();
  why = matches.empty() ? "no table joins albums to assets"
                        : std::to_string(matches.size()) + " tables could join albums to assets";
  return std::nullopt;
}

struct TAlbumRow {
  std::int64_t Id = 0, Kind = 0, Parent = 0;
  bool Trashed = false;
  std::string Title;
};

// "Folder / Subfolder / Album": the titles of the user folders above the
// album, bounded by the number of rows so that a loop of parents ends.
std::string AlbumPath(const TAlbumRow& album, const std::unordered_map<std::int64_t, const TAlbumRow*>& byId,
                      std::size_t rows) {
  std::string path = album.Title;
  std::int64_t parent = album.Parent;
  for (std::size_t step = 0; parent != 0 && step < rows; ++step) {
    const auto it = byId.find(parent);
    if (it == byId.end() || it->second->Kind != kFolderKind) break;
    if (!it->second->Title.empty()) path = it->second->Title + " / " + path;
    parent = it->second->Parent;
  }
  return path;
}

}  // namespace

bool TIpodPhotoDb::IsModernPhotosSqlite(TSQLiteDatabase& db) {
  if (db.TableExists("ZASSET")) return true;
  if (!db.TableExists("ZGENERICASSET")) return false;
  // Recently Deleted and the kind subtypes came after the libraries of
  // iOS 5 and 6.
  const std::set<std::string> columns = Columns(db, "ZGENERICASSET");
  return columns.count("ZTRASHEDSTATE") || columns.count("ZKINDSUBTYPE");
}

void TIpodPhotoDb::ReadModernPhotosSqlite(TSQLiteDatabase& db) {
  ModernLibrary = true;
  const bool zasset = db.TableExists("ZASSET");
  const std::string assetTable = zasset ? "ZASSET" : "ZGENERICASSET";
  const std::set<std::string> assetColumns = Columns(db, assetTable);
  for (const char* required : {"Z_PK", "ZDIRECTORY", "ZFILENAME"}) {
    if (!assetColumns.count(required))
      throw ESQLiteException("the table " + assetTable + " has no column " + required);
  }
  const auto entities = EntityNumbers(db);
  auto entity = [&](const char* name) -> std::optional<std::int64_t> {
    const auto it = entities.find(Lower(name));
    if (it == entities.end()) return std::nullopt;
    return it->second;
  };

  // ---- Assets -------------------------------------------------------------
  std::string select = "SELECT a.Z_PK, a.ZDIRECTORY, a.ZFILENAME, " +
                       ColumnOr(assetColumns, "a", "ZKIND", "0") + ", " +
                       ColumnOr(assetColumns, "a", "ZKINDSUBTYPE", "0") + ", " +
                       ColumnOr(assetColumns, "a", "ZHIDDEN", "0") + ", " +
                       ColumnOr(assetColumns, "a", "ZDATECREATED", "NULL") + ", " +
                       ColumnOr(assetColumns, "a", "ZHASADJUSTMENTS", "0") + ", ";
  std::string from = " FROM " + assetTable + " a";
  const std::set<std::string> extraColumns = Columns(db, "ZADDITIONALASSETATTRIBUTES");
  if (extraColumns.count("ZORIGINALFILENAME") && extraColumns.count("Z_PK") &&
      assetColumns.count("ZADDITIONALATTRIBUTES")) {
    select += "aa.ZORIGINALFILENAME";
    from += " LEFT JOIN ZADDITIONALASSETATTRIBUTES aa ON aa.Z_PK = a.ZADDITIONALATTRIBUTES";
  } else if (extraColumns.count("ZORIGINALFILENAME") && extraColumns.count("ZASSET")) {
    select += "aa.ZORIGINALFILENAME";
    from += " LEFT JOIN ZADDITIONALASSETATTRIBUTES aa ON aa.ZASSET = a.Z_PK";
  } else {
    select += "NULL";
  }
  std::string where = " WHERE a.ZFILENAME IS NOT NULL AND a.ZFILENAME <> ''";
  if (assetColumns.count("ZTRASHEDSTATE")) where += " AND COALESCE(a.ZTRASHEDSTATE, 0) = 0";
  // In the older table the asset rows are one entity among the table's own.
  if (!zasset && assetColumns.count("Z_ENT")) {
    if (const auto asset = entity("Asset")) where += " AND a.Z_ENT = " + std::to_string(*asset);
  }
  const std::string order = assetColumns.count("ZDATECREATED")
                                ? " ORDER BY a.ZDATECREATED IS NULL, a.ZDATECREATED, a.Z_PK"
                                : " ORDER BY a.Z_PK";
  {
    const auto count = db.Query("SELECT COUNT(*)" + from + where);
    if (!count->Eof()) {
      const std::int64_t rows = count->FieldAsInteger(0);
      if (rows > 0 && rows <= std::int64_t{1} << 24) Photos.Reserve(static_cast<std::size_t>(rows));
    }
  }
  const auto rows = db.Query(select + from + where + order);
  for (; !rows->Eof(); rows->Next()) {
    std::string directory = rows->FieldAsString(1);
    while (!directory.empty() && directory.front() == '/') directory.erase(0, 1);
    while (!directory.empty() && directory.back() == '/') directory.pop_back();
    // Some libraries name the camera folder alone ("100APPLE").
    if (!directory.empty() && directory.find('/') == std::string::npos) directory = "DCIM/" + directory;
    TPhotoItem& photo = Photos.Add();
    photo.Id = static_cast<std::uint32_t>(rows->FieldAsInteger(0));
    photo.Path = directory.empty() ? rows->FieldAsString(2) : directory + "/" + rows->FieldAsString(2);
    const std::int64_t kind = rows->FieldAsInteger(3);
    photo.Kind = kind == 0 ? TAssetKind::Photo : kind == 1 ? TAssetKind::Video : TAssetKind::Other;
    const std::int64_t subtype = rows->FieldAsInteger(4);
    if (subtype == kLivePhotoSubtype) photo.Flags |= kAssetLivePhoto;
    if (subtype == kScreenshotSubtype) photo.Flags |= kAssetScreenshot;
    if (rows->FieldAsInteger(5) != 0) photo.Flags |= kAssetHidden;
    // A damaged row's date beyond any clock is no date (and no overflow).
    const std::int64_t seconds = rows->FieldAsInteger(6);
    if (!rows->FieldAsString(6).empty() && seconds > -kDateSpan && seconds < kDateSpan) {
      photo.Created = seconds + kLibraryEpoch;
      // 0 stands for "no date" everywhere else; a photo of that very second
      // keeps a date one second off rather than losing it.
      if (photo.Created == 0) photo.Created = 1;
    }
    if (rows->FieldAsInteger(7) != 0) photo.Flags |= kAssetAdjusted;
    // Originals of the iCloud library keep a UUID on the device; the
    // computer gets the name the camera gave them.
    if (!StartsWithNoCase(photo.Path, "DCIM/")) {
      std::string original = rows->FieldAsString(8);
      const std::optional<std::string> safe = SafeFileName(original);
      if (safe && !safe->empty() && *safe != NameAfterSlash(photo.Path)) Photos.SetOriginalName(photo, *safe);
    }
  }

  // Which originals are on the device: one listing per folder rather than a
  // question per file (a phone with "Optimize Storage" keeps most of them on
  // iCloud, and the database does not say which).
  {
    std::unordered_map<std::string, std::unordered_set<std::string>> folders;
    for (std::size_t i = 0; i < Photos.Count(); ++i) {
      TPhotoItem& photo = Photos.Items(i);
      const std::size_t slash = photo.Path.rfind('/');
      const std::string folder = slash == std::string::npos ? std::string() : photo.Path.substr(0, slash);
      auto it = folders.find(folder);
      if (it == folders.end()) {
        std::vector<std::string> names;
        Device.ListNames(folder, names);
        it = folders.emplace(folder, std::unordered_set<std::string>(names.begin(), names.end())).first;
      }
      const std::string name = slash == std::string::npos ? photo.Path : photo.Path.substr(slash + 1);
      if (!it->second.count(name)) photo.Flags |= kAssetNotOnDevice;
    }
  }

  TPhotoAlbumItem& first = Albums.Items(0);
  first.Count = static_cast<std::int32_t>(Photos.Count());
  first.PhotoIds.reserve(Photos.Count());
  for (std::size_t i = 0; i < Photos.Count(); ++i) first.PhotoIds.push_back(Photos.Items(i).Id);

  // ---- Albums ---------------------------------------------------------------
  if (!db.TableExists("ZGENERICALBUM")) return;
  const std::set<std::string> albumColumns = Columns(db, "ZGENERICALBUM");
  if (!albumColumns.count("Z_PK") || !albumColumns.count("ZKIND")) {
    AddLog("Albums not read: the table ZGENERICALBUM has no " +
           std::string(albumColumns.count("Z_PK") ? "ZKIND" : "Z_PK") + " column");
    return;
  }
  std::vector<TAlbumRow> albumRows;
  {
    const auto albums = db.Query(
        "SELECT a.Z_PK, a.ZKIND, " + ColumnOr(albumColumns, "a", "ZTITLE", "NULL") + ", " +
        ColumnOr(albumColumns, "a", "ZPARENTFOLDER", "0") + ", " +
        ColumnOr(albumColumns, "a", "ZTRASHEDSTATE", "0") + " FROM ZGENERICALBUM a WHERE a.ZKIND IN (" +
        std::to_string(kUserAlbumKind) + ", " + std::to_string(kFolderKind) + ") ORDER BY a.Z_PK");
    for (; !albums->Eof(); albums->Next()) {
      TAlbumRow row;
      row.Id = albums->FieldAsInteger(0);
      row.Kind = albums->FieldAsInteger(1);
      row.Title = albums->FieldAsString(2);
      row.Parent = albums->FieldAsInteger(3);
      row.Trashed = albums->FieldAsInteger(4) != 0;
      albumRows.push_back(std::move(row));
    }
  }
  std::unordered_map<std::int64_t, const TAlbumRow*> byId;
  for (const TAlbumRow& row : albumRows) byId.emplace(row.Id, &row);
  std::unordered_map<std::int64_t, std::size_t> albumIndex;
  int untitled = 1;
  for (const TAlbumRow& row : albumRows) {
    if (row.Kind != kUserAlbumKind || row.Trashed || row.Id <= 0) continue;
    TPhotoAlbumItem& item = Albums.Add();
    item.AlbumId = static_cast<std::uint32_t>(row.Id);
    item.Count = 0;
    if (row.Title.empty()) {
      TAlbumRow named = row;
      named.Title = "Photo Album " + std::to_string(untitled++);
      item.Name = AlbumPath(named, byId, albumRows.size());
    } else {
      item.Name = AlbumPath(row, byId, albumRows.size());
    }
    albumIndex.emplace(row.Id, Albums.Count() - 1);
  }
  if (albumIndex.empty()) return;

  std::vector<std::int64_t> albumNumbers, assetNumbers;
  for (const char* name : {"Album", "GenericAlbum"})
    if (const auto n = entity(name)) albumNumbers.push_back(*n);
  // Up to iOS 13 the join names the root entity GenericAsset; from iOS 14
  // Asset is the root itself.
  for (const char* name : zasset ? std::vector<const char*>{"Asset", "GenericAsset"}
                                 : std::vector<const char*>{"GenericAsset", "Asset"})
    if (const auto n = entity(name)) assetNumbers.push_back(*n);
  std::string why;
  const auto join = FindAlbumJoin(db, albumNumbers, assetNumbers, why);
  if (!join) {
    AddLog("Album members not read: " + why);
    return;
  }
  std::vector<std::uint32_t> listed;
  listed.reserve(Photos.Count());
  for (std::size_t i = 0; i < Photos.Count(); ++i) listed.push_back(Photos.Items(i).Id);
  std::sort(listed.begin(), listed.end());
  const std::string orderBy =
      " ORDER BY " + Quoted(join->AlbumColumn) +
      (join->OrderColumn.empty() ? std::string() : ", " + Quoted(join->OrderColumn));
  const auto members = db.Query("SELECT " + Quoted(join->AlbumColumn) + ", " +
                                Quoted(join->AssetColumn) + " FROM " + Quoted(join->Table) + orderBy);
  for (; !members->Eof(); members->Next()) {
    const auto it = albumIndex.find(members->FieldAsInteger(0));
    if (it == albumIndex.end()) continue;
    const auto id = static_cast<std::uint32_t>(members->FieldAsInteger(1));
    // Trashed and unknown assets are no members to show.
    if (!std::binary_search(listed.begin(), listed.end(), id)) continue;
    TPhotoAlbumItem& album = Albums.Items(it->second);
    album.PhotoIds.push_back(id);
    ++album.Count;
  }
  // Grown a row at a time: up to twice their room, for as long as they are shown.
  for (std::size_t i = 1; i < Albums.Count(); ++i) Albums.Items(i).PhotoIds.shrink_to_fit();
}

}  // namespace quill
