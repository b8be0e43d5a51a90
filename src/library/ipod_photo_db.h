#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "device/ipod_device.h"
#include "library/cell_area.h"
#include "library/photo_model.h"
#include "support/byte_reader.h"
#include "support/exif.h"
#include "support/memory_stream.h"

namespace quill {

class TSQLiteDatabase;

// The operations of the selection menu.
enum class TSelectOp { SelectAll = 0, UnselectAll = 1, Invert = 2 };

// What became of one item of a transfer.
enum class TItemOutcome {
  Written,       // a new file was written
  AlreadyThere,  // the same file was already in the folder; nothing written
  Failed,        // nothing written; the log says why
};

// Whether the HEIC photos copied are also, or only, saved as JPEG files.
enum class THeicJpeg { No, Also, Instead };

// A file that travels with a photo of a modern library (a Live Photo's
// clip, an edit's render, a sidecar): where it lies on the device and the
// name it takes on the computer.
struct TCompanionFile {
  std::string DevicePath;
  std::string PcName;
};

// The library controller of the connected device: the photos, albums and
// camera files, the two stored-image formats, the load sequence, the
// exporters and transfer routines, and the page side of the browser.
//
// Created, loaded, browsed and destroyed on the GUI thread; during a transfer
// the transfer thread runs the transfer routines, and the GUI thread must not
// touch the controller (no page, no selection change, no reload) until the
// thread has ended. Device and CellArea must outlive the controller.
class TIpodPhotoDb {
public:
  TIpodPhotoDb(TIpodDevice& device, TCellArea* cellArea, bool hasCamera);
  ~TIpodPhotoDb();
  TIpodPhotoDb(const TIpodPhotoDb&) = delete;
  TIpodPhotoDb& operator=(const TIpodPhotoDb&) = delete;

  std::string LogText;
  std::string DestFolder;  // ends with the PC's path separator
  bool StopRequested = false;
  // Exports read and decode on a second thread, ahead of the writing, where
  // the computer has more than one core.
  bool PipelinedExport = std::thread::hardware_concurrency() > 1;
  // Decoded photos get their EXIF block, identifier and file time; off only
  // to measure what these cost.
  bool StampExports = true;
  bool CopyOriginals = false;
  // HEIC and HEIF files copied get a JPEG beside them (Also) or in their
  // place (Instead; the HEIC stays where the conversion fails).
  THeicJpeg HeicJpeg = THeicJpeg::No;
  TPhotoList Photos;
  TPhotoAlbumList Albums;
  bool HasCamera = false;
  std::unique_ptr<TCamPhotoList> CamPhotos;  // exists when HasCamera
  std::array<std::uint8_t, 66> BitmapHeader{};
  TIpodDevice& Device;
  TPhotoInfo ExportFormat;
  TPhotoInfo ThumbFormat;
  std::int32_t CellWidth = 0, CellHeight = 0, CellGap = 0, CellsPerPage = 0, CellColumns = 0;
  std::int32_t CameraCellWidth = 0, CameraCellHeight = 0, CameraCellGap = 0, CameraCellsPerPage = 0,
               CameraCellColumns = 0;
  TMemoryStream WorkStream;
  std::function<void(std::int32_t index, bool selected)> OnSelectionChange;
  std::function<void(const std::string& name)> OnTransferFile;
  std::function<void(std::int32_t count)> OnPageProgress;
  // After each selected item of a transfer: the name as notified, what became
  // of it, and the PC file it went to (empty when nothing was written).
  // Called on the transfer thread.
  std::function<void(const std::string& name, TItemOutcome outcome, const std::string& pcFile)>
      OnItemResult;
  TCellArea* CellArea;

  void AddLog(const std::string& line);
  // Reads the device's library; true when there is something to show.
  bool LoadPhotoLibrary();
  // Whether the Photo Database was read by the last load.
  bool PhotoDatabaseRead() const { return photo_database_read_; }

  // Photo Database reader.
  bool ParsePhotoDatabase();
  bool ParsePhotoDatabaseBytes(std::span<const std::uint8_t> file);
  bool ReadImageList(const TByteReader& data, std::uint64_t sectionPos, std::uint64_t sectionHeaderLen);
  bool SurveyFormats(const TByteReader& data, std::uint64_t pos);
  std::uint32_t ReadImageItem(const TByteReader& data, std::uint64_t pos);
  bool ReadImageChild(const TByteReader& data, std::uint64_t payloadPos, int& found, std::uint16_t type);
  std::uint32_t ReadStringChunk(const TByteReader& data, std::uint64_t pos, std::string& text);
  bool ReadAlbumList(const TByteReader& data, std::uint64_t sectionPos, std::uint64_t sectionHeaderLen);

  // Photos.sqlite reader (iOS libraries): reads the local database file.
  // Any failure is an exception (mostly ESQLiteException) that reaches the
  // caller; the lists then keep what was added so far.
  bool ReadPhotosSqlite(const std::string& fileName);
  // The libraries of iOS 7 and later (ZGENERICASSET with their columns, or
  // ZASSET): assets with kinds, dates and whether their files are on the
  // device, user albums with their members in album order.
  static bool IsModernPhotosSqlite(TSQLiteDatabase& db);
  void ReadModernPhotosSqlite(TSQLiteDatabase& db);
  // The library read is one of iOS 7 or later: thumbnails come from the
  // pictures, and companions (Live Photo clips, edits, sidecars) travel with
  // their photos.
  bool ModernLibrary = false;
  // A PC picture shown for video cells of a modern library (empty: blank).
  std::string MoviePicture;
  // Chooses the thumbnail file of an iOS library and fills ThumbFormat;
  // whether one was found.
  bool SelectIosThumbFile();

