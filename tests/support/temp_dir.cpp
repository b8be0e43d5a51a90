#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <vector>

namespace quill::testing {

TTempDir::TTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::error_code ec;
  const std::filesystem::path folder =
      base && *base ? std::filesystem::path(base) : std::filesystem::temp_directory_path(ec);
  std::random_device seed;
  std::mt19937_64 random(seed());
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = "quill-test-";
    for (int i = 0; i < 10; ++i) name += kDigits[random() % 36];
    const std::filesystem::path candidate = folder / name;
    // create_directory answers false for a name that is already taken.
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder in " + folder.string());
}

TTempDir::~TTempDir() {
  std::error_code ec;
  // Tests make folders read-only; give write access back so removal works.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

}  // namespace quill::testing
