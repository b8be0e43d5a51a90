#include <sys/mount.h>

#include <QTest>
#include <cerrno>
#include <filesystem>

#include "app/mount_watcher.h"
#include "support/temp_dir.h"

namespace quill {

// Mounts a small memory file system, which needs the right to mount: the
// test is skipped without it.
class MountWatcherTest : public QObject {
  Q_OBJECT

private Q_SLOTS:
  void ReportsEachChangeOfTheMountTable() {
    testing::TTempDir dir;
    int changes = 0;
    TMountWatcher watcher([&changes] { ++changes; });
    QVERIFY(watcher.Watching());
    QTest::qWait(50);
    QCOMPARE(changes, 0);

    if (::mount("none", dir.Path().c_str(), "tmpfs", 0, "size=64k") != 0) {
      QSKIP(qPrintable(QStringLiteral("cannot mount here (errno %1)").arg(errno)));
    }
    QTRY_VERIFY_WITH_TIMEOUT(changes >= 1, 5000);
    // The table was read again: no further reports without a change.
    const int afterMount = changes;
    QTest::qWait(100);
    QCOMPARE(changes, afterMount);

    QCOMPARE(::umount(dir.Path().c_str()), 0);
    QTRY_VERIFY_WITH_TIMEOUT(changes > afterMount, 5000);
  }
};

}  // namespace quill

QTEST_MAIN(quill::MountWatcherTest)
#include "mount_watcher_test.moc"
