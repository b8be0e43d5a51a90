#include "support/heic_jpeg.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "support/bitmap.h"
#include "support/picture.h"

#if QUILL_HAVE_HEIF
#include <libheif/heif.h>
#endif

namespace quill {

bool IsHeicName(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || name.size() - dot != 5) return false;
  std::string ext = name.substr(dot + 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext == "heic" || ext == "heif";
}

#if QUILL_HAVE_HEIF

bool HeicConversionAvailable() { return true; }

namespace {

struct THeifFile {
  heif_context* Context = nullptr;
  heif_image_handle* Handle = nullptr;
  heif_image* Image = nullptr;
  ~THeifFile() {
    if (Image) heif_image_release(Image);
    if (Handle) heif_image_handle_release(Handle);
    if (Context) heif_context_free(Context);
  }
};

struct TTjCompressor {
  tjhandle Handle = tjInitCompress();
  unsigned char* Buffer = nullptr;
  unsigned long Size = 0;
  ~TTjCompressor() {
    if (Buffer) tjFree(Buffer);
    if (Handle) tjDestroy(Handle);
  }
};

// The colour description lets the decoder's own 4:2:0 planes go to the
// encoder as they are: full-range samples of the matrix JPEG files use.
// That saves a conversion to RGB and one back, most of the time beside the
// decoding.
bool PlanesFitJpeg(const heif_image_handle* handle) {
  if (heif_image_handle_get_luma_bits_per_pixel(handle) != 8) return false;
  heif_color_profile_nclx* nclx = nullptr;
  if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code != heif_error_Ok || !nclx)
    return false;
  const bool fits = nclx->full_range_flag != 0 &&
                    (nclx->matrix_coefficients == heif_matrix_coefficients_ITU_R_BT_601_6 ||
                     nclx->matrix_coefficients == heif_matrix_coefficients_ITU_R_BT_470_6_System_B_G);
  heif_nclx_color_profile_free(nclx);
  return fits;
}

bool Fail(std::string& reason, const std::string& what) {
  reason = what;
  return false;
}

// The JPEG of the decoded picture into jpeg.
bool Encode(THeifFile& heif, bool planes, TTjCompressor& tj, std::string& reason) {
  const heif_error decoded =
      planes ? heif_decode_image(heif.Handle, &heif.Image, heif_colorspace_YCbCr, heif_chroma_420, nullptr)
             : heif_decode_image(heif.Handle, &heif.Image, heif_colorspace_RGB,
                                 heif_chroma_interleaved_RGB, nullptr);
  if (decoded.code != heif_error_Ok) return Fail(reason, std::string("cannot decode: ") + decoded.message);
  if (!tj.Handle) return Fail(reason, "no JPEG encoder");
  int rc = -1;
  if (planes) {
    const int width = heif_image_get_width(heif.Image, heif_channel_Y);
    const int height = heif_image_get_height(heif.Image, heif_channel_Y);
    const unsigned char* plane[3];
    int stride[3];
    const heif_channel channels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
    for (int k = 0; k < 3; ++k) {
      plane[k] = heif_image_get_plane_readonly(heif.Image, channels[k], &stride[k]);
      const int w = heif_image_get_width(heif.Image, channels[k]);
      const int h = heif_image_get_height(heif.Image, channels[k]);
      const int wantW = k == 0 ? width : (width + 1) / 2;
      const int wantH = k == 0 ? height : (height + 1) / 2;
      if (!plane[k] || w < wantW || h < wantH || stride[k] < wantW)
        return Fail(reason, "cannot decode: unexpected picture planes");
    }
    if (width <= 0 || height <= 0) return Fail(reason, "cannot decode: empty picture");
    rc = tjCompressFromYUVPlanes(tj.Handle, plane, width, stride, height, TJSAMP_420, &tj.Buffer,
                                 &tj.Size, kHeicJpegQuality, 0);
  } else {
    int stride = 0;
    const unsigned char* rgb = heif_image_get_plane_readonly(heif.Image, heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(heif.Image, heif_channel_interleaved);
    const int height = heif_image_get_height(heif.Image, heif_channel_interleaved);
    if (!rgb || width <= 0 || height <= 0 || stride < width * 3)
      return Fail(reason, "cannot decode: unexpected picture");
    rc = tjCompress2(tj.Handle, rgb, width, stride, height, TJPF_RGB, &tj.Buffer, &tj.Size,
                     TJSAMP_420, kHeicJpegQuality, 0);
  }
  if (rc != 0) return Fail(reason, std::string("cannot encode: ") + tjGetErrorStr2(tj.Handle));
  return true;
}

// The file's colour profile as APP2 ICC_PROFILE segments, placed after SOI
// and a JFIF APP0.
void InsertIcc(std::vector<std::uint8_t>& jpeg, const std::vector<std::uint8_t>& icc) {
  constexpr std::size_t kChunk = 65519;  // a segment's 65533 bytes less the 14 of its mark
  const std::size_t count = (icc.size() + kChunk - 1) / kChunk;
  if (icc.empty() || count > 255 || jpeg.size() < 4) return;
  std::size_t at = 2;
  if (jpeg[2] == 0xFF && jpeg[3] == 0xE0 && jpeg.size() >= 6)
    at = std::min(jpeg.size(), 4 + ((std::size_t{jpeg[4]} << 8) | jpeg[5]));
  std::vector<std::uint8_t> segments;
  segments.reserve(icc.size() + count * 18);
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t from = k * kChunk;
    const std::size_t n = std::min(kChunk, icc.size() - from);
    const std::size_t length = n + 16;
    const std::uint8_t head[] = {0xFF, 0xE2, static_cast<std::uint8_t>(length >> 8),
                                 static_cast<std::uint8_t>(length), 'I', 'C', 'C', '_', 'P', 'R',
                                 'O', 'F', 'I', 'L', 'E', 0, static_cast<std::uint8_t>(k + 1),
                                 static_cast<std::uint8_t>(count)};
    segments.insert(segments.end(), std::begin(head), std::end(head));
    segments.insert(segments.end(), icc.begin() + static_cast<std::ptrdiff_t>(from),
                    icc.begin() + static_cast<std::ptrdiff_t>(from + n));
  }
  jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(at), segments.begin(), segments.end());
}

