#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "library/ipod_photo_db.h"
#include "library/yuv.h"
#include "support/bitmap.h"
#include "support/exif.h"
#include "support/picture.h"

namespace quill {

namespace {

constexpr int kJpegQuality = 80;
// More failed photos than this end an exporter run.
constexpr int kMaxErrors = 30;
// Candidates of the series <id>.jpg, 1_<id>.jpg, 2_1_<id>.jpg ... tried
// before a photo is given up.
constexpr int kMaxNameCandidates = 1000;

// Item error codes in the platform's numbering, next to its write errors.
const int& kReadError = kErrorRead;
const int& kUndecodable = kErrorBadData;
// A decoder's answer for a photo found in the destination by its
// identifier: nothing to decode. Never logged.
constexpr int kKnownPhoto = -1;

constexpr std::size_t kSwappedBytes = 176 * 132 * 2;
constexpr std::size_t kInterlacedBytes = 720 * 480 * 2;
constexpr std::size_t kPlanarBufferBytes = 691200;
// A stored JPEG (or RGB record) larger than this is taken for a broken size.
constexpr std::uint32_t kMaxRecordBytes = 64u << 20;

}  // namespace

// What a decoder learns of a photo besides its picture: the identifier of
// its stored record, and the destination's file that holds it already.
struct TPhotoStamp {
  std::string Id;
  std::string FoundAt;
};

// What the walk over the records hands on, in order: a .ithmb file that did
// not open, or a decoded photo (its .jpg bytes, or the error of the item).
struct TExportEvent {
  bool OpenFailed = false;
  std::string Number;    // OpenFailed: <format id>_<file number>
  std::string Messages;  // OpenFailed: the device's messages then
  const TPhotoItem* Photo = nullptr;
  int Error = 0;
  std::span<const std::uint8_t> File;
  std::vector<std::uint8_t> Owned;  // the bytes File points at, when handed across threads
  TPhotoStamp Stamp;
  TExifPlacement Exif;
  std::exception_ptr Exception;
};

// How a decoder reads a record of the open .ithmb file: straight from the
// facade, or under a lock when decoders run side by side (the facade has one
// open file and one position, and the platform is used from one thread at a
// time). Known(record) names the record and answers whether the photo is in
// the destination already, in which case the decoder stops there.
class TRecordReader {
public:
  TRecordReader(TIpodPhotoDb& db, std::mutex* lock) : db_(db), lock_(lock) {}
  bool operator()(std::size_t size, TMemoryStream& stream, std::uint64_t offset) const {
    if (!lock_) return db_.Device.ReadThumbRecord(size, stream, offset);
    std::lock_guard guard(*lock_);
    return db_.Device.ReadThumbRecord(size, stream, offset);
  }
  bool Known(const TPhotoItem& photo, std::span<const std::uint8_t> record, TPhotoStamp& stamp) const {
    if (!db_.StampExports) return false;
    stamp.Id = ContentIdentifier(record, static_cast<std::uint32_t>(db_.ExportFormat.FormatId));
    const std::string name = std::to_string(photo.Id) + ".jpg";
    if (!lock_) {
      stamp.FoundAt = db_.FindPhotoById(name, stamp.Id);
    } else {
      std::lock_guard guard(*lock_);
      stamp.FoundAt = db_.FindPhotoById(name, stamp.Id);
    }
    return !stamp.FoundAt.empty();
  }

private:
  TIpodPhotoDb& db_;
  std::mutex* lock_;
};

namespace {

// The decoded file of a photo with its EXIF block: the library's dates and
// the record's identifier. Bytes that are no JPEG (a stored record that is
// something else) are written as they are.
void StampPhoto(const TIpodPhotoDb& db, const TPhotoItem& photo, TExportEvent& event,
                std::vector<std::uint8_t>& buffer) {
  if (!db.StampExports) return;
  TExifFields fields;
  fields.Original = photo.WallCreated();
  fields.Digitized = photo.WallDigitized();
  fields.ImageUniqueId = event.Stamp.Id;
  if (WriteJpegExif(event.File, fields, buffer, &event.Exif)) event.File = buffer;
}

}  // namespace

// The shared state of a run with decoders on other threads. The walker
// issues a number to each event in the run's order and hands the photos to
// the decoders; the writer takes the events back in that order. At most
// kDepth events are out ahead of the writer, so memory stays bounded.
class TExportPipeline {
public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  // Walker: the number of the next event, once there is room; kNone when
  // the writer stopped.
  std::size_t Issue() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return cancelled_ || issued_ - consumed_ < kDepth; });
    return cancelled_ ? kNone : issued_++;
  }
  // Walker: a photo for the decoders.
  void AddTask(std::size_t seq, const TPhotoItem& photo) {
    std::lock_guard lock(mutex_);
    tasks_.push_back({seq, &photo});
    changed_.notify_all();
  }
  // Decoders: the next photo, or nothing once the walk ended or the writer
  // stopped. Busy from here until Post.
  bool TakeTask(std::size_t& seq, const TPhotoItem*& photo) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return cancelled_ || walked_ || !tasks_.empty(); });
    if (cancelled_ || tasks_.empty()) return false;
    seq = tasks_.front().first;
    photo = tasks_.front().second;
    tasks_.pop_front();
    ++busy_;
    return true;
  }
  // Walker or decoder: the event of a number.
  void Post(std::size_t seq, TExportEvent&& event, bool fromDecoder) {
    std::lock_guard lock(mutex_);
    if (fromDecoder) --busy_;
    if (!cancelled_) results_.emplace(seq, std::move(event));
    changed_.notify_all();
  }
  // Walker: no more events.
  void EndWalk() {
    std::lock_guard lock(mutex_);
    walked_ = true;
    changed_.notify_all();
  }
  // Writer: the next event in order; nothing once every event was taken.
  std::optional<TExportEvent> Next() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return results_.count(next_) || (walked_ && next_ == issued_); });
    const auto it = results_.find(next_);
    if (it == results_.end()) return std::nullopt;
    TExportEvent event = std::move(it->second);
    results_.erase(it);
    ++next_;
    return event;
  }
  // Writer: dealt with one more event and goes on.
  void Consumed() {
    std::lock_guard lock(mutex_);
    ++consumed_;
    changed_.notify_all();
  }
  // Walker: waits until the writer went past every event so far; false when
  // it stopped instead.
  bool WaitConsumed() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return cancelled_ || consumed_ == issued_; });
    return !cancelled_;
  }
  // Walker: waits until no decoder reads or holds a photo of the open file.
  void WaitDecodersIdle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return busy_ == 0 && (cancelled_ || tasks_.empty()); });
  }
  // Writer: stops the run; what was decoded ahead is dropped.
  void Cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    tasks_.clear();
    results_.clear();
    changed_.notify_all();
  }
  bool Cancelled() {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }

