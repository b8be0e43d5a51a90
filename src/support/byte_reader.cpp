#include "support/byte_reader.h"

#include <cstring>
#include <limits>

namespace quill {

std::optional<std::uint64_t> CheckedAdd(std::uint64_t a, std::uint64_t b) {
  if (a > std::numeric_limits<std::uint64_t>::max() - b) return std::nullopt;
  return a + b;
}

std::optional<std::uint64_t> CheckedMul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) return std::nullopt;
  return a * b;
}

bool TByteReader::Has(std::uint64_t offset, std::uint64_t size) const {
  return offset <= data_.size() && size <= data_.size() - offset;
}

std::optional<std::uint16_t> TByteReader::U16At(std::uint64_t offset) const {
  if (!Has(offset, 2)) return std::nullopt;
  const std::uint8_t* p = data_.data() + offset;
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::optional<std::uint32_t> TByteReader::U32At(std::uint64_t offset) const {
  if (!Has(offset, 4)) return std::nullopt;
  const std::uint8_t* p = data_.data() + offset;
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::optional<std::span<const std::uint8_t>> TByteReader::BytesAt(std::uint64_t offset,
                                                                  std::uint64_t size) const {
  if (!Has(offset, size)) return std::nullopt;
  return data_.subspan(offset, size);
}

bool TByteReader::TagAt(std::uint64_t offset, std::string_view tag) const {
  if (tag.size() != 4 || !Has(offset, 4)) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
    if (lower(data_[offset + i]) != lower(static_cast<unsigned char>(tag[i]))) return false;
  }
  return true;
}

}  // namespace quill
