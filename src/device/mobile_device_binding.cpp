#include "device/mobile_device_binding.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "device/mobile_device_loader.h"

namespace quill {

std::vector<std::uint8_t> LegacyConstantString(const std::string& name) {
  // The length lives in one byte; longer names are cut rather than wrapped.
  const std::size_t n = std::min<std::size_t>(name.size(), 255);
  std::vector<std::uint8_t> record(n + 10, 0);
  record[4] = 0x8C;
  record[5] = 0x07;
  record[6] = 0x01;
  record[8] = static_cast<std::uint8_t>(n);
  std::memcpy(record.data() + 9, name.data(), n);
  return record;
}

bool TMobileDeviceBinding::Load() {
  if (loaded_) return true;
  return Load(MobileDeviceLibraryCandidates(std::getenv("QUILLMERE_MOBILEDEVICE_LIBRARY"),
                                            ProgramFolder()));
}

bool TMobileDeviceBinding::Load(const std::vector<std::string>& candidates) {
  if (loaded_) return true;
  void* handle = nullptr;
  for (const std::string& candidate : candidates) {
    handle = OpenLibrary(candidate);
    if (handle) {
      path_ = candidate;
      break;
    }
  }
  if (!handle) return false;
  handle_ = handle;
  // A library without the version counts as the newest.
  const void* version = FindSymbol(handle, "QuillmereMobileDeviceVersion");
  version_ = version ? *static_cast<const std::uint32_t*>(version)
                     : std::numeric_limits<std::uint32_t>::max();
  modern_ = version_ >= kModernLibraryVersion;

  auto find = [&](auto& slot, const char* name) {
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(FindSymbol(handle, name));
    return slot != nullptr;
  };
  bool all = true;
  all &= find(api_.AMDeviceNotificationSubscribe, "AMDeviceNotificationSubscribe");
  all &= find(api_.AMDeviceConnect, "AMDeviceConnect");
  all &= find(api_.AMDeviceIsPaired, "AMDeviceIsPaired");
  all &= find(api_.AMDeviceValidatePairing, "AMDeviceValidatePairing");
  all &= find(api_.AMDevicePair, "AMDevicePair");
  all &= find(api_.AMDeviceStartSession, "AMDeviceStartSession");
  all &= find(api_.AMDeviceStartService, "AMDeviceStartService");
  all &= find(api_.AMDeviceStopSession, "AMDeviceStopSession");
  all &= find(api_.AMDeviceDisconnect, "AMDeviceDisconnect");
  all &= find(api_.AFCConnectionOpen, "AFCConnectionOpen");
  all &= find(api_.AFCConnectionClose, "AFCConnectionClose");
  all &= find(api_.AFCFileInfoOpen, "AFCFileInfoOpen");
  all &= find(api_.AFCKeyValueRead, "AFCKeyValueRead");
  all &= find(api_.AFCKeyValueClose, "AFCKeyValueClose");
  all &= find(api_.AFCFileRefOpen, "AFCFileRefOpen");
  all &= find(api_.AFCFileRefRead, "AFCFileRefRead");
  all &= find(api_.AFCFileRefSeek, "AFCFileRefSeek");
  all &= find(api_.AFCFileRefClose, "AFCFileRefClose");
  all &= find(api_.AFCDirectoryOpen, "AFCDirectoryOpen");
  all &= find(api_.AFCDirectoryRead, "AFCDirectoryRead");
  all &= find(api_.AFCDirectoryClose, "AFCDirectoryClose");
  // In modern mode the string maker comes from the same library file.
  if (modern_) all &= find(api_.CFStringMakeConstantString, "__CFStringMakeConstantString");
  loaded_ = all;
  return loaded_;
}

std::int32_t TMobileDeviceBinding::StartService(void* device, const std::string& name,
                                                void** service) const {
  std::uint32_t unknown = 0;
  if (modern_) {
    // The reference is the library's to keep; it is never released.
    const void* reference = api_.CFStringMakeConstantString(name.c_str());
    return api_.AMDeviceStartService(device, reference, service, &unknown);
  }
  const std::vector<std::uint8_t> record = LegacyConstantString(name);
  return api_.AMDeviceStartService(device, record.data(), service, &unknown);
}

TMobileDeviceBinding& MobileDeviceBinding() {
  static TMobileDeviceBinding binding;
  return binding;
}

}  // namespace quill
