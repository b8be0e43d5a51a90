#include "support/bitmap.h"

#include <array>
#include <bit>
#include <cstring>

#include "support/byte_reader.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quill {

void TBitmap24::SetSize(int width, int height) {
  width_ = width > 0 ? width : 0;
  height_ = height > 0 ? height : 0;
  // assign() rather than a fresh vector keeps the capacity of a reused bitmap.
  pixels_.assign(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 3, 0);
}

void TBitmap24::Reshape(int width, int height) {
  width_ = width > 0 ? width : 0;
  height_ = height > 0 ? height : 0;
  pixels_.resize(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 3);
}

bool PictureSizeAllowed(std::int64_t width, std::int64_t height) {
  return width > 0 && height > 0 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
         width * height <= kMaxPicturePixels;
}

namespace {

constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiBitfields = 3;

// One colour channel of a 16-bit pixel: where it sits and how its value
// widens to 8 bits.
struct TChannel {
  std::uint32_t mask = 0;
  int shift = 0;
  int drop = 0;  // low bits dropped when the channel is wider than 8 bits
  std::array<std::uint8_t, 256> widen{};

  // False for a mask that is empty, not one run of bits, or outside 16 bits.
  bool Init(std::uint32_t channel_mask) {
    if (channel_mask == 0 || channel_mask > 0xFFFF) return false;
    mask = channel_mask;
    shift = std::countr_zero(mask);
    const std::uint32_t run = mask >> shift;
    if ((run & (run + 1)) != 0) return false;
    int bits = std::popcount(run);
    drop = bits > 8 ? bits - 8 : 0;
    bits -= drop;
    // Repeat the channel's bits until eight are filled, so that the largest
    // value becomes 255 and 0 stays 0 (5 bits abcde give abcdeabc).
    const std::uint32_t levels = 1u << bits;
    for (std::uint32_t v = 0; v < levels; ++v) {
      std::uint32_t out = 0;
      int filled = 0;
      while (filled < 8) {
        const int take = bits < 8 - filled ? bits : 8 - filled;
        out = (out << take) | (v >> (bits - take));
        filled += take;
      }
      widen[v] = static_cast<std::uint8_t>(out);
    }
    return true;
  }
  std::uint8_t Of(std::uint32_t pixel) const { return widen[((pixel & mask) >> shift) >> drop]; }
};

struct TBmpHeader {
  std::int64_t width = 0;
  std::int64_t height = 0;  // positive; see top_down
  bool top_down = false;
  std::uint32_t bit_count = 0;
  std::uint32_t compression = kBiRgb;
  std::uint64_t header_end = 0;  // first byte after the info header
  std::uint32_t palette_entry = 4;
  std::uint32_t colors_used = 0;
};

// Reads the file header and the info header (the 12-byte core form or the
// 40-byte form and its longer successors).
bool ReadHeader(const TByteReader& in, TBmpHeader& h) {
  const auto magic = in.BytesAt(0, 2);
  if (!magic || (*magic)[0] != 'B' || (*magic)[1] != 'M') return false;
  const auto info_size = in.U32At(14);
  if (!info_size) return false;
  if (*info_size == 12) {
    const auto w = in.U16At(18);
    const auto ht = in.U16At(20);
    const auto bits = in.U16At(24);
    if (!w || !ht || !bits) return false;
    h.width = *w;
    h.height = *ht;
    h.bit_count = *bits;
    h.palette_entry = 3;
  } else if (*info_size >= 40 && *info_size <= 1024) {
    const auto w = in.U32At(18);
    const auto ht = in.U32At(22);
    const auto bits = in.U16At(28);
    const auto compression = in.U32At(30);
    const auto used = in.U32At(46);
    if (!w || !ht || !bits || !compression || !used) return false;
    h.width = static_cast<std::int32_t>(*w);
    const std::int64_t height = static_cast<std::int32_t>(*ht);
    h.top_down = height < 0;
    h.height = height < 0 ? -height : height;
    h.bit_count = *bits;
    h.compression = *compression;
    h.colors_used = *used;
  } else {
    return false;
  }
  h.header_end = 14 + std::uint64_t{*info_size};
  return in.Has(0, h.header_end) && PictureSizeAllowed(h.width, h.height);
}

// Decodes the rows that are present into out (made width x height without a
// fill of its own); rows and ends of rows that the data does not hold are
// black.
template <typename TRowDecoder>
void DecodeRows(const TBmpHeader& h, std::span<const std::uint8_t> pixels, std::uint64_t stride,
                TBitmap24& out, TRowDecoder&& decode_row) {
  out.Reshape(static_cast<int>(h.width), static_cast<int>(h.height));
  const int height = out.Height();
  const std::size_t rowBytes = static_cast<std::size_t>(out.Width()) * 3;
  for (int i = 0; i < height; ++i) {
    const std::uint64_t start = static_cast<std::uint64_t>(i) * stride;
    int count = 0;
    const int y = h.top_down ? i : height - 1 - i;
    if (start < pixels.size()) {
      const std::uint64_t available =
          pixels.size() - start < stride ? pixels.size() - start : stride;
      const std::uint64_t whole_pixels = available * 8 / h.bit_count;
      count = whole_pixels < static_cast<std::uint64_t>(out.Width())
                  ? static_cast<int>(whole_pixels)
                  : out.Width();
      decode_row(pixels.data() + start, count, out.Row(y));
    }
    const std::size_t done = static_cast<std::size_t>(count) * 3;
    if (done < rowBytes) std::memset(out.Row(y) + done, 0, rowBytes - done);
  }
}

// A 16-bit pixel of 5-6-5 or 5-5-5 bits widened to 8 bits per channel by
// repeating its top bits, as the general channel tables do, in arithmetic
// that works on eight pixels at once.
template <bool kGreen6>
void DecodeRow16(const std::uint8_t* src, int count, std::uint8_t* dst) {
  int x = 0;
#if defined(__SSE2__)
  const __m128i five = _mm_set1_epi16(0x1F);
  for (; x + 8 <= count; x += 8, src += 16, dst += 24) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i b5 = _mm_and_si128(p, five);
    const __m128i r5 = _mm_and_si128(_mm_srli_epi16(p, kGreen6 ? 11 : 10), five);
    const __m128i b = _mm_or_si128(_mm_slli_epi16(b5, 3), _mm_srli_epi16(b5, 2));
    const __m128i r = _mm_or_si128(_mm_slli_epi16(r5, 3), _mm_srli_epi16(r5, 2));
    __m128i g;
    if constexpr (kGreen6) {
      const __m128i g6 = _mm_and_si128(_mm_srli_epi16(p, 5), _mm_set1_epi16(0x3F));
      g = _mm_or_si128(_mm_slli_epi16(g6, 2), _mm_srli_epi16(g6, 4));
    } else {
      const __m128i g5 = _mm_and_si128(_mm_srli_epi16(p, 5), five);
      g = _mm_or_si128(_mm_slli_epi16(g5, 3), _mm_srli_epi16(g5, 2));
    }
    // B | G << 8 and R per pixel, then each pixel as four bytes B G R 0
    // stored three bytes apart; the last store writes exactly three.
    const __m128i bg = _mm_or_si128(b, _mm_slli_epi16(g, 8));
    alignas(16) std::uint32_t px[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(px), _mm_unpacklo_epi16(bg, r));
    _mm_store_si128(reinterpret_cast<__m128i*>(px + 4), _mm_unpackhi_epi16(bg, r));
    for (int i = 0; i < 7; ++i) std::memcpy(dst + 3 * i, px + i, 4);
    std::memcpy(dst + 21, px + 7, 3);
  }
#endif
  for (; x < count; ++x, src += 2, dst += 3) {
    const std::uint32_t value = src[0] | (std::uint32_t{src[1]} << 8);
    const std::uint32_t b5 = value & 0x1F;
    const std::uint32_t r5 = (value >> (kGreen6 ? 11 : 10)) & 0x1F;
    dst[0] = static_cast<std::uint8_t>((b5 << 3) | (b5 >> 2));
    if constexpr (kGreen6) {
      const std::uint32_t g6 = (value >> 5) & 0x3F;
      dst[1] = static_cast<std::uint8_t>((g6 << 2) | (g6 >> 4));
    } else {
      const std::uint32_t g5 = (value >> 5) & 0x1F;
      dst[1] = static_cast<std::uint8_t>((g5 << 3) | (g5 >> 2));
    }
    dst[2] = static_cast<std::uint8_t>((r5 << 3) | (r5 >> 2));
  }
}

}  // namespace

