#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "library/ipod_photo_db.h"
#include "library/yuv.h"
#include "support/bitmap.h"
#include "support/picture.h"

namespace quill {

namespace {

constexpr int kJpegQuality = 80;
// More failed photos than this end an exporter run.
constexpr int kMaxErrors = 30;
// Candidates of the series <id>.jpg, 1_<id>.jpg, 2_1_<id>.jpg ... tried
// before a photo is given up.
constexpr int kMaxNameCandidates = 1000;

// Item error codes of our own, next to the platform's write errors.
constexpr int kReadError = EIO;
constexpr int kUndecodable = EINVAL;

constexpr std::size_t kSwappedBytes = 176 * 132 * 2;
constexpr std::size_t kInterlacedBytes = 720 * 480 * 2;
constexpr std::size_t kPlanarBufferBytes = 691200;
// A stored JPEG (or RGB record) larger than this is taken for a broken size.
constexpr std::uint32_t kMaxRecordBytes = 64u << 20;

}  // namespace

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
  std::exception_ptr Exception;
};

// A queue of two events between the decoding thread and the writing one: the
// decoder runs at most two photos ahead, so memory stays bounded.
class TExportQueue {
public:
  // False once cancelled (the event is dropped).
  bool Push(TExportEvent&& event) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return cancelled_ || items_.size() < kDepth; });
    if (cancelled_) return false;
    ++pushed_;
    items_.push_back(std::move(event));
    changed_.notify_all();
    return true;
  }
  // Empty once the decoder has closed the queue and everything was taken.
  std::optional<TExportEvent> Pop() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return closed_ || !items_.empty(); });
    if (items_.empty()) return std::nullopt;
    TExportEvent event = std::move(items_.front());
    items_.pop_front();
    changed_.notify_all();
    return event;
  }
  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }
  void Cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    items_.clear();
    changed_.notify_all();
  }
  bool Cancelled() {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }
  // The writer has dealt with one more event and goes on.
  void Consumed() {
    std::lock_guard lock(mutex_);
    ++consumed_;
    changed_.notify_all();
  }
  // Waits until the writer has dealt with every event pushed; false when it
  // stopped instead.
  bool WaitConsumed() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return cancelled_ || consumed_ == pushed_; });
    return !cancelled_;
  }

private:
  static constexpr std::size_t kDepth = 2;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<TExportEvent> items_;
  bool closed_ = false;
  bool cancelled_ = false;
  std::size_t pushed_ = 0;
  std::size_t consumed_ = 0;
};

// The file loop common to the five exporters: the files that hold a selected
// photo in ascending number, each file's selected photos in list order, the
// publication of each decoded photo, the notifications, the error lines and
// the stop and error limits. Lives on the transfer thread for one run.
//
// With PipelinedExport, reading, decoding and encoding run on a thread of
// their own, ahead of the writing on the transfer thread: the files written,
// their order, the notifications and the log lines are those of the
// one-thread run, and a stop ends the run after the photo that noticed it,
// with the photos decoded ahead dropped unwritten.
class TExportRun {
public:
  // decodes: whether the exporter has decoding worth a thread of its own
  // (stored JPEG records are only read and written).
  TExportRun(TIpodPhotoDb& db, std::string_view tag, bool decodes = true)
      : db_(db), tag_(tag), pipelined_(decodes && db.PipelinedExport) {}

  // decode(photo, file) reads and converts the photo's record, points file at
  // the bytes of its .jpg and answers 0, or the error code of the item.
  template <typename TDecode>
  int Run(TDecode&& decode) {
    if (!pipelined_) {
      const auto goOn = [this] { return !(db_.StopRequested || aborted_); };
      Walk(decode, goOn, goOn, [this](TExportEvent&& event) {
        Consume(event);
        return true;
      });
      return written_;
    }

    TExportQueue queue;
    std::thread decoder([&] {
      try {
        // A later .ithmb file is opened only once the writer has gone past
        // every photo of the one before: a stop leaves it unopened, as in
        // the one-thread run.
        Walk(decode, [&] { return !queue.Cancelled(); }, [&] { return queue.WaitConsumed(); },
             [&](TExportEvent&& event) {
               if (!event.File.empty()) {
                 event.Owned.assign(event.File.begin(), event.File.end());
                 event.File = event.Owned;
               }
               db_.WorkStream.Clear();
               return queue.Push(std::move(event));
             });
      } catch (...) {
        TExportEvent failure;
        failure.Exception = std::current_exception();
        queue.Push(std::move(failure));
      }
      queue.Close();
    });
    std::exception_ptr exception;
    try {
      while (std::optional<TExportEvent> event = queue.Pop()) {
        if (event->Exception) {
          exception = event->Exception;
          break;
        }
        Consume(*event);
        if (db_.StopRequested || aborted_) break;
        queue.Consumed();
      }
    } catch (...) {
      exception = std::current_exception();
    }
    // The photos decoded ahead are dropped; the decoder closes its file.
    queue.Cancel();
    decoder.join();
    if (exception) std::rethrow_exception(exception);
    return written_;
  }

private:
  // The records of the selected photos in the run's order, decoded and handed
  // to sink; goOn is asked after each photo, as the stop rule needs, and
  // nextFile before each .ithmb file after the first.
  template <typename TDecode, typename TGoOn, typename TNextFile, typename TSink>
  void Walk(TDecode& decode, TGoOn&& goOn, TNextFile&& nextFile, TSink&& sink) {
    const TPhotoInfo& format = db_.ExportFormat;
    // Only the files that hold a selected photo are opened: a hostile file
    // number cannot make the loop try billions of files.
    std::vector<std::int32_t> files;
    for (std::size_t i = 0; i < db_.Photos.Count(); ++i) {
      const TPhotoItem& photo = db_.Photos.Items(i);
      if (photo.Selected && photo.FileNumber >= 1 && photo.FileNumber <= format.FileCount) {
        files.push_back(photo.FileNumber);
      }
    }
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());

