#include "support/picture.h"

#include "support/jpeg_dct.h"
#include "support/object_pool.h"

#include <png.h>
#include <turbojpeg.h>
#if QUILL_HAVE_HEIF
#include <libheif/heif.h>
#endif

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

namespace quill {

namespace {

// ---- TurboJPEG: the only place that touches its handles and buffers. ----

struct TTjHandleDeleter {
  void operator()(void* handle) const { tjDestroy(handle); }
};
struct TTjBufferDeleter {
  void operator()(unsigned char* buffer) const { tjFree(buffer); }
};
using TTjHandle = std::unique_ptr<void, TTjHandleDeleter>;
using TTjBuffer = std::unique_ptr<unsigned char, TTjBufferDeleter>;

constexpr int kDefaultJpegQuality = 75;

// Every encode takes the accurate integer DCT, so the encoder's own
// transform and ours (jpeg_dct) write the same bytes.
constexpr int kEncodeFlags = TJFLAG_NOREALLOC | TJFLAG_ACCURATEDCT;

// Every export encodes through here, so each thread keeps its compressor and
// a worst-case output buffer instead of paying for them per photo.
struct TJpegCompressor {
  TTjHandle handle{tjInitCompress()};
  TTjBuffer buffer;
  unsigned long capacity = 0;

  bool Reserve(unsigned long size) {
    if (size <= capacity) return true;
    if (size > INT_MAX) return false;
    buffer.reset(tjAlloc(static_cast<int>(size)));
    capacity = buffer ? size : 0;
    return buffer != nullptr;
  }
};

TObjectPool<TJpegCompressor>& Compressors() {
  static TObjectPool<TJpegCompressor> pool;
  return pool;
}

// TurboJPEG 2.1 keeps header fields and the warning flag of earlier calls in
// a decompressor, so a damaged file could borrow a previous file's size or
// have its fatal error reported as a warning. Decoding is no hot path (only
// camera thumbnails), so every step gets a fresh handle.
TTjHandle NewDecompressor() { return TTjHandle{tjInitDecompress()}; }

// ---- libpng through its simplified API, which keeps its setjmp inside the
// library's own frames. ----

struct TPngImageGuard {
  png_image& image;
  ~TPngImageGuard() { png_image_free(&image); }
};

// ---- Stretching ----

// How one destination pixel along an axis is made from source pixels.
struct TTap {
  int first = 0;
  std::vector<float> weights;
};

// Box weights (exact area coverage) when shrinking, bilinear between pixel
// centres when enlarging: both keep the edge pixels' colours at the edges.
std::vector<TTap> StretchTaps(int source, int target) {
  std::vector<TTap> taps(static_cast<std::size_t>(target));
  const double scale = static_cast<double>(source) / target;
  for (int i = 0; i < target; ++i) {
    TTap& tap = taps[static_cast<std::size_t>(i)];
    if (target <= source) {
      const double start = i * scale;
      const double end = std::min((i + 1) * scale, static_cast<double>(source));
      const int first = std::min(static_cast<int>(start), source - 1);
      const int last = std::clamp(static_cast<int>(std::ceil(end)) - 1, first, source - 1);
      tap.first = first;
      for (int j = first; j <= last; ++j) {
        const double cover = std::min(end, j + 1.0) - std::max(start, static_cast<double>(j));
        tap.weights.push_back(static_cast<float>(std::max(cover, 0.0) / scale));
      }
    } else {
      const double centre = std::clamp((i + 0.5) * scale - 0.5, 0.0, source - 1.0);
      const int j0 = static_cast<int>(centre);
      const float fraction = static_cast<float>(centre - j0);
      tap.first = j0;
      tap.weights.push_back(1.0f - fraction);
      if (j0 + 1 < source) tap.weights.push_back(fraction);
    }
  }
  return taps;
}

std::uint8_t ToByte(float value) {
  return static_cast<std::uint8_t>(std::clamp(value + 0.5f, 0.0f, 255.0f));
}

bool IsPng(std::span<const std::uint8_t> bytes) {
  static constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 'P',  'N',  'G',
                                                             0x0D, 0x0A, 0x1A, 0x0A};
  return bytes.size() >= kSignature.size() &&
         std::equal(kSignature.begin(), kSignature.end(), bytes.begin());
}

bool StartsWith(std::span<const std::uint8_t> bytes, std::initializer_list<std::uint8_t> magic) {
  return bytes.size() >= magic.size() && std::equal(magic.begin(), magic.end(), bytes.begin());
}

}  // namespace

