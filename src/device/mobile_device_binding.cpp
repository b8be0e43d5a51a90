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
  TMobileDeviceModules modules;
  if (!OpenMobileDeviceModules(modules)) return false;
  return Bind(modules);
}

bool TMobileDeviceBinding::Load(const std::vector<std::string>& candidates) {
  if (loaded_) return true;
  for (const std::string& candidate : candidates) {
    void* handle = OpenLibrary(candidate);
    if (!handle) continue;
    TMobileDeviceModules modules;
    modules.Device = modules.Strings = handle;
    modules.DevicePath = modules.StringsPath = candidate;
    modules.Version = LibraryVersion(handle, candidate);
    return Bind(modules);
  }
  return false;
}

bool TMobileDeviceBinding::Bind(const TMobileDeviceModules& modules) {
  handle_ = modules.Device;
  strings_handle_ = modules.Strings;
  path_ = modules.DevicePath;
  version_ = modules.Version;
  modern_ = version_ >= kModernLibraryVersion;
  void* const handle = modules.Device;

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
  // In modern mode the string maker comes from the strings module.
  if (modern_) {
    api_.CFStringMakeConstantString = reinterpret_cast<TCFStringMakeConstantString>(
        FindSymbol(strings_handle_, "__CFStringMakeConstantString"));
    all &= api_.CFStringMakeConstantString != nullptr;
  }
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

void TMobileDeviceBinding::Unload() {
  if (strings_handle_ && strings_handle_ != handle_) CloseLibrary(strings_handle_);
  CloseLibrary(handle_);
  strings_handle_ = handle_ = nullptr;
  loaded_ = false;
  api_ = TMobileDeviceApi{};
}

TMobileDeviceBinding& MobileDeviceBinding() {
  static TMobileDeviceBinding binding;
  return binding;
}

}  // namespace quill
