#include "device/ios_helper.h"

#include <new>

namespace quill {

namespace {
constexpr const char* kNotLoaded = "The mobile device library is not loaded.";
}

TIosHelper::TIosHelper(int bufferMiB, TOwnerEvent owner)
    : owner_(std::move(owner)),
      buffer_bytes_(bufferMiB > 0 ? static_cast<std::size_t>(bufferMiB) << 20 : 0) {}

void TIosHelper::Start(bool /*skipSubscribe*/) {
  // Without a library there is nothing to subscribe to; the buffer is still
  // allocated so that the facade reports memory as it would with one.
  try {
    buffer_.assign(buffer_bytes_, 0);
  } catch (const std::bad_alloc&) {
    buffer_.clear();
    buffer_.shrink_to_fit();
  }
}

bool TIosHelper::CopyToStream(const std::string&, TMemoryStream&) {
  SetLastError(kNotLoaded);
  return false;
}

bool TIosHelper::CopyToFile(const std::string&, const std::string&) {
  SetLastError(kNotLoaded);
  return false;
}

bool TIosHelper::PathExists(const std::string&) {
  SetLastError(kNotLoaded);
  return false;
}

bool TIosHelper::OpenFile(const std::string&) {
  SetLastError(kNotLoaded);
  return false;
}

bool TIosHelper::ReadAt(std::size_t, std::uint8_t*, std::uint64_t) {
  SetLastError(kNotLoaded);
  return false;
}

void TIosHelper::CloseFile() {}

std::uint64_t TIosHelper::GetFileSize(const std::string&) {
  SetLastError(kNotLoaded);
  return 0;
}

void TIosHelper::ListFiles(const std::string&, std::vector<std::string>&) {
  SetLastError(kNotLoaded);
}

}  // namespace quill
