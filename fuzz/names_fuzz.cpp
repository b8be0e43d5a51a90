// Names and paths from the device: a safe name never climbs or splits, and a
// path without a ".." component never leaves the device's folder.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "support/text.h"

namespace {

void CheckUnderDrive(const std::string& path, const std::string& drive) {
  if (path.compare(0, drive.size() + 1, drive + "/") != 0) std::abort();
  std::string_view rest(path);
  rest.remove_prefix(drive.size() + 1);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    if (part == "..") std::abort();
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static quill::fuzz::TFuzzDevice* const device = new quill::fuzz::TFuzzDevice();
  const std::string name(reinterpret_cast<const char*>(data), size);

  const std::optional<std::string> safe = quill::SafeFileName(name);
  if (safe && !safe->empty()) {
    if (*safe == "." || *safe == ".." || safe->size() > 255) std::abort();
    for (const char c : *safe) {
      const auto u = static_cast<unsigned char>(c);
      if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) std::abort();
    }
    // The same device name always gives the same file name.
    if (quill::SafeFileName(*safe) != safe) std::abort();
  }

  if (!quill::HasParentComponent(name)) {
    CheckUnderDrive(device->Device->DiskPath(name, false), device->Drive());
    CheckUnderDrive(device->Device->DiskPath(name, true), device->Drive());
  }
  return 0;
}