    const std::string id = std::to_string(format.FormatId);
    for (const std::int32_t n : files) {
      if (n != files.front() && !nextFile()) return;
      const std::string number = id + "_" + std::to_string(n);
      if (!db_.Device.OpenThumbFile("F" + number,
                                    static_cast<std::size_t>(std::max(format.SlotBytes, 0)))) {
        TExportEvent event;
        event.OpenFailed = true;
        event.Number = number;
        event.Messages = db_.Device.CopyMessages();
        if (!sink(std::move(event))) return;
        continue;
      }
      bool go = true;
      for (std::size_t i = 0; i < db_.Photos.Count() && go; ++i) {
        const TPhotoItem& photo = db_.Photos.Items(i);
        if (photo.Selected && photo.FileNumber == n) {
          TExportEvent event;
          event.Photo = &photo;
          event.Error = decode(photo, event.File);
          if (event.Error != 0) event.File = {};
          go = sink(std::move(event));
        }
        go = go && goOn();
      }
      db_.Device.CloseThumbFile();
      if (!go) return;
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
    if (error == 0) outcome = db_.PublishPhoto(name, event.File, pcFile, error);
    if (!pipelined_) db_.WorkStream.Clear();

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

bool SameFileBytes(TIpodDevice& device, const std::string& path,
                   std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& scratch) {
  if (device.ReadPcFile(path, scratch) != 0) return false;
  return std::equal(scratch.begin(), scratch.end(), bytes.begin(), bytes.end());
}

}  // namespace

TItemOutcome TIpodPhotoDb::PublishPhoto(const std::string& name,
                                        std::span<const std::uint8_t> bytes, std::string& written,
                                        int& error) {
  // Photo ids restart with every library: a file of the same name may be
  // another device's photo. Only the same bytes count as this photo.
  std::vector<std::uint8_t> existing;
  std::string candidate = name;
  for (int k = 1; k <= kMaxNameCandidates; ++k) {
    const std::string path = DestFolder + candidate;
    // The write itself is the test for the name: it refuses a name in use
    // with EEXIST, and the usual case (a new name) costs no extra look-up.
    const int rc = Device.WritePcFileNoOverwrite(path, bytes);
    if (rc == 0) {
      written = path;
      return TItemOutcome::Written;
    }
    if (rc != EEXIST) {
      error = rc;
      return TItemOutcome::Failed;
    }
    if (SameFileBytes(Device, path, bytes, existing)) {
      written = path;
      return TItemOutcome::AlreadyThere;
    }
    candidate = std::to_string(k) + "_" + candidate;
  }
  error = EEXIST;
  return TItemOutcome::Failed;
}

int TIpodPhotoDb::ExportRgb() {
  TBitmap24 bitmap;
  std::vector<std::uint8_t> jpeg;
  TExportRun run(*this, "RGB");
  return run.Run([&](const TPhotoItem& photo, std::span<const std::uint8_t>& file) {
    if (ExportFormat.SlotBytes <= 0 ||
        static_cast<std::uint32_t>(ExportFormat.SlotBytes) > kMaxRecordBytes) {
      return kUndecodable;
    }
    WorkStream.Clear();
    WorkStream.Write(BitmapHeader.data(), BitmapHeader.size());
    if (!Device.ReadThumbRecord(static_cast<std::size_t>(ExportFormat.SlotBytes), WorkStream,
                                photo.ImageOffset)) {
      return kReadError;
    }
    if (!LoadBitmapFile(WorkStream.Bytes(), bitmap) || !EncodeJpeg(bitmap, kJpegQuality, jpeg)) {
      return kUndecodable;
    }
    file = jpeg;
    return 0;
  });
}

int TIpodPhotoDb::ExportSwappedRgb() {
  TBitmap24 bitmap;
  std::vector<std::uint8_t> jpeg;
  TExportRun run(*this, "nRGB");
  return run.Run([&](const TPhotoItem& photo, std::span<const std::uint8_t>& file) {
    // A slot larger than a 176 x 132 picture is cut to it; a smaller one
    // leaves the rows it does not hold black.
    const std::size_t size = SlotCutToBuffer(ExportFormat.SlotBytes, kSwappedBytes);
    if (size == 0) return kUndecodable;
    WorkStream.Clear();
    WorkStream.Write(BitmapHeader.data(), BitmapHeader.size());
    if (!Device.ReadThumbRecord(size, WorkStream, photo.ImageOffset) ||
        WorkStream.Size() < BitmapHeader.size() + size) {
      return kReadError;
    }
    // The record follows the header in the stream and is turned to low byte
    // first where it lies. An odd last byte belongs to no whole pixel, and
    // the bitmap reader passes over it.
    std::uint8_t* pixels = WorkStream.Data().data() + BitmapHeader.size();
    for (std::size_t i = 0; i + 1 < size; i += 2) {
      std::uint16_t unit;
      std::memcpy(&unit, pixels + i, 2);
      unit = static_cast<std::uint16_t>((unit >> 8) | (unit << 8));
      std::memcpy(pixels + i, &unit, 2);
    }
    if (!LoadBitmapFile(WorkStream.Bytes(), bitmap) || !EncodeJpeg(bitmap, kJpegQuality, jpeg)) {
      return kUndecodable;
    }
    file = jpeg;
    return 0;
  });
}

int TIpodPhotoDb::ExportInterlacedUyvy() {
  TBitmap24 out(640, 480);
  std::vector<std::uint8_t> jpeg;
  TExportRun run(*this, "uYUV");
  return run.Run([&](const TPhotoItem& photo, std::span<const std::uint8_t>& file) {
    // The record size of this layout, whatever the slot size says.
    WorkStream.Clear();
    if (!Device.ReadThumbRecord(kInterlacedBytes, WorkStream, photo.ImageOffset) ||
        WorkStream.Size() < kInterlacedBytes) {
      return kReadError;
    }
    // Even lines first, then odd lines; 704 kept columns resampled to 640.
    InterlacedRecordToBitmap(
        std::span<const std::uint8_t, kInterlacedRecordBytes>(WorkStream.Bytes().data(),
                                                              kInterlacedRecordBytes),
        out);
    if (!EncodeJpeg(out, kJpegQuality, jpeg)) return kUndecodable;
    file = jpeg;
    return 0;
  });
}

int TIpodPhotoDb::ExportPlanarYuv() {
  TBitmap24 bitmap(720, 480);
  std::vector<std::uint8_t> jpeg;
  std::vector<std::uint8_t> buffer;
  TExportRun run(*this, "Yuv");
  return run.Run([&](const TPhotoItem& photo, std::span<const std::uint8_t>& file) {
    const std::size_t size = SlotCutToBuffer(ExportFormat.SlotBytes, kPlanarBufferBytes);
    if (size == 0) return kUndecodable;
    WorkStream.Clear();
    if (!Device.ReadThumbRecord(size, WorkStream, photo.ImageOffset) || WorkStream.Size() < size) {
      return kReadError;
    }
    // A whole record is converted where it was read. A short slot goes
    // through the buffer: every photo of the run fills the same first bytes,
    // so the rest stays zero, never another photo's pixels.
    if (size >= kPlanarRecordBytes) {
      if (!PlanarYuvToBitmap(WorkStream.Bytes().first(size), bitmap)) return kUndecodable;
    } else {
      if (buffer.empty()) buffer.resize(kPlanarBufferBytes);
      std::memcpy(buffer.data(), WorkStream.Bytes().data(), size);
      if (!PlanarYuvToBitmap(buffer, bitmap)) return kUndecodable;
    }
    if (!EncodeJpeg(bitmap, kJpegQuality, jpeg)) return kUndecodable;
    file = jpeg;
    return 0;
  });
}

int TIpodPhotoDb::ExportJpegRecords() {
  TExportRun run(*this, "Jpg", false);
  return run.Run([&](const TPhotoItem& photo, std::span<const std::uint8_t>& file) {
    // The stored file is written as it is; a size of 0 or of more than any
    // photo needs is a broken reference, not a reason to allocate it.
    if (photo.ImageSize == 0 || photo.ImageSize > kMaxRecordBytes) return kUndecodable;
    WorkStream.Clear();
    if (!Device.ReadThumbRecord(photo.ImageSize, WorkStream, photo.ImageOffset) ||
        WorkStream.Size() != photo.ImageSize) {
      return kReadError;
    }
    file = WorkStream.Bytes();
    return 0;
  });
}

}  // namespace quill
