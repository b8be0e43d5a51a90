#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/mobile_device_api.h"

namespace quill {

// The entry points of the mobile device library; null when not found.
struct TMobileDeviceApi {
  TAMDeviceNotificationSubscribe AMDeviceNotificationSubscribe = nullptr;
  TAMDeviceConnect AMDeviceConnect = nullptr;
  TAMDeviceIsPaired AMDeviceIsPaired = nullptr;
  TAMDeviceValidatePairing AMDeviceValidatePairing = nullptr;
  TAMDevicePair AMDevicePair = nullptr;
  TAMDeviceStartSession AMDeviceStartSession = nullptr;
  TAMDeviceStartService AMDeviceStartService = nullptr;
  TAMDeviceStopSession AMDeviceStopSession = nullptr;
  TAMDeviceDisconnect AMDeviceDisconnect = nullptr;
  TAFCConnectionOpen AFCConnectionOpen = nullptr;
  TAFCConnectionClose AFCConnectionClose = nullptr;
  TAFCFileInfoOpen AFCFileInfoOpen = nullptr;
  TAFCKeyValueRead AFCKeyValueRead = nullptr;
  TAFCKeyValueClose AFCKeyValueClose = nullptr;
  TAFCFileRefOpen AFCFileRefOpen = nullptr;
  TAFCFileRefRead AFCFileRefRead = nullptr;
  TAFCFileRefSeek AFCFileRefSeek = nullptr;
  TAFCFileRefClose AFCFileRefClose = nullptr;
  TAFCDirectoryOpen AFCDirectoryOpen = nullptr;
  TAFCDirectoryRead AFCDirectoryRead = nullptr;
  TAFCDirectoryClose AFCDirectoryClose = nullptr;
  TCFStringMakeConstantString CFStringMakeConstantString = nullptr;  // modern mode
};

// The first version (major x 65536 + minor) that takes service names as
// string references.
constexpr std::uint32_t kModernLibraryVersion = 0xEE0009;

// The record a legacy library takes as a service name: 4 zero bytes,
// 8C 07 01 00, the length byte, the name and its terminating zero.
std::vector<std::uint8_t> LegacyConstantString(const std::string& name);

// Where the library is looked for on POSIX, in order: the file named by
// QUILLMERE_MOBILEDEVICE_LIBRARY (when set and not empty), the library in the
// program's folder, the library in the installed program's own library
// folder (lib/<multiarch>/quillmere-photo/; empty for none), the bare name
// for the system loader.
std::vector<std::string> MobileDeviceLibraryCandidates(const char* environmentValue,
                                                       const std::string& programFolder,
                                                       const std::string& installedFolder = {});
// The installed program's own library folder, found from the program's
// folder, with a trailing separator; empty when the program's is unknown.
std::string InstalledLibraryFolder(const std::string& programFolder);

struct TMobileDeviceModules;

// One binding to a mobile device library, loaded at run time. Load and the
// table are used from the main thread at start-up; afterwards the table is
// only read. The library stays loaded until the process ends.
class TMobileDeviceBinding {
public:
  // Locates and loads the library the platform's way; true when every entry
  // point the mode needs was found. A second call after success answers true
  // at once.
  bool Load();
  // Loads the first candidate file that opens (its strings module is the
  // same file).
  bool Load(const std::vector<std::string>& candidates);
  // Frees the modules and forgets the entry points.
  void Unload();
  bool Loaded() const { return loaded_; }
  bool ModernMode() const { return modern_; }
  std::uint32_t Version() const { return version_; }
  const std::string& LibraryPath() const { return path_; }
  const TMobileDeviceApi& Api() const { return api_; }

  // Starts a device service by name; the result code of AMDeviceStartService.
  std::int32_t StartService(void* device, const std::string& name, void** service) const;

private:
  bool Bind(const TMobileDeviceModules& modules);

  void* handle_ = nullptr;
  void* strings_handle_ = nullptr;
  bool loaded_ = false;
  bool modern_ = false;
  std::uint32_t version_ = 0;
  std::string path_;
  TMobileDeviceApi api_;
};

// The binding of the process, loaded by the first TIosHelper.
TMobileDeviceBinding& MobileDeviceBinding();

}  // namespace quill
