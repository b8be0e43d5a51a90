#include "support/sim_device.h"

#include <dlfcn.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace quill::testing {

namespace {

void* Symbol(const std::string& libraryPath, const char* name) {
  void* handle = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!handle) throw std::runtime_error("simulated library not loaded: " + libraryPath);
  void* symbol = dlsym(handle, name);
  dlclose(handle);  // drops only the reference NOLOAD took
  if (!symbol) throw std::runtime_error(std::string("no symbol ") + name);
  return symbol;
}

}  // namespace

void TSimDevice::UseForProcess(const std::string& libraryPath) {
  setenv("QUILLMERE_MOBILEDEVICE_LIBRARY", libraryPath.c_str(), 1);
}

void TSimDevice::Configure(const std::string& configPath, const std::string& folder,
                           const std::vector<std::string>& lines) {
  std::ofstream out(configPath, std::ios::trunc);
  out << "folder=" << folder << "\n";
  for (const std::string& line : lines) out << line << "\n";
  out.close();
  if (!out) throw std::runtime_error("cannot write " + configPath);
  setenv("QUILL_SIMDEVICE_CONFIG", configPath.c_str(), 1);
}

void TSimDevice::Signal(const std::string& libraryPath) {
  reinterpret_cast<void (*)()>(Symbol(libraryPath, "QuillSimDeviceSignal"))();
}

std::vector<unsigned char> TSimDevice::LastServiceRecord(const std::string& libraryPath) {
  auto get = reinterpret_cast<std::uint32_t (*)(std::uint8_t*, std::uint32_t)>(
      Symbol(libraryPath, "QuillSimDeviceLastServiceRecord"));
  std::vector<unsigned char> bytes(get(nullptr, 0));
  get(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  return bytes;
}

void TSimDevice::Hostile(const std::string& libraryPath, const std::vector<std::uint8_t>& script) {
  reinterpret_cast<void (*)(const std::uint8_t*, std::uint32_t)>(
      Symbol(libraryPath, "QuillSimDeviceHostile"))(script.data(),
                                                    static_cast<std::uint32_t>(script.size()));
}

std::size_t TSimDevice::HostileUsed(const std::string& libraryPath) {
  return reinterpret_cast<std::uint32_t (*)()>(Symbol(libraryPath, "QuillSimDeviceHostileUsed"))();
}

unsigned TSimDevice::OpenFiles(const std::string& libraryPath) {
  return reinterpret_cast<std::uint32_t (*)()>(Symbol(libraryPath, "QuillSimDeviceOpenFiles"))();
}

void TConnectionEvents::Add(bool connected) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(connected);
  changed_.notify_all();
}

bool TConnectionEvents::WaitFor(std::size_t count, int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                           [&] { return events_.size() >= count; });
}

std::vector<bool> TConnectionEvents::Events() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

}  // namespace quill::testing
