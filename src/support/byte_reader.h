#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quill {

// Adds two offsets; empty on overflow of 64 bits.
std::optional<std::uint64_t> CheckedAdd(std::uint64_t a, std::uint64_t b);
// Multiplies two counts; empty on overflow of 64 bits.
std::optional<std::uint64_t> CheckedMul(std::uint64_t a, std::uint64_t b);

// Bounds-checked little-endian reads over bytes that came from a device. Every
// accessor answers empty (or false) when the value does not lie wholly inside
// the data, so a truncated chunk reads as a wrong tag, never as garbage.
class TByteReader {
public:
  explicit TByteReader(std::span<const std::uint8_t> data) : data_(data) {}

  std::uint64_t Size() const { return data_.size(); }
  // True when [offset, offset + size) lies inside the data.
  bool Has(std::uint64_t offset, std::uint64_t size) const;

  std::optional<std::uint16_t> U16At(std::uint64_t offset) const;
  std::optional<std::uint32_t> U32At(std::uint64_t offset) const;
  std::optional<std::span<const std::uint8_t>> BytesAt(std::uint64_t offset,
                                                       std::uint64_t size) const;
  // Compares four ASCII characters at offset with tag, ignoring letter case;
  // false when fewer than four bytes remain.
  bool TagAt(std::uint64_t offset, std::string_view tag) const;

private:
  std::span<const std::uint8_t> data_;
};

}  // namespace quill
