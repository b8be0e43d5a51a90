#pragma once

#include <string>

namespace quill::testing {

// A fresh folder under the temporary folder, removed with everything in it
// when the object goes.
class TTempDir {
public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return path_; }
  // Path() + "/" + name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// Whether a folder without write permission refuses this process's writes
// (not for the superuser, nor on Windows, where the bits of a folder do not
// bind).
bool PermissionBitsHold();

// The platform's codes for a copy whose source file, or its folder, is
// missing (ENOENT for both on POSIX).
extern const int kMissingFileError;
extern const int kMissingFolderError;

}  // namespace quill::testing
