// The EXIF writer and reader on any bytes: stored JPEG records come from the
// device, and files in the destination from anyone. A file the writer
// accepts comes out as a JPEG whose block names the identifier given, and
// the rest of the file is kept.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/exif.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  (void)quill::ReadJpegImageUniqueId(bytes);

  quill::TExifFields fields;
  fields.Original = 1262347200;
  fields.ImageUniqueId = quill::ContentIdentifier(bytes, 1081);
  fields.Upright = true;
  std::vector<std::uint8_t> out;
  quill::TExifPlacement placement;
  if (!quill::WriteJpegExif(bytes, fields, out, &placement)) {
    if (!out.empty()) std::abort();
    return 0;
  }
  if (placement.Size == 0 || placement.Offset + placement.Size > out.size()) std::abort();
  if (out.size() < 2 || out[0] != 0xFF || out[1] != 0xD8) std::abort();
  if (quill::ReadJpegImageUniqueId(out) != fields.ImageUniqueId) std::abort();
  // The same input writes the same bytes.
  std::vector<std::uint8_t> again;
  if (!quill::WriteJpegExif(bytes, fields, again) || again != out) std::abort();
  return 0;
}
