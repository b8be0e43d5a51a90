#include "support/ipod_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numbers>
#include <stdexcept>

#include "support/byte_reader.h"
#include "support/picture.h"

namespace quill::testing {

namespace chunk {

void Append(std::vector<std::uint8_t>& to, const std::vector<std::uint8_t>& bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

void PutU32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
  if (bytes.size() < offset + 4) bytes.resize(offset + 4);
  for (int i = 0; i < 4; ++i)
    bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value) {
  if (bytes.size() < offset + 2) bytes.resize(offset + 2);
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::vector<std::uint8_t> Header(const char tag[4], std::uint32_t headerLen, std::uint32_t third,
                                 std::uint32_t headerPadTo) {
  std::vector<std::uint8_t> bytes(std::max({headerLen, headerPadTo, std::uint32_t{12}}), 0);
  std::memcpy(bytes.data(), tag, 4);
  PutU32(bytes, 4, headerLen);
  PutU32(bytes, 8, third);
  return bytes;
}

namespace {

// A chunk of a real header length (plus padding) whose third field is the
// total length, with the body after the header.
std::vector<std::uint8_t> Start(const char* lowerTag, std::uint32_t realHeaderLen,
                                const TChunkStyle& style) {
  char tag[4];
  for (int i = 0; i < 4; ++i) {
    const char c = lowerTag[i];
    tag[i] = style.UpperCaseTags && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return Header(tag, realHeaderLen + style.Padding, 0);
}

std::uint32_t Size32(std::size_t size) {
  if (size > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("chunk over 4 GiB");
  return static_cast<std::uint32_t>(size);
}

std::vector<std::uint8_t> WithBody(std::vector<std::uint8_t> header,
                                   const std::vector<std::uint8_t>& body, bool totalAt8) {
  Append(header, body);
  if (totalAt8) PutU32(header, 8, Size32(header.size()));
  return header;
}

std::vector<std::uint8_t> Joined(const std::vector<std::vector<std::uint8_t>>& parts) {
  std::vector<std::uint8_t> out;
  for (const auto& part : parts) Append(out, part);
  return out;
}

std::vector<std::uint8_t> Utf8ToUtf16Le(const std::string& text) {
  std::vector<std::uint8_t> out;
  auto unit = [&out](std::uint32_t u) {
    out.push_back(static_cast<std::uint8_t>(u));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<std::uint8_t>(text[i]);
    std::uint32_t cp = c;
    int extra = 0;
    if (c >= 0xF0) {
      cp = c & 0x07u;
      extra = 3;
    } else if (c >= 0xE0) {
      cp = c & 0x0Fu;
      extra = 2;
    } else if (c >= 0xC0) {
      cp = c & 0x1Fu;
      extra = 1;
    }
    ++i;
    for (int k = 0; k < extra && i < text.size(); ++k, ++i)
      cp = (cp << 6) | (static_cast<std::uint8_t>(text[i]) & 0x3Fu);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

}  // namespace

std::vector<std::uint8_t> Mhfd(std::uint32_t sections, const std::vector<std::uint8_t>& body,
                               const TChunkStyle& style) {
  auto bytes = Start("mhfd", 0x84, style);
  PutU32(bytes, 16, 2);  // the version real libraries write
  PutU32(bytes, 20, sections);
  PutU32(bytes, 48, 2);
  return WithBody(std::move(bytes), body, true);
}

std::vector<std::uint8_t> Section(std::uint32_t type, const std::vector<std::uint8_t>& body,
                                  const TChunkStyle& style) {
  auto bytes = Start("mhsd", 0x60, style);
  PutU32(bytes, 12, type);
  return WithBody(std::move(bytes), body, true);
}

std::vector<std::uint8_t> Mhli(const std::vector<std::vector<std::uint8_t>>& images,
                               const TChunkStyle& style) {
  auto bytes = Start("mhli", 0x5C, style);
  PutU32(bytes, 8, Size32(images.size()));
  Append(bytes, Joined(images));
  return bytes;
}

std::vector<std::uint8_t> Mhii(std::uint32_t id, std::optional<std::uint32_t> created,
                               std::optional<std::uint32_t> digitized,
                               const std::vector<std::vector<std::uint8_t>>& children,
                               const TChunkStyle& style) {
  auto bytes = Start("mhii", 0x98, style);
  PutU32(bytes, 12, Size32(children.size()));
  PutU32(bytes, 16, id);
  // Dates in seconds since 1904, as the device keeps them.
  const std::uint32_t date = DefaultPhotoDate(id);
  PutU32(bytes, 40, created.value_or(date));
  PutU32(bytes, 44, digitized.value_or(date));
  return WithBody(std::move(bytes), Joined(children), true);
}

std::vector<std::uint8_t> Mhii(std::uint32_t id,
                               const std::vector<std::vector<std::uint8_t>>& children,
                               const TChunkStyle& style) {
  return Mhii(id, std::nullopt, std::nullopt, children, style);
}

std::vector<std::uint8_t> Container(std::uint16_t type, const std::vector<std::uint8_t>& payload,
                                    const TChunkStyle& style) {
  auto bytes = Start("mhod", 0x18, style);
  PutU16(bytes, 12, type);
  return WithBody(std::move(bytes), payload, true);
}

std::vector<std::uint8_t> Mhni(std::int32_t formatId, std::uint32_t offset, std::uint32_t size,
                               std::uint16_t width, std::uint16_t height, std::uint16_t padH,
                               std::uint16_t padV, const std::vector<std::uint8_t>& nameChunk,
                               const TChunkStyle& style) {
  auto bytes = Start("mhni", 0x4C, style);
  PutU32(bytes, 12, nameChunk.empty() ? 0 : 1);
  PutU32(bytes, 16, static_cast<std::uint32_t>(formatId));
  PutU32(bytes, 20, offset);
  PutU32(bytes, 24, size);
  PutU16(bytes, 28, padV);
  PutU16(bytes, 30, padH);
  PutU16(bytes, 32, height);
  PutU16(bytes, 34, width);
  PutU32(bytes, 40, size);  // real references repeat the image size here
  return WithBody(std::move(bytes), nameChunk, true);
}

std::vector<std::uint8_t> String(std::uint16_t type, const std::string& utf8,
                                 const TChunkStyle& style) {
  const bool utf16 = type == 3;
  std::vector<std::uint8_t> text =
      utf16 ? Utf8ToUtf16Le(utf8) : std::vector<std::uint8_t>(utf8.begin(), utf8.end());
  const auto textLen = Size32(text.size());
  const std::uint32_t pad = (4 - textLen % 4) % 4;
  auto bytes = Start("mhod", 0x18, style);
  PutU16(bytes, 12, type);
  bytes[15] = static_cast<std::uint8_t>(pad);  // real libraries record the text's padding here
  const std::size_t stringHeader = bytes.size();
  PutU32(bytes, stringHeader, textLen);
  PutU32(bytes, stringHeader + 4, utf16 ? 2 : 1);
  PutU32(bytes, stringHeader + 8, 0);
  Append(bytes, text);
  bytes.resize(bytes.size() + pad, 0);
  PutU32(bytes, 8, Size32(bytes.size()));
  return bytes;
}

std::vector<std::uint8_t> Mhla(const std::vector<std::vector<std::uint8_t>>& albums,
                               const TChunkStyle& style) {
  auto bytes = Start("mhla", 0x5C, style);
  PutU32(bytes, 8, Size32(albums.size()));
  Append(bytes, Joined(albums));
  return bytes;
}

std::vector<std::uint8_t> Mhba(const std::vector<std::vector<std::uint8_t>>& strings,
                               const std::vector<std::uint32_t>& ids, std::uint32_t albumId,
                               std::uint8_t albumType, const TChunkStyle& style) {
  auto bytes = Start("mhba", 0x94, style);
  PutU32(bytes, 12, Size32(strings.size()));
  PutU32(bytes, 16, Size32(ids.size()));
  PutU32(bytes, 20, albumId);
  bytes[30] = albumType;
  bytes[34] = 1;                                        // show titles
  PutU32(bytes, 36, 3);                                 // slide duration in seconds
  PutU32(bytes, 40, 1000);                              // transition duration in milliseconds
  PutU32(bytes, 60, albumId > 0x64 ? albumId - 1 : 0);  // the album before it
  std::vector<std::uint8_t> body = Joined(strings);
  for (std::uint32_t id : ids) Append(body, Mhia(id, style));
  return WithBody(std::move(bytes), body, true);
}

std::vector<std::uint8_t> Mhia(std::uint32_t id, const TChunkStyle& style) {
  auto bytes = Start("mhia", 0x28, style);
  PutU32(bytes, 8, Size32(bytes.size()));
  PutU32(bytes, 16, id);
  return bytes;
}

std::vector<std::uint8_t> Mhlf(const std::vector<std::vector<std::uint8_t>>& files,
                               const TChunkStyle& style) {
  auto bytes = Start("mhlf", 0x5C, style);
  PutU32(bytes, 8, Size32(files.size()));
  Append(bytes, Joined(files));
  return bytes;
}

std::vector<std::uint8_t> Mhif(std::int32_t formatId, std::uint32_t recordBytes,
                               const TChunkStyle& style) {
  auto bytes = Start("mhif", 0x7C, style);
  PutU32(bytes, 8, Size32(bytes.size()));
  PutU32(bytes, 16, static_cast<std::uint32_t>(formatId));
  PutU32(bytes, 20, recordBytes);
  return bytes;
}

}  // namespace chunk

namespace {

using chunk::PutU16;
using chunk::PutU32;

struct TRgb {
  double R, G, B;
};

TRgb PixelAt(const TBitmap24& picture, int x, int y) {
  const std::uint8_t* p = picture.Row(y) + static_cast<std::size_t>(x) * 3;
  return {static_cast<double>(p[2]), static_cast<double>(p[1]), static_cast<double>(p[0])};
}

void SetPixel(TBitmap24& bitmap, int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  std::uint8_t* p = bitmap.Row(y) + static_cast<std::size_t>(x) * 3;
  p[0] = b;
  p[1] = g;
  p[2] = r;
}

TBitmap24 ScaleNearest(const TBitmap24& picture, int width, int height) {
  TBitmap24 out(width, height);
  if (picture.Empty()) return out;  // black
  for (int y = 0; y < height; ++y) {
    const int sy = static_cast<int>(static_cast<std::int64_t>(y) * picture.Height() / height);
    for (int x = 0; x < width; ++x) {
      const int sx = static_cast<int>(static_cast<std::int64_t>(x) * picture.Width() / width);
      std::memcpy(out.Row(y) + static_cast<std::size_t>(x) * 3,
                  picture.Row(sy) + static_cast<std::size_t>(sx) * 3, 3);
    }
  }
  return out;
}

std::uint8_t Clamp(double x) {
  const double r = std::nearbyint(x);
  return static_cast<std::uint8_t>(std::clamp(r, 0.0, 255.0));
}

// Limited-range BT.601, the inverse of the decoders' 1.164/1.596/... matrix.
double LumaOf(const TRgb& c) { return 16.0 + 0.257 * c.R + 0.504 * c.G + 0.098 * c.B; }
double CbOf(const TRgb& c) { return 128.0 - 0.148 * c.R - 0.291 * c.G + 0.439 * c.B; }
double CrOf(const TRgb& c) { return 128.0 + 0.439 * c.R - 0.368 * c.G - 0.071 * c.B; }

void YuvToRgb(std::uint8_t y, std::uint8_t u, std::uint8_t v, bool planar, std::uint8_t& r,
              std::uint8_t& g, std::uint8_t& b) {
  const double yy = 1.164 * (y - 16.0);
  const double uu = u - 128.0;
  const double vv = v - 128.0;
  r = Clamp(yy + 1.596 * vv);
  g = Clamp(yy - (planar ? 0.391 : 0.392) * uu - 0.813 * vv);
  b = Clamp(yy + (planar ? 2.018 : 2.017) * uu);
}

std::uint8_t Quantise(double value, int bits) {
  const double top = (1 << bits) - 1;
  return static_cast<std::uint8_t>(std::nearbyint(value * top / 255.0));
}

std::uint8_t Widen(std::uint8_t v, int bits) {
  return static_cast<std::uint8_t>(bits == 5 ? (v << 3) | (v >> 2) : (v << 2) | (v >> 4));
}

std::uint16_t Pack16(const TRgb& c, bool rgb555) {
  if (rgb555)
    return static_cast<std::uint16_t>(Quantise(c.R, 5) << 10 | Quantise(c.G, 5) << 5 |
                                      Quantise(c.B, 5));
  return static_cast<std::uint16_t>(Quantise(c.R, 5) << 11 | Quantise(c.G, 6) << 5 |
                                    Quantise(c.B, 5));
}

std::vector<std::uint8_t> Encode16(const TBitmap24& scaled, bool rgb555, bool highFirst) {
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(scaled.Width()) * scaled.Height() * 2);
  for (int y = 0; y < scaled.Height(); ++y)
    for (int x = 0; x < scaled.Width(); ++x) {
      const std::uint16_t v = Pack16(PixelAt(scaled, x, y), rgb555);
      const auto lo = static_cast<std::uint8_t>(v);
      const auto hi = static_cast<std::uint8_t>(v >> 8);
      out.push_back(highFirst ? hi : lo);
      out.push_back(highFirst ? lo : hi);
    }
  return out;
}

std::vector<std::uint8_t> EncodeUyvy(const TBitmap24& scaled) {
  const int w = scaled.Width();
  const int h = scaled.Height();
  const std::size_t line = static_cast<std::size_t>(w) * 2;
  std::vector<std::uint8_t> out(line * static_cast<std::size_t>(h));
  for (int y = 0; y < h; ++y) {
    // Even lines form the first field, odd lines the second.
    std::uint8_t* dst =
        out.data() + (static_cast<std::size_t>(y % 2) * static_cast<std::size_t>(h / 2) +
                      static_cast<std::size_t>(y / 2)) *
                         line;
    for (int x = 0; x < w; x += 2) {
      const TRgb a = PixelAt(scaled, x, y);
      const TRgb b = PixelAt(scaled, x + 1, y);
      std::uint8_t* g = dst + static_cast<std::size_t>(x) * 2;
      g[0] = Clamp((CbOf(a) + CbOf(b)) / 2);
      g[1] = Clamp(LumaOf(a));
      g[2] = Clamp((CrOf(a) + CrOf(b)) / 2);
      g[3] = Clamp(LumaOf(b));
    }
  }
  return out;
}

std::vector<std::uint8_t> EncodePlanar(const TBitmap24& scaled) {
  const int w = scaled.Width();
  const int h = scaled.Height();
  const std::size_t ySize = static_cast<std::size_t>(w) * h;
  const std::size_t cSize = ySize / 4;
  std::vector<std::uint8_t> out(ySize + 2 * cSize);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      out[static_cast<std::size_t>(y) * w + x] = Clamp(LumaOf(PixelAt(scaled, x, y)));
  for (int y = 0; y < h / 2; ++y)
    for (int x = 0; x < w / 2; ++x) {
      double u = 0, v = 0;
      for (int k = 0; k < 4; ++k) {
        const TRgb c = PixelAt(scaled, 2 * x + k % 2, 2 * y + k / 2);
        u += CbOf(c);
        v += CrOf(c);
      }
      const std::size_t at = static_cast<std::size_t>(y) * (w / 2) + x;
      out[ySize + at] = Clamp(u / 4);
      out[ySize + cSize + at] = Clamp(v / 4);
    }
  return out;
}

void CheckSize(TRecordLayout layout, int width, int height) {
  if (width <= 0 || height <= 0 || width > 8192 || height > 8192)
    throw std::invalid_argument("record size out of range");
  const bool yuv = layout == TRecordLayout::InterlacedUyvy || layout == TRecordLayout::PlanarYuv420;
  if (yuv && (width % 2 != 0 || height % 2 != 0))
    throw std::invalid_argument("YUV records need an even width and height");
}

// Corner-aligned bilinear scaling in floating point: close to, but not the
// same code as, the decoder's fixed-point resampler.
TBitmap24 ScaleBilinear(const TBitmap24& src, int width, int height) {
  TBitmap24 out(width, height);
  const double xs = static_cast<double>(src.Width()) / width;
  const double ys = static_cast<double>(src.Height()) / height;
  for (int y = 0; y < height; ++y) {
    const double fy = y * ys;
    const int y0 = std::min(static_cast<int>(fy), src.Height() - 1);
    const int y1 = std::min(y0 + 1, src.Height() - 1);
    const double wy = fy - y0;
    for (int x = 0; x < width; ++x) {
      const double fx = x * xs;
      const int x0 = std::min(static_cast<int>(fx), src.Width() - 1);
      const int x1 = std::min(x0 + 1, src.Width() - 1);
      const double wx = fx - x0;
      for (int k = 0; k < 3; ++k) {
        auto at = [&](int px, int py) { return static_cast<double>(src.Row(py)[px * 3 + k]); };
        const double top = at(x0, y0) * (1 - wx) + at(x1, y0) * wx;
        const double bottom = at(x0, y1) * (1 - wx) + at(x1, y1) * wx;
        out.Row(y)[x * 3 + k] = Clamp(top * (1 - wy) + bottom * wy);
      }
    }
  }
  return out;
}

std::uint32_t RecordBytes(TRecordLayout layout, int width, int height) {
  const auto pixels = static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height);
  switch (layout) {
    case TRecordLayout::PlanarYuv420:
      return pixels * 3 / 2;
    case TRecordLayout::Jpeg:
      return 0;
    default:
      return pixels * 2;
  }
}

int StoredWidth(const TFormatSpec& f) { return f.Width + f.PadH; }
int StoredHeight(const TFormatSpec& f) { return f.Height + f.PadV; }

int FileNumberOf(const TFormatSpec& f, std::size_t photo) {
  return f.PhotosPerFile > 0
             ? static_cast<int>(photo / static_cast<std::size_t>(f.PhotosPerFile)) + 1
             : 1;
}

// Lays every record out; calls sink(photo, format, bytes) with each encoded
// record in file order when given, so that WriteIpod encodes each only once.
template <typename Sink>
std::vector<std::vector<TRecordPlace>> LayOut(const TLibrarySpec& desc, Sink&& sink) {
  std::vector<std::vector<TRecordPlace>> places(desc.Photos.size(),
                                                std::vector<TRecordPlace>(desc.Formats.size()));
  for (std::size_t f = 0; f < desc.Formats.size(); ++f) {
    const TFormatSpec& format = desc.Formats[f];
    const int w = StoredWidth(format);
    const int h = StoredHeight(format);
    CheckSize(format.Layout, w, h);
    int file = 0;
    std::uint64_t next = 0;
    for (std::size_t p = 0; p < desc.Photos.size(); ++p) {
      const int number = FileNumberOf(format, p);
      if (number != file) {
        file = number;
        next = 0;
      }
      std::vector<std::uint8_t> record;
      std::uint32_t size = RecordBytes(format.Layout, w, h);
      const bool encode = format.Layout == TRecordLayout::Jpeg || sink.Wants();
      if (encode) {
        record = EncodeRecord(format.Layout, desc.Photos[p].Picture, w, h);
        size = static_cast<std::uint32_t>(record.size());
      }
      const std::uint64_t slot = format.SlotBytes > 0 ? format.SlotBytes : size;
      if (size > slot) throw std::invalid_argument("a record is larger than its slot");
      if (next + slot > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error(".ithmb file over 4 GiB");
      places[p][f] = {file, static_cast<std::uint32_t>(next), size};
      if (sink.Wants()) {
        record.resize(static_cast<std::size_t>(slot), 0);
        sink(format, file, record);
      }
      next += slot;
    }
  }
  return places;
}

struct TNoSink {
  bool Wants() const { return false; }
  void operator()(const TFormatSpec&, int, const std::vector<std::uint8_t>&) const {}
};

std::string DevicePathOfOriginal(const std::string& name) {
  std::string path = ":Full Resolution:" + name;
  std::replace(path.begin(), path.end(), '/', ':');
  return path;
}

std::vector<std::uint8_t> BuildDatabase(const TLibrarySpec& desc,
                                        const std::vector<std::vector<TRecordPlace>>& places) {
  const chunk::TChunkStyle style{desc.Padding, desc.UpperCaseTags};
  const std::uint16_t nameType = desc.Utf8FileNames ? 1 : 3;

  std::vector<std::vector<std::uint8_t>> images;
  for (std::size_t p = 0; p < desc.Photos.size(); ++p) {
    const TPhotoSpec& photo = desc.Photos[p];
    std::vector<std::vector<std::uint8_t>> children;
    if (desc.Originals) {
      const auto name = chunk::String(nameType, DevicePathOfOriginal(photo.OriginalName), style);
      const auto ref =
          chunk::Mhni(1, 0, static_cast<std::uint32_t>(photo.OriginalBytes.size()),
                      static_cast<std::uint16_t>(photo.Picture.Width()),
                      static_cast<std::uint16_t>(photo.Picture.Height()), 0, 0, name, style);
      children.push_back(chunk::Container(5, ref, style));
    }
    for (std::size_t f = 0; f < desc.Formats.size(); ++f) {
      const TFormatSpec& format = desc.Formats[f];
      const TRecordPlace& place = places[p][f];
      std::vector<std::uint8_t> name;
      if (format.WithFileName)
        name = chunk::String(nameType,
                             ":Thumbs:" + IthmbFileName(format.FormatId, place.FileNumber), style);
      const auto ref = chunk::Mhni(
          format.FormatId, place.Offset, place.Size, static_cast<std::uint16_t>(format.Width),
          static_cast<std::uint16_t>(format.Height), static_cast<std::uint16_t>(format.PadH),
          static_cast<std::uint16_t>(format.PadV), name, style);
      children.push_back(chunk::Container(2, ref, style));
    }
    images.push_back(chunk::Mhii(photo.Id, photo.Created, photo.Digitized, children, style));
  }
  const auto imageSection = chunk::Section(1, chunk::Mhli(images, style), style);

  std::vector<std::vector<std::uint8_t>> albums;
  for (std::size_t a = 0; a < desc.Albums.size(); ++a) {
    const TAlbumSpec& album = desc.Albums[a];
    std::vector<std::vector<std::uint8_t>> strings;
    strings.push_back(chunk::String(album.Utf16Title ? 3 : 1, album.Title, style));
    if (album.ExtraStringChunks) {
      strings.push_back(
          chunk::String(2, "Dissolve", style));  // transition name, as real albums carry
      strings.push_back(chunk::String(1, "note", style));
    }
    const std::uint32_t id =
        album.AlbumId != 0 ? album.AlbumId : 0x64 + static_cast<std::uint32_t>(a);
    albums.push_back(chunk::Mhba(strings, album.PhotoIds, id, a == 0 ? 1 : 2, style));
  }
  const auto albumSection = chunk::Section(2, chunk::Mhla(albums, style), style);

  std::vector<std::uint8_t> body;
  chunk::Append(body, desc.AlbumListFirst ? albumSection : imageSection);
  chunk::Append(body, desc.AlbumListFirst ? imageSection : albumSection);
  std::uint32_t sections = 2;
  if (desc.FileListSection) {
    std::vector<std::vector<std::uint8_t>> files;
    for (std::size_t f = 0; f < desc.Formats.size(); ++f) {
      const TFormatSpec& format = desc.Formats[f];
      std::uint32_t bytes = format.SlotBytes;
      if (bytes == 0) bytes = places.empty() ? 0 : places[0][f].Size;
      files.push_back(chunk::Mhif(format.FormatId, bytes, style));
    }
    chunk::Append(body, chunk::Section(3, chunk::Mhlf(files, style), style));
    ++sections;
  }
  auto file = chunk::Mhfd(sections, body, style);
  std::uint32_t nextId = 0;
  for (const auto& photo : desc.Photos) nextId = std::max(nextId, photo.Id + 1);
  PutU32(file, 28, nextId);
  return file;
}

void MakeFolder(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) throw std::runtime_error("cannot create " + folder.string() + ": " + ec.message());
}

// Streams the records of each .ithmb file in order, one file open at a time.
class TIthmbSink {
public:
  explicit TIthmbSink(std::filesystem::path thumbs) : thumbs_(std::move(thumbs)) {}
  bool Wants() const { return true; }
  void operator()(const TFormatSpec& format, int file, const std::vector<std::uint8_t>& record) {
    const std::string name = IthmbFileName(format.FormatId, file);
    if (name != open_name_) {
      Close();
      out_.open(thumbs_ / name, std::ios::binary | std::ios::trunc);
      if (!out_) throw std::runtime_error("cannot write " + (thumbs_ / name).string());
      open_name_ = name;
    }
    out_.write(reinterpret_cast<const char*>(record.data()),
               static_cast<std::streamsize>(record.size()));
    if (!out_) throw std::runtime_error("cannot write " + (thumbs_ / name).string());
  }
  void Close() {
    if (!out_.is_open()) return;
    out_.close();
    if (!out_) throw std::runtime_error("cannot write " + (thumbs_ / open_name_).string());
    open_name_.clear();
  }

private:
  std::filesystem::path thumbs_;
  std::ofstream out_;
  std::string open_name_;
};

}  // namespace

std::vector<std::uint8_t> EncodeRecord(TRecordLayout layout, const TBitmap24& picture, int width,
                                       int height) {
  CheckSize(layout, width, height);
  const TBitmap24 scaled = ScaleNearest(picture, width, height);
  switch (layout) {
    case TRecordLayout::Rgb565:
      return Encode16(scaled, false, false);
    case TRecordLayout::Rgb555:
      return Encode16(scaled, true, false);
    case TRecordLayout::SwappedRgb565:
      return Encode16(scaled, false, true);
    case TRecordLayout::InterlacedUyvy:
      return EncodeUyvy(scaled);
    case TRecordLayout::PlanarYuv420:
      return EncodePlanar(scaled);
    case TRecordLayout::Jpeg: {
      std::vector<std::uint8_t> out;
      if (!EncodeJpeg(scaled, 90, out)) throw std::runtime_error("JPEG encoding failed");
      return out;
    }
  }
  throw std::invalid_argument("unknown record layout");
}

TBitmap24 ExpectedPicture(TRecordLayout layout, const TBitmap24& picture, int width, int height) {
  CheckSize(layout, width, height);
  const TBitmap24 scaled = ScaleNearest(picture, width, height);
  switch (layout) {
    case TRecordLayout::Rgb565:
    case TRecordLayout::SwappedRgb565:
    case TRecordLayout::Rgb555: {
      const bool rgb555 = layout == TRecordLayout::Rgb555;
      TBitmap24 out(width, height);
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
          const TRgb c = PixelAt(scaled, x, y);
          SetPixel(out, x, y, Widen(Quantise(c.R, 5), 5),
                   Widen(Quantise(c.G, rgb555 ? 5 : 6), rgb555 ? 5 : 6),
                   Widen(Quantise(c.B, 5), 5));
        }
      return out;
    }
    case TRecordLayout::InterlacedUyvy: {
      if (width <= 16)
        throw std::invalid_argument("interlaced records need more than the 16 edge columns");
      const std::vector<std::uint8_t> record = EncodeUyvy(scaled);
      const std::size_t line = static_cast<std::size_t>(width) * 2;
      TBitmap24 kept(width - 16, height);
      for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = record.data() + (static_cast<std::size_t>(y % 2) *
                                                       static_cast<std::size_t>(height / 2) +
                                                   static_cast<std::size_t>(y / 2)) *
                                                      line;
        for (int x = 8; x < width - 8; ++x) {
          const std::uint8_t* g = src + static_cast<std::size_t>(x / 2) * 4;
          std::uint8_t r, gr, b;
          YuvToRgb(g[x % 2 == 0 ? 1 : 3], g[0], g[2], false, r, gr, b);
          SetPixel(kept, x - 8, y, r, gr, b);
        }
      }
      return ScaleBilinear(kept, (width - 16) * 640 / 704, height);
    }
    case TRecordLayout::PlanarYuv420: {
      const std::vector<std::uint8_t> record = EncodePlanar(scaled);
      const std::size_t ySize = static_cast<std::size_t>(width) * height;
      TBitmap24 out(width, height);
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
          const std::size_t c = static_cast<std::size_t>(y / 2) * (width / 2) + x / 2;
          std::uint8_t r, g, b;
          YuvToRgb(record[static_cast<std::size_t>(y) * width + x], record[ySize + c],
                   record[ySize + ySize / 4 + c], true, r, g, b);
          SetPixel(out, x, y, r, g, b);
        }
      return out;
    }
    case TRecordLayout::Jpeg:
      return scaled;
  }
  throw std::invalid_argument("unknown record layout");
}

std::vector<std::vector<TRecordPlace>> PlaceRecords(const TLibrarySpec& desc) {
  return LayOut(desc, TNoSink{});
}

std::string IthmbFileName(std::int32_t formatId, int fileNumber) {
  // Piece by piece: GCC 12 warns falsely (-Wrestrict) on the chained form at -O3.
  std::string name = "F";
  name += std::to_string(formatId);
  name += '_';
  name += std::to_string(fileNumber);
  name += ".ithmb";
  return name;
}

std::vector<std::uint8_t> BuildPhotoDatabase(const TLibrarySpec& desc) {
  return BuildDatabase(desc, PlaceRecords(desc));
}

void WriteIpod(const TLibrarySpec& desc, const std::string& root) {
  const std::filesystem::path base(root);
  MakeFolder(base / "iPod_Control" / "iTunes");
  MakeFolder(base / "Photos" / "Thumbs");
  TIthmbSink sink(base / "Photos" / "Thumbs");
  const auto places = LayOut(desc, sink);
  sink.Close();
  WriteFile((base / "Photos" / "Photo Database").string(), BuildDatabase(desc, places));
  if (desc.Originals)
    for (const auto& photo : desc.Photos)
      WriteFile((base / "Photos" / "Full Resolution" / photo.OriginalName).string(),
                photo.OriginalBytes);
  for (const auto& file : desc.CameraFiles) {
    const auto folder =
        file.InMisc ? base / "DCIM" / "100APPLE" / ".MISC" : base / "DCIM" / "100APPLE";
    WriteFile((folder / file.Name).string(), file.Bytes);
  }
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const std::filesystem::path target(path);
  if (target.has_parent_path()) MakeFolder(target.parent_path());
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

TBitmap24 TestPicture(int width, int height, std::uint32_t seed) {
  TBitmap24 out(width, height);
  if (out.Empty()) return out;
  // A small integer hash spreads nearby seeds over very different pictures.
  auto mix = [](std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
  };
  const std::uint32_t h1 = mix(seed + 1), h2 = mix(h1), h3 = mix(h2);
  auto unit = [](std::uint32_t h, int shift) {
    return static_cast<double>((h >> shift) & 0xFF) / 255.0;
  };
  const double twoPi = 2 * std::numbers::pi;
  const double fr = 0.5 + unit(h1, 0), fg = 0.5 + unit(h1, 8), fb = 0.5 + unit(h1, 16);
  const double pr = unit(h2, 0), pg = unit(h2, 8), pb = unit(h2, 16);
  static constexpr std::uint8_t kBars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255},
                                               {0, 255, 0},     {255, 0, 255}, {255, 0, 0},
                                               {0, 0, 255},     {0, 0, 0}};
  const int barShift = static_cast<int>(h3 % 8);
  const double cx = width * (0.25 + 0.5 * unit(h3, 8));
  const double cy = height * (0.2 + 0.3 * unit(h3, 16));
  const double radius = std::min(width, height) * 0.18;
  const std::uint8_t disc[3] = {static_cast<std::uint8_t>(h2 >> 24),
                                static_cast<std::uint8_t>(h3 >> 24),
                                static_cast<std::uint8_t>(h1 >> 24)};
  for (int y = 0; y < height; ++y) {
    const double v = height > 1 ? static_cast<double>(y) / (height - 1) : 0;
    for (int x = 0; x < width; ++x) {
      const double u = width > 1 ? static_cast<double>(x) / (width - 1) : 0;
      std::uint8_t r, g, b;
      if (y >= height * 3 / 4) {
        const auto& bar = kBars[(x * 8 / width + barShift) % 8];
        r = bar[0];
        g = bar[1];
        b = bar[2];
      } else if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius) {
        r = disc[0];
        g = disc[1];
        b = disc[2];
      } else {
        r = Clamp(128 + 120 * std::sin(twoPi * (u * fr + pr)));
        g = Clamp(128 + 120 * std::sin(twoPi * (v * fg + pg)));
        b = Clamp(128 + 120 * std::sin(twoPi * ((u + v) * fb / 2 + pb)));
      }
      SetPixel(out, x, y, r, g, b);
    }
  }
  return out;
}

