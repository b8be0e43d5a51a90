#pragma once

// The parts of the Win32 half that its tests reach directly.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "device/platform/platform.h"

namespace quill {

// UTF-8 (the program's strings) to and from the system's UTF-16.
std::wstring Widen(std::string_view text);
std::string Narrow(std::wstring_view text);
// A fixed-size buffer of the system cut at its first NUL.
std::string CutAtNul(const wchar_t* buffer, std::size_t capacity);

// The volumes as the Win32 half opens and controls them; tests refuse a lock
// or count the controls through their own.
class TVolumeControl {
public:
  virtual ~TVolumeControl() = default;
  // "\\.\F:" opened for reading, or for reading and writing (the eject);
  // null when it does not open.
  virtual void* Open(const std::string& drive, bool forWriting) = 0;
  virtual bool Control(void* volume, unsigned long code, const void* input,
                       unsigned long inputSize) = 0;
  virtual void Close(void* volume) = 0;
  // GetDriveTypeW of a root such as "F:\".
  virtual unsigned DriveType(const std::string& root) = 0;
};

// The entry of drive letter: mount point "F:\", source "\\.\F:".
TMountEntry VolumeEntry(char letter);
// A WM_DEVICECHANGE message (its wParam and lParam) as the facade takes it.
TDeviceChangeMessage DecodeDeviceChange(std::uintptr_t event, const void* data);
std::unique_ptr<TPlatform> CreateWin32Platform(std::unique_ptr<TVolumeControl> volumes);

}  // namespace quill
