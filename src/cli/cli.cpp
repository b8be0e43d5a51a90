#include "cli/cli.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string_view>

#include "cli/json_writer.h"
#include "device/ipod_device.h"
#include "library/ipod_photo_db.h"
#include "support/heic_jpeg.h"
#include "library/photo_copy_thread.h"
#include "support/call_dispatcher.h"

namespace quill {
namespace {

constexpr int kIosCopyBufferMiB = 3;

constexpr std::string_view kUsage =
    "Usage:\n"
    "  quillmere-photo-cli list [--device DIR] [--wait SECONDS] [--json]\n"
    "  quillmere-photo-cli export [--device DIR] [--wait SECONDS] --to FOLDER\n"
    "                             (--all | --album N... | --photo ID... | --camera)\n"
    "                             [--heic-jpeg also|instead|no]\n"
    "  quillmere-photo-cli devices [--wait SECONDS]\n"
    "  quillmere-photo-cli --help | --version\n"
    "\n"
    "  list     prints the albums, the camera files and the stored formats\n"
    "  export   copies the selected photos into FOLDER\n"
    "  devices  waits for iOS devices and lists them\n"
    "  --device DIR   read the iPod (or the device's media folder) in DIR instead\n"
    "                 of looking for a connected iPod in disk mode or iOS device\n"
    "  --wait SECONDS how long to wait for an iOS device (default 3)\n"
    "  --json         print one JSON object instead of text\n"
    "  --all          every photo and every camera file\n"
    "  --album N...   the photos of the albums numbered N (as list shows them)\n"
    "  --photo ID...  the photos of these ids\n"
    "  --camera       every camera file\n"
    "  --heic-jpeg also|instead|no\n"
    "                 save each HEIC photo also (or only) as a JPEG file (default no)\n";

struct TOptions {
  std::string Command;
  std::string Device;
  bool HasDevice = false;
  bool Json = false;
  std::string To;
  bool All = false;
  bool Camera = false;
  std::vector<std::uint64_t> AlbumIndexes;
  std::vector<std::uint64_t> PhotoIds;
  std::uint64_t WaitSeconds = 3;
  THeicJpeg HeicJpeg = THeicJpeg::No;
};

bool ParseNumber(std::string_view text, std::uint64_t& value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Parses the arguments; on a usage error answers false with the reason.
bool ParseArgs(const std::vector<std::string>& args, TOptions& options, std::string& error) {
  if (args.empty()) {
    error = "no command given";
    return false;
  }
  options.Command = args[0];
  if (options.Command != "list" && options.Command != "export" && options.Command != "devices") {
    error = "unknown command \"" + options.Command + "\"";
    return false;
  }
  const bool isExport = options.Command == "export";
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto needValue = [&](std::string& into) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    auto numbers = [&](std::vector<std::uint64_t>& into) {
      std::uint64_t value = 0;
      while (i + 1 < args.size() && ParseNumber(args[i + 1], value)) {
        into.push_back(value);
        ++i;
      }
      if (into.empty()) {
        error = arg + " needs one or more numbers";
        return false;
      }
      return true;
    };
    if (arg == "--wait") {
      std::string value;
      if (!needValue(value)) return false;
      if (!ParseNumber(value, options.WaitSeconds) || options.WaitSeconds > 3600) {
        error = "--wait needs a number of seconds (at most 3600)";
        return false;
      }
    } else if (options.Command == "devices") {
      error = "unknown argument \"" + arg + "\"";
      return false;
    } else if (arg == "--device") {
      if (!needValue(options.Device)) return false;
      options.HasDevice = true;
    } else if (arg == "--json" && !isExport) {
      options.Json = true;
    } else if (arg == "--to" && isExport) {
      if (!needValue(options.To)) return false;
    } else if (arg == "--all" && isExport) {
      options.All = true;
    } else if (arg == "--camera" && isExport) {
      options.Camera = true;
    } else if (arg == "--album" && isExport) {
      if (!numbers(options.AlbumIndexes)) return false;
    } else if (arg == "--photo" && isExport) {
      if (!numbers(options.PhotoIds)) return false;
    } else if (arg == "--heic-jpeg" && isExport) {
      std::string value;
      if (!needValue(value)) return false;
      if (value == "also") {
        options.HeicJpeg = THeicJpeg::Also;
      } else if (value == "instead") {
        options.HeicJpeg = THeicJpeg::Instead;
      } else if (value == "no") {
        options.HeicJpeg = THeicJpeg::No;
      } else {
        error = "--heic-jpeg needs also, instead or no, not \"" + value + "\"";
        return false;
      }
      if (options.HeicJpeg != THeicJpeg::No && !HeicConversionAvailable()) {
        error = "--heic-jpeg: HEIC conversion is not available in this build";
        return false;
      }
    } else {
      error = "unknown argument \"" + arg + "\"";
      return false;
    }
  }
  if (isExport) {
    if (options.To.empty()) {
      error = "export needs --to FOLDER";
      return false;
    }
    const bool some = options.Camera || !options.AlbumIndexes.empty() || !options.PhotoIds.empty();
    if (options.All == some) {
      error = "export needs either --all or a selection (--album, --photo, --camera)";
      return false;
    }
  }
  return true;
}

// iOS connection reports from the mobile device library's thread, kept for
// the command line's own thread, which applies them to the facade: the facade
// is then changed by one thread only.
class TIosReports {
public:
  void Add(bool connected) {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = connected;
    changed_.notify_all();
  }
  // Waits up to seconds for a device that is connected; whether one is.
  bool WaitConnected(std::uint64_t seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(seconds), [this] { return connected_; });
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool connected_ = false;
};

std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  // The log begins with a line break before its first line.
  if (log.compare(0, 2, "\r\n") == 0) pos = 2;
  if (pos >= log.size()) return lines;
  for (;;) {
    const std::size_t next = log.find("\r\n", pos);
    lines.push_back(log.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
    if (next == std::string::npos) break;
    pos = next + 2;
  }
  return lines;
}

const char* StoreName(const TIpodPhotoDb& db) {
  if (db.ThumbFormat.FromIosLibrary) return "photos-sqlite";
  if (db.PhotoDatabaseRead()) return "photo-database";
  return "none";
}

void WriteFormat(TJsonWriter& json, const TPhotoInfo& info) {
  json.BeginObject();
  json.Key("formatId");
  json.Number(info.FormatId);
  json.Key("slotBytes");
  json.Number(info.SlotBytes);
  json.Key("width");
  json.Number(info.Width);
  json.Key("height");
  json.Number(info.Height);
  json.Key("fileCount");
  json.Number(info.FileCount);
  json.Key("fromIosLibrary");
  json.Bool(info.FromIosLibrary);
  json.Key("fileName");
  json.String(info.FileName);
  json.EndObject();
}

std::string ListJson(const TIpodPhotoDb& db) {
  TJsonWriter json;
  json.BeginObject();
  json.Key("store");
  json.String(StoreName(db));
  json.Key("copyOriginals");
  json.Bool(db.CopyOriginals);
  json.Key("exportFormat");
  WriteFormat(json, db.ExportFormat);
  json.Key("thumbFormat");
  WriteFormat(json, db.ThumbFormat);
  json.Key("photos");
  json.BeginArray();
  for (std::size_t i = 0; i < db.Photos.Count(); ++i) {
    const TPhotoItem& photo = db.Photos.Items(i);
    json.BeginObject();
    json.Key("id");
    json.Unsigned(photo.Id);
    json.Key("fileNumber");
    json.Number(photo.FileNumber);
    json.Key("imageOffset");
    json.Unsigned(photo.ImageOffset);
    json.Key("imageSize");
    json.Unsigned(photo.ImageSize);
    json.Key("thumbOffset");
    json.Unsigned(photo.ThumbOffset);
    json.Key("path");
    json.String(photo.Path);
    if (db.ModernLibrary) {
      json.Key("kind");
      json.String(photo.Kind == TAssetKind::Photo ? "photo"
                  : photo.Kind == TAssetKind::Video ? "video" : "other");
      json.Key("created");
      json.Number(photo.Created);
      json.Key("onDevice");
      json.Bool(!photo.Has(kAssetNotOnDevice));
      json.Key("livePhoto");
      json.Bool(photo.Has(kAssetLivePhoto));
      json.Key("hidden");
      json.Bool(photo.Has(kAssetHidden));
      if (!db.Photos.OriginalName(photo).empty()) {
        json.Key("name");
        json.String(db.Photos.OriginalName(photo));
      }
    }
    json.EndObject();
  }
  json.EndArray();
  json.Key("albums");
  json.BeginArray();
  for (std::size_t a = 0; a < db.Albums.Count(); ++a) {
    const TPhotoAlbumItem& album = db.Albums.Items(a);
    json.BeginObject();
    json.Key("name");
    json.String(album.Name);
    json.Key("albumId");
    json.Unsigned(album.AlbumId);
    json.Key("photoIds");
    json.BeginArray();
    for (std::uint32_t id : album.PhotoIds) json.Unsigned(id);
    json.EndArray();
    json.EndObject();
  }
  json.EndArray();
  json.Key("camera");
  if (db.CamPhotos && db.CamPhotos->Count() > 0) {
    json.BeginObject();
    json.Key("folder");
    json.String(db.CamPhotos->Folder);
    json.Key("files");
    json.BeginArray();
    for (std::size_t i = 0; i < db.CamPhotos->Count(); ++i) json.String(db.CamPhotos->Items(i).FileName);
    json.EndArray();
    json.EndObject();
  } else {
    json.Null();
  }
  json.Key("log");
  json.BeginArray();
  for (const std::string& line : LogLines(db.LogText)) json.String(line);
  json.EndArray();
  json.EndObject();
  return json.Text();
}

void PrintFormat(std::ostream& out, const char* label, const TPhotoInfo& info) {
  out << label << info.FormatId << " (" << info.Width << " x " << info.Height << ", "
      << info.SlotBytes << " bytes per image, " << info.FileCount
      << (info.FileCount == 1 ? " file" : " files");
  if (!info.FileName.empty()) out << ", " << info.FileName;
  out << ")\n";
}

void ListText(std::ostream& out, const TIpodDevice& device, const TIpodPhotoDb& db) {
  if (device.IsIos) {
    out << "Device: iOS device (over its file service)\n";
  } else {
    out << "Device: " << device.Drive
        << (device.IosMediaFolder ? " (media folder of an iOS device)\n" : " (iPod in disk mode)\n");
  }
  const std::string store = StoreName(db);
  out << "Library: "
      << (store == "photo-database" ? "Photo Database"
                                    : store == "photos-sqlite" ? "Photos.sqlite" : "none")
      << ", " << db.Photos.Count() << (db.Photos.Count() == 1 ? " photo" : " photos")
      << (db.CopyOriginals ? ", original files" : "");
  std::size_t away = 0;
  for (std::size_t i = 0; i < db.Photos.Count(); ++i)
    if (db.Photos.Items(i).Has(kAssetNotOnDevice)) ++away;
  if (away > 0) out << ", " << away << " not on the device (left on iCloud, or missing)";
  out << "\n";
  if (store != "none") {
    if (db.CopyOriginals) {
      out << "Export: original files";
      if (db.ExportFormat.FormatId != 0) out << " (format " << db.ExportFormat.FormatId << ")";
      out << "\n";
    } else {
      PrintFormat(out, "Export format: ", db.ExportFormat);
    }
    PrintFormat(out, "Thumbnail format: ", db.ThumbFormat);
  }
  out << "Albums:\n";
  if (db.Albums.Count() == 0) out << "  (none)\n";
  for (std::size_t a = 0; a < db.Albums.Count(); ++a) {
    const TPhotoAlbumItem& album = db.Albums.Items(a);
    out << "  " << a << "  " << album.Name << "  (" << album.Count
        << (album.Count == 1 ? " photo)\n" : " photos)\n");
  }
  if (db.CamPhotos && db.CamPhotos->Count() > 0) {
    std::string folder;
    for (std::size_t i = 0; i < db.CamPhotos->Count(); ++i) {
      if (i == 0 || db.CamPhotos->FolderOf(i) != folder) {
        folder = db.CamPhotos->FolderOf(i);
        out << "Camera files in " << folder << ":\n";
      }
      out << "  " << db.CamPhotos->Items(i).FileName << "\n";
    }
  } else {
    out << "Camera files: none\n";
  }
  const std::vector<std::string> lines = LogLines(db.LogText);
  if (!lines.empty()) {
    out << "Log:\n";
    for (const std::string& line : lines) out << "  " << line << "\n";
  }
}

// Messages of the facade and the folder check use "\r\n" or "\n" breaks;
// a terminal wants plain newlines.
std::string Printable(const std::string& text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') continue;
      result += '\n';
    } else {
      result += text[i];
    }
  }
  while (!result.empty() && result.front() == '\n') result.erase(0, 1);
  return result;
}