namespace {

// One encode of a width x height picture at 4:2:0 through a pooled
// compressor into its worst-case buffer: compress(handle, buffer, size,
// quality) runs the TurboJPEG call; out gets the bytes.
template <typename TCompress>
bool EncodeWith(int width, int height, int quality, std::vector<std::uint8_t>& out,
                TCompress&& compress) {
  out.clear();
  if (!PictureSizeAllowed(width, height)) return false;
  TPooled<TJpegCompressor> pooled(Compressors());
  TJpegCompressor& jpeg = *pooled;
  if (!jpeg.handle) return false;
  const unsigned long bound = tjBufSize(width, height, TJSAMP_420);
  if (bound == static_cast<unsigned long>(-1) || !jpeg.Reserve(bound)) return false;
  unsigned char* buffer = jpeg.buffer.get();
  unsigned long size = jpeg.capacity;
  const int q = quality < 0 ? kDefaultJpegQuality : std::clamp(quality, 1, 100);
  if (compress(jpeg.handle.get(), &buffer, &size, q) != 0) return false;
  out.assign(buffer, buffer + size);
  return true;
}

}  // namespace

bool EncodeJpeg(const TBitmap24& bitmap, int quality, std::vector<std::uint8_t>& out) {
  return EncodeWith(bitmap.Width(), bitmap.Height(), quality, out,
                    [&](void* handle, unsigned char** buffer, unsigned long* size, int q) {
                      // The bitmap's packed BGR rows are exactly what TurboJPEG
                      // reads: no copy.
                      return tjCompress2(handle, bitmap.Pixels().data(), bitmap.Width(),
                                         bitmap.Width() * 3, bitmap.Height(), TJPF_BGR, buffer,
                                         size, TJSAMP_420, q, kEncodeFlags);
                    });
}

void TYccPicture::SetSize(int width, int height) {
  width_ = width > 0 ? width : 0;
  height_ = height > 0 ? height : 0;
  luma_.resize(Offset(height_, width_));
  cb_.resize(Offset(ChromaHeight(), ChromaWidth()));
  cr_.resize(cb_.size());
}

bool EncodeJpeg(const TYccPicture& picture, int quality, std::vector<std::uint8_t>& out) {
  // The encoder reads luma in whole 2 x 2 groups: an odd size would have it
  // read past the planes.
  if (picture.Width() % 2 != 0 || picture.Height() % 2 != 0) {
    out.clear();
    return false;
  }
  return EncodeWith(
      picture.Width(), picture.Height(), quality, out,
      [&](void* handle, unsigned char** buffer, unsigned long* size, int q) {
        if (jpeg_dct::Usable() && picture.Width() % 16 == 0) {
          const std::size_t written = jpeg_dct::EncodePlanes(picture, q, *buffer, *size);
          if (written == 0) return -1;
          *size = static_cast<unsigned long>(written);
          return 0;
        }
        const unsigned char* planes[3] = {picture.Plane(0), picture.Plane(1), picture.Plane(2)};
        const int strides[3] = {picture.Width(), picture.ChromaWidth(), picture.ChromaWidth()};
        return tjCompressFromYUVPlanes(handle, planes, picture.Width(), strides, picture.Height(),
                                       TJSAMP_420, buffer, size, q, kEncodeFlags);
      });
}

bool DecodeJpeg(std::span<const std::uint8_t> bytes, TBitmap24& out) {
  out.SetSize(0, 0);
  if (bytes.empty() || bytes.size() > ULONG_MAX) return false;
  const TTjHandle header = NewDecompressor();
  if (!header) return false;
  int width = 0;
  int height = 0;
  int subsampling = 0;
  int colorspace = 0;
  if (tjDecompressHeader3(header.get(), bytes.data(), static_cast<unsigned long>(bytes.size()),
                          &width, &height, &subsampling, &colorspace) != 0 ||
      !PictureSizeAllowed(width, height)) {
    return false;
  }
  const TTjHandle decoder = NewDecompressor();
  if (!decoder) return false;
  out.SetSize(width, height);
  const int result =
      tjDecompress2(decoder.get(), bytes.data(), static_cast<unsigned long>(bytes.size()),
                    out.MutablePixels().data(), width, width * 3, height, TJPF_BGR, 0);
  // A warning (such as data cut short) still leaves a usable picture, the
  // missing part grey, as a damaged camera file should still show.
  if (result != 0 && tjGetErrorCode(decoder.get()) != TJERR_WARNING) {
    out.SetSize(0, 0);
    return false;
  }
  return true;
}

