// The tray icon, its menu, closing into the background, and quitting from the menu.
#include "launcherfixture.h"

#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtTest>

namespace {

const QString hint = QStringLiteral("Running on background. Select \"Exit\" on the context menu to quit.");

QAction *menuEntry(MainWindow &window, const QString &text)
{
    for (QAction *action : window.findChild<QSystemTrayIcon *>()->contextMenu()->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

} // namespace

class TrayTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable()); }

    void iconAndMenu()
    {
        LauncherHome home;
        MainWindow window;
        auto *tray = window.findChild<QSystemTrayIcon *>();
        QVERIFY(tray);
        QVERIFY(tray->isVisible());
        QVERIFY(!tray->icon().isNull());
        QVERIFY(tray->toolTip().isEmpty());
        QCOMPARE(tray->parent(), &window);
        QCOMPARE(tray->contextMenu()->parent(), &window);

        QStringList entries;
        for (const QAction *action : tray->contextMenu()->actions())
            entries << (action->isSeparator() ? QStringLiteral("--") : action->text());
        QCOMPARE(entries, QStringList({"--", "&Show", "--", "&Exit"}));
    }

    void closeHidesToTrayWithHint()
    {
        LauncherHome home;
        MainWindow window;
        BalloonWatcher balloons;
        QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_COMPARE(serverStarts(home).size(), 1);

        for (int round = 1; round <= 2; ++round) {
            QVERIFY(!window.close());
            QVERIFY(window.isHidden());
            QCOMPARE(balloons.balloons.size(), round);
            QCOMPARE(balloons.balloons.last().title, QStringLiteral("Ludovane"));
            QCOMPARE(balloons.balloons.last().message, hint);
            QCOMPARE(lastClosed.count(), 0);
            QVERIFY(processAlive(serverStarts(home).first().pid));

            menuEntry(window, QStringLiteral("&Show"))->trigger();
            QVERIFY(window.isVisible());
        }
    }

    void showOnAVisibleWindowChangesNothing()
    {
        LauncherHome home;
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QRect geometry = window.geometry();
        menuEntry(window, QStringLiteral("&Show"))->trigger();
        QVERIFY(window.isVisible());
        QCOMPARE(window.geometry(), geometry);
    }

    void exitFromTheTrayEndsTheLoopAndTheServer()
    {
        LauncherHome home;
        auto *window = new MainWindow;
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QTRY_COMPARE(serverStarts(home).size(), 1);
        const qint64 pid = serverStarts(home).first().pid;
        window->close(); // hidden to the tray: Exit must work from there

        QAction *exit = menuEntry(*window, QStringLiteral("&Exit"));
        QCOMPARE(runEventLoop([exit] { exit->trigger(); }), 0);
        QVERIFY(processAlive(pid));
        delete window;
        QTRY_VERIFY(!processAlive(pid));
    }

    void closingWithTheIconHiddenClosesForReal()
    {
        LauncherHome home;
        MainWindow window;
        QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.findChild<QSystemTrayIcon *>()->hide();
        QCOMPARE(runEventLoop([&window] { window.close(); }), 0); // the last window closed
        QVERIFY(window.isHidden());
        QCOMPARE(lastClosed.count(), 1);
    }
};

QTEST_MAIN(TrayTest)
#include "tst_tray.moc"
