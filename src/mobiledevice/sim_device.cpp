// A simulated mobile device library: serves a folder of this computer as the
// device's file system, with the entry points, result codes, pairing and
// notification timing that a configuration file asks for. For tests and
// demonstrations; it never writes into the folder.
//
// The file named by QUILL_SIMDEVICE_CONFIG holds key=value lines:
//   folder=PATH            the device's file system
//   paired=0|1             whether the device is paired (1)
//   validates=0|1          whether its pairing validates (1); pairing again fixes it
//   result.ENTRYPOINT=CODE the result code of that entry point (0)
//   result_from.ENTRYPOINT=N   ... from its N-th call on (1)
//   arrive=now|signal|MS   when the device arrives after subscribing (now)
//   leave=never|signal|MS  when it leaves after arriving (never)
//   short_read=N           at most N bytes per AFCFileRefRead (0: all asked)
//   version=MAJOR.MINOR    the library version (238.8 selects legacy mode)
// The version is read when the library loads; everything else again at each
// subscription. QuillSimDeviceSignal() fires the next "signal" event.
//
// QuillSimDeviceHostile(script, size) makes the file service lie: each read,
// file information value and folder entry takes the next byte of the script
// and answers with a hostile length, size, kind or name when the byte says
// so (honestly once the script is used up). A hostile name is served as a
// copy of the folder's first regular file. It stays in force until set
// again; an empty script ends it.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/mobile_device_api.h"

#define QUILL_EXPORT extern "C" __attribute__((visibility("default")))

QUILL_EXPORT uint32_t QuillmereMobileDeviceVersion;
uint32_t QuillmereMobileDeviceVersion = 0xEE000A;

namespace {

// Codes of the simulation's own failures (a real library has its own).
constexpr int32_t kBadArgument = static_cast<int32_t>(0xE8000007u);
constexpr int32_t kNotFound = 8;
constexpr int32_t kDeadConnection = static_cast<int32_t>(0xE8000054u);
constexpr int32_t kPairingInvalid = static_cast<int32_t>(0xE8000019u);
constexpr int32_t kBadServiceName = static_cast<int32_t>(0xE8000022u);
constexpr int32_t kIoError = 10;

struct TConfig {
  std::string Folder;
  bool Paired = true;
  bool Validates = true;
  std::map<std::string, int32_t> Results;
  std::map<std::string, long> ResultFrom;
  std::string Arrive = "now";
  std::string Leave = "never";
  uint32_t ShortRead = 0;
};

std::map<std::string, std::string> ReadConfigFile() {
  std::map<std::string, std::string> values;
  const char* name = std::getenv("QUILL_SIMDEVICE_CONFIG");
  if (!name) return values;
  std::ifstream in(name);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

TConfig ParseConfig() {
  TConfig config;
  for (const auto& [key, value] : ReadConfigFile()) {
    if (key == "folder")
      config.Folder = value;
    else if (key == "paired")
      config.Paired = value != "0";
    else if (key == "validates")
      config.Validates = value != "0";
    else if (key == "arrive")
      config.Arrive = value;
    else if (key == "leave")
      config.Leave = value;
    else if (key == "short_read")
      config.ShortRead = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 0));
    else if (key.rfind("result.", 0) == 0)
      config.Results[key.substr(7)] = static_cast<int32_t>(std::strtoul(value.c_str(), nullptr, 0));
    else if (key.rfind("result_from.", 0) == 0)
      config.ResultFrom[key.substr(12)] = std::strtol(value.c_str(), nullptr, 0);
  }
  return config;
}

__attribute__((constructor)) void ReadVersion() {
  const auto values = ReadConfigFile();
  const auto it = values.find("version");
  if (it == values.end()) return;
  const std::size_t dot = it->second.find('.');
  const unsigned long major = std::strtoul(it->second.c_str(), nullptr, 10);
  const unsigned long minor =
      dot == std::string::npos ? 0 : std::strtoul(it->second.c_str() + dot + 1, nullptr, 10);
  QuillmereMobileDeviceVersion = static_cast<uint32_t>((major << 16) | (minor & 0xFFFF));
}

