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

}  // namespace quill::testing
