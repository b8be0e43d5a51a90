// Camera thumbnails and bitmap files as the page side decodes them: the BMP
// reader and the picture codecs on any bytes, then drawn into a cell.
#include <cstdint>
#include <cstdlib>

#include "support/bitmap.h"
#include "support/picture.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  quill::TBitmap24 bitmap;
  if (quill::LoadBitmapFile(bytes, bitmap)) {
    if (!quill::PictureSizeAllowed(bitmap.Width(), bitmap.Height())) std::abort();
    if (bitmap.Pixels().size() !=
        static_cast<std::size_t>(bitmap.Width()) * static_cast<std::size_t>(bitmap.Height()) * 3) {
      std::abort();
    }
  }

  quill::TSynPicture picture;
  picture.LoadFromBytes(bytes);
  if (picture.HasImage()) {
    if (picture.Width() == 0 || picture.Height() == 0) std::abort();
    quill::TBitmap24 cell(75, 75);
    picture.DrawTo(cell);
    quill::TMemoryStream saved;
    if (!picture.SaveToStream(saved) || saved.Size() != size) std::abort();
  }
  return 0;
}