struct TOpenFile {
  int Fd = -1;
  uint64_t Position = 0;
};
struct TConnection {
  bool Dead = false;
  std::map<uint64_t, TOpenFile> Files;
};
struct TInfo {
  std::vector<std::pair<std::string, std::string>> Pairs;
  std::size_t Next = 0;
};
struct TDirectory {
  std::string Path;  // as the caller named it
  std::string Local;
  std::vector<std::string> Names;
  std::size_t Next = 0;
};
struct TServiceName {
  std::string Text;
};

struct TDevice {
  int Unused = 0;
};

class TSimulation {
public:
  ~TSimulation() { StopThread(); }

  std::mutex Mutex;
  TConfig Config;
  std::map<std::string, long> Calls;
  TDevice Device;
  int ServiceToken = 0;
  bool Connected = false;
  bool Present = false;
  bool ServiceStarted = false;
  std::set<TConnection*> Connections;
  std::vector<std::unique_ptr<TServiceName>> Names;
  std::vector<uint8_t> LastRecord;
  uint64_t NextFile = 1;
  std::vector<uint8_t> Hostile;
  std::size_t HostileNext = 0;
  // Device paths of hostile folder entries and the local files they are
  // served from, so that their names reach whoever copies them.
  std::map<std::string, std::string> Aliases;

  // The next byte of the hostile script, or -1 when it is used up.
  int NextHostile() {
    if (HostileNext >= Hostile.size()) return -1;
    return Hostile[HostileNext++];
  }

  // The code an entry point answers with before doing anything, per config.
  int32_t Forced(const char* entry) {
    const long call = ++Calls[entry];
    const auto code = Config.Results.find(entry);
    if (code == Config.Results.end() || code->second == 0) return 0;
    const auto from = Config.ResultFrom.find(entry);
    return call >= (from == Config.ResultFrom.end() ? 1 : from->second) ? code->second : 0;
  }

  void Subscribe(TAmDeviceNotificationCallback callback, void* cookie) {
    StopThread();
    std::lock_guard<std::mutex> lock(Mutex);
    Config = ParseConfig();
    Calls.clear();
    Present = false;
    Connected = false;
    stop_ = false;
    signals_ = 0;
    callback_ = callback;
    cookie_ = cookie;
    thread_ = std::thread([this] { Run(); });
  }

  void Signal() {
    std::lock_guard<std::mutex> lock(Mutex);
    ++signals_;
    wake_.notify_all();
  }

private:
  // Waits for the event of a timing word; false when stopping first.
  bool WaitFor(const std::string& when) {
    std::unique_lock<std::mutex> lock(Mutex);
    if (when == "now") return !stop_;
    if (when == "never") {
      wake_.wait(lock, [this] { return stop_; });
      return false;
    }
    if (when == "signal") {
      wake_.wait(lock, [this] { return stop_ || signals_ > 0; });
      if (stop_) return false;
      --signals_;
      return true;
    }
    const auto delay = std::chrono::milliseconds(std::strtol(when.c_str(), nullptr, 10));
    return !wake_.wait_for(lock, delay, [this] { return stop_; });
  }

