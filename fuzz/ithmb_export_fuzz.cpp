// The five exporters on a hostile .ithmb file with hostile format and photo
// fields: no read past a buffer, and what is reported written is a complete
// file under its final name with nothing else left in the folder.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_input.h"
#include "library/ipod_photo_db.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static quill::fuzz::TFuzzDevice* const device = new quill::fuzz::TFuzzDevice();
  device->Reset();
  const quill::fuzz::TExportCase item = quill::fuzz::DecodeExportCase({data, size});
  {
    std::ofstream file(
        device->Drive() + "/Photos/Thumbs/F" + std::to_string(item.FormatId) + "_1.ithmb",
        std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(item.Ithmb.data()),
               static_cast<std::streamsize>(item.Ithmb.size()));
  }

  quill::TIpodPhotoDb db(*device->Device, nullptr, false);
  db.ExportFormat.FormatId = item.FormatId;
  db.ExportFormat.SlotBytes = item.SlotBytes;
  db.ExportFormat.Width = item.Width;
  db.ExportFormat.Height = item.Height;
  db.ExportFormat.FileCount = item.FileCount;
  for (std::size_t i = 0; i < item.Photos.size(); ++i) {
    quill::TPhotoItem& photo = db.Photos.Add();
    photo.Id = static_cast<std::uint32_t>(i + 1);
    photo.FileNumber = item.Photos[i].FileNumber;
    photo.ImageOffset = item.Photos[i].ImageOffset;
    photo.ImageSize = item.Photos[i].ImageSize;
    if (item.Photos[i].Selected) db.Photos.Select(i);
  }
  db.DestFolder = device->Dest() + "/";
  int reported = 0;
  db.OnItemResult = [&](const std::string&, quill::TItemOutcome outcome,
                        const std::string& pcFile) {
    if (outcome != quill::TItemOutcome::Written) return;
    ++reported;
    if (!fs::is_regular_file(pcFile) || fs::file_size(pcFile) == 0) std::abort();
  };
  const int written = db.TransferDiskPhotos();

  if (written != reported || written > db.Photos.SelectedCount) std::abort();
  int files = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(device->Dest())) {
    if (entry.path().extension() != ".jpg") std::abort();  // a temporary file left behind
    ++files;
  }
  if (files != written) std::abort();
  return 0;
}