bool DecodePng(std::span<const std::uint8_t> bytes, TBitmap24& out) {
  out.SetSize(0, 0);
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  TPngImageGuard guard{image};
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return false;
  if (!PictureSizeAllowed(image.width, image.height)) return false;
  // Palette, grey and 16-bit images are expanded to 8-bit BGR by libpng;
  // transparency is composited on white, as a viewer shows it on a page.
  image.format = PNG_FORMAT_BGR;
  png_color white{255, 255, 255};
  const int width = static_cast<int>(image.width);
  const int height = static_cast<int>(image.height);
  out.SetSize(width, height);
  if (!png_image_finish_read(&image, &white, out.MutablePixels().data(), width * 3, nullptr)) {
    out.SetSize(0, 0);
    return false;
  }
  return true;
}

bool IsHeif(std::span<const std::uint8_t> bytes) {
  // An ISO box "ftyp" first, with a brand of the HEIF family.
  if (bytes.size() < 12 || std::memcmp(bytes.data() + 4, "ftyp", 4) != 0) return false;
  static constexpr const char* kBrands[] = {"heic", "heix", "hevc", "hevx", "heim",
                                            "heis", "mif1", "msf1", "avif"};
  for (const char* brand : kBrands)
    if (std::memcmp(bytes.data() + 8, brand, 4) == 0) return true;
  return false;
}

#if QUILL_HAVE_HEIF
namespace {

struct THeifGuard {
  heif_context* Context = nullptr;
  heif_image_handle* Primary = nullptr;
  heif_image_handle* Thumb = nullptr;
  heif_image* Image = nullptr;
  ~THeifGuard() {
    if (Image) heif_image_release(Image);
    if (Thumb) heif_image_handle_release(Thumb);
    if (Primary) heif_image_handle_release(Primary);
    if (Context) heif_context_free(Context);
  }
};

}  // namespace

bool DecodeHeif(std::span<const std::uint8_t> bytes, TBitmap24& out, bool preferThumbnail) {
  out.SetSize(0, 0);
  if (!IsHeif(bytes)) return false;
  THeifGuard heif;
  heif.Context = heif_context_alloc();
  if (!heif.Context) return false;
  if (heif_context_read_from_memory_without_copy(heif.Context, bytes.data(), bytes.size(), nullptr)
          .code != heif_error_Ok)
    return false;
  if (heif_context_get_primary_image_handle(heif.Context, &heif.Primary).code != heif_error_Ok)
    return false;
  heif_image_handle* handle = heif.Primary;
  // A cell needs a small picture: the file's own thumbnail decodes in a
  // fraction of the time of twelve megapixels.
  if (preferThumbnail && heif_image_handle_get_number_of_thumbnails(heif.Primary) > 0) {
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_thumbnail_IDs(heif.Primary, &id, 1) == 1 &&
        heif_image_handle_get_thumbnail(heif.Primary, id, &heif.Thumb).code == heif_error_Ok)
      handle = heif.Thumb;
  }
  const int width = heif_image_handle_get_width(handle);
  const int height = heif_image_handle_get_height(handle);
  if (width <= 0 || height <= 0 ||
      !PictureSizeAllowed(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)))
    return false;
  if (heif_decode_image(handle, &heif.Image, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                        nullptr)
          .code != heif_error_Ok)
    return false;
  int stride = 0;
  const std::uint8_t* rgb =
      heif_image_get_plane_readonly(heif.Image, heif_channel_interleaved, &stride);
  // The decoded size may differ from the handle's once the orientation is
  // applied.
  const int w = heif_image_get_width(heif.Image, heif_channel_interleaved);
  const int h = heif_image_get_height(heif.Image, heif_channel_interleaved);
  if (!rgb || w <= 0 || h <= 0 || stride < w * 3) return false;
  out.SetSize(w, h);
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* src = rgb + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride);
    std::uint8_t* dst = out.Row(y);
    for (int x = 0; x < w; ++x) {
      dst[3 * x] = src[3 * x + 2];
      dst[3 * x + 1] = src[3 * x + 1];
      dst[3 * x + 2] = src[3 * x];
    }
  }
  return true;
}
#else
bool DecodeHeif(std::span<const std::uint8_t>, TBitmap24& out, bool) {
  out.SetSize(0, 0);
  return false;
}
#endif

