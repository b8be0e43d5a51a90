#include "support/temp_dir.h"

namespace quill::testing {

// A read-only folder only stops its own deletion on Windows.
bool PermissionBitsHold() { return false; }

const int kMissingFileError = 2;    // ERROR_FILE_NOT_FOUND
const int kMissingFolderError = 3;  // ERROR_PATH_NOT_FOUND

}  // namespace quill::testing
