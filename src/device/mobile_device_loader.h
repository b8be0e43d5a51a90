#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quill {

// The platform half of the mobile device binding: where the library is
// looked for, how it is opened, how its version is read, and how its entry
// points are looked up (dlopen/dlsym on POSIX, LoadLibraryW/GetProcAddress
// and the version resource on Windows).

// The modules of a located library. Strings is the module that makes
// service-name strings in modern mode (the same module as Device on POSIX).
struct TMobileDeviceModules {
  void* Device = nullptr;
  void* Strings = nullptr;
  std::uint32_t Version = 0;  // major x 65536 + minor
  std::string DevicePath;
  std::string StringsPath;
};

// Finds the library in the platform's places and opens the modules its mode
// needs. False when none is found or a needed module does not open; a module
// that opened stays open then, as a loaded library does.
bool OpenMobileDeviceModules(TMobileDeviceModules& modules);

void* OpenLibrary(const std::string& path);
void* FindSymbol(void* library, const char* name);
void CloseLibrary(void* library);
// The version of an opened library file; the largest value when it has none.
std::uint32_t LibraryVersion(void* library, const std::string& path);
// The folder of the running program, with a trailing separator; empty when
// unknown.
std::string ProgramFolder();

// The lines the device facade logs when the library cannot be loaded and when
// device notifications cannot be subscribed, naming what is missing on this
// platform.
std::string LibraryMissingMessage();
std::string NotificationsMissingMessage();

}  // namespace quill