  void Notify(uint32_t message) {
    TAmDeviceNotification info{};
    info.Device = &Device;
    info.Message = message;
    info.Subscription = this;
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Present = message == kAmDeviceConnected;
      if (!Present) {
        // The device is gone: whatever was open on it is dead.
        Connected = false;
        ServiceStarted = false;
        for (TConnection* connection : Connections) connection->Dead = true;
      }
    }
    callback_(&info, cookie_);
  }

  void Run() {
    std::string arrive, leave;
    {
      std::lock_guard<std::mutex> lock(Mutex);
      arrive = Config.Arrive;
      leave = Config.Leave;
    }
    for (;;) {
      if (!WaitFor(arrive)) return;
      Notify(kAmDeviceConnected);
      if (!WaitFor(leave)) return;
      Notify(kAmDeviceDisconnected);
      if (arrive != "signal") {
        WaitFor("never");
        return;
      }
    }
  }

  void StopThread() {
    {
      std::lock_guard<std::mutex> lock(Mutex);
      stop_ = true;
      wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

  std::condition_variable wake_;
  bool stop_ = false;
  long signals_ = 0;
  TAmDeviceNotificationCallback callback_ = nullptr;
  void* cookie_ = nullptr;
  std::thread thread_;
};

TSimulation& Sim() {
  static TSimulation simulation;
  return simulation;
}

#define FORCED(entry)                                            \
  do {                                                           \
    if (const int32_t forced = sim.Forced(entry)) return forced; \
  } while (0)

bool HasParent(const std::string& path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0 && end - start == 2) return true;
    start = end + 1;
  }
  return false;
}

// The local path of a device path, or empty for one that climbs out.
std::string LocalPath(const TSimulation& sim, const char* devicePath) {
  if (!devicePath) return {};
  const auto alias = sim.Aliases.find(devicePath);
  if (alias != sim.Aliases.end()) return alias->second;
  if (HasParent(devicePath)) return {};
  std::string path = sim.Config.Folder;
  if (devicePath[0] != '/') path += '/';
  return path + devicePath;
}

TConnection* LiveConnection(TSimulation& sim, void* handle, int32_t& error) {
  auto* connection = static_cast<TConnection*>(handle);
  if (!sim.Connections.count(connection)) {
    error = kBadArgument;
    return nullptr;
  }
  if (connection->Dead) {
    error = kDeadConnection;
    return nullptr;
  }
  return connection;
}

}  // namespace

QUILL_EXPORT void QuillSimDeviceSignal(void) { Sim().Signal(); }

QUILL_EXPORT uint32_t QuillSimDeviceLastServiceRecord(uint8_t* out, uint32_t size) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  const uint32_t n = static_cast<uint32_t>(sim.LastRecord.size());
  if (out) std::memcpy(out, sim.LastRecord.data(), n < size ? n : size);
  return n;
}

QUILL_EXPORT void QuillSimDeviceHostile(const uint8_t* script, uint32_t size) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  sim.Hostile.assign(script, script + (script ? size : 0));
  sim.HostileNext = 0;
  sim.Aliases.clear();
}

// How many answers took a byte of the hostile script since it was set.
QUILL_EXPORT uint32_t QuillSimDeviceHostileUsed(void) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  return static_cast<uint32_t>(sim.HostileNext);
}

QUILL_EXPORT uint32_t QuillSimDeviceOpenFiles(void) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  uint32_t count = 0;
  for (TConnection* connection : sim.Connections)
    count += static_cast<uint32_t>(connection->Files.size());
  return count;
}

QUILL_EXPORT int32_t AMDeviceNotificationSubscribe(TAmDeviceNotificationCallback callback, uint32_t,
                                                   uint32_t, void* cookie, void** notification) {
  TSimulation& sim = Sim();
  {
    std::lock_guard<std::mutex> lock(sim.Mutex);
    sim.Config = ParseConfig();
    sim.Calls.clear();
    FORCED("AMDeviceNotificationSubscribe");
  }
  if (!callback) return kBadArgument;
  sim.Subscribe(callback, cookie);
  if (notification) *notification = &sim;
  return 0;
}

QUILL_EXPORT int32_t AMDeviceConnect(void* device) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AMDeviceConnect");
  if (device != &sim.Device || !sim.Present) return kBadArgument;
  sim.Connected = true;
  return 0;
}

QUILL_EXPORT int32_t AMDeviceIsPaired(void* device) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  ++sim.Calls["AMDeviceIsPaired"];
  return device == &sim.Device && sim.Config.Paired ? 1 : 0;
}

