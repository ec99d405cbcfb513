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
#ifdef Q_OS_WIN
        QSKIP("Windows always has a notification area: Qt reports a tray whatever the desktop");
#endif
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        LauncherHome home;
        // Owned here, so that a failed check still destroys the window and its server.
        auto window = std::make_unique<MainWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY(window->findChild<QSystemTrayIcon *>()->isVisible());
        QTRY_COMPARE(serverStarts(home).size(), 1);
        const qint64 pid = serverStarts(home).first().pid;

        QCOMPARE(runEventLoop([&window] { window->close(); }), 0); // the last window closed
        QVERIFY(!window->isVisible());
        window.reset();
        QTRY_VERIFY(!processAlive(pid));
    }
};

QTEST_MAIN(NoTrayTest)
#include "tst_notray.moc"