private:
  static constexpr std::size_t kDepth = 4;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<std::size_t, const TPhotoItem*>> tasks_;
  std::map<std::size_t, TExportEvent> results_;
  std::size_t issued_ = 0, next_ = 0, consumed_ = 0;
  int busy_ = 0;
  bool walked_ = false;
  bool cancelled_ = false;
};

// The file loop common to the five exporters: the files that photos lie in,
// in ascending number, each file's selected photos in list order, the
// publication of each decoded photo, the notifications, the error lines and
// the stop and error limits. Lives on the transfer thread for one run.
//
// With PipelinedExport, the photos are read, decoded and encoded by one
// decoder per core on threads of their own, ahead of the writing on the
// transfer thread (reads take turns on the open file): the files written,
// their order, the notifications and the log lines are those of the
// one-thread run. A stop ends the run after the photo that noticed it, with
// the photos decoded ahead dropped unwritten, and a later .ithmb file is
// opened only once the writer has gone past every photo of the one before.
class TExportRun {
public:
  // decodes: whether the exporter has decoding worth threads of its own
  // (stored JPEG records are only read and written, and the smallest
  // pictures are encoded in about the time their files take to write).
  TExportRun(TIpodPhotoDb& db, std::string_view tag, bool decodes = true)
      : db_(db), tag_(tag), pipelined_(decodes && db.PipelinedExport) {}