bool EncodePng(const TBitmap24& bitmap, std::vector<std::uint8_t>& out) {
  out.clear();
  if (!PictureSizeAllowed(bitmap.Width(), bitmap.Height())) return false;
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(bitmap.Width());
  image.height = static_cast<png_uint_32>(bitmap.Height());
  image.format = PNG_FORMAT_BGR;
  TPngImageGuard guard{image};
  // First try a buffer the size of the raw pixels plus room for the headers;
  // libpng reports the size it needs when that is too small.
  png_alloc_size_t size = bitmap.Pixels().size() + bitmap.Pixels().size() / 64 + 4096;
  for (int attempt = 0; attempt < 2; ++attempt) {
    out.resize(size);
    png_alloc_size_t written = size;
    if (png_image_write_to_memory(&image, out.data(), &written, 0, bitmap.Pixels().data(),
                                  bitmap.Width() * 3, nullptr)) {
      out.resize(written);
      return true;
    }
    if (written <= size) break;  // a real error, not a short buffer
    size = written;
    png_image_free(&image);
    image.warning_or_error = 0;
  }
  out.clear();
  return false;
}

bool EncodeBmp(const TBitmap24& bitmap, std::vector<std::uint8_t>& out) {
  out.clear();
  if (bitmap.Empty()) return false;
  const std::uint32_t width = static_cast<std::uint32_t>(bitmap.Width());
  const std::uint32_t height = static_cast<std::uint32_t>(bitmap.Height());
  const std::uint64_t stride = (std::uint64_t{width} * 3 + 3) / 4 * 4;
  const std::uint64_t image_bytes = stride * height;
  if (image_bytes + 54 > 0xFFFFFFFFu) return false;
  out.assign(54 + image_bytes, 0);
  auto put16 = [&](std::size_t at, std::uint32_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    put16(at, v & 0xFFFF);
    put16(at + 2, v >> 16);
  };
  out[0] = 'B';
  out[1] = 'M';
  put32(2, static_cast<std::uint32_t>(54 + image_bytes));
  put32(10, 54);
  put32(14, 40);
  put32(18, width);
  put32(22, height);  // positive: rows bottom-up, as every reader expects
  put16(26, 1);
  put16(28, 24);
  put32(34, static_cast<std::uint32_t>(image_bytes));
  put32(38, 2835);  // 72 dots per inch
  put32(42, 2835);
  for (std::uint32_t i = 0; i < height; ++i) {
    const std::uint8_t* row = bitmap.Row(static_cast<int>(height - 1 - i));
    std::memcpy(out.data() + 54 + i * stride, row, std::size_t{width} * 3);
  }
  return true;
}

void TSynPicture::Clear() {
  // Sizes drop to zero but the buffers keep their capacity: an exporter
  // reuses one picture for every photo.
  image_.SetSize(0, 0);
  bytes_.clear();
  loaded_format_ = TPictureFormat::Bmp;
  has_image_ = false;
  from_bitmap_ = false;
}

void TSynPicture::LoadFromBytes(std::span<const std::uint8_t> bytes) {
  Clear();
  if (bytes.empty()) return;
  TPictureFormat format = TPictureFormat::Bmp;
  bool decoded = false;
  if (StartsWith(bytes, {0xFF, 0xD8})) {
    format = TPictureFormat::Jpeg;
    decoded = DecodeJpeg(bytes, image_);
  } else if (IsPng(bytes)) {
    format = TPictureFormat::Png;
    decoded = DecodePng(bytes, image_);
  } else if (StartsWith(bytes, {'B', 'M'})) {
    format = TPictureFormat::Bmp;
    decoded = LoadBitmapFile(bytes, image_);
  } else if (IsHeif(bytes)) {
    // Shown only: saving writes the picture as a bitmap.
    format = TPictureFormat::Bmp;
    decoded = DecodeHeif(bytes, image_, PreferThumbnail);
    if (decoded) {
      has_image_ = true;
      from_bitmap_ = true;
      return;
    }
  }
  // GIF, TIFF and anything else have no decoder here and leave it empty.
  if (!decoded || image_.Empty()) {
    Clear();
    return;
  }
  bytes_.assign(bytes.begin(), bytes.end());
  loaded_format_ = format;
  has_image_ = true;
}

