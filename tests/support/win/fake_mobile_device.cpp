// A stand-in for the vendor's mobile device library on Windows, for the
// binding's tests: every entry point answers success, and the service name
// that AMDeviceStartService received can be read back.

#include <cstdint>
#include <cstring>
#include <vector>

#include "device/mobile_device_api.h"

namespace {
std::vector<std::uint8_t> g_legacy_name;
const void* g_name_reference = nullptr;
}  // namespace

#define QUILL_EXPORT extern "C" __declspec(dllexport)

QUILL_EXPORT int32_t AMDeviceNotificationSubscribe(TAmDeviceNotificationCallback, uint32_t,
                                                   uint32_t, void*, void** notification) {
  *notification = nullptr;
  return 0;
}
QUILL_EXPORT int32_t AMDeviceConnect(void*) { return 0; }
QUILL_EXPORT int32_t AMDeviceIsPaired(void*) { return 1; }
QUILL_EXPORT int32_t AMDeviceValidatePairing(void*) { return 0; }
QUILL_EXPORT int32_t AMDevicePair(void*) { return 0; }
QUILL_EXPORT int32_t AMDeviceStartSession(void*) { return 0; }
QUILL_EXPORT int32_t AMDeviceStartService(void*, const void* name, void** service,
                                          uint32_t* unknown) {
  g_name_reference = name;
  // A legacy record: 9 bytes of header, the length byte at 8, the name and
  // its zero.
  const auto* bytes = static_cast<const std::uint8_t*>(name);
  if (bytes[4] == 0x8C) g_legacy_name.assign(bytes, bytes + 10 + bytes[8]);
  *service = &g_legacy_name;
  return *unknown == 0 ? 0 : 1;
}
QUILL_EXPORT int32_t AMDeviceStopSession(void*) { return 0; }
QUILL_EXPORT int32_t AMDeviceDisconnect(void*) { return 0; }
QUILL_EXPORT int32_t AFCConnectionOpen(void*, uint32_t, void** connection) {
  *connection = nullptr;
  return 0;
}
QUILL_EXPORT int32_t AFCConnectionClose(void*) { return 0; }
QUILL_EXPORT int32_t AFCFileInfoOpen(void*, const char*, void**) { return 1; }
QUILL_EXPORT int32_t AFCKeyValueRead(void*, const char**, const char**) { return 1; }
QUILL_EXPORT int32_t AFCKeyValueClose(void*) { return 0; }
QUILL_EXPORT int32_t AFCFileRefOpen(void*, const char*, uint64_t, uint64_t*) { return 1; }
QUILL_EXPORT int32_t AFCFileRefRead(void*, uint64_t, void*, uint32_t*) { return 1; }
QUILL_EXPORT int32_t AFCFileRefSeek(void*, uint64_t, int64_t, uint64_t) { return 1; }
QUILL_EXPORT int32_t AFCFileRefClose(void*, uint64_t) { return 0; }
QUILL_EXPORT int32_t AFCDirectoryOpen(void*, const char*, void**) { return 1; }
QUILL_EXPORT int32_t AFCDirectoryRead(void*, void*, char**) { return 1; }
QUILL_EXPORT int32_t AFCDirectoryClose(void*, void*) { return 0; }

// What the last AMDeviceStartService received.
QUILL_EXPORT const void* FakeLastServiceName() { return g_name_reference; }
QUILL_EXPORT std::size_t FakeLastLegacyRecord(std::uint8_t* out, std::size_t capacity) {
  const std::size_t n = g_legacy_name.size() < capacity ? g_legacy_name.size() : capacity;
  if (n) std::memcpy(out, g_legacy_name.data(), n);
  return g_legacy_name.size();
}