  // makeDecoder(read) answers a decoder with state of its own; decoder(photo,
  // file) reads the photo's record through read, converts it, points file at
  // the bytes of its .jpg and answers 0, or the error code of the item.
  template <typename TMakeDecoder>
  int Run(TMakeDecoder&& makeDecoder) {
    Files();
    const TDestNames names(db_);
    if (!pipelined_) {
      auto decode = makeDecoder(TRecordReader(db_, nullptr));
      RunOnThisThread(decode);
    } else {
      RunPipelined(makeDecoder);
    }
    return written_;
  }

private:
  // The destination's names for the length of the run; none where the
  // run does not look for photos by their identifiers.
  class TDestNames {
  public:
    explicit TDestNames(TIpodPhotoDb& db) : db_(db) {
      if (!db.StampExports) return;
      auto& names = db.dest_names_.emplace();
      for (const TDirEntry& entry : db.Device.Platform().ListDirectory(db.DestFolder)) {
        if (!entry.IsDirectory) names.insert(entry.Name);
      }
    }
    ~TDestNames() { db_.dest_names_.reset(); }
    TDestNames(const TDestNames&) = delete;
    TDestNames& operator=(const TDestNames&) = delete;

  private:
    TIpodPhotoDb& db_;
  };

  // The .ithmb files to open: every file of the export format that a photo
  // of the library lies in, so that a missing one is logged whatever is
  // selected. Taken from the photos, not counted up to FileCount: a hostile
  // count cannot make the loop try billions of files.
  void Files() {
    for (std::size_t i = 0; i < db_.Photos.Count(); ++i) {
      const TPhotoItem& photo = db_.Photos.Items(i);
      if (photo.FileNumber >= 1 && photo.FileNumber <= db_.ExportFormat.FileCount) {
        files_.push_back(photo.FileNumber);
      }
    }
    std::sort(files_.begin(), files_.end());
    files_.erase(std::unique(files_.begin(), files_.end()), files_.end());
  }

  std::string Number(std::int32_t n) const {
    return std::to_string(db_.ExportFormat.FormatId) + "_" + std::to_string(n);
  }

  bool OpenFile(std::int32_t n) {
    // Built piecewise: GCC 12 sees a false overlap in "F" + std::string.
    std::string name = "F";
    name += Number(n);
    return db_.Device.OpenThumbFile(
        name, static_cast<std::size_t>(std::max(db_.ExportFormat.SlotBytes, 0)));
  }

  TExportEvent OpenFailed(std::int32_t n) const {
    TExportEvent event;
    event.OpenFailed = true;
    event.Number = Number(n);
    event.Messages = db_.Device.CopyMessages();
    return event;
  }

  template <typename TDecode>
  void RunOnThisThread(TDecode& decode) {
    for (const std::int32_t n : files_) {
      if (!OpenFile(n)) {
        TExportEvent event = OpenFailed(n);
        Consume(event);
        continue;
      }
      for (std::size_t i = 0; i < db_.Photos.Count(); ++i) {
        const TPhotoItem& photo = db_.Photos.Items(i);
        if (photo.Selected && photo.FileNumber == n) {
          TExportEvent event;
          event.Photo = &photo;
          event.Error = decode(photo, event.File, event.Stamp);
          if (event.Error == 0) {
            StampPhoto(db_, photo, event, stamped_);
          } else {
            event.File = {};
          }
          Consume(event);
        }
        if (db_.StopRequested || aborted_) break;
      }
      db_.Device.CloseThumbFile();
      if (db_.StopRequested || aborted_) break;
    }
  }

  template <typename TMakeDecoder>
  void RunPipelined(TMakeDecoder& makeDecoder) {
    TExportPipeline pipe;
    std::mutex readLock;
    std::vector<std::thread> decoders;
    const unsigned count = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    for (unsigned d = 0; d < count; ++d) {
      decoders.emplace_back([&] {
        std::size_t seq = 0;
        const TPhotoItem* photo = nullptr;
        auto decode = makeDecoder(TRecordReader(db_, &readLock));
        while (pipe.TakeTask(seq, photo)) {
          TExportEvent event;
          event.Photo = photo;
          try {
            event.Error = decode(*photo, event.File, event.Stamp);
            if (event.Error == 0) {
              StampPhoto(db_, *photo, event, event.Owned);
              if (event.File.data() != event.Owned.data()) event.Owned.assign(event.File.begin(), event.File.end());
              event.File = event.Owned;
            } else {
              event.File = {};
            }
          } catch (...) {
            event.Exception = std::current_exception();
          }
          pipe.Post(seq, std::move(event), true);
        }
      });
    }
    std::thread walker([&] {
      try {
        Walk(pipe);
      } catch (...) {
        TExportEvent failure;
        failure.Exception = std::current_exception();
        const std::size_t seq = pipe.Issue();
        if (seq != TExportPipeline::kNone) pipe.Post(seq, std::move(failure), false);
      }
      pipe.EndWalk();
    });

    std::exception_ptr exception;
    try {
      while (std::optional<TExportEvent> event = pipe.Next()) {
        if (event->Exception) {
          exception = event->Exception;
          break;
        }
        Consume(*event);
        if (db_.StopRequested || aborted_) break;
        pipe.Consumed();
      }
    } catch (...) {
      exception = std::current_exception();
    }
    pipe.Cancel();
    walker.join();
    for (std::thread& decoder : decoders) decoder.join();
    if (exception) std::rethrow_exception(exception);
  }