bool SelectForExport(const TOptions& options, TIpodPhotoDb& db, std::string& error) {
  std::multimap<std::uint32_t, std::size_t> byId;
  for (std::size_t i = 0; i < db.Photos.Count(); ++i) byId.emplace(db.Photos.Items(i).Id, i);
  auto selectId = [&](std::uint32_t id) {
    auto [first, last] = byId.equal_range(id);
    for (auto it = first; it != last; ++it) db.Photos.Select(it->second);
    return first != last;
  };
  // Photos whose files are not on the device (left on iCloud) are chosen
  // only by their id: a selection of many passes over them, and the
  // transfer's summary counts them.
  if (options.All) {
    for (std::size_t i = 0; i < db.Photos.Count(); ++i) db.SelectIfOnDevice(i);
    if (db.CamPhotos)
      for (std::size_t i = 0; i < db.CamPhotos->Count(); ++i) db.CamPhotos->Select(i);
    return true;
  }
  for (std::uint64_t index : options.AlbumIndexes) {
    if (index >= db.Albums.Count()) {
      error = "there is no album " + std::to_string(index) + " (the library has " +
              std::to_string(db.Albums.Count()) + ")";
      return false;
    }
    for (std::uint32_t id : db.Albums.Items(index).PhotoIds) {
      auto [first, last] = byId.equal_range(id);
      for (auto it = first; it != last; ++it) db.SelectIfOnDevice(it->second);
    }
  }
  for (std::uint64_t id : options.PhotoIds) {
    if (id > 0xFFFFFFFFu || !selectId(static_cast<std::uint32_t>(id))) {
      error = "there is no photo with id " + std::to_string(id);
      return false;
    }
  }
  if (options.Camera) {
    if (!db.CamPhotos || db.CamPhotos->Count() == 0) {
      error = "the device has no camera files";
      return false;
    }
    for (std::size_t i = 0; i < db.CamPhotos->Count(); ++i) db.CamPhotos->Select(i);
  }
  return true;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Draws the per-file progress: a bar that redraws itself on a terminal, a
// plain line per file otherwise.
class TProgress {
public:
  TProgress(std::ostream& out, bool terminal, int total)
      : out_(out), terminal_(terminal), total_(total) {}

  void File(const std::string& name) {
    ++done_;
    if (!terminal_) {
      out_ << "[" << done_ << "/" << total_ << "] " << name << "\n";
      return;
    }
    last_ = name;
    Draw();
  }

  // A line that must stay on screen (a changed name, a failure).
  void Note(const std::string& line) {
    if (terminal_) out_ << "\r\033[K";
    out_ << "  " << line << "\n";
    if (terminal_) Draw();
  }

  void Finish() {
    if (terminal_ && done_ > 0) out_ << "\n";
    out_.flush();
  }

private:
  void Draw() {
    constexpr int kWidth = 30;
    const int filled = total_ > 0 ? std::min(kWidth, done_ * kWidth / total_) : kWidth;
    out_ << "\r\033[K[" << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(kWidth - filled), '.') << "] " << done_ << "/"
         << total_ << " " << last_;
    out_.flush();
  }

  std::ostream& out_;
  bool terminal_;
  int total_;
  int done_ = 0;
  std::string last_;
};

