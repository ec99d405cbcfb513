// A desktop with no system tray: hiding the window would strand it, so closing quits.
#include "launcherfixture.h"

#include <QSystemTrayIcon>
#include <QTimer>
#include <QtTest>

class NoTrayTest : public QObject
{
    Q_OBJECT

private slots:
    void closeQuitsAndStopsTheServer()
    {
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        LauncherHome home;
        auto *window = new MainWindow;
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(window->findChild<QSystemTrayIcon *>()->isVisible());
        QTRY_COMPARE(serverStarts(home).size(), 1);
        const qint64 pid = serverStarts(home).first().pid;

        QCOMPARE(runEventLoop([window] { window->close(); }), 0); // the last window closed
        QVERIFY(!window->isVisible());
        delete window;
        QTRY_VERIFY(!processAlive(pid));
    }
};

QTEST_MAIN(NoTrayTest)
#include "tst_notray.moc"