  // The walker's loop: the order of the one-thread run, each photo numbered
  // and handed to the decoders; each file closed once no decoder reads it.
  void Walk(TExportPipeline& pipe) {
    for (std::size_t f = 0; f < files_.size(); ++f) {
      if (f > 0 && !pipe.WaitConsumed()) return;
      const std::int32_t n = files_[f];
      if (!OpenFile(n)) {
        const std::size_t seq = pipe.Issue();
        if (seq == TExportPipeline::kNone) return;
        pipe.Post(seq, OpenFailed(n), false);
        continue;
      }
      for (std::size_t i = 0; i < db_.Photos.Count() && !pipe.Cancelled(); ++i) {
        const TPhotoItem& photo = db_.Photos.Items(i);
        if (!photo.Selected || photo.FileNumber != n) continue;
        const std::size_t seq = pipe.Issue();
        if (seq == TExportPipeline::kNone) break;
        pipe.AddTask(seq, photo);
      }
      pipe.WaitDecodersIdle();
      db_.Device.CloseThumbFile();
      if (pipe.Cancelled()) return;
    }
  }

  void Consume(TExportEvent& event) {
    if (event.OpenFailed) {
      db_.AddLog("Cannot open " + std::string(tag_) + " DB: " + event.Number);
      db_.AddLog(event.Messages);
      return;
    }
    const TPhotoItem& photo = *event.Photo;
    const std::string name = std::to_string(photo.Id) + ".jpg";
    int error = event.Error;
    std::string pcFile;
    TItemOutcome outcome = TItemOutcome::Failed;
    if (error == kKnownPhoto) {
      error = 0;
      pcFile = event.Stamp.FoundAt;
      outcome = TItemOutcome::AlreadyThere;
    } else if (error == 0) {
      // A photo manager sorts by the file's time as well as by EXIF.
      TWriteOptions options;
      if (const std::int64_t created = photo.WallCreated(); created != 0 && db_.StampExports)
        options.Modified = WallClockAsLocalTime(created);
      outcome = db_.PublishPhoto(name, event.File, event.Stamp.Id, event.Exif, options, pcFile, error);
    }

    if (outcome == TItemOutcome::Written) ++written_;
    if (outcome == TItemOutcome::Failed) {
      pcFile.clear();
      db_.AddLog(name + ": Error " + std::to_string(error));
    }
    db_.ReportItem(name, outcome, pcFile);
    if (db_.OnTransferFile) db_.OnTransferFile(name);
    if (outcome == TItemOutcome::Failed && ++errors_ > kMaxErrors) {
      db_.AddLog("Too many error, transfer abort.");
      aborted_ = true;
    }
  }

  TIpodPhotoDb& db_;
  std::string_view tag_;
  const bool pipelined_;
  std::vector<std::int32_t> files_;
  std::vector<std::uint8_t> stamped_;  // the one-thread run's stamped file
  int written_ = 0;
  int errors_ = 0;
  bool aborted_ = false;
};

