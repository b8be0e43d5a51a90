#include "library/heic_copies.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "support/exif.h"
#include "support/heic_jpeg.h"

namespace quill {

namespace {

std::string JpegNameOf(const std::string& heicName) {
  const std::size_t dot = heicName.rfind('.');
  return (dot == std::string::npos ? heicName : heicName.substr(0, dot)) + ".JPG";
}

}  // namespace

THeicConversions::THeicConversions(TIpodPhotoDb& db)
    : db_(db),
      threads_(db.PipelinedExport),
      // A 12-megapixel photo holds some 40 MB while it converts: a few at a
      // time keep the cores busy without holding a folder's worth.
      depth_(threads_ ? std::clamp<std::size_t>(std::thread::hardware_concurrency(), 2, 4) : 1) {}

THeicConversions::~THeicConversions() {
  for (TJob& job : jobs_)
    if (job.Work.valid()) job.Work.wait();
  if (!work_folder_.empty()) db_.Device.Platform().RemoveFolder(work_folder_);
}

bool THeicConversions::Converts(const std::string& name) const {
  return db_.HeicJpeg != THeicJpeg::No && IsHeicName(name);
}

bool THeicConversions::Instead(const std::string& name) const {
  return db_.HeicJpeg == THeicJpeg::Instead && IsHeicName(name);
}

THeicConversions::TJob THeicConversions::Conversion(const std::string& name, const std::string& file,
                                                    TReport report) const {
  TJob job;
  job.Report = std::move(report);
  job.Converts = true;
  job.Name = name;
  job.Modified = db_.Device.Platform().FileModified(file);
  return job;
}

void THeicConversions::Also(const std::string& name, const std::string& heicFile, TReport report) {
  TJob job = Conversion(name, heicFile, std::move(report));
  job.HeicFile = heicFile;
  std::vector<std::uint8_t> heic;
  if (const int rc = db_.Device.ReadPcFile(heicFile, heic); rc != 0)
    job.Reason = "cannot read the copy (Error " + std::to_string(rc) + ")";
  Push(std::move(job));
  Start(jobs_.back(), std::move(heic));
}

int THeicConversions::Instead(const std::string& name, const TCopy& copy, TReport report) {
  // The HEIC goes to the folder only if it stays the item's file: until the
  // conversion has shown that, it lies in a private working copy.
  const std::string folder = WorkFolder();
  if (folder.empty()) return kErrorAccessDenied;
  const std::string work =
      folder + db_.Device.PcSeparator() + std::to_string(++work_files_) + ".heic";
  const int rc = copy(work);
  if (rc != 0) {
    db_.Device.DeletePcFile(work);
    return rc;
  }
  TJob job = Conversion(name, work, std::move(report));
  job.Instead = true;
  std::vector<std::uint8_t> heic;
  const int read = db_.Device.ReadPcFile(work, heic);
  db_.Device.DeletePcFile(work);
  if (read != 0) return read;
  Push(std::move(job));
  Start(jobs_.back(), std::move(heic));
  return 0;
}

void THeicConversions::Then(TReport report) {
  TJob job;
  job.Report = std::move(report);
  Push(std::move(job));
  // Nothing waits ahead: the item is reported now.
  while (!jobs_.empty()) {
    TJob& front = jobs_.front();
    if (front.Work.valid() &&
        front.Work.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
      break;
    Complete(front);
    jobs_.pop_front();
  }
}

void THeicConversions::Finish() {
  while (!jobs_.empty()) {
    Complete(jobs_.front());
    jobs_.pop_front();
  }
}

void THeicConversions::Push(TJob job) {
  while (jobs_.size() >= depth_) {
    Complete(jobs_.front());
    jobs_.pop_front();
  }
  jobs_.push_back(std::move(job));
}

void THeicConversions::Start(TJob& job, std::vector<std::uint8_t> heic) {
  if (job.Reason.empty()) {
    job.Id = ContentIdentifier(heic, kHeicJpegFormat);
    // A rerun finds the JPEG by the identifier of the HEIC's bytes, without
    // decoding anything.
    job.Found = db_.FindPhotoById(JpegNameOf(job.Name), job.Id);
  }
  job.Heic = std::move(heic);
  if (!job.Found.empty() || !job.Reason.empty()) {
    if (!job.Instead) job.Heic.clear();
  } else {
    // The deque keeps its elements in place: the bytes stay where the
    // worker reads them until the job is completed.
    job.Work = std::async(threads_ ? std::launch::async : std::launch::deferred,
                          [bytes = std::span<const std::uint8_t>(job.Heic), id = job.Id] {
                            TConverted done;
                            done.Ok = ConvertHeicToJpeg(bytes, id, done.Jpeg, done.Exif, done.Reason);
                            return done;
                          });
  }
  if (!threads_) Finish();
}

void THeicConversions::Complete(TJob& job) {
  THeicEnd end;
  if (job.Converts) {
    TWriteOptions options;
    options.Modified = job.Modified;
    std::string written;
    int error = 0;
    TItemOutcome outcome = TItemOutcome::Failed;
    if (!job.Found.empty()) {
      outcome = TItemOutcome::AlreadyThere;
      written = job.Found;
    } else if (job.Reason.empty()) {
      TConverted done = job.Work.get();
      if (done.Ok) {
        outcome = db_.PublishPhoto(JpegNameOf(job.Name), done.Jpeg, job.Id, done.Exif, options,
                                   written, error);
        if (outcome == TItemOutcome::Failed) {
          job.Reason = "cannot write the JPEG file (Error " + std::to_string(error) + ")";
        }
      } else {
        job.Reason = done.Reason;
      }
    }
    if (outcome == TItemOutcome::Written && !job.Instead) db_.NoteWritten(written);
    end.Reason = job.Reason;
    if (job.Instead) {
      end.Replaced = true;
      if (outcome == TItemOutcome::Failed) {
        // Nothing is lost: the HEIC goes to the folder as it came.
        outcome = db_.PublishPhoto(job.Name, job.Heic, {}, {}, options, written, error);
      }
      end.Outcome = outcome;
      end.PcFile = outcome == TItemOutcome::Failed ? std::string() : written;
      end.Error = error;
    }
  }
  job.Heic = {};
  if (job.Report) job.Report(end);
}

std::string THeicConversions::WorkFolder() {
  if (work_folder_.empty()) work_folder_ = db_.Device.Platform().MakePrivateFolder("quillmere-heic-");
  return work_folder_;
}

}  // namespace quill