// The TIFF part of the file's first Exif item: the item starts with the
// offset of the TIFF header from its fifth byte.
std::vector<std::uint8_t> ExifOf(const heif_image_handle* handle) {
  heif_item_id id = 0;
  if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) != 1) return {};
  const std::size_t size = heif_image_handle_get_metadata_size(handle, id);
  if (size < 4 || size > (16u << 20)) return {};
  std::vector<std::uint8_t> item(size);
  if (heif_image_handle_get_metadata(handle, id, item.data()).code != heif_error_Ok) return {};
  const std::size_t skip = (std::size_t{item[0]} << 24) | (std::size_t{item[1]} << 16) |
                           (std::size_t{item[2]} << 8) | item[3];
  if (skip >= size - 4) return {};
  return {item.begin() + static_cast<std::ptrdiff_t>(4 + skip), item.end()};
}

}  // namespace

bool ConvertHeicToJpeg(std::span<const std::uint8_t> heic, const std::string& id,
                       std::vector<std::uint8_t>& out, TExifPlacement& exif, std::string& reason) {
  out.clear();
  exif = {};
  if (heic.empty()) return Fail(reason, "empty file, no HEIF picture");
  if (!IsHeif(heic)) return Fail(reason, "not a HEIF file");
  THeifFile heif;
  heif.Context = heif_context_alloc();
  if (!heif.Context) return Fail(reason, "out of memory");
  heif_error error = heif_context_read_from_memory_without_copy(heif.Context, heic.data(), heic.size(), nullptr);
  if (error.code != heif_error_Ok) return Fail(reason, std::string("cannot read: ") + error.message);
  error = heif_context_get_primary_image_handle(heif.Context, &heif.Handle);
  if (error.code != heif_error_Ok) return Fail(reason, std::string("cannot read: ") + error.message);
  const int width = heif_image_handle_get_width(heif.Handle);
  const int height = heif_image_handle_get_height(heif.Handle);
  if (width <= 0 || height <= 0 || !PictureSizeAllowed(width, height))
    return Fail(reason, "picture size out of range");

  TTjCompressor tj;
  if (!Encode(heif, PlanesFitJpeg(heif.Handle), tj, reason)) return false;
  std::vector<std::uint8_t> jpeg(tj.Buffer, tj.Buffer + tj.Size);

  std::vector<std::uint8_t> icc(heif_image_handle_get_raw_color_profile_size(heif.Handle));
  if (!icc.empty() && heif_image_handle_get_raw_color_profile(heif.Handle, icc.data()).code == heif_error_Ok)
    InsertIcc(jpeg, icc);

  TExifFields fields;
  fields.ImageUniqueId = id;
  fields.Upright = true;  // libheif turned the picture as the file asks
  const std::vector<std::uint8_t> base = ExifOf(heif.Handle);
  // A block the EXIF library cannot take is left behind rather than the photo.
  if (!WriteJpegExif(jpeg, fields, out, &exif, base) && !WriteJpegExif(jpeg, fields, out, &exif))
    return Fail(reason, "cannot write the EXIF block");
  return true;
}

#else

bool HeicConversionAvailable() { return false; }

bool ConvertHeicToJpeg(std::span<const std::uint8_t>, const std::string&, std::vector<std::uint8_t>& out,
                       TExifPlacement& exif, std::string& reason) {
  out.clear();
  exif = {};
  reason = "HEIC conversion is not available in this build";
  return false;
}

#endif

}  // namespace quill