QUILL_EXPORT int32_t AMDeviceValidatePairing(void* device) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AMDeviceValidatePairing");
  if (device != &sim.Device) return kBadArgument;
  return sim.Config.Validates ? 0 : kPairingInvalid;
}

QUILL_EXPORT int32_t AMDevicePair(void* device) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AMDevicePair");
  if (device != &sim.Device || !sim.Connected) return kBadArgument;
  sim.Config.Paired = true;
  sim.Config.Validates = true;
  return 0;
}

QUILL_EXPORT int32_t AMDeviceStartSession(void* device) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AMDeviceStartSession");
  if (device != &sim.Device || !sim.Connected) return kBadArgument;
  if (!sim.Config.Paired || !sim.Config.Validates) return kPairingInvalid;
  return 0;
}

QUILL_EXPORT const void* __CFStringMakeConstantString(const char* text) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  sim.Names.push_back(std::make_unique<TServiceName>(TServiceName{text ? text : ""}));
  return sim.Names.back().get();
}

QUILL_EXPORT int32_t AMDeviceStartService(void* device, const void* name, void** service,
                                          uint32_t* unknown) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AMDeviceStartService");
  if (device != &sim.Device || !sim.Connected || !name || !service) return kBadArgument;
  if (unknown && *unknown != 0) return kBadArgument;
  std::string text;
  if (QuillmereMobileDeviceVersion < 0xEE0009) {
    // Legacy libraries take the constant string record, nothing else.
    static const uint8_t kAfc[23] = {0,   0,   0,   0,   0x8C, 0x07, 0x01, 0,   13,  'c', 'o', 'm',
                                     '.', 'a', 'p', 'p', 'l',  'e',  '.',  'a', 'f', 'c', 0};
    const auto* bytes = static_cast<const uint8_t*>(name);
    sim.LastRecord.assign(bytes, bytes + sizeof kAfc);
    if (std::memcmp(bytes, kAfc, sizeof kAfc) != 0) return kBadServiceName;
    text = "com.apple.afc";
  } else {
    bool ours = false;
    for (const auto& made : sim.Names) ours = ours || made.get() == name;
    if (!ours) return kBadServiceName;
    text = static_cast<const TServiceName*>(name)->Text;
    sim.LastRecord.assign(text.begin(), text.end());
  }
  if (text != "com.apple.afc") return kBadServiceName;
  sim.ServiceStarted = true;
  *service = &sim.ServiceToken;
  return 0;
}

QUILL_EXPORT int32_t AMDeviceStopSession(void* device) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AMDeviceStopSession");
  return device == &sim.Device ? 0 : kBadArgument;
}

QUILL_EXPORT int32_t AMDeviceDisconnect(void* device) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AMDeviceDisconnect");
  if (device != &sim.Device) return kBadArgument;
  sim.Connected = false;
  return 0;
}

QUILL_EXPORT int32_t AFCConnectionOpen(void* service, uint32_t, void** connection) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AFCConnectionOpen");
  if (service != &sim.ServiceToken || !sim.ServiceStarted || !sim.Present || !connection)
    return kBadArgument;
  auto* made = new TConnection;
  sim.Connections.insert(made);
  *connection = made;
  return 0;
}

QUILL_EXPORT int32_t AFCConnectionClose(void* handle) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AFCConnectionClose");
  auto* connection = static_cast<TConnection*>(handle);
  if (!sim.Connections.erase(connection)) return kBadArgument;
  for (auto& [ref, file] : connection->Files) close(file.Fd);
  delete connection;
  return 0;
}