namespace {

// The record size an exporter with a working buffer reads: the stored slot,
// cut to the buffer. Zero for a slot size that cannot hold a record.
std::size_t SlotCutToBuffer(std::int32_t slotBytes, std::size_t buffer) {
  if (slotBytes <= 0) return 0;
  return std::min(static_cast<std::size_t>(slotBytes), buffer);
}

// The 16-bit record a prepared bitmap header describes, when it is one the
// planes path takes as it stands: rows top to bottom, 5-6-5 or 5-5-5 masks.
// The planes path must read the record exactly as the bitmap reader would.
struct TRgb16Header {
  int Width = 0;
  int Height = 0;
  bool Green6 = true;
};

std::optional<TRgb16Header> PlainRgb16Header(const std::array<std::uint8_t, 66>& header) {
  auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(header[at]) |
           (static_cast<std::uint32_t>(header[at + 1]) << 8) |
           (static_cast<std::uint32_t>(header[at + 2]) << 16) |
           (static_cast<std::uint32_t>(header[at + 3]) << 24);
  };
  const auto width = static_cast<std::int32_t>(u32(18));
  const auto height = static_cast<std::int32_t>(u32(22));
  const std::uint32_t bits = header[28] | (std::uint32_t{header[29]} << 8);
  if (header[0] != 'B' || header[1] != 'M' || u32(10) != 66 || u32(14) != 40 || bits != 16 ||
      u32(30) != 3 || width <= 0 || height >= 0 || height == INT32_MIN) {
    return std::nullopt;
  }
  const std::uint32_t red = u32(54), green = u32(58), blue = u32(62);
  if (blue != 0x001F) return std::nullopt;
  if (red == 0xF800 && green == 0x07E0) return TRgb16Header{width, -height, true};
  if (red == 0x7C00 && green == 0x03E0) return TRgb16Header{width, -height, false};
  return std::nullopt;
}

// A decoded bitmap as JPEG, through the encoder's planes where that path
// runs and the size allows (the same bytes either way).
bool EncodeBitmap(const TBitmap24& bitmap, TYccPicture& ycc, std::vector<std::uint8_t>& jpeg) {
  if (BitmapToYcc(bitmap, ycc)) return EncodeJpeg(ycc, kJpegQuality, jpeg);
  return EncodeJpeg(bitmap, kJpegQuality, jpeg);
}

// Whether a file of the destination holds the photo: its identifier when
// it has one (any program may have re-saved it), its bytes otherwise,
// taken with and without the EXIF block (files of versions before the
// block were the picture alone).
// A file naming the photo is the photo only while whole: a copy cut short
// (a full disk, another program's crash) has lost its end-of-image mark.
bool EndsWhole(std::span<const std::uint8_t> file) {
  std::size_t end = file.size();
  while (end > 0 && file[end - 1] == 0) --end;  // some writers pad the end
  return end >= 2 && file[end - 2] == 0xFF && file[end - 1] == 0xD9;
}

bool SamePhoto(std::span<const std::uint8_t> existing, std::span<const std::uint8_t> bytes,
               const std::string& id, const TExifPlacement& exif) {
  const std::string existingId = ReadJpegImageUniqueId(existing);
  if (!existingId.empty()) return existingId == id && EndsWhole(existing);
  if (std::equal(existing.begin(), existing.end(), bytes.begin(), bytes.end())) return true;
  if (exif.Size == 0 || exif.Offset + exif.Size > bytes.size() ||
      existing.size() != bytes.size() - exif.Size) {
    return false;
  }
  return std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(exif.Offset),
                    existing.begin()) &&
         std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(exif.Offset + exif.Size), bytes.end(),
                    existing.begin() + static_cast<std::ptrdiff_t>(exif.Offset));
}

}  // namespace

TItemOutcome TIpodPhotoDb::PublishPhoto(const std::string& name,
                                        std::span<const std::uint8_t> bytes, const std::string& id,
                                        const TExifPlacement& exif, const TWriteOptions& options,
                                        std::string& written, int& error) {
  // Photo ids restart with every library: a file of the same name may be
  // another device's photo, and never counts as this one.
  std::vector<std::uint8_t> existing;
  std::string candidate = name;
  for (int k = 1; k <= kMaxNameCandidates; ++k) {
    const std::string path = DestFolder + candidate;
    // The write itself is the test for the name: it refuses a name in use
    // as a name in use, and the usual case (a new name) costs no extra look-up.
    const int rc = Device.WritePcFileNoOverwrite(path, bytes, options);
    if (rc == 0) {
      written = path;
      return TItemOutcome::Written;
    }
    if (rc != kErrorNameTaken) {
      error = rc;
      return TItemOutcome::Failed;
    }
    if (Device.ReadPcFile(path, existing) == 0 && SamePhoto(existing, bytes, id, exif)) {
      written = path;
      return TItemOutcome::AlreadyThere;
    }
    candidate = std::to_string(k) + "_" + candidate;
  }
  error = kErrorNameTaken;
  return TItemOutcome::Failed;
}