double Psnr(const TBitmap24& a, const TBitmap24& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return 0.0;
  const auto pa = a.Pixels();
  const auto pb = b.Pixels();
  if (pa.empty()) return std::numeric_limits<double>::infinity();
  double sum = 0;
  for (std::size_t i = 0; i < pa.size(); ++i) {
    const double d = static_cast<double>(pa[i]) - static_cast<double>(pb[i]);
    sum += d * d;
  }
  if (sum == 0) return std::numeric_limits<double>::infinity();
  const double mse = sum / static_cast<double>(pa.size());
  return 10.0 * std::log10(255.0 * 255.0 / mse);
}

namespace {

// The chunk positions of a well-formed Photo Database, found by walking it
// the way it was written.
struct TDbMap {
  std::size_t mhli = 0;
  std::vector<std::size_t> sections;
  std::vector<std::size_t> images;
  std::vector<std::vector<std::size_t>> children;    // per image
  std::vector<std::vector<std::size_t>> references;  // mhni per image
  std::size_t mhla = 0;
  std::vector<std::size_t> albums;
  std::vector<std::vector<std::size_t>> strings;  // per album
  std::vector<std::vector<std::size_t>> items;    // per album
  bool hasImages = false, hasAlbums = false;
};

std::uint32_t Need(std::optional<std::uint32_t> v) {
  if (!v) throw std::invalid_argument("not a well-formed Photo Database");
  return *v;
}

TDbMap MapDatabase(const std::vector<std::uint8_t>& file) {
  const TByteReader r(file);
  TDbMap map;
  std::uint64_t pos = Need(r.U32At(4));
  const std::uint32_t sections = Need(r.U32At(20));
  for (std::uint32_t s = 0; s < sections; ++s) {
    map.sections.push_back(pos);
    const std::uint64_t list = pos + Need(r.U32At(pos + 4));
    const std::uint32_t type = Need(r.U32At(pos + 12));
    if (type == 1) {
      map.hasImages = true;
      map.mhli = list;
      std::uint64_t at = list + Need(r.U32At(list + 4));
      const std::uint32_t count = Need(r.U32At(list + 8));
      for (std::uint32_t i = 0; i < count; ++i) {
        map.images.push_back(at);
        map.children.emplace_back();
        map.references.emplace_back();
        std::uint64_t c = at + Need(r.U32At(at + 4));
        const std::uint32_t n = Need(r.U32At(at + 12));
        for (std::uint32_t k = 0; k < n; ++k) {
          map.children.back().push_back(c);
          const std::uint32_t childType = Need(r.U32At(c + 12)) & 0xFFFFu;
          if (childType == 2 || childType == 5)
            map.references.back().push_back(c + Need(r.U32At(c + 4)));
          c += Need(r.U32At(c + 8));
        }
        at += Need(r.U32At(at + 8));
      }
    } else if (type == 2) {
      map.hasAlbums = true;
      map.mhla = list;
      std::uint64_t at = list + Need(r.U32At(list + 4));
      const std::uint32_t count = Need(r.U32At(list + 8));
      for (std::uint32_t a = 0; a < count; ++a) {
        map.albums.push_back(at);
        map.strings.emplace_back();
        map.items.emplace_back();
        std::uint64_t p = at + Need(r.U32At(at + 4));
        const std::uint32_t strings = Need(r.U32At(at + 12));
        const std::uint32_t items = Need(r.U32At(at + 16));
        for (std::uint32_t k = 0; k < strings; ++k, p += Need(r.U32At(p + 8)))
          map.strings.back().push_back(p);
        for (std::uint32_t k = 0; k < items; ++k, p += Need(r.U32At(p + 8)))
          map.items.back().push_back(p);
        at += Need(r.U32At(at + 8));
      }
    }
    pos += Need(r.U32At(pos + 8));
  }
  return map;
}

void SpoilTag(std::vector<std::uint8_t>& file, std::size_t at) {
  if (at + 4 > file.size()) throw std::invalid_argument("chunk outside the file");
  file[at + 3] = 'x';
}

std::size_t Middle(const TDbMap& map) {
  if (map.images.empty()) throw std::invalid_argument("the file has no image");
  return map.images.size() / 2;
}

}  // namespace