int Export(const TOptions& options, TCliEnv& env, TIpodPhotoDb& db) {
  std::ostream& out = *env.Out;
  std::ostream& err = *env.Err;
  std::string error;
  if (!SelectForExport(options, db, error)) {
    err << "quillmere-photo-cli: " << error << "\n";
    return kExitUsage;
  }
  const int camSelected = db.CamPhotos ? db.CamPhotos->SelectedCount : 0;
  const int total = db.Photos.SelectedCount + camSelected;
  db.HeicJpeg = options.HeicJpeg;
  std::string folder = options.To;
  if (!db.CheckOutputFolder(folder)) {
    err << Printable(folder) << "\n";
    return kExitUsage;
  }
  out << "Copying " << total << (total == 1 ? " item" : " items") << " to " << db.DestFolder << "\n";

  TCallQueue queue;
  TPhotoCopyThread thread(db, queue.Dispatcher());
  TProgress progress(out, env.OutIsTerminal, total);
  std::atomic<bool> done{false};
  int succeeded = 0;
  std::vector<std::string> failed;
  thread.OnFile = [&](const std::string& name) { progress.File(name); };
  thread.OnResult = [&](const std::string& name, TItemOutcome outcome, const std::string& pcFile) {
    switch (outcome) {
      case TItemOutcome::Written:
        ++succeeded;
        if (BaseName(pcFile) != name) progress.Note(name + " written as " + BaseName(pcFile));
        break;
      case TItemOutcome::AlreadyThere:
        ++succeeded;
        break;
      case TItemOutcome::Failed:
        failed.push_back(name);
        progress.Note(name + " failed");
        break;
    }
  };
  thread.OnDone = [&] { done = true; };
  if (env.WatchInterrupts) env.WatchInterrupts([&thread] { thread.Terminate(); });
  thread.Start();
  queue.RunUntil([&] { return done.load(); });
  thread.Wait();
  progress.Finish();

  for (const std::string& line : LogLines(db.LogText)) out << line << "\n";
  if (thread.Terminated()) out << "Stopped before the end.\n";
  return succeeded == total && failed.empty() && !db.TransferHadErrors() ? kExitOk
                                                                          : kExitItemsFailed;
}

