#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "library/ipod_photo_db.h"

namespace quill {

// What became of an item once its JPEG (if any) is done.
struct THeicEnd {
  // Set when the item's outcome is not the one its copy gave: with
  // "instead", the JPEG (or, where the conversion failed, the HEIC) is the
  // item's file.
  bool Replaced = false;
  TItemOutcome Outcome = TItemOutcome::Failed;
  std::string PcFile;
  int Error = 0;
  // Why the conversion failed; empty when it did not.
  std::string Reason;
};

// The JPEG files of the HEIC photos of one transfer routine. Conversions run
// on worker threads beside the copying where the computer has more than one
// core, a few at a time so that memory stays bounded; every item's end is
// reported on the transfer thread in the order the items came, which is
// also the only thread that touches the files.
class THeicConversions {
public:
  using TReport = std::function<void(const THeicEnd&)>;
  using TCopy = std::function<int(const std::string& pcFile)>;

  explicit THeicConversions(TIpodPhotoDb& db);
  // Waits for the conversions still running and removes the private copies;
  // items not yet reported are not reported.
  ~THeicConversions();
  THeicConversions(const THeicConversions&) = delete;
  THeicConversions& operator=(const THeicConversions&) = delete;

  // Whether an item going to the computer as name is converted, and whether
  // its HEIC is then kept only where the conversion fails.
  bool Converts(const std::string& name) const;
  bool Instead(const std::string& name) const;

  // "also": the HEIC of the item lies at heicFile (written or already there).
  void Also(const std::string& name, const std::string& heicFile, TReport report);
  // "instead": copy(path) copies the device file to a private working copy;
  // 0 or copy's error (nothing is queued then and report is not called).
  int Instead(const std::string& name, const TCopy& copy, TReport report);
  // Any other item: reported after the items before it.
  void Then(TReport report);
  // Reports every item still waiting.
  void Finish();

private:
  struct TConverted {
    bool Ok = false;
    std::vector<std::uint8_t> Jpeg;
    TExifPlacement Exif;
    std::string Reason;
  };
  struct TJob {
    TReport Report;
    bool Converts = false;
    bool Instead = false;
    std::string Name;  // the HEIC's name on the computer
    std::string HeicFile;
    std::vector<std::uint8_t> Heic;  // instead: the working copy's bytes
    std::string Id;
    std::optional<std::int64_t> Modified;
    std::string Found;  // the JPEG already in the folder
    std::string Reason;  // a failure before any conversion
    std::future<TConverted> Work;
  };

  // A conversion job of the item name, with the file time of file.
  TJob Conversion(const std::string& name, const std::string& file, TReport report) const;
  void Push(TJob job);
  void Start(TJob& job, std::vector<std::uint8_t> heic);
  void Complete(TJob& job);
  std::string WorkFolder();

  TIpodPhotoDb& db_;
  const bool threads_;
  const std::size_t depth_;
  std::deque<TJob> jobs_;
  std::string work_folder_;
  int work_files_ = 0;
};

}  // namespace quill
