#include "app/settings.h"

namespace quill {

// The values sit directly under the organisation's key, where the program
// has always kept them.
std::unique_ptr<QSettings> OpenNativeSettings() {
  return std::make_unique<QSettings>(QStringLiteral("HKEY_CURRENT_USER\\Software\\Quillmere"),
                                     QSettings::NativeFormat);
}

}  // namespace quill