std::vector<std::uint8_t> BreakDatabase(std::vector<std::uint8_t> file, TBreakage kind) {
  const TDbMap map = MapDatabase(file);
  auto images = [&map]() -> const TDbMap& {
    if (!map.hasImages || map.images.empty()) throw std::invalid_argument("the file has no image");
    return map;
  };
  auto albums = [&map]() -> const TDbMap& {
    if (!map.hasAlbums || map.albums.empty()) throw std::invalid_argument("the file has no album");
    return map;
  };
  switch (kind) {
    case TBreakage::CutInFileHeader:
      file.resize(std::min<std::size_t>(file.size(), 24));
      break;
    case TBreakage::CutInImage: {
      const std::size_t at = images().images[Middle(map)];
      const TByteReader r(file);
      file.resize(at + Need(r.U32At(at + 8)) / 2);
      break;
    }
    case TBreakage::HugeImageCount:
      images();
      PutU32(file, map.mhli + 8, 0x7FFFFFFF);
      break;
    case TBreakage::ZeroImageLength:
      PutU32(file, images().images[Middle(map)] + 8, 0);
      break;
    case TBreakage::ZeroChildLength: {
      const std::size_t m = Middle(images());
      if (map.children[m].empty()) throw std::invalid_argument("the image has no child");
      PutU32(file, map.children[m][0] + 8, 0);
      PutU32(file, map.images[m] + 12, 0xFFFFFFFF);
      break;
    }
    case TBreakage::AlbumStringLoop: {
      albums();
      bool done = false;
      for (const auto& strings : map.strings)
        if (strings.size() >= 2) {
          PutU32(file, strings[1] + 8,
                 static_cast<std::uint32_t>(0x100000000ull - (strings[1] - strings[0])));
          done = true;
          break;
        }
      if (!done) throw std::invalid_argument("no album has two string chunks");
      break;
    }
    case TBreakage::SectionPastEnd:
      if (map.sections.empty()) throw std::invalid_argument("the file has no section");
      PutU32(file, map.sections[0] + 8, 0x7FFFFFF0);
      break;
    case TBreakage::MixedCaseTags: {
      std::vector<std::size_t> tags{0, map.mhli, map.mhla};
      if (!map.hasImages) tags[1] = 0;
      if (!map.hasAlbums) tags[2] = 0;
      for (const auto* list : {&map.sections, &map.images, &map.albums})
        tags.insert(tags.end(), list->begin(), list->end());
      for (const auto* lists : {&map.children, &map.references, &map.strings, &map.items})
        for (const auto& list : *lists) tags.insert(tags.end(), list.begin(), list.end());
      std::sort(tags.begin(), tags.end());
      tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
      for (std::size_t at : tags)
        for (std::size_t i = 0; i < 4; ++i) {
          const auto c = static_cast<char>(file[at + i]);
          const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
          file[at + i] = static_cast<std::uint8_t>(
              i % 2 == 0 && lower >= 'a' && lower <= 'z' ? lower - 'a' + 'A' : lower);
        }
      break;
    }
    case TBreakage::WrongFileTag:
      SpoilTag(file, 0);
      break;
    case TBreakage::WrongImageListTag:
      SpoilTag(file, images().mhli);
      break;
    case TBreakage::WrongFirstImageTag:
      SpoilTag(file, images().images[0]);
      break;
    case TBreakage::WrongImageTag:
      SpoilTag(file, images().images[Middle(map)]);
      break;
    case TBreakage::WrongFirstChildTag:
      if (images().children[0].empty()) throw std::invalid_argument("the image has no child");
      SpoilTag(file, map.children[0][0]);
      break;
    case TBreakage::WrongChildTag: {
      const std::size_t m = Middle(images());
      if (map.children[m].empty()) throw std::invalid_argument("the image has no child");
      SpoilTag(file, map.children[m][0]);
      break;
    }
    case TBreakage::WrongReferenceTag: {
      const std::size_t m = Middle(images());
      if (map.references[m].empty()) throw std::invalid_argument("the image has no reference");
      SpoilTag(file, map.references[m][0]);
      break;
    }
    case TBreakage::WrongAlbumListTag:
      SpoilTag(file, albums().mhla);
      break;
    case TBreakage::WrongAlbumItemTag:
      if (albums().items[0].empty()) throw std::invalid_argument("the first album has no item");
      SpoilTag(file, map.items[0][0]);
      break;
    case TBreakage::WrongAlbumStringTag:
      if (albums().strings.back().empty())
        throw std::invalid_argument("the last album has no string");
      SpoilTag(file, map.strings.back()[0]);
      break;
  }
  return file;
}

}  // namespace quill::testing