void TSynPicture::Assign(const TBitmap24& bitmap) {
  if (&bitmap == &image_) {
    // Assigning the picture's own image: keep the pixels, forget the bytes.
    bytes_.clear();
    loaded_format_ = TPictureFormat::Bmp;
    from_bitmap_ = has_image_;
    return;
  }
  Clear();
  if (bitmap.Empty()) return;
  image_ = bitmap;
  from_bitmap_ = true;
  has_image_ = true;
}

TPictureFormat TSynPicture::DetectedFormat() const {
  return has_image_ ? loaded_format_ : TPictureFormat::Bmp;
}

bool TSynPicture::SaveToStream(TMemoryStream& stream) const {
  if (!has_image_) return false;
  if (!from_bitmap_ && !bytes_.empty()) {
    stream.Write(bytes_);
    return true;
  }
  return SaveAs(stream, DetectedFormat(), 80);
}

bool TSynPicture::SaveAs(TMemoryStream& stream, TPictureFormat format, int quality) const {
  if (!has_image_) return false;
  // One encoded buffer per thread: exports save one picture after another.
  thread_local std::vector<std::uint8_t> encoded;
  bool ok = false;
  switch (format) {
    case TPictureFormat::Jpeg:
      ok = EncodeJpeg(image_, quality, encoded);
      break;
    case TPictureFormat::Png:
      ok = EncodePng(image_, encoded);
      break;
    case TPictureFormat::Bmp:
      ok = EncodeBmp(image_, encoded);
      break;
    case TPictureFormat::Gif:
    case TPictureFormat::Tiff:
      break;
  }
  if (!ok) return false;
  stream.Write(encoded);
  return true;
}

void TSynPicture::DrawTo(TBitmap24& bitmap) const {
  if (!has_image_ || bitmap.Empty()) return;
  const int source_width = image_.Width();
  const int source_height = image_.Height();
  const int width = bitmap.Width();
  const int height = bitmap.Height();
  const std::vector<TTap> columns = StretchTaps(source_width, width);
  const std::vector<TTap> rows = StretchTaps(source_height, height);

  // Horizontal pass into a float buffer of width x source height, then the
  // vertical pass into the bitmap.
  std::vector<float> across(static_cast<std::size_t>(width) *
                            static_cast<std::size_t>(source_height) * 3);
  for (int y = 0; y < source_height; ++y) {
    const std::uint8_t* src = image_.Row(y);
    float* dst = across.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 3;
    for (int x = 0; x < width; ++x) {
      const TTap& tap = columns[static_cast<std::size_t>(x)];
      float sum[3] = {0, 0, 0};
      for (std::size_t k = 0; k < tap.weights.size(); ++k) {
        const std::uint8_t* p = src + (static_cast<std::size_t>(tap.first) + k) * 3;
        for (int c = 0; c < 3; ++c) sum[c] += tap.weights[k] * p[c];
      }
      for (int c = 0; c < 3; ++c) dst[x * 3 + c] = sum[c];
    }
  }
  for (int y = 0; y < height; ++y) {
    const TTap& tap = rows[static_cast<std::size_t>(y)];
    std::uint8_t* dst = bitmap.Row(y);
    for (int x = 0; x < width; ++x) {
      float sum[3] = {0, 0, 0};
      for (std::size_t k = 0; k < tap.weights.size(); ++k) {
        const float* p = across.data() + ((static_cast<std::size_t>(tap.first) + k) *
                                              static_cast<std::size_t>(width) +
                                          static_cast<std::size_t>(x)) *
                                             3;
        for (int c = 0; c < 3; ++c) sum[c] += tap.weights[k] * p[c];
      }
      for (int c = 0; c < 3; ++c) dst[x * 3 + c] = ToByte(sum[c]);
    }
  }
}

bool TJpegImage::SaveToStream(TMemoryStream& stream) const {
  return SaveAs(stream, TPictureFormat::Jpeg, Quality);
}

}  // namespace quill
