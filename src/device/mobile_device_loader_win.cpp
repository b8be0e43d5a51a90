// clang-format off
#include <windows.h>
#include <shlobj.h>
// clang-format on
// windows.h names DeleteFile as a macro; the platform has a member of that name.
#undef DeleteFile

#include <limits>
#include <vector>

#include "device/mobile_device_binding.h"
#include "device/mobile_device_loader.h"
#include "device/mobile_device_loader_win.h"
#include "device/platform/platform_win.h"

namespace quill {

namespace {

constexpr const char* kDeviceLibrary = "iTunesMobileDevice.dll";
constexpr const char* kCfLibrary = "CoreFoundation.dll";

bool Exists(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string CommonProgramFiles() {
  wchar_t buffer[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, buffer))) return {};
  return CutAtNul(buffer, MAX_PATH);
}

// A string value under HKEY_LOCAL_MACHINE as stored; empty when the key or
// the value cannot be read.
std::string MachineString(const wchar_t* key, const wchar_t* name) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) return {};
  DWORD type = 0;
  DWORD bytes = 0;
  std::string value;
  if (RegQueryValueExW(opened, name, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && bytes > 0) {
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(opened, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                         &bytes) == ERROR_SUCCESS)
      value = CutAtNul(buffer.data(), buffer.size());
  }
  RegCloseKey(opened);
  return value;
}

std::string FirstExisting(const std::vector<std::string>& candidates) {
  for (const std::string& candidate : candidates)
    if (!candidate.empty() && Exists(candidate)) return candidate;
  return {};
}

void ExtendPath(const std::string& common) {
  std::wstring path;
  const DWORD needed = GetEnvironmentVariableW(L"path", nullptr, 0);
  if (needed > 0) {
    path.resize(needed);
    const DWORD length = GetEnvironmentVariableW(L"path", path.data(), needed);
    path.resize(length < needed ? length : 0);
  }
  path += Widen(";" + common + "\\Apple\\Mobile Device Support\\bin\\" + ";" + common +
                "\\Apple\\Mobile Device Support\\" + ";" + common +
                "\\Apple\\Apple Application Support\\");
  SetEnvironmentVariableW(L"path", path.c_str());
}

}  // namespace

std::uint32_t FileVersion(const std::string& path) {
  const std::wstring wide = Widen(path);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(wide.c_str(), &ignored);
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  if (size == 0) return kNone;
  std::vector<std::uint8_t> data(size);
  if (!GetFileVersionInfoW(wide.c_str(), 0, size, data.data())) return kNone;
  void* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", &fixed, &length) || !fixed ||
      length < sizeof(VS_FIXEDFILEINFO))
    return kNone;
  return static_cast<const VS_FIXEDFILEINFO*>(fixed)->dwFileVersionMS;
}

bool LocateMobileDeviceLibrary(std::string& devicePath, std::string& cfPath, bool& modern) {
  const std::string common = CommonProgramFiles();
  if (Exists(kDeviceLibrary)) {
    devicePath = kDeviceLibrary;
    cfPath = kCfLibrary;
    modern = FileVersion(devicePath) >= kModernLibraryVersion;
    return true;
  }
  devicePath = FirstExisting({
      common + "\\Apple\\Mobile Device Support\\" + kDeviceLibrary,
      common + "\\Apple\\Mobile Device Support\\bin\\" + kDeviceLibrary,
      MachineString(L"SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared",
                    L"iTunesMobileDevice.dll"),
      "C:\\Program Files\\Apple\\Mobile Device Support\\iTunesMobileDevice.dll",
      "C:\\Program Files\\Apple\\Mobile Device Support\\bin\\iTunesMobileDevice.dll",
  });
  if (devicePath.empty()) return false;
  modern = FileVersion(devicePath) >= kModernLibraryVersion;
  cfPath.clear();
  if (modern) {
    const std::string installDir =
        MachineString(L"SOFTWARE\\Apple Inc.\\Apple Application Support", L"InstallDir");
    cfPath = FirstExisting({
        common + "\\Apple\\Apple Application Support\\" + kCfLibrary,
        installDir.empty() ? std::string() : installDir + "\\" + kCfLibrary,
        "C:\\Program Files\\\\Apple\\Apple Application Support\\CoreFoundation.dll",
    });
    if (cfPath.empty()) return false;
  }
  ExtendPath(common);
  return true;
}

void* OpenLibrary(const std::string& path) {
  return reinterpret_cast<void*>(LoadLibraryW(Widen(path).c_str()));
}

void* FindSymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) {
  if (library) FreeLibrary(static_cast<HMODULE>(library));
}

std::uint32_t LibraryVersion(void* library, const std::string& path) {
  wchar_t loaded[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(static_cast<HMODULE>(library), loaded, MAX_PATH);
  return FileVersion(length > 0 && length < MAX_PATH ? CutAtNul(loaded, MAX_PATH) : path);
}

std::string ProgramFolder() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  std::string path = CutAtNul(buffer, MAX_PATH);
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string LibraryMissingMessage() {
  return "Cannot load the iTunes Dll, requires iTunes 7.5 or above.";
}

std::string NotificationsMissingMessage() { return "Cannot access iPhone/iTouch/iPad."; }

bool OpenMobileDeviceModules(TMobileDeviceModules& modules) {
  bool modern = false;
  if (!LocateMobileDeviceLibrary(modules.DevicePath, modules.StringsPath, modern)) return false;
  modules.Device = OpenLibrary(modules.DevicePath);
  if (!modules.Device) return false;
  modules.Version = FileVersion(modules.DevicePath);
  if (modern) {
    modules.Strings = OpenLibrary(modules.StringsPath);
    if (!modules.Strings) return false;
  }
  return true;
}

}  // namespace quill
