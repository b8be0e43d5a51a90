#include "app/help_folder.h"

#include <QTest>
#include <filesystem>

#include "support/temp_dir.h"

namespace quill {

class HelpFolderTest : public QObject {
  Q_OBJECT

private Q_SLOTS:
  // A prefix laid out as an installation: bin/ and the shared help pages.
  void PagesBesideTheProgramComeBeforeTheInstalledOnes() {
    testing::TTempDir prefix;
    const std::filesystem::path bin = std::filesystem::path(prefix.Path()) / "bin";
    std::filesystem::create_directories(bin);
    const QString program = QString::fromStdString(bin.string());
    QCOMPARE(HelpFolder(program), program + QStringLiteral("/help"));

    const std::filesystem::path installed =
        (bin / QUILL_HELP_FROM_PROGRAM).lexically_normal();
    std::filesystem::create_directories(installed);
    const QString found = HelpFolder(program);
    QCOMPARE(found, QString::fromStdString(installed.string()));
    QVERIFY(found.endsWith(QStringLiteral("/quillmere-photo/help")));
    QVERIFY(!found.contains(QStringLiteral("..")));

    std::filesystem::create_directories(bin / "help");
    QCOMPARE(HelpFolder(program), program + QStringLiteral("/help"));
  }
};

}  // namespace quill

QTEST_GUILESS_MAIN(quill::HelpFolderTest)
#include "help_folder_test.moc"
