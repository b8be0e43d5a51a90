#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quill {

// A growable byte buffer with a read/write position, as the readers and
// exporters pass whole files and single records around. Not thread-safe.
class TMemoryStream {
public:
  std::size_t Size() const { return size_; }
  std::size_t Position() const { return pos_; }
  // Positions anywhere up to the end; a larger value is clamped to the end.
  void Seek(std::size_t pos) { pos_ = pos < size_ ? pos : size_; }
  // Empties the stream; keeps the buffer so that a reused stream neither
  // allocates nor clears memory per record.
  void Clear() {
    size_ = 0;
    pos_ = 0;
  }
  // Writes at the position, growing the stream as needed.
  void Write(const void* bytes, std::size_t count);
  void Write(std::span<const std::uint8_t> bytes) { Write(bytes.data(), bytes.size()); }
  // Reads up to count bytes from the position; returns how many were read.
  std::size_t Read(void* out, std::size_t count);
  // Makes room for count bytes at the position and returns a pointer to them;
  // the stream grows to position + count and the position moves past them.
  // The room is not cleared (it may hold an earlier content's bytes): the
  // caller fills it, or cuts the stream back with Truncate.
  std::uint8_t* Extend(std::size_t count);
  // Cuts the stream to size bytes (the position is clamped).
  void Truncate(std::size_t size);
  // Replaces the whole content with what fill puts into the buffer it is
  // given (a vector it may clear and refill, as a whole-file read does);
  // answers fill's result. The position is at the start.
  template <typename TFill>
  auto FillWhole(TFill&& fill) {
    auto result = fill(data_);
    size_ = data_.size();
    pos_ = 0;
    return result;
  }

  std::span<const std::uint8_t> Bytes() const { return {data_.data(), size_}; }
  std::span<std::uint8_t> MutableBytes() { return {data_.data(), size_}; }

private:
  // The content is the first size_ bytes of data_; the rest is room left by
  // an earlier, longer content.
  std::vector<std::uint8_t> data_;
  std::size_t size_ = 0;
  std::size_t pos_ = 0;
};

}  // namespace quill
