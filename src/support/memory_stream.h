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
  std::size_t Size() const { return data_.size(); }
  std::size_t Position() const { return pos_; }
  // Positions anywhere up to the end; a larger value is clamped to the end.
  void Seek(std::size_t pos) { pos_ = pos < data_.size() ? pos : data_.size(); }
  // Empties the stream; keeps the capacity so that a reused stream does not
  // allocate per record.
  void Clear() {
    data_.clear();
    pos_ = 0;
  }
  // Writes at the position, growing the stream as needed.
  void Write(const void* bytes, std::size_t count);
  void Write(std::span<const std::uint8_t> bytes) { Write(bytes.data(), bytes.size()); }
  // Reads up to count bytes from the position; returns how many were read.
  std::size_t Read(void* out, std::size_t count);
  // Makes room for count bytes at the position and returns a pointer to them;
  // the stream grows to position + count and the position moves past them.
  std::uint8_t* Extend(std::size_t count);
  // Cuts the stream to size bytes (the position is clamped).
  void Truncate(std::size_t size);

  std::span<const std::uint8_t> Bytes() const { return data_; }
  std::vector<std::uint8_t>& Data() { return data_; }

private:
  std::vector<std::uint8_t> data_;
  std::size_t pos_ = 0;
};

}  // namespace quill