QUILL_EXPORT int32_t AFCFileInfoOpen(void* handle, const char* path, void** info) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AFCFileInfoOpen");
  int32_t error = 0;
  if (!LiveConnection(sim, handle, error)) return error;
  const std::string local = LocalPath(sim, path);
  struct stat st {};
  if (local.empty() || lstat(local.c_str(), &st) != 0) return kNotFound;
  const char* kind = S_ISREG(st.st_mode)   ? "S_IFREG"
                     : S_ISDIR(st.st_mode) ? "S_IFDIR"
                     : S_ISLNK(st.st_mode) ? "S_IFLNK"
                                           : "S_IFIFO";
  auto* made = new TInfo;
  made->Pairs = {{"st_size", std::to_string(st.st_size)},
                 {"st_blocks", std::to_string(st.st_blocks)},
                 {"st_nlink", std::to_string(st.st_nlink)},
                 {"st_ifmt", kind},
                 {"st_mtime", std::to_string(st.st_mtime) + "000000000"}};
  *info = made;
  return 0;
}

QUILL_EXPORT int32_t AFCKeyValueRead(void* info, const char** key, const char** value) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AFCKeyValueRead");
  auto* pairs = static_cast<TInfo*>(info);
  if (!pairs || !key || !value) return kBadArgument;
  if (pairs->Next >= pairs->Pairs.size()) {
    *key = nullptr;
    *value = nullptr;
    return 0;
  }
  auto& pair = pairs->Pairs[pairs->Next++];
  const int hostile = sim.NextHostile();
  if (hostile >= 0) {
    // Sizes that overflow, are negative or are no number; kinds swapped.
    static const char* const kSizes[] = {"-1", "18446744073709551616", "", "12x", "99999999999999",
                                         "0", "4294967297"};
    static const char* const kKinds[] = {"S_IFREG", "S_IFDIR", "S_IFLNK", ""};
    if (pair.first == "st_size" && hostile % 2)
      pair.second = kSizes[(hostile / 2) % std::size(kSizes)];
    else if (pair.first == "st_ifmt" && hostile % 2)
      pair.second = kKinds[(hostile / 2) % std::size(kKinds)];
  }
  *key = pair.first.c_str();
  *value = pair.second.c_str();
  return 0;
}

QUILL_EXPORT int32_t AFCKeyValueClose(void* info) {
  delete static_cast<TInfo*>(info);
  return 0;
}

QUILL_EXPORT int32_t AFCFileRefOpen(void* handle, const char* path, uint64_t mode, uint64_t* ref) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AFCFileRefOpen");
  int32_t error = 0;
  TConnection* connection = LiveConnection(sim, handle, error);
  if (!connection) return error;
  // Only reading is served: the simulation never changes its folder.
  if (mode != 2 || !ref) return kBadArgument;
  const std::string local = LocalPath(sim, path);
  struct stat st {};
  if (local.empty() || stat(local.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return kNotFound;
  const int fd = open(local.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kNotFound;
  *ref = sim.NextFile++;
  connection->Files[*ref] = TOpenFile{fd, 0};
  return 0;
}

QUILL_EXPORT int32_t AFCFileRefRead(void* handle, uint64_t ref, void* buffer, uint32_t* length) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AFCFileRefRead");
  int32_t error = 0;
  TConnection* connection = LiveConnection(sim, handle, error);
  if (!connection) return error;
  const auto file = connection->Files.find(ref);
  if (file == connection->Files.end() || !length || (!buffer && *length)) return kBadArgument;
  const uint32_t asked = *length;
  uint32_t want = asked;
  if (sim.Config.ShortRead && want > sim.Config.ShortRead) want = sim.Config.ShortRead;
  const int hostile = sim.NextHostile();
  // 1: one byte at most; 2: fails; 3, 4: claims more than was asked for;
  // 5: claims twice what was read; 6: claims the end of the file.
  if (hostile % 8 == 1 && want > 1) want = 1;
  if (hostile % 8 == 2) return kIoError;
  if (hostile % 8 == 6) {
    *length = 0;
    return 0;
  }
  const ssize_t got =
      pread(file->second.Fd, buffer, want, static_cast<off_t>(file->second.Position));
  if (got < 0) return kIoError;
  file->second.Position += static_cast<uint64_t>(got);
  *length = static_cast<uint32_t>(got);
  if (hostile % 8 == 3) *length = asked + 1;
  if (hostile % 8 == 4) *length = UINT32_MAX;
  if (hostile % 8 == 5 && got > 0) *length = static_cast<uint32_t>(got) * 2;
  return 0;
}

QUILL_EXPORT int32_t AFCFileRefSeek(void* handle, uint64_t ref, int64_t offset, uint64_t whence) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AFCFileRefSeek");
  int32_t error = 0;
  TConnection* connection = LiveConnection(sim, handle, error);
  if (!connection) return error;
  const auto file = connection->Files.find(ref);
  if (file == connection->Files.end()) return kBadArgument;
  struct stat st {};
  if (fstat(file->second.Fd, &st) != 0) return kIoError;
  int64_t base = 0;
  if (whence == 1)
    base = static_cast<int64_t>(file->second.Position);
  else if (whence == 2)
    base = st.st_size;
  else if (whence != 0)
    return kBadArgument;
  if (offset < -base) return kBadArgument;
  file->second.Position = static_cast<uint64_t>(base + offset);
  return 0;
}

