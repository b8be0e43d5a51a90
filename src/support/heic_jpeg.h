#pragma once

// HEIC photos as JPEG files that every program opens: the picture turned
// upright as the HEIF file asks, with the file's EXIF block and colour
// profile carried over.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "support/exif.h"

namespace quill {

// The format tag of ContentIdentifier for a JPEG converted from HEIC bytes.
inline constexpr std::uint64_t kHeicJpegFormat = 0x48454943'4A504547ULL;  // "HEICJPEG"
inline constexpr int kHeicJpegQuality = 92;

// Whether this build can convert at all (it has a HEIF decoder).
bool HeicConversionAvailable();

// Whether a name ends in .heic or .heif (any case).
bool IsHeicName(const std::string& name);

// out = the JPEG of heic's primary picture, with id as its ImageUniqueID;
// exif tells where its EXIF block lies. false leaves out empty and says why
// in reason (for the log). Safe to call from several threads at once.
bool ConvertHeicToJpeg(std::span<const std::uint8_t> heic, const std::string& id,
                       std::vector<std::uint8_t>& out, TExifPlacement& exif, std::string& reason);

}  // namespace quill
