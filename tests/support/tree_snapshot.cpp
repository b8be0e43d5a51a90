#include "support/tree_snapshot.h"

#include "support/ipod_writer.h"

namespace quill::testing {

namespace fs = std::filesystem;

TSnapshot Snapshot(const std::string& folder, const std::string& skip) {
  TSnapshot snapshot;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!skip.empty() && it->path() == skip) {
      it.disable_recursion_pending();
      continue;
    }
    TFileState state;
    state.Directory = it->is_directory();
    state.Time = fs::last_write_time(it->path());
    if (!state.Directory) state.Bytes = ReadFile(it->path().string());
    snapshot[fs::relative(it->path(), folder).string()] = state;
  }
  return snapshot;
}

}  // namespace quill::testing
