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

    QDBusConnection bus = QDBusConnection::sessionBus();
    QString service, path; // the launcher's item, once registered

    // The item is served by this process: calls wait with its event loop running.
    QDBusMessage call(const QString &to, const QString &at, const QString &interface,
                      const QString &method, const QVariantList &arguments)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(to, at, interface, method);
        message.setArguments(arguments);
        return bus.call(message, QDBus::BlockWithGui);
    }
    QVariant property(const QString &to, const QString &at, const QString &interface,
                      const QString &name)
    {
        const QDBusMessage reply = call(to, at, QStringLiteral("org.freedesktop.DBus.Properties"),
                                        QStringLiteral("Get"), {interface, name});
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }
    QVariant itemProperty(const char *name)
    {
        return property(service, path, QStringLiteral("org.kde.StatusNotifierItem"),
                        QLatin1String(name));
    }
    bool registered()
    {
        const QStringList items = property(QStringLiteral("org.kde.StatusNotifierWatcher"),
                                           QStringLiteral("/StatusNotifierWatcher"),
                                           QStringLiteral("org.kde.StatusNotifierWatcher"),
                                           QStringLiteral("RegisteredStatusNotifierItems"))
                                      .toStringList();
        const QString pid = QString::number(QCoreApplication::applicationPid());
        for (const QString &item : items) {
            if (!item.contains(QLatin1Char('-') + pid + QLatin1Char('-')))
                continue;
            const int slash = item.indexOf(QLatin1Char('/'));
            service = item.left(slash);
            path = slash < 0 ? QStringLiteral("/StatusNotifierItem") : item.mid(slash);
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
        if (properties.value(QStringLiteral("label")).toString() == label)
            return id;
        for (const QVariant &child : children) {
            const int found = entryId(child.value<QDBusArgument>(), label);
            if (found >= 0)
                return found;
        }
        return -1;
    }
    void click(const QString &label)
    {
        const QString menu = itemProperty("Menu").value<QDBusObjectPath>().path();
        const QString dbusmenu = QStringLiteral("com.canonical.dbusmenu");
        const QDBusMessage layout = call(service, menu, dbusmenu, QStringLiteral("GetLayout"),
                                         {0, -1, QStringList()});
        const int id = entryId(layout.arguments().value(1).value<QDBusArgument>(), label);
        QVERIFY2(id >= 0, qPrintable(label));
        call(service, menu, dbusmenu, QStringLiteral("Event"),
             {id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    }
    static QByteArray dunstctl(const QString &command)
    {
        QProcess process;
        process.start(QStringLiteral("dunstctl"), {command});
        process.waitForFinished();
        return process.readAllStandardOutput();
    }

private slots:
    void initTestCase()
    {
        nameTheApplication();
        QVERIFY(bus.isConnected());
        QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable());
    }

    void itemTitleAndIcon()
    {
        LauncherHome home;
        MainWindow window;
        QTRY_VERIFY(registered());
        QCOMPARE(itemProperty("Title").toString(), QStringLiteral("Ludovane"));
        QCOMPARE(itemProperty("Id").toString(), QStringLiteral("Ludovane"));
        // The icon's pixels, (iiay) at each size the tray may draw.
        const QDBusArgument pixmaps = itemProperty("IconPixmap").value<QDBusArgument>();
        QList<int> widths;
        pixmaps.beginArray();
        while (!pixmaps.atEnd()) {
            int width, height;
            QByteArray data;
            pixmaps.beginStructure();
            pixmaps >> width >> height >> data;
            pixmaps.endStructure();
            QCOMPARE(data.size(), width * height * 4);
            widths << width;
        }
        pixmaps.endArray();
        QVERIFY(widths.contains(22));
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
        // Once closed, it is in dunst's history, the hints of earlier cases beside it.
        const auto shown = [] {
            dunstctl(QStringLiteral("close-all"));
            const QJsonArray history = QJsonDocument::fromJson(dunstctl(QStringLiteral("history")))
                                           .object()[QLatin1String("data")].toArray()[0].toArray();
            for (const QJsonValue &entry : history) {
                const QJsonObject object = entry.toObject();
                QVariantMap fields;
                for (auto field = object.begin(); field != object.end(); ++field)
                    fields[field.key()] = field.value().toObject()[QLatin1String("data")].toVariant();
                if (fields[QStringLiteral("body")] == QStringLiteral("Code: 4711"))
                    return fields;
            }
            return QVariantMap();
        };
        QTRY_VERIFY(!shown().isEmpty());
        QCOMPARE(shown()[QStringLiteral("appname")].toString(), QStringLiteral("Ludovane"));
        QCOMPARE(shown()[QStringLiteral("summary")].toString(), QStringLiteral("Ludovane"));
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