std::string TIpodPhotoDb::FindPhotoById(const std::string& name, const std::string& id) {
  std::vector<std::uint8_t> existing;
  std::string candidate = name;
  for (int k = 1; k <= kMaxNameCandidates; ++k) {
    if (dest_names_ && !dest_names_->contains(candidate)) return {};
    const std::string path = DestFolder + candidate;
    // A free name ends the series; a file without an identifier can only
    // be compared by its bytes, after decoding.
    if (!Device.PcFileExists(path) || Device.ReadPcFile(path, existing) != 0) return {};
    const std::string existingId = ReadJpegImageUniqueId(existing);
    if (existingId.empty()) return {};
    if (existingId == id) return EndsWhole(existing) ? path : std::string();
    candidate = std::to_string(k) + "_" + candidate;
  }
  return {};
}

// Each exporter hands the run a maker of decoders: a decoder keeps its own
// buffers, so that decoders can run side by side.

int TIpodPhotoDb::ExportRgb() {
  TExportRun run(*this, "RGB");
  return run.Run([this](TRecordReader read) {
    return [this, read, stream = TMemoryStream(), bitmap = TBitmap24(), ycc = TYccPicture(),
            jpeg = std::vector<std::uint8_t>()](const TPhotoItem& photo,
                                                std::span<const std::uint8_t>& file,
                                                TPhotoStamp& stamp) mutable {
      if (ExportFormat.SlotBytes <= 0 ||
          static_cast<std::uint32_t>(ExportFormat.SlotBytes) > kMaxRecordBytes) {
        return kUndecodable;
      }
      stream.Clear();
      stream.Write(BitmapHeader.data(), BitmapHeader.size());
      if (!read(static_cast<std::size_t>(ExportFormat.SlotBytes), stream, photo.ImageOffset)) {
        return kReadError;
      }
      if (read.Known(photo, stream.Bytes().subspan(BitmapHeader.size()), stamp)) return kKnownPhoto;
      if (const auto plain = PlainRgb16Header(BitmapHeader);
          plain && Rgb16RecordToYcc(stream.Bytes().subspan(BitmapHeader.size()), plain->Width,
                                    plain->Height, plain->Green6, false, ycc)) {
        if (!EncodeJpeg(ycc, kJpegQuality, jpeg)) return kUndecodable;
      } else if (!LoadBitmapFile(stream.Bytes(), bitmap) || !EncodeBitmap(bitmap, ycc, jpeg)) {
        return kUndecodable;
      }
      file = jpeg;
      return 0;
    };
  });
}

int TIpodPhotoDb::ExportSwappedRgb() {
  // A 176 x 132 photo decodes and encodes in about the time its file takes
  // to write: handing it between threads costs more than it saves.
  TExportRun run(*this, "nRGB", false);
  return run.Run([this](TRecordReader read) {
    return [this, read, stream = TMemoryStream(), bitmap = TBitmap24(), ycc = TYccPicture(),
            jpeg = std::vector<std::uint8_t>()](const TPhotoItem& photo,
                                                std::span<const std::uint8_t>& file,
                                                TPhotoStamp& stamp) mutable {
      // A slot larger than a 176 x 132 picture is cut to it; a smaller one
      // leaves the rows it does not hold black.
      const std::size_t size = SlotCutToBuffer(ExportFormat.SlotBytes, kSwappedBytes);
      if (size == 0) return kUndecodable;
      stream.Clear();
      stream.Write(BitmapHeader.data(), BitmapHeader.size());
      if (!read(size, stream, photo.ImageOffset) || stream.Size() < BitmapHeader.size() + size) {
        return kReadError;
      }
      if (read.Known(photo, stream.Bytes().subspan(BitmapHeader.size(), size), stamp)) return kKnownPhoto;
      // A whole record of a plain layout goes straight into the planes, its
      // bytes swapped on the way.
      if (const auto plain = PlainRgb16Header(BitmapHeader);
          plain && Rgb16RecordToYcc(stream.Bytes().subspan(BitmapHeader.size(), size), plain->Width,
                                    plain->Height, plain->Green6, true, ycc)) {
        if (!EncodeJpeg(ycc, kJpegQuality, jpeg)) return kUndecodable;
        file = jpeg;
        return 0;
      }
      // The record follows the header in the stream and is turned to low
      // byte first where it lies. An odd last byte belongs to no whole
      // pixel, and the bitmap reader passes over it.
      std::uint8_t* pixels = stream.MutableBytes().data() + BitmapHeader.size();
      for (std::size_t i = 0; i + 1 < size; i += 2) {
        std::uint16_t unit;
        std::memcpy(&unit, pixels + i, 2);
        unit = static_cast<std::uint16_t>((unit >> 8) | (unit << 8));
        std::memcpy(pixels + i, &unit, 2);
      }
      if (!LoadBitmapFile(stream.Bytes(), bitmap) || !EncodeBitmap(bitmap, ycc, jpeg)) {
        return kUndecodable;
      }
      file = jpeg;
      return 0;
    };
  });
}