int Devices(const TOptions& options, TCliEnv& env, TIpodDevice& device, TIosReports& reports) {
  std::ostream& out = *env.Out;
  if (device.IosUnavailable) {
    out << "iOS devices cannot be reached:\n";
    for (const std::string& line : LogLines(device.Messages)) out << "  " << line << "\n";
    return kExitUsage;
  }
  if (!reports.WaitConnected(options.WaitSeconds)) {
    out << "No iOS device within " << options.WaitSeconds
        << (options.WaitSeconds == 1 ? " second.\n" : " seconds.\n");
    const std::string error = device.Ios().LastError();
    if (!error.empty()) out << "Last error: " << error << "\n";
    return kExitUsage;
  }
  device.IosConnectionChanged(true);
  std::vector<std::string> camera;
  device.ListCameraFiles(camera);
  const bool library = device.DeviceFileExists("/PhotoData/Photos.sqlite");
  out << "iOS device: connected (file service open)\n"
      << "  Photo library: " << (library ? "PhotoData/Photos.sqlite" : "none") << "\n"
      << "  Camera files: " << camera.size() << "\n";
  return kExitOk;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, TCliEnv& env) {
  std::ostream& out = *env.Out;
  std::ostream& err = *env.Err;
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    out << kUsage;
    return kExitOk;
  }
  if (!args.empty() && args[0] == "--version") {
    out << "quillmere-photo-cli (Quillmere Photo) " << QUILL_VERSION << "\n";
    return kExitOk;
  }
  TOptions options;
  std::string error;
  if (!ParseArgs(args, options, error)) {
    err << "quillmere-photo-cli: " << error << "\n\n" << kUsage;
    return kExitUsage;
  }

  TIosReports iosReports;
  TIpodDevice device(*env.Platform, nullptr,
                     std::make_unique<TIosHelper>(
                         kIosCopyBufferMiB, [&iosReports](bool connected) { iosReports.Add(connected); }));
  if (options.Command == "devices") return Devices(options, env, device, iosReports);
  if (options.HasDevice) {
    if (!device.UseFolder(options.Device, error)) {
      err << "quillmere-photo-cli: " << error << "\n";
      return kExitUsage;
    }
  } else if (!device.ScanDrives()) {
    // No disk-mode iPod: an iOS device then, when the library can reach one.
    if (device.IosUnavailable || !iosReports.WaitConnected(options.WaitSeconds)) {
      err << "quillmere-photo-cli: no iPod found. Connect an iPod in disk mode or an iOS device, "
             "or name a folder that holds one with --device DIR.\n";
      if (!device.IosUnavailable && !device.Ios().LastError().empty())
        err << "iOS device: " << device.Ios().LastError() << "\n";
      return kExitUsage;
    }
    device.IosConnectionChanged(true);
  }

  TIpodPhotoDb db(device, nullptr, true);
  const bool loaded = db.LoadPhotoLibrary();
  if (options.Command == "list") {
    if (options.Json) {
      out << ListJson(db) << "\n";
    } else {
      ListText(out, device, db);
    }
    if (!loaded) {
      err << "Cannot find photos in this iPod\n";
      return kExitUsage;
    }
    return kExitOk;
  }
  if (!loaded) {
    err << "Cannot find photos in this iPod\n";
    for (const std::string& line : LogLines(db.LogText)) err << "  " << line << "\n";
    return kExitUsage;
  }
  return Export(options, env, db);
}

}  // namespace quill
