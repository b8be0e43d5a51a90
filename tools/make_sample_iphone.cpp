// Writes the demo's sample iPhone: the media folder of an iOS device with a
// Photos.sqlite library (an album kept only in the write-ahead log, an untitled
// album), 5-5-5 thumbnails and JPEG originals drawn by code. Served by the
// simulated device library, or read directly with --device.

#include <exception>
#include <iostream>
#include <string>

#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/picture.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make-sample-iphone FOLDER\n";
    return 2;
  }
  using namespace quill::testing;
  try {
    TSqliteLibrarySpec desc;
    desc.Entities = kLayout8;
    for (std::uint32_t id = 1; id <= 6; ++id) {
      TSqliteAssetSpec asset;
      asset.Id = id;
      asset.ThumbnailIndex = id - 1;
      asset.FileName = "IMG_000" + std::to_string(id) + ".JPG";
      const quill::TBitmap24 picture = TestPicture(640, 480, 40 + id);
      if (!quill::EncodeJpeg(picture, 90, asset.OriginalBytes)) throw std::runtime_error("jpeg");
      asset.Thumbnail = picture;
      desc.Assets.push_back(std::move(asset));
    }
    TSqliteAlbumSpec holiday;
    holiday.Id = 20;
    holiday.Title = "Vacances d'\xC3\xA9t\xC3\xA9";
    holiday.AssetIds = {2, 3, 5};
    TSqliteAlbumSpec untitled;
    untitled.Id = 21;
    untitled.AssetIds = {1, 6};
    TSqliteAlbumSpec recent;
    recent.Id = 22;
    recent.Title = "Added just now";
    recent.AssetIds = {4};
    recent.OnlyInWal = true;
    desc.Albums = {holiday, untitled, recent};
    WritePhotosSqliteLibrary(desc, argv[1]);
  } catch (const std::exception& e) {
    std::cerr << "make-sample-iphone: " << e.what() << "\n";
    return 1;
  }
  std::cout << "Sample iPhone written to " << argv[1] << "\n";
  return 0;
}
