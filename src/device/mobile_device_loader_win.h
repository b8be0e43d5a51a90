#pragma once

// The library search of the Win32 half, reached directly by its tests.

#include <cstdint>
#include <string>

namespace quill {

// The places the vendor's installers put the mobile device library and its
// CoreFoundation module, in the order they are tried: the current folder
// (both by bare name, PATH left alone), then the common program files, the
// registry and the fixed paths. On success PATH gains the library folders.
// False when the library (or, in modern mode, CoreFoundation) is not found.
bool LocateMobileDeviceLibrary(std::string& devicePath, std::string& cfPath, bool& modern);

// The most significant 32 bits of a file's fixed version (major x 65536 +
// minor); the largest value for a file without version information.
std::uint32_t FileVersion(const std::string& path);

}  // namespace quill