  // Formats and exporters. Each exporter returns the number of files written.
  void LookupFormat(TPhotoInfo& info) const;
  void PrepareBitmapHeader(bool forThumbs);
  int ExportRgb();
  int ExportSwappedRgb();
  int ExportInterlacedUyvy();
  int ExportPlanarYuv();
  int ExportJpegRecords();

  // Camera files.
  int LoadCameraFiles();

  // Transfer engine (transfer thread). Each returns the number of files written.
  int TransferPhotos();
  int TransferDiskPhotos();
  int TransferIosPhotos();
  int TransferCameraFiles();
  // The companions of a photo that are on the device; pcName is the name the
  // photo itself takes.
  std::vector<TCompanionFile> CompanionsOf(const TPhotoItem& photo, const std::string& pcName);
  // Companion files written by the last transfer.
  int CompanionsWritten = 0;
  // Selects photo i unless its file is not on the device; such a photo is
  // marked as passed over, for the transfer's summary. Whether it selected.
  bool SelectIfOnDevice(std::size_t i);
  static std::string NameAfterSlash(const std::string& path);
  void GetDefaultOutputFolder(std::string& path);
  // Also removes the temporary files that killed transfers left in the
  // folder (StaleTempFilesRemoved, logged by the transfer).
  bool CheckOutputFolder(std::string& path);
  int StaleTempFilesRemoved = 0;
  // Whether any item of the last transfer failed.
  bool TransferHadErrors() const { return transfer_errors_ > 0; }
  // Starts the error count of a new transfer (the transfer thread's creation).
  void ResetTransferErrors() {
    transfer_errors_ = 0;
    written_files_.clear();
  }
  // Has what the transfer wrote put on the disk before it reports its end;
  // a failure is an error of the transfer.
  void FlushTransfer();
  // A companion file written beside its photo.
  void NoteWritten(const std::string& pcFile) { written_files_.push_back(pcFile); }
  // An error of an item whose file was written all the same (its JPEG
  // could not be made): the transfer counts as failed.
  void NoteItemError() { ++transfer_errors_; }
  // Records a transfer ended by an error outside any item: one log line
  // "Transfer failed: <what>", and the transfer counts as failed.
  void TransferFailed(const std::string& what);

  // Page side (GUI thread).
  void SetPageLayout(bool camera);
  void ClearCells();
  // Frees the cells and builds page `page` (from 1) of album `album` (or of
  // the camera files) in CellArea; answers the number of cells made.
  int ShowAlbumPage(int album, int page, int fileNumber);
  // movPicture: a PC picture file shown for .MOV files (empty: blank cells).
  int ShowCameraPage(int page, const std::string& movPicture);
  int AlbumPageCount(int album) const;
  int CameraPageCount() const;
  // Sets the cells of the current page to the state the operation gave the model.
  void MarkPageCells(TSelectOp op);
  // A click on cell `cell` of CellArea: flips the cell and its item.
  void PhotoCellClick(int cell);
  void CameraCellClick(int cell);
  // The model side of the selection menu: every position of the album (its
  // first photo of that id), or every camera file.
  void SelectAlbumPhotos(TSelectOp op, int album);
  void SelectCameraFiles(TSelectOp op);

private:
  friend class TExportRun;
  friend class TRecordReader;
  friend class THeicConversions;
  void ReportItem(const std::string& name, TItemOutcome outcome, const std::string& pcFile);
  int CopyOriginalFiles(bool iosPaths);
  // Writes the bytes of a decoded photo as DestFolder + name unless the
  // photo is already there; a different file of that name sends it to the
  // first free name of the series 1_name, 2_1_name, ... A file is the photo
  // when its EXIF names the photo's identifier, or (for files without one)
  // when it holds the same bytes, with or without the EXIF block at exif.
  TItemOutcome PublishPhoto(const std::string& name, std::span<const std::uint8_t> bytes,
                            const std::string& id, const TExifPlacement& exif,
                            const TWriteOptions& options, std::string& written, int& error);
  // The file of the series of name that names id in its EXIF, or empty;
  // found without the photo's bytes, so that a rerun need not decode it.
  std::string FindPhotoById(const std::string& name, const std::string& id);
  // The names in DestFolder when an export began: a name not among them was
  // free then, and FindPhotoById need not look it up (a look-up per photo
  // where new names are the rule). Files another writer adds later are met
  // by PublishPhoto's own test of the name.
  std::optional<std::unordered_set<std::string>> dest_names_;

  int ShowModernAlbumPage(int album, int page);
  bool photo_database_read_ = false;
  bool page_is_camera_ = false;
  int transfer_errors_ = 0;
  std::vector<std::string> written_files_;

  // Photo positions by id, sorted by (id, position): the page side's searches
  // by id without a pass over Photos per album position. Refreshed at the
  // start of each page or menu operation, rebuilt only when Photos no longer
  // matches the fingerprint it was built from.
  void RefreshPhotoIndex();
  std::span<const std::pair<std::uint32_t, std::uint32_t>> PhotoPositions(std::uint32_t id) const;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> photo_index_;
  std::uint64_t photo_index_key_ = 0;
  bool photo_index_built_ = false;
};

}  // namespace quill
