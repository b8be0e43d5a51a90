#include "app/settings.h"

#include <QDir>

namespace quill {

std::unique_ptr<QSettings> OpenSettings(const QString& iniFile) {
  if (!iniFile.isEmpty()) return std::make_unique<QSettings>(iniFile, QSettings::IniFormat);
  return OpenNativeSettings();
}

TLinks ReadLinks(QSettings& settings, const QString& helpFolder) {
  auto page = [&helpFolder](const QString& name, const QString& fragment) {
    QUrl url = QUrl::fromLocalFile(QDir(helpFolder).filePath(name));
    if (!fragment.isEmpty()) url.setFragment(fragment);
    return url;
  };
  auto link = [&settings](const QString& key, const QUrl& fallback) {
    const QString text = settings.value(key).toString().trimmed();
    const QUrl url = QUrl::fromUserInput(text);
    return text.isEmpty() || !url.isValid() ? fallback : url;
  };
  TLinks links;
  links.About = link(QStringLiteral("AboutUrl"), page(QStringLiteral("about.html"), {}));
  links.IosHelp = link(QStringLiteral("IosHelpUrl"), page(QStringLiteral("fix.html"), QStringLiteral("ios")));
  links.Music = link(QStringLiteral("MusicUrl"), page(QStringLiteral("about.html"), QStringLiteral("more")));
  links.More = link(QStringLiteral("MoreUrl"), page(QStringLiteral("about.html"), QStringLiteral("more")));
  return links;
}

}  // namespace quill
