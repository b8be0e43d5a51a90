// The Photos.sqlite reader on a damaged or hostile database file: SQLite's
// errors end the read, and whatever was read keeps counts that match the
// lists and a selection that stays within them.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_input.h"
#include "library/ipod_photo_db.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static quill::fuzz::TFuzzDevice* const device = new quill::fuzz::TFuzzDevice();
  const std::string file = device->Root.Path() + "/Photos.sqlite";
  std::error_code ec;
  // A database in WAL mode leaves its log and index beside it.
  for (const char* suffix : {"-wal", "-shm", "-journal"}) std::filesystem::remove(file + suffix, ec);
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

  quill::TIpodPhotoDb db(*device->Device, nullptr, false);
  try {
    db.ReadPhotosSqlite(file);
  } catch (const std::exception&) {
    // A damaged file is an error of the load, not of the process.
  }

  // Every row of a table takes bytes of the file.
  if (db.Photos.Count() > size) std::abort();
  quill::fuzz::CheckAlbumsAndSelection(db);
  return 0;
}
