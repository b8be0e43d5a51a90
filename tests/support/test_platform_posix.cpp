#include <unistd.h>

#include <cerrno>

#include "support/temp_dir.h"

namespace quill::testing {

bool PermissionBitsHold() { return ::geteuid() != 0; }

const int kMissingFileError = ENOENT;
const int kMissingFolderError = ENOENT;

}  // namespace quill::testing
