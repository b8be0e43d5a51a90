#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <limits>

#include "device/mobile_device_binding.h"
#include "device/mobile_device_loader.h"

namespace quill {

namespace {
constexpr const char* kLibraryName = "libquillmobiledevice.so";
}

void* OpenLibrary(const std::string& path) {
  // RTLD_LOCAL: the library's names must not stand in for anyone else's.
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindSymbol(void* library, const char* name) { return dlsym(library, name); }

void CloseLibrary(void* library) {
  if (library) dlclose(library);
}

std::uint32_t LibraryVersion(void* library, const std::string&) {
  // The replacement libraries state their version as an exported number.
  const void* version = FindSymbol(library, "QuillmereMobileDeviceVersion");
  return version ? *static_cast<const std::uint32_t*>(version)
                 : std::numeric_limits<std::uint32_t>::max();
}

std::string ProgramFolder() {
  std::string path(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length <= 0) return {};
  path.resize(static_cast<std::size_t>(length));
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string InstalledLibraryFolder(const std::string& programFolder) {
  if (programFolder.empty()) return {};
  // The build names the library folder relative to the program's, so that an
  // installation works under any prefix.
  return (std::filesystem::path(programFolder) / QUILL_LIBRARY_FROM_PROGRAM / "")
      .lexically_normal()
      .string();
}

std::vector<std::string> MobileDeviceLibraryCandidates(const char* environmentValue,
                                                       const std::string& programFolder,
                                                       const std::string& installedFolder) {
  std::vector<std::string> candidates;
  if (environmentValue && *environmentValue) candidates.emplace_back(environmentValue);
  for (const std::string& folder : {programFolder, installedFolder}) {
    if (folder.empty()) continue;
    std::string inFolder = folder;
    if (inFolder.back() != '/') inFolder += '/';
    candidates.push_back(inFolder + kLibraryName);
  }
  candidates.emplace_back(kLibraryName);
  return candidates;
}

std::string LibraryMissingMessage() {
  return std::string("The mobile device library could not be loaded (") + kLibraryName +
         "): iPhones and iPads cannot be reached.";
}

std::string NotificationsMissingMessage() {
  return "iOS devices cannot be reached (is usbmuxd running?).";
}

bool OpenMobileDeviceModules(TMobileDeviceModules& modules) {
  const std::string programFolder = ProgramFolder();
  for (const std::string& candidate :
       MobileDeviceLibraryCandidates(std::getenv("QUILLMERE_MOBILEDEVICE_LIBRARY"), programFolder,
                                     InstalledLibraryFolder(programFolder))) {
    void* handle = OpenLibrary(candidate);
    if (!handle) continue;
    // One file serves both modes: it also makes the service-name strings.
    modules.Device = modules.Strings = handle;
    modules.DevicePath = modules.StringsPath = candidate;
    modules.Version = LibraryVersion(handle, candidate);
    return true;
  }
  return false;
}

}  // namespace quill
