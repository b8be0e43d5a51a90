#include "support/memory_stream.h"

#include <cstring>
#include <stdexcept>

namespace quill {

void TMemoryStream::Write(const void* bytes, std::size_t count) {
  if (count == 0) return;
  std::memcpy(Extend(count), bytes, count);
}

std::uint8_t* TMemoryStream::Extend(std::size_t count) {
  const std::size_t start = pos_;
  // A count near SIZE_MAX would wrap start + count and shrink the buffer.
  if (count > data_.max_size() - start) throw std::length_error("TMemoryStream::Extend");
  const std::size_t end = start + count;
  // Only a content longer than any before grows (and clears) the buffer.
  if (end > data_.size()) data_.resize(end);
  if (end > size_) size_ = end;
  pos_ = end;
  return data_.data() + start;
}

std::size_t TMemoryStream::Read(void* out, std::size_t count) {
  const std::size_t available = pos_ < size_ ? size_ - pos_ : 0;
  const std::size_t n = count < available ? count : available;
  if (n > 0) std::memcpy(out, data_.data() + pos_, n);
  pos_ += n;
  return n;
}

void TMemoryStream::Truncate(std::size_t size) {
  if (size < size_) size_ = size;
  if (pos_ > size_) pos_ = size_;
}

}  // namespace quill
