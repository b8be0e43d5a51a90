#pragma once

// The C interface of a mobile device library, as the binding looks it up and
// as the replacement libraries in src/mobiledevice export it. Result codes are
// 32-bit; 0 is success and other codes are shown as unsigned decimals.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Message codes of a notification record.
enum { kAmDeviceConnected = 1, kAmDeviceDisconnected = 2 };

// What the notification callback receives: the device reference (a pointer on
// a 64-bit build) and the message code. Valid only during the callback.
typedef struct TAmDeviceNotification {
  void* Device;
  uint32_t Message;
  uint32_t Reserved;
  void* Subscription;
} TAmDeviceNotification;

typedef void (*TAmDeviceNotificationCallback)(TAmDeviceNotification* info, void* cookie);

typedef int32_t (*TAMDeviceNotificationSubscribe)(TAmDeviceNotificationCallback callback,
                                                  uint32_t unused0, uint32_t unused1, void* cookie,
                                                  void** notification);
typedef int32_t (*TAMDeviceConnect)(void* device);
typedef int32_t (*TAMDeviceIsPaired)(void* device);
typedef int32_t (*TAMDeviceValidatePairing)(void* device);
typedef int32_t (*TAMDevicePair)(void* device);
typedef int32_t (*TAMDeviceStartSession)(void* device);
// name: the legacy constant string record or a __CFStringMakeConstantString
// reference; unknown: a 32-bit word set to 0.
typedef int32_t (*TAMDeviceStartService)(void* device, const void* name, void** service,
                                         uint32_t* unknown);
typedef int32_t (*TAMDeviceStopSession)(void* device);
typedef int32_t (*TAMDeviceDisconnect)(void* device);
typedef int32_t (*TAFCConnectionOpen)(void* service, uint32_t timeout, void** connection);
typedef int32_t (*TAFCConnectionClose)(void* connection);
typedef int32_t (*TAFCFileInfoOpen)(void* connection, const char* path, void** info);
typedef int32_t (*TAFCKeyValueRead)(void* info, const char** key, const char** value);
typedef int32_t (*TAFCKeyValueClose)(void* info);
typedef int32_t (*TAFCFileRefOpen)(void* connection, const char* path, uint64_t mode,
                                   uint64_t* file);
// length: the buffer size in, the bytes read out.
typedef int32_t (*TAFCFileRefRead)(void* connection, uint64_t file, void* buffer, uint32_t* length);
typedef int32_t (*TAFCFileRefSeek)(void* connection, uint64_t file, int64_t offset,
                                   uint64_t whence);
typedef int32_t (*TAFCFileRefClose)(void* connection, uint64_t file);
typedef int32_t (*TAFCDirectoryOpen)(void* connection, const char* path, void** directory);
typedef int32_t (*TAFCDirectoryRead)(void* connection, void* directory, char** name);
typedef int32_t (*TAFCDirectoryClose)(void* connection, void* directory);
typedef const void* (*TCFStringMakeConstantString)(const char* text);

#ifdef __cplusplus
}
#endif