int TIpodPhotoDb::ExportInterlacedUyvy() {
  TExportRun run(*this, "uYUV");
  return run.Run([](TRecordReader read) {
    return [read, stream = TMemoryStream(), out = TBitmap24(), ycc = TYccPicture(),
            jpeg = std::vector<std::uint8_t>()](const TPhotoItem& photo,
                                                std::span<const std::uint8_t>& file,
                                                TPhotoStamp& stamp) mutable {
      // The record size of this layout, whatever the slot size says.
      stream.Clear();
      if (!read(kInterlacedBytes, stream, photo.ImageOffset) || stream.Size() < kInterlacedBytes) {
        return kReadError;
      }
      if (read.Known(photo, stream.Bytes().first(kInterlacedBytes), stamp)) return kKnownPhoto;
      // Even lines first, then odd lines; 704 kept columns resampled to 640.
      const std::span<const std::uint8_t, kInterlacedRecordBytes> record(stream.Bytes().data(),
                                                                         kInterlacedRecordBytes);
      if (InterlacedRecordToYcc(record, ycc)) {
        if (!EncodeJpeg(ycc, kJpegQuality, jpeg)) return kUndecodable;
      } else {
        InterlacedRecordToBitmap(record, out);
        if (!EncodeJpeg(out, kJpegQuality, jpeg)) return kUndecodable;
      }
      file = jpeg;
      return 0;
    };
  });
}

int TIpodPhotoDb::ExportPlanarYuv() {
  TExportRun run(*this, "Yuv");
  return run.Run([this](TRecordReader read) {
    return [this, read, stream = TMemoryStream(), bitmap = TBitmap24(), ycc = TYccPicture(),
            jpeg = std::vector<std::uint8_t>(), buffer = std::vector<std::uint8_t>()](
               const TPhotoItem& photo, std::span<const std::uint8_t>& file,
               TPhotoStamp& stamp) mutable {
      const std::size_t size = SlotCutToBuffer(ExportFormat.SlotBytes, kPlanarBufferBytes);
      if (size == 0) return kUndecodable;
      stream.Clear();
      if (!read(size, stream, photo.ImageOffset) || stream.Size() < size) return kReadError;
      if (read.Known(photo, stream.Bytes().first(size), stamp)) return kKnownPhoto;
      // A whole record is converted where it was read. A short slot goes
      // through the buffer: every photo of the decoder fills the same first
      // bytes, so the rest stays zero, never another photo's pixels.
      std::span<const std::uint8_t> record = stream.Bytes().first(size);
      if (size < kPlanarRecordBytes) {
        if (buffer.empty()) buffer.resize(kPlanarBufferBytes);
        std::memcpy(buffer.data(), stream.Bytes().data(), size);
        record = buffer;
      }
      if (PlanarYuvToYcc(record, ycc)) {
        if (!EncodeJpeg(ycc, kJpegQuality, jpeg)) return kUndecodable;
      } else if (!PlanarYuvToBitmap(record, bitmap) || !EncodeJpeg(bitmap, kJpegQuality, jpeg)) {
        return kUndecodable;
      }
      file = jpeg;
      return 0;
    };
  });
}

int TIpodPhotoDb::ExportJpegRecords() {
  TExportRun run(*this, "Jpg", false);
  return run.Run([](TRecordReader read) {
    return [read, stream = TMemoryStream()](const TPhotoItem& photo,
                                            std::span<const std::uint8_t>& file,
                                            TPhotoStamp& stamp) mutable {
      // The stored file is written as it is; a size of 0 or of more than any
      // photo needs is a broken reference, not a reason to allocate it.
      if (photo.ImageSize == 0 || photo.ImageSize > kMaxRecordBytes) return kUndecodable;
      stream.Clear();
      if (!read(photo.ImageSize, stream, photo.ImageOffset) || stream.Size() != photo.ImageSize) {
        return kReadError;
      }
      if (read.Known(photo, stream.Bytes(), stamp)) return kKnownPhoto;
      file = stream.Bytes();
      return 0;
    };
  });
}

}  // namespace quill
