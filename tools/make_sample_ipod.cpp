// make-sample-ipod: writes a complete disk-mode sample iPod, pictures drawn by
// code, for the demo and for trying the command line without a device.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "support/ipod_writer.h"
#include "support/picture.h"

namespace {

using quill::TBitmap24;
using namespace quill::testing;

constexpr const char* kUsage =
    "usage: make-sample-ipod DIR [--layout uyvy|rgb565|swapped|planar|jpeg|originals] [--photos "
    "N]\n"
    "Writes a sample disk-mode iPod into DIR (which must be missing or empty).\n";

constexpr int kMaxPhotos = 2000;

std::vector<std::uint8_t> Jpeg(const TBitmap24& picture, int quality) {
  std::vector<std::uint8_t> out;
  if (!quill::EncodeJpeg(picture, quality, out)) throw std::runtime_error("JPEG encoding failed");
  return out;
}

std::vector<std::uint8_t> Ascii(const char* text) {
  return std::vector<std::uint8_t>(text, text + std::strlen(text));
}

// A short mono 8 kHz 16-bit WAV of a rising tone.
std::vector<std::uint8_t> Wav() {
  const std::uint32_t samples = 4000;
  std::vector<std::uint8_t> out = Ascii("RIFF");
  chunk::PutU32(out, 4, 36 + samples * 2);
  chunk::Append(out, Ascii("WAVEfmt "));
  chunk::PutU32(out, 16, 16);
  chunk::PutU16(out, 20, 1);
  chunk::PutU16(out, 22, 1);
  chunk::PutU32(out, 24, 8000);
  chunk::PutU32(out, 28, 16000);
  chunk::PutU16(out, 32, 2);
  chunk::PutU16(out, 34, 16);
  chunk::Append(out, Ascii("data"));
  chunk::PutU32(out, 40, samples * 2);
  for (std::uint32_t i = 0; i < samples; ++i) {
    // A sawtooth whose period shortens: audible, and different in every byte.
    const auto value = static_cast<std::uint16_t>((i * (20 + i / 200)) % 16000 * 2);
    chunk::PutU16(out, 44 + i * 2, value);
  }
  return out;
}

// Bytes that start like a clip container: players are not the point, only a
// file of its own kind with its own thumbnail.
std::vector<std::uint8_t> FakeClip() {
  std::vector<std::uint8_t> out(24, 0);
  chunk::PutU32(out, 0, 0x18000000);  // big-endian box size 24
  std::memcpy(out.data() + 4, "ftypqt  ", 8);
  std::memcpy(out.data() + 16, "qt  ", 4);
  for (std::uint32_t i = 0; i < 2048; ++i)
    out.push_back(static_cast<std::uint8_t>(i * 7 + i / 256));
  return out;
}

std::vector<TCameraFile> CameraFolder() {
  std::vector<TCameraFile> files;
  files.push_back({"IMG_0001.JPG", Jpeg(TestPicture(640, 480, 1001), 85), false});
  files.push_back({"IMG_0001.THM", Jpeg(TestPicture(160, 120, 1001), 80), true});
  files.push_back({"IMG_0002.JPG", Jpeg(TestPicture(640, 480, 1002), 85), false});
  files.push_back({"IMG_0002.THM", Jpeg(TestPicture(160, 120, 1002), 80), false});
  files.push_back({"IMG_0003.MOV", FakeClip(), false});
  files.push_back({"IMG_0003.THM", Jpeg(TestPicture(160, 120, 1003), 80), false});
  files.push_back({"IMG_0004.WAV", Wav(), false});
  files.push_back({"Notes.txt", Ascii("Not a camera file: disk mode does not list it.\n"), false});
  return files;
}

const TFormatSpec kThumb{1036, TRecordLayout::Rgb565, 50, 41, 0, 0, 0, 0, true};

bool MakeSpec(const std::string& layout, int photos, TLibrarySpec& desc) {
  const int half = (photos + 1) / 2;
  if (layout == "uyvy") {
    desc.Formats = {{1019, TRecordLayout::InterlacedUyvy, 720, 480, 0, 0, half, 0, true},
                    {1024, TRecordLayout::Rgb565, 320, 240, 0, 0, 0, 0, true},
                    kThumb};
  } else if (layout == "rgb565") {
    desc.Formats = {{1024, TRecordLayout::Rgb565, 320, 240, 0, 0, 0, 0, true}, kThumb};
  } else if (layout == "swapped") {
    desc.Formats = {{1023, TRecordLayout::SwappedRgb565, 176, 132, 0, 0, 0, 0, true}, kThumb};
  } else if (layout == "planar") {
    desc.Formats = {{1067, TRecordLayout::PlanarYuv420, 720, 480, 0, 0, 0, 0, true}, kThumb};
  } else if (layout == "jpeg") {
    desc.Formats = {{1081, TRecordLayout::Jpeg, 640, 480, 0, 0, 0, 0, true}, kThumb};
  } else if (layout == "originals") {
    desc.Formats = {kThumb};
    desc.Originals = true;
  } else {
    return false;
  }
  for (int i = 0; i < photos; ++i) {
    TPhotoSpec photo;
    photo.Id = 64 + static_cast<std::uint32_t>(i);
    if (desc.Originals) {
      const TBitmap24 original = TestPicture(1024, 768, photo.Id);
      photo.Picture = original;
      photo.OriginalBytes = Jpeg(original, 90);
      char name[64];
      std::snprintf(name, sizeof name, "%s/Photo_%04d.jpg", i < half ? "2024" : "2025", i + 1);
      photo.OriginalName = name;
    } else {
      photo.Picture = TestPicture(720, 480, photo.Id);
    }
    desc.Photos.push_back(std::move(photo));
  }
  TAlbumSpec master{"Photo Library", false, false, {}, 0};
  TAlbumSpec holidays{"Holidays", false, true, {}, 0};
  TAlbumSpec summer{"Été à Montréal", false, false, {}, 0};
  TAlbumSpec family{"Família", true, false, {}, 0};
  for (int i = 0; i < photos; ++i) {
    const std::uint32_t id = desc.Photos[static_cast<std::size_t>(i)].Id;
    master.PhotoIds.push_back(id);
    if (i < half) holidays.PhotoIds.push_back(id);
    // The last photo of the holidays is in the summer album too.
    if (i == half - 1 || (i >= half && i % 2 == 0)) summer.PhotoIds.push_back(id);
    if (i % 3 == 1 || photos == 1) family.PhotoIds.push_back(id);
  }
  desc.Albums = {master, holidays, summer, family};
  desc.CameraFiles = CameraFolder();
  return true;
}

void PrintSummary(const TLibrarySpec& desc, const std::string& root, const std::string& layout) {
  std::cout << "Sample iPod (" << layout << ") written to " << root << "\n";
  std::cout << "  Photos/Photo Database: " << desc.Photos.size() << " photos\n";
  const auto count = static_cast<int>(desc.Photos.size());
  for (const TFormatSpec& format : desc.Formats) {
    const int files =
        format.PhotosPerFile > 0 ? (count + format.PhotosPerFile - 1) / format.PhotosPerFile : 1;
    std::cout << "  format " << format.FormatId << " (" << format.Width << "x" << format.Height
              << "): " << files << (files == 1 ? " file" : " files") << ", Photos/Thumbs/"
              << IthmbFileName(format.FormatId, 1) << (files > 1 ? " ..." : "") << "\n";
  }
  if (desc.Originals)
    std::cout << "  originals: " << desc.Photos.size()
              << " JPEG files under Photos/Full Resolution/\n";
  for (const auto& album : desc.Albums)
    std::cout << "  album \"" << album.Title << "\": " << album.PhotoIds.size() << " photos\n";
  std::cout << "  camera folder DCIM/100APPLE/:";
  for (const auto& file : desc.CameraFiles)
    std::cout << " " << (file.InMisc ? ".MISC/" : "") << file.Name;
  std::cout << "\n";
}

int Usage(const std::string& message) {
  if (!message.empty()) std::cerr << "make-sample-ipod: " << message << "\n";
  std::cerr << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  std::string layout = "uyvy";
  int photos = 12;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--layout" || arg == "--photos") {
      if (i + 1 >= argc) return Usage(arg + " needs a value");
      const std::string value = argv[++i];
      if (arg == "--layout") {
        layout = value;
        continue;
      }
      try {
        std::size_t used = 0;
        photos = std::stoi(value, &used);
        if (used != value.size()) throw std::invalid_argument(value);
      } catch (const std::exception&) {
        return Usage("--photos needs a number");
      }
      if (photos < 1 || photos > kMaxPhotos)
        return Usage("--photos must lie between 1 and " + std::to_string(kMaxPhotos));
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else if (dir.empty()) {
      dir = arg;
    } else {
      return Usage("only one folder, please");
    }
  }
  if (dir.empty()) return Usage("no folder given");

  std::error_code ec;
  if (std::filesystem::exists(dir, ec)) {
    if (!std::filesystem::is_directory(dir, ec)) {
      std::cerr << "make-sample-ipod: " << dir << " exists and is not a folder\n";
      return 2;
    }
    if (!std::filesystem::is_empty(dir, ec) || ec) {
      std::cerr << "make-sample-ipod: " << dir << " is not empty; choose a new or empty folder\n";
      return 2;
    }
  }

  try {
    TLibrarySpec desc;
    if (!MakeSpec(layout, photos, desc)) return Usage("unknown layout " + layout);
    WriteIpod(desc, dir);
    PrintSummary(desc, dir, layout);
  } catch (const std::exception& e) {
    std::cerr << "make-sample-ipod: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