QUILL_EXPORT int32_t AFCFileRefClose(void* handle, uint64_t ref) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AFCFileRefClose");
  auto* connection = static_cast<TConnection*>(handle);
  if (!sim.Connections.count(connection)) return kBadArgument;
  const auto file = connection->Files.find(ref);
  if (file == connection->Files.end()) return kBadArgument;
  close(file->second.Fd);
  connection->Files.erase(file);
  return 0;
}

QUILL_EXPORT int32_t AFCDirectoryOpen(void* handle, const char* path, void** directory) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AFCDirectoryOpen");
  int32_t error = 0;
  if (!LiveConnection(sim, handle, error)) return error;
  const std::string local = LocalPath(sim, path);
  DIR* dir = local.empty() ? nullptr : opendir(local.c_str());
  if (!dir) return kNotFound;
  auto* made = new TDirectory;
  made->Path = path;
  made->Local = local;
  while (const dirent* entry = readdir(dir)) made->Names.emplace_back(entry->d_name);
  closedir(dir);
  *directory = made;
  return 0;
}

QUILL_EXPORT int32_t AFCDirectoryRead(void* handle, void* directory, char** name) {
  TSimulation& sim = Sim();
  std::lock_guard<std::mutex> lock(sim.Mutex);
  FORCED("AFCDirectoryRead");
  int32_t error = 0;
  if (!LiveConnection(sim, handle, error)) return error;
  auto* names = static_cast<TDirectory*>(directory);
  if (!names || !name) return kBadArgument;
  const int hostile = sim.NextHostile();
  if (hostile >= 0 && hostile % 2) {
    // Names that try to climb out of a folder or cannot be file names.
    static const std::string kNames[] = {"..",
                                         "../escape.JPG",
                                         "/abs.JPG",
                                         "a/b.JPG",
                                         "..\\up.JPG",
                                         "C:\\x.JPG",
                                         std::string("IMG_\x01\x1f.JPG"),
                                         std::string(300, 'A') + ".JPG",
                                         "",
                                         "IMG_0001.JPG"};
    static std::string made;
    made = kNames[(hostile / 2) % std::size(kNames)];
    // Served as a copy of the folder's first regular file.
    for (const std::string& real : names->Names) {
      struct stat st {};
      const std::string local = names->Local + "/" + real;
      if (made.empty() || made == ".." || real[0] == '.' || stat(local.c_str(), &st) != 0 ||
          !S_ISREG(st.st_mode))
        continue;
      sim.Aliases[names->Path + made] = local;
      break;
    }
    *name = made.data();
    return 0;
  }
  *name = names->Next < names->Names.size() ? names->Names[names->Next++].data() : nullptr;
  return 0;
}

QUILL_EXPORT int32_t AFCDirectoryClose(void*, void* directory) {
  delete static_cast<TDirectory*>(directory);
  return 0;
}
