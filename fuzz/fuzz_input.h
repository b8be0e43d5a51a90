#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/ipod_device.h"
#include "library/ipod_photo_db.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace quill::fuzz {

// A disk-mode device that is an empty folder of its own, over the fake
// platform; made once per fuzz process and reused by every input.
struct TFuzzDevice {
  TFuzzDevice();
  testing::TTempDir Root;
  testing::TFakePlatform Platform;
  std::unique_ptr<TIpodDevice> Device;
  std::string Drive() const { return Root.Path() + "/ipod"; }
  std::string Dest() const { return Root.Path() + "/out"; }
  // Empties the output folder and the device's Messages.
  void Reset();
};

// What every reader target checks of a loaded library: each album's count
// is its list's length, and the selection menu over the first albums keeps
// the selected count within the list. Aborts otherwise.
void CheckAlbumsAndSelection(TIpodPhotoDb& db);

// One input of the exporter target: the fields of the export format and of
// the photos as a hostile Photo Database could give them, and the bytes of
// the .ithmb file F<FormatId>_1.
struct TExportCase {
  std::int32_t FormatId = 1015;
  std::int32_t SlotBytes = 0;
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::int32_t FileCount = 1;
  struct TPhoto {
    std::int32_t FileNumber = 1;
    std::uint32_t ImageOffset = 0;
    std::uint32_t ImageSize = 0;
    bool Selected = true;
  };
  std::vector<TPhoto> Photos;
  std::vector<std::uint8_t> Ithmb;
};

// The export format ids with an exporter of their own, then two RGB ones;
// the first byte of an encoded case picks one by its value modulo the count.
inline constexpr std::int32_t kExportFormatIds[] = {1019, 1023, 1067, 1081, 1015, 1024};

// The byte form the fuzzer mutates: a fixed header of the fields, up to 8
// photos of 13 bytes, then the file. Decode takes any bytes (a short input
// leaves fields 0); Encode writes what Decode reads back.
std::vector<std::uint8_t> EncodeExportCase(const TExportCase& item);
TExportCase DecodeExportCase(std::span<const std::uint8_t> bytes);

}  // namespace quill::fuzz
