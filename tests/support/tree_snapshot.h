#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace quill::testing {

// What a fault test compares before and after: each entry under a folder
// with its kind, bytes and modification time.
struct TFileState {
  bool Directory = false;
  std::vector<std::uint8_t> Bytes;
  std::filesystem::file_time_type Time;
  bool operator==(const TFileState&) const = default;
};
using TSnapshot = std::map<std::string, TFileState>;

// Everything under folder but skip (and what lies under skip), by path
// relative to folder.
TSnapshot Snapshot(const std::string& folder, const std::string& skip = {});

}  // namespace quill::testing
