// The tray icon, its menu, closing into the background, and quitting from the menu.
#include "launcherfixture.h"

#include <QAction>
#ifdef LUDOVANE_DBUS
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#endif
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

    // Show brings the window back from the tray or from the task bar, and leaves one on
    // screen as it is.
    void showBringsTheWindowBack_data()
    {
        QTest::addColumn<int>("from");
        QTest::newRow("visible") << 0;
        QTest::newRow("hidden") << 1;
        QTest::newRow("minimized") << 2;
    }
    void showBringsTheWindowBack()
    {
        QFETCH(int, from);
        LauncherHome home;
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QRect geometry = window.geometry();
        if (from == 1)
            window.close();
        else if (from == 2)
            window.showMinimized();
        menuEntry(window, QStringLiteral("&Show"))->trigger();
        QVERIFY(window.isVisible());
        QVERIFY(!window.isMinimized());
        QCOMPARE(window.geometry(), geometry);
        if (from)
            QTRY_VERIFY(window.isActiveWindow());
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

#ifdef LUDOVANE_DBUS
// The tray as a desktop's StatusNotifierItem host and notification daemon see it, under
// `xharness.py --desktop`: xfce4-panel's systray and dunst on a private session bus.
class StatusNotifierTest : public QObject
{
    Q_OBJECT

    QString service; // the launcher's item, once registered
    const QString path = QStringLiteral("/StatusNotifierItem");

    // The item is served by this process: calls wait with its event loop running.
    static QVariant call(const QString &to, const QString &at, const QString &interface,
                         const QString &method, const QVariantList &arguments, int answer = 0)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(to, at, interface, method);
        message.setArguments(arguments);
        const QVariant got = QDBusConnection::sessionBus().call(message, QDBus::BlockWithGui)
                                 .arguments().value(answer);
        return got.canConvert<QDBusVariant>() ? got.value<QDBusVariant>().variant() : got;
    }
    // A property of the item or the watcher: their interfaces are named after their paths.
    static QVariant get(const QString &to, const QString &at, const QString &name)
    {
        const QString interface = QStringLiteral("org.kde.") + at.mid(1);
        return call(to, at, QStringLiteral("org.freedesktop.DBus.Properties"),
                    QStringLiteral("Get"), {interface, name});
    }
    bool registered()
    {
        const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
        const QString pid = QString::number(QCoreApplication::applicationPid());
        for (const QString &item : get(watcher, QStringLiteral("/StatusNotifierWatcher"),
                                       QStringLiteral("RegisteredStatusNotifierItems"))
                                       .toStringList()) {
            service = item.section(QLatin1Char('/'), 0, 0);
            if (service.contains(QLatin1Char('-') + pid + QLatin1Char('-')))
                return true;
        }
        return false;
    }
    // The id of the menu entry LABEL in a dbusmenu layout node (ia{sv}av), or -1.
    static int entryId(const QDBusArgument &node, const QString &label)
    {
        int id;
        QVariantMap properties;
        QVariantList children;
        node.beginStructure();
        node >> id >> properties >> children;
        node.endStructure();
        for (const QVariant &child : children) {
            const int found = entryId(child.value<QDBusArgument>(), label);
            if (found >= 0)
                return found;
        }
        return properties.value(QStringLiteral("label")) == label ? id : -1;
    }
    void click(const QString &label)
    {
        const QString menu = get(service, path, QStringLiteral("Menu"))
                                 .value<QDBusObjectPath>().path();
        const QString dbusmenu = QStringLiteral("com.canonical.dbusmenu");
        const int id = entryId(call(service, menu, dbusmenu, QStringLiteral("GetLayout"),
                                    {0, -1, QStringList()}, 1).value<QDBusArgument>(), label);
        QVERIFY2(id >= 0, qPrintable(label));
        call(service, menu, dbusmenu, QStringLiteral("Event"),
             {id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    }

private slots:
    void initTestCase()
    {
        nameTheApplication();
        QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable());
    }

    void itemTitleAndIcon()
    {
        LauncherHome home;
        MainWindow window;
        QTRY_VERIFY(registered());
        QCOMPARE(get(service, path, QStringLiteral("Title")).toString(),
                 QStringLiteral("Ludovane"));
        // The icon's pixels, (iiay) at the sizes a panel draws.
        const QDBusArgument pixmaps = get(service, path, QStringLiteral("IconPixmap"))
                                          .value<QDBusArgument>();
        pixmaps.beginArray();
        QVERIFY(!pixmaps.atEnd());
    }

    void showAndExitThroughTheMenu()
    {
        LauncherHome home;
        auto window = std::make_unique<MainWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QTRY_VERIFY(registered());
        for (bool minimize : {false, true}) {
            if (minimize)
                window->showMinimized();
            else
                window->close();
            click(QStringLiteral("_Show"));
            QTRY_VERIFY(window->isVisible() && !window->isMinimized());
        }
        QTRY_COMPARE(serverStarts(home).size(), 1);
        const qint64 pid = serverStarts(home).first().pid;
        QCOMPARE(runEventLoop([this] { click(QStringLiteral("_Exit")); }), 0);
        window.reset();
        QTRY_VERIFY(!processAlive(pid));
    }

    void aNewCodeReachesTheNotificationDaemon()
    {
        LauncherHome home;
        qputenv("LUDOVANE_STANDIN_LOG", "off");
        MainWindow window;
        home.writeLog("Code: 4711\n");
        poll(&window);
        // Once closed, it is in dunst's history, beside the hints of earlier cases.
        QVariantMap shown;
        QTRY_VERIFY_WITH_TIMEOUT([&shown] {
            QProcess::execute(QStringLiteral("dunstctl"), {QStringLiteral("close-all")});
            QProcess dunstctl;
            dunstctl.start(QStringLiteral("dunstctl"), {QStringLiteral("history")});
            dunstctl.waitForFinished();
            const QJsonDocument history = QJsonDocument::fromJson(dunstctl.readAll());
            for (const QJsonValue entry : history[QLatin1String("data")][0].toArray()) {
                for (const QString &field : {QStringLiteral("appname"), QStringLiteral("summary"),
                                             QStringLiteral("body")})
                    shown[field] = entry[field][QLatin1String("data")].toString();
                if (shown[QStringLiteral("body")] == QStringLiteral("Code: 4711"))
                    return true;
            }
            return false;
        }(), 5000);
        QCOMPARE(shown[QStringLiteral("appname")].toString(), QStringLiteral("Ludovane"));
        QCOMPARE(shown[QStringLiteral("summary")].toString(), QStringLiteral("Ludovane"));
    }
};
#endif

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
#ifdef LUDOVANE_DBUS
    if (qgetenv("LAUNCHER_TEST_TRAY") == "sni") {
        StatusNotifierTest test;
        return QTest::qExec(&test, argc, argv);
    }
#endif
    TrayTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_tray.moc"
