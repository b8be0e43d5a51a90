#pragma once

#include <QSettings>
#include <QString>
#include <QUrl>
#include <memory>

namespace quill {

// The store of what the window remembers between runs: the native store of
// the organisation "Quillmere" (the registry on Windows, ~/.config/Quillmere/
// elsewhere), or an INI file when one is named (tests, portable use).
std::unique_ptr<QSettings> OpenSettings(const QString& iniFile);
// The native store: the registry key Software\Quillmere of the current user
// on Windows, ~/.config/Quillmere/Quillmere Photo.conf elsewhere.
std::unique_ptr<QSettings> OpenNativeSettings();

// The addresses behind "About", the help link of the mobile device library
// message and the "More ..." menu. Each is a setting; the defaults point at
// the pages of the bundled help in helpFolder.
struct TLinks {
  QUrl About;
  QUrl IosHelp;
  QUrl Music;
  QUrl More;
};
TLinks ReadLinks(QSettings& settings, const QString& helpFolder);

}  // namespace quill
