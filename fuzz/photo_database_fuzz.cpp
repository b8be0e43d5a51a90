// The Photo Database walk on any bytes: it must end, stay inside the data and
// keep no more items than the data can hold.
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.h"
#include "library/ipod_photo_db.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static quill::fuzz::TFuzzDevice* const device = new quill::fuzz::TFuzzDevice();
  quill::TIpodPhotoDb db(*device->Device, nullptr, false);
  db.ParsePhotoDatabaseBytes({data, size});

  // An image chunk's header takes 52 bytes and an album item's 20: a list
  // longer than that came from a count, not from the data.
  if (db.Photos.Count() > size / 52) std::abort();
  std::size_t albumItems = 0;
  for (std::size_t i = 0; i < db.Albums.Count(); ++i) albumItems += db.Albums.Items(i).PhotoIds.size();
  if (albumItems > size / 20) std::abort();
  if (db.ExportFormat.FileCount < 0 || db.ThumbFormat.FileCount < 0) std::abort();
  quill::fuzz::CheckAlbumsAndSelection(db);
  return 0;
}
