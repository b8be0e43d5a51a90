// The planes encoded through libjpeg's coefficient interface: the transform
// and quantization are ours (jpeg_dct), the markers, tables and entropy
// coding the library's, so the file is the one the library writes from the
// same planes with its accurate DCT.

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

#include "support/jpeg_dct.h"
#include "support/object_pool.h"

namespace quill::jpeg_dct {

namespace {

struct TErrors {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

// libjpeg's own handler ends the process; ours returns to EncodePlanes.
[[noreturn]] void OnError(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<TErrors*>(cinfo->err)->jump, 1);
}
void OnMessage(j_common_ptr, int) {}
void OnOutput(j_common_ptr) {}

// The caller's buffer is the worst case for the size; running out of it is
// an error rather than a reason to allocate.
void InitDestination(j_compress_ptr) {}
boolean EmptyOutput(j_compress_ptr cinfo) {
  (*cinfo->err->error_exit)(reinterpret_cast<j_common_ptr>(cinfo));
  return FALSE;
}
void TermDestination(j_compress_ptr) {}

// Fills the coefficient arrays from the planes. Rows past a plane's end
// repeat its last row, as the encoder pads them; block rows past the
// component's height (the encoder makes those itself) are zero.
void FillCoefficients(jpeg_compress_struct& cinfo, jvirt_barray_ptr* arrays,
                      const TYccPicture& picture, const TDivisors* divisors) {
  for (int ci = 0; ci < 3; ++ci) {
    const jpeg_component_info& comp = cinfo.comp_info[ci];
    const int planeHeight = ci == 0 ? picture.Height() : picture.ChromaHeight();
    const int stride = ci == 0 ? picture.Width() : picture.ChromaWidth();
    const std::uint8_t* plane = picture.Plane(ci);
    const int blocks = static_cast<int>(comp.width_in_blocks);
    const int height = static_cast<int>(comp.height_in_blocks);
    const int rows = (height + comp.v_samp_factor - 1) / comp.v_samp_factor * comp.v_samp_factor;
    for (int row = 0; row < rows; ++row) {
      JBLOCKARRAY array =
          (*cinfo.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&cinfo), arrays[ci],
                                           static_cast<JDIMENSION>(row), 1, TRUE);
      if (row >= height) {
        std::memset(array[0], 0, static_cast<std::size_t>(blocks) * sizeof(JBLOCK));
        continue;
      }
      const std::uint8_t* lines[8];
      for (int r = 0; r < 8; ++r) {
        const int y = std::min(row * 8 + r, planeHeight - 1);
        lines[r] = plane + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride);
      }
      QuantizeBlocks(lines, blocks, divisors[comp.quant_tbl_no], array[0][0]);
    }
  }
}

// A compressor kept between encodes: its memory manager is made once, its
// parameters and tables (and our divisors of them) again only when the
// quality changes. One that failed is destroyed and made again on its next
// use.
struct TEncoder {
  TErrors errors;
  jpeg_compress_struct cinfo;
  jpeg_destination_mgr destination;
  bool created = false;
  int quality = -1;
  TDivisors divisors[NUM_QUANT_TBLS];

  TEncoder() = default;
  TEncoder(const TEncoder&) = delete;
  TEncoder& operator=(const TEncoder&) = delete;
  ~TEncoder() {
    if (created) jpeg_destroy_compress(&cinfo);
  }
};

std::size_t Encode(TEncoder& encoder, const TYccPicture& picture, int quality,
                   unsigned char* buffer, std::size_t capacity) {
  jpeg_compress_struct& cinfo = encoder.cinfo;
  // Nothing with a destructor lives between here and the jumps back.
  if (setjmp(encoder.errors.jump) != 0) {
    jpeg_destroy_compress(&cinfo);
    encoder.created = false;
    encoder.quality = -1;
    return 0;
  }
  if (!encoder.created) {
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&encoder.errors.base);
    encoder.errors.base.error_exit = OnError;
    encoder.errors.base.emit_message = OnMessage;
    encoder.errors.base.output_message = OnOutput;
    encoder.destination.init_destination = InitDestination;
    encoder.destination.empty_output_buffer = EmptyOutput;
    encoder.destination.term_destination = TermDestination;
    jpeg_create_compress(&cinfo);
    cinfo.dest = &encoder.destination;
    encoder.created = true;
  }
  encoder.destination.next_output_byte = buffer;
  encoder.destination.free_in_buffer = capacity;
  cinfo.image_width = static_cast<JDIMENSION>(picture.Width());
  cinfo.image_height = static_cast<JDIMENSION>(picture.Height());
  if (encoder.quality != quality) {
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);  // YCbCr, luma 2 x 2, chroma 1 x 1
    jpeg_set_quality(&cinfo, quality, TRUE);
    for (int t = 0; t < NUM_QUANT_TBLS; ++t) {
      if (cinfo.quant_tbl_ptrs[t] != nullptr) {
        PrepareDivisors(cinfo.quant_tbl_ptrs[t]->quantval, encoder.divisors[t]);
      }
    }
    encoder.quality = quality;
  }
  jvirt_barray_ptr arrays[3];
  for (int ci = 0; ci < 3; ++ci) {
    const jpeg_component_info& comp = cinfo.comp_info[ci];
    const int width = ci == 0 ? picture.Width() : picture.ChromaWidth();
    const int height = ci == 0 ? picture.Height() : picture.ChromaHeight();
    const auto roundUp = [](int n, int m) { return (n + m - 1) / m * m; };
    arrays[ci] = (*cinfo.mem->request_virt_barray)(
        reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, FALSE,
        static_cast<JDIMENSION>(roundUp((width + 7) / 8, comp.h_samp_factor)),
        static_cast<JDIMENSION>(roundUp((height + 7) / 8, comp.v_samp_factor)),
        static_cast<JDIMENSION>(comp.v_samp_factor));
  }
  jpeg_write_coefficients(&cinfo, arrays);
  FillCoefficients(cinfo, arrays, picture, encoder.divisors);
  jpeg_finish_compress(&cinfo);
  return capacity - encoder.destination.free_in_buffer;
}

}  // namespace

std::size_t EncodePlanes(const TYccPicture& picture, int quality, unsigned char* buffer,
                         std::size_t capacity) {
  if (picture.Width() <= 0 || picture.Height() <= 0 || picture.Width() % 16 != 0 ||
      picture.Height() % 2 != 0 || !Usable()) {
    return 0;
  }
  static TObjectPool<TEncoder> pool;
  TPooled<TEncoder> pooled(pool);
  return Encode(*pooled, picture, quality, buffer, capacity);
}

}  // namespace quill::jpeg_dct