bool LoadBitmapFile(std::span<const std::uint8_t> file, TBitmap24& out) {
  // The bitmap keeps its buffer (a decoder reused photo after photo does not
  // allocate or clear it twice) but is empty on every refusal.
  struct TEmptyUnlessDone {
    TBitmap24& bitmap;
    bool done = false;
    ~TEmptyUnlessDone() {
      if (!done) bitmap.SetSize(0, 0);
    }
  } result{out};
  const TByteReader in(file);
  TBmpHeader h;
  if (!ReadHeader(in, h)) return false;

  const auto pixel_offset = in.U32At(10);
  if (!pixel_offset || *pixel_offset < h.header_end || *pixel_offset > file.size()) return false;

  const auto row_bits = CheckedMul(static_cast<std::uint64_t>(h.width), h.bit_count);
  if (!row_bits) return false;
  const std::uint64_t stride = (*row_bits + 31) / 32 * 4;
  const std::span<const std::uint8_t> pixels = file.subspan(*pixel_offset);

  if (h.bit_count == 24 && h.compression == kBiRgb) {
    DecodeRows(h, pixels, stride, out, [](const std::uint8_t* src, int count, std::uint8_t* dst) {
      std::memcpy(dst, src, static_cast<std::size_t>(count) * 3);
    });
    return result.done = true;
  }

  if (h.bit_count == 16 && (h.compression == kBiRgb || h.compression == kBiBitfields)) {
    std::uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
    if (h.compression == kBiBitfields) {
      // The masks follow a 40-byte header and sit at the same place inside
      // the longer header forms.
      for (int c = 0; c < 3; ++c) {
        const auto mask = in.U32At(54 + 4 * static_cast<std::uint64_t>(c));
        if (!mask) return false;
        masks[c] = *mask;
      }
      if (*pixel_offset < 66) return false;
    }
    TChannel red, green, blue;
    if (!red.Init(masks[0]) || !green.Init(masks[1]) || !blue.Init(masks[2])) return false;
    if (masks[2] == 0x001F && masks[1] == 0x07E0 && masks[0] == 0xF800) {
      DecodeRows(h, pixels, stride, out, DecodeRow16<true>);
    } else if (masks[2] == 0x001F && masks[1] == 0x03E0 && masks[0] == 0x7C00) {
      DecodeRows(h, pixels, stride, out, DecodeRow16<false>);
    } else {
      DecodeRows(h, pixels, stride, out,
                 [&](const std::uint8_t* src, int count, std::uint8_t* dst) {
                   for (int x = 0; x < count; ++x, src += 2, dst += 3) {
                     const std::uint32_t value = src[0] | (std::uint32_t{src[1]} << 8);
                     dst[0] = blue.Of(value);
                     dst[1] = green.Of(value);
                     dst[2] = red.Of(value);
                   }
                 });
    }
    return result.done = true;
  }

  if (h.bit_count == 8 && h.compression == kBiRgb) {
    const std::uint32_t entries = h.colors_used == 0 ? 256 : h.colors_used;
    if (entries > 256) return false;
    const auto table = in.BytesAt(h.header_end, std::uint64_t{entries} * h.palette_entry);
    if (!table || h.header_end + table->size() > *pixel_offset) return false;
    // Indices past the palette read as black.
    std::array<std::array<std::uint8_t, 3>, 256> palette{};
    for (std::uint32_t i = 0; i < entries; ++i) {
      std::memcpy(palette[i].data(), table->data() + std::size_t{i} * h.palette_entry, 3);
    }
    DecodeRows(h, pixels, stride, out, [&](const std::uint8_t* src, int count, std::uint8_t* dst) {
      for (int x = 0; x < count; ++x, dst += 3) std::memcpy(dst, palette[src[x]].data(), 3);
    });
    return result.done = true;
  }

  return false;
}

}  // namespace quill
