// The mobile device library over libimobiledevice: real iOS devices reached
// through the usbmuxd service. Exports the entry points the binding looks up;
// never writes to a device.

#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <plist/plist.h>
#include <usbmuxd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/mobile_device_api.h"

#define QUILL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kLabel = "quillmere-photo";

// libimobiledevice answers negative enums per module, AFC positive ones: each
// module gets a range of its own, so that the codes stay distinct and non-zero.
int32_t IdeviceCode(int error) {
  return error == 0 ? 0 : static_cast<int32_t>(0xE1000000u + static_cast<uint32_t>(-error));
}
int32_t LockdownCode(int error) {
  return error == 0 ? 0 : static_cast<int32_t>(0xE2000000u + static_cast<uint32_t>(-error));
}
int32_t AfcCode(int error) {
  return error == 0 ? 0 : static_cast<int32_t>(0xE3000000u + static_cast<uint32_t>(error));
}
constexpr int32_t kBadArgument = static_cast<int32_t>(0xE4000001u);
constexpr int32_t kNotPaired = static_cast<int32_t>(0xE4000002u);

// One per UDID, kept for the life of the process, so that a removal finds
// the reference its arrival handed out.
struct TDevice {
  std::string Udid;
  idevice_t Handle = nullptr;
  lockdownd_client_t Lockdown = nullptr;
  char* SessionId = nullptr;
};

// A started service outlives the lockdown client that started it.
struct TService {
  TDevice* Device = nullptr;
  lockdownd_service_descriptor_t Descriptor = nullptr;
};

struct TConnection {
  TDevice* Device = nullptr;
  afc_client_t Client = nullptr;
};

struct TList {
  char** Items = nullptr;
  std::size_t Next = 0;
};

std::mutex g_mutex;
// Never destroyed: libusbmuxd's thread may still deliver an event while the
// process exits.
auto& g_devices = *new std::map<std::string, std::unique_ptr<TDevice>>;
TAmDeviceNotificationCallback g_callback = nullptr;
void* g_cookie = nullptr;
bool g_subscribed = false;

TDevice* Known(void* device) {
  for (const auto& [udid, known] : g_devices)
    if (known.get() == device) return known.get();
  return nullptr;
}

// libusbmuxd's thread: arrivals and removals of USB devices only.
void OnEvent(const idevice_event_t* event, void*) {
  if (!event || !event->udid || event->conn_type != CONNECTION_USBMUXD) return;
  if (event->event != IDEVICE_DEVICE_ADD && event->event != IDEVICE_DEVICE_REMOVE) return;
  TAmDeviceNotification info{};
  TAmDeviceNotificationCallback callback = nullptr;
  void* cookie = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    // The UDID lives only during this call.
    std::unique_ptr<TDevice>& device = g_devices[event->udid];
    if (!device) {
      device = std::make_unique<TDevice>();
      device->Udid = event->udid;
    }
    info.Device = device.get();
    info.Message = event->event == IDEVICE_DEVICE_ADD ? kAmDeviceConnected : kAmDeviceDisconnected;
    callback = g_callback;
    cookie = g_cookie;
  }
  // The connection sequence may run inside the callback.
  if (callback) callback(&info, cookie);
}

void FreeLockdown(TDevice& device) {
  if (device.Lockdown) {
    if (device.SessionId) lockdownd_stop_session(device.Lockdown, device.SessionId);
    lockdownd_client_free(device.Lockdown);
    device.Lockdown = nullptr;
  }
  free(device.SessionId);
  device.SessionId = nullptr;
}

std::string HostId(const std::string& udid) {
  char* data = nullptr;
  uint32_t size = 0;
  if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) < 0 || !data) return {};
  plist_t record = nullptr;
  plist_from_memory(data, size, &record);
  free(data);
  std::string id;
  if (record) {
    plist_t node = plist_dict_get_item(record, "HostID");
    char* text = nullptr;
    if (node && plist_get_node_type(node) == PLIST_STRING) plist_get_string_val(node, &text);
    if (text) id = text;
    free(text);
    plist_free(record);
  }
  return id;
}

}  // namespace

QUILL_EXPORT const void* __CFStringMakeConstantString(const char* text) {
  // Service names are few; each is kept once for the life of the process.
  static std::mutex mutex;
  static std::set<std::string> names;
  std::lock_guard<std::mutex> lock(mutex);
  return names.insert(text ? text : "").first->c_str();
}

