#include "app/settings.h"

namespace quill {

std::unique_ptr<QSettings> OpenNativeSettings() {
  return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                     QStringLiteral("Quillmere"), QStringLiteral("Quillmere Photo"));
}

}  // namespace quill
