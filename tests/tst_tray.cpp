// The tray icon, its menu, closing into the background, and quitting from the menu.
#include "launcherfixture.h"

#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QStyle>
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

    // Both balloons stay up five seconds, with the information icon.
    void balloonTimeAndIcon_data()
    {
        QTest::addColumn<bool>("code");
        QTest::newRow("a new code") << true;
        QTest::newRow("the close hint") << false;
    }
    void balloonTimeAndIcon()
    {
        QFETCH(bool, code);
        LauncherHome home;
        qputenv("LUDOVANE_STANDIN_LOG", "off");
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        BalloonWatcher balloons;
        if (code) {
            home.writeLog("Code: 77\n");
            poll(&window);
        } else {
            window.close();
        }
        QCOMPARE(balloons.balloons.size(), 1);
        const BalloonWatcher::Balloon &balloon = balloons.balloons.first();
        QVERIFY(!balloon.icon.isNull()); // or the comparison below holds for no icon at all
        const QImage information = window.style()
                                       ->standardIcon(QStyle::SP_MessageBoxInformation)
                                       .pixmap(balloon.icon.size())
                                       .toImage();
        QCOMPARE(balloon.icon.convertToFormat(information.format()), information);
        QTRY_VERIFY_WITH_TIMEOUT(balloon.hiddenMs >= 0, 8000);
        const qint64 upMs = balloon.hiddenMs - balloon.shownMs;
        QVERIFY2(upMs >= 4500 && upMs <= 6500, qPrintable(QString::number(upMs) + " ms"));
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
        // Owned here, so that a failed check still destroys the window and its server.
        auto window = std::make_unique<MainWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QTRY_COMPARE(serverStarts(home).size(), 1);
        const qint64 pid = serverStarts(home).first().pid;
        window->close(); // hidden to the tray: Exit must work from there

        QAction *exit = menuEntry(*window, QStringLiteral("&Exit"));
        QCOMPARE(runEventLoop([exit] { exit->trigger(); }), 0);
        QVERIFY(processAlive(pid));
        window.reset();
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