QUILL_EXPORT int32_t AMDeviceNotificationSubscribe(TAmDeviceNotificationCallback callback, uint32_t,
                                                   uint32_t, void* cookie, void** notification) {
  if (!callback) return kBadArgument;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_callback = callback;
    g_cookie = cookie;
    if (notification) *notification = &g_callback;
    if (g_subscribed) return 0;
  }
  const idevice_error_t error = idevice_event_subscribe(&OnEvent, nullptr);
  if (error != IDEVICE_E_SUCCESS) return IdeviceCode(error);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_subscribed = true;
  return 0;
}

QUILL_EXPORT int32_t AMDeviceConnect(void* handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TDevice* device = Known(handle);
  if (!device) return kBadArgument;
  FreeLockdown(*device);
  if (device->Handle) idevice_free(device->Handle);
  device->Handle = nullptr;
  idevice_error_t error =
      idevice_new_with_options(&device->Handle, device->Udid.c_str(), IDEVICE_LOOKUP_USBMUX);
  if (error != IDEVICE_E_SUCCESS) return IdeviceCode(error);
  const lockdownd_error_t lerror = lockdownd_client_new(device->Handle, &device->Lockdown, kLabel);
  return LockdownCode(lerror);
}

QUILL_EXPORT int32_t AMDeviceIsPaired(void* handle) {
  std::string udid;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    TDevice* device = Known(handle);
    if (!device) return 0;
    udid = device->Udid;
  }
  char* data = nullptr;
  uint32_t size = 0;
  const int result = usbmuxd_read_pair_record(udid.c_str(), &data, &size);
  free(data);
  return result >= 0 && size > 0 ? 1 : 0;
}

QUILL_EXPORT int32_t AMDeviceValidatePairing(void* handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TDevice* device = Known(handle);
  if (!device || !device->Lockdown) return kBadArgument;
  return LockdownCode(lockdownd_validate_pair(device->Lockdown, nullptr));
}

QUILL_EXPORT int32_t AMDevicePair(void* handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TDevice* device = Known(handle);
  if (!device || !device->Lockdown) return kBadArgument;
  return LockdownCode(lockdownd_pair(device->Lockdown, nullptr));
}

QUILL_EXPORT int32_t AMDeviceStartSession(void* handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TDevice* device = Known(handle);
  if (!device || !device->Lockdown) return kBadArgument;
  const std::string hostId = HostId(device->Udid);
  if (hostId.empty()) return kNotPaired;
  free(device->SessionId);
  device->SessionId = nullptr;
  return LockdownCode(
      lockdownd_start_session(device->Lockdown, hostId.c_str(), &device->SessionId, nullptr));
}

QUILL_EXPORT int32_t AMDeviceStartService(void* handle, const void* name, void** service,
                                          uint32_t*) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TDevice* device = Known(handle);
  if (!device || !device->Lockdown || !name || !service) return kBadArgument;
  auto started = std::make_unique<TService>();
  started->Device = device;
  const lockdownd_error_t error = lockdownd_start_service(
      device->Lockdown, static_cast<const char*>(name), &started->Descriptor);
  if (error != LOCKDOWN_E_SUCCESS) return LockdownCode(error);
  *service = started.release();
  return 0;
}

QUILL_EXPORT int32_t AMDeviceStopSession(void* handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TDevice* device = Known(handle);
  if (!device || !device->Lockdown || !device->SessionId) return kBadArgument;
  const lockdownd_error_t error = lockdownd_stop_session(device->Lockdown, device->SessionId);
  free(device->SessionId);
  device->SessionId = nullptr;
  return LockdownCode(error);
}

QUILL_EXPORT int32_t AMDeviceDisconnect(void* handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TDevice* device = Known(handle);
  if (!device) return kBadArgument;
  FreeLockdown(*device);
  return 0;
}

QUILL_EXPORT int32_t AFCConnectionOpen(void* handle, uint32_t, void** connection) {
  std::unique_ptr<TService> service(static_cast<TService*>(handle));
  if (!service || !connection) return kBadArgument;
  std::lock_guard<std::mutex> lock(g_mutex);
  auto made = std::make_unique<TConnection>();
  made->Device = service->Device;
  const afc_error_t error =
      afc_client_new(service->Device->Handle, service->Descriptor, &made->Client);
  lockdownd_service_descriptor_free(service->Descriptor);
  if (error != AFC_E_SUCCESS) return AfcCode(error);
  *connection = made.release();
  return 0;
}

QUILL_EXPORT int32_t AFCConnectionClose(void* handle) {
  auto* connection = static_cast<TConnection*>(handle);
  if (!connection) return kBadArgument;
  const afc_error_t error = afc_client_free(connection->Client);
  delete connection;
  return AfcCode(error);
}

QUILL_EXPORT int32_t AFCFileInfoOpen(void* handle, const char* path, void** info) {
  auto* connection = static_cast<TConnection*>(handle);
  if (!connection || !path || !info) return kBadArgument;
  auto list = std::make_unique<TList>();
  const afc_error_t error = afc_get_file_info(connection->Client, path, &list->Items);
  if (error != AFC_E_SUCCESS) return AfcCode(error);
  *info = list.release();
  return 0;
}

QUILL_EXPORT int32_t AFCKeyValueRead(void* info, const char** key, const char** value) {
  auto* list = static_cast<TList*>(info);
  if (!list || !key || !value) return kBadArgument;
  *key = nullptr;
  *value = nullptr;
  if (!list->Items || !list->Items[list->Next] || !list->Items[list->Next + 1]) return 0;
  *key = list->Items[list->Next];
  *value = list->Items[list->Next + 1];
  list->Next += 2;
  return 0;
}

QUILL_EXPORT int32_t AFCKeyValueClose(void* info) {
  auto* list = static_cast<TList*>(info);
  if (!list) return kBadArgument;
  afc_dictionary_free(list->Items);
  delete list;
  return 0;
}

QUILL_EXPORT int32_t AFCFileRefOpen(void* handle, const char* path, uint64_t, uint64_t* file) {
  auto* connection = static_cast<TConnection*>(handle);
  if (!connection || !path || !file) return kBadArgument;
  // Whatever mode is asked, files are opened for reading only: any other
  // AFC mode would open the device's file for writing or create it.
  return AfcCode(afc_file_open(connection->Client, path, AFC_FOPEN_RDONLY, file));
}

QUILL_EXPORT int32_t AFCFileRefRead(void* handle, uint64_t file, void* buffer, uint32_t* length) {
  auto* connection = static_cast<TConnection*>(handle);
  if (!connection || !length || (!buffer && *length)) return kBadArgument;
  // One answer carries what the device sent at once; the caller takes a short
  // count for the end of the file, so the buffer is filled to the end.
  const uint32_t want = *length;
  uint32_t done = 0;
  while (done < want) {
    uint32_t got = 0;
    const afc_error_t error = afc_file_read(connection->Client, file,
                                            static_cast<char*>(buffer) + done, want - done, &got);
    if (error != AFC_E_SUCCESS) {
      *length = done;
      return AfcCode(error);
    }
    if (got == 0) break;
    done += got;
  }
  *length = done;
  return 0;
}

QUILL_EXPORT int32_t AFCFileRefSeek(void* handle, uint64_t file, int64_t offset, uint64_t whence) {
  auto* connection = static_cast<TConnection*>(handle);
  if (!connection || whence > 2) return kBadArgument;
  return AfcCode(afc_file_seek(connection->Client, file, offset, static_cast<int>(whence)));
}

QUILL_EXPORT int32_t AFCFileRefClose(void* handle, uint64_t file) {
  auto* connection = static_cast<TConnection*>(handle);
  if (!connection) return kBadArgument;
  return AfcCode(afc_file_close(connection->Client, file));
}

QUILL_EXPORT int32_t AFCDirectoryOpen(void* handle, const char* path, void** directory) {
  auto* connection = static_cast<TConnection*>(handle);
  if (!connection || !path || !directory) return kBadArgument;
  auto list = std::make_unique<TList>();
  const afc_error_t error = afc_read_directory(connection->Client, path, &list->Items);
  if (error != AFC_E_SUCCESS) return AfcCode(error);
  *directory = list.release();
  return 0;
}

QUILL_EXPORT int32_t AFCDirectoryRead(void*, void* directory, char** name) {
  auto* list = static_cast<TList*>(directory);
  if (!list || !name) return kBadArgument;
  *name = list->Items ? list->Items[list->Next] : nullptr;
  if (*name) ++list->Next;
  return 0;
}

QUILL_EXPORT int32_t AFCDirectoryClose(void*, void* directory) {
  auto* list = static_cast<TList*>(directory);
  if (!list) return kBadArgument;
  afc_dictionary_free(list->Items);
  delete list;
  return 0;
}
