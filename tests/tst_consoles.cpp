// Console changes against what the stand-in server recorded: the picture, the five
// arguments, and exactly one server alive however many changes came before.
#include "launcherfixture.h"
#include "serverprocess.h"

#include <QComboBox>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QtTest>

#ifdef Q_OS_WIN
#include <psapi.h>
#else
#include <unistd.h>
#endif

namespace {

qint64 residentKiB()
{
#ifdef Q_OS_WIN
    PROCESS_MEMORY_COUNTERS counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
               ? qint64(counters.WorkingSetSize / 1024)
               : -1;
#endif
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

} // namespace

class ConsolesTest : public QObject
{
    Q_OBJECT

private slots:
    void change_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("picture");
        QTest::addColumn<QString>("argument");
        QTest::newRow("Mega Drive") << 1 << ":/art/images/genesis.png" << "-console=genesis";
        QTest::newRow("NES") << 2 << ":/art/images/nes.png" << "-console=nes";
        QTest::newRow("SNES") << 3 << ":/art/images/snes.png" << "-console=snes";
    }
    void change()
    {
        QFETCH(int, index);
        QFETCH(QString, picture);
        QFETCH(QString, argument);
        LauncherHome home;
        MainWindow window;
        QTRY_COMPARE(serverStarts(home).size(), 1);

        child<QComboBox>(&window, "cmbconsole")->setCurrentIndex(index);
        QCOMPARE(shownPicture(child<QLabel>(&window, "imgconsole")), scaledArtwork(picture, child<QLabel>(&window, "imgconsole")));
        QCOMPARE(child<QLabel>(&window, "imgconsole")->accessibleName(), QTest::currentDataTag());
        QTRY_COMPARE(serverStarts(home).size(), 2);
        const QVector<ServerStart> starts = serverStarts(home);
        QCOMPARE(starts[1].arguments,
                 QStringList({"-batchmode", "-nographics", "-logFile", home.logPath(), argument}));
        QCOMPARE(starts[1].program, QCoreApplication::applicationDirPath() + "/ludovane.exe");
        QTRY_VERIFY(!processAlive(starts[0].pid));
        QVERIFY(processAlive(starts[1].pid));
    }

    void noChangeForTheSameOrAnUnknownConsole_data()
    {
        QTest::addColumn<int>("index");
        QTest::newRow("past the table") << 4;
        QTest::newRow("empty selector") << -1;
        QTest::newRow("far off") << 1000;
    }
    void noChangeForTheSameOrAnUnknownConsole()
    {
        QFETCH(int, index);
        LauncherHome home;
        MainWindow window;
        const QList<QProcess *> before = window.findChildren<QProcess *>();
        const QImage picture = shownPicture(child<QLabel>(&window, "imgconsole"));

        QMetaObject::invokeMethod(&window, "changeConsole", Q_ARG(int, index));
        child<QComboBox>(&window, "cmbconsole")->setCurrentIndex(0); // already current

        QCOMPARE(window.findChildren<QProcess *>(), before);
        QCOMPARE(shownPicture(child<QLabel>(&window, "imgconsole")), picture);
        QTRY_COMPARE(serverStarts(home).size(), 1);
        QVERIFY(processAlive(serverStarts(home).first().pid));
    }

    void manyChangesLeaveOneServer_data()
    {
        QTest::addColumn<int>("changes");
        QTest::newRow("two") << 2;
        QTest::newRow("a hundred in a burst") << 100;
    }
    void manyChangesLeaveOneServer()
    {
        QFETCH(int, changes);
        LauncherHome home;
        MainWindow window;
        auto *selector = child<QComboBox>(&window, "cmbconsole");
        for (int i = 1; i <= changes; ++i)
            selector->setCurrentIndex(i % 4);
        // Changes in one pass of the event loop restart the server once.
        QCoreApplication::processEvents();
        QVERIFY(window.findChildren<QProcess *>().size() <= 2);
        const QString last = QStringList({"-console=sms", "-console=genesis", "-console=nes",
                                          "-console=snes"})[changes % 4];

        // Each kill may land before the server got to record itself; the last one does record.
        QTRY_VERIFY_WITH_TIMEOUT(!serverStarts(home).isEmpty()
                                     && serverStarts(home).last().arguments.value(4) == last,
                                 20000);
        QTRY_COMPARE_WITH_TIMEOUT(serverChildren().size(), 1, 20000);
        // The first server may be of the last console too: wait for the one alive to record.
        QTRY_COMPARE_WITH_TIMEOUT(serverChildren().value(0), serverStarts(home).last().pid, 20000);
        QCOMPARE(aliveCount(serverStarts(home)), 1);
        // Replaced process objects are released once reaped.
        QTRY_COMPARE_WITH_TIMEOUT(window.findChildren<QProcess *>().size(), 1, 20000);
        for (const ServerStart &start : serverStarts(home))
            QCOMPARE(start.arguments.size(), 5);
    }

    void floodingServerLeavesMemoryFlat()
    {
        LauncherHome home;
        qputenv("LUDOVANE_STANDIN_FLOOD_MB", "400");
        const qint64 before = residentKiB();
        MainWindow window;
        QTRY_COMPARE(serverStarts(home).size(), 1);
        const QString flooded = "flooded\t" + QString::number(serverStarts(home).first().pid);
        QTRY_VERIFY_WITH_TIMEOUT(recordHas(home, flooded), 120000);
        QCoreApplication::processEvents();
        const qint64 grownKiB = residentKiB() - before;
        QVERIFY2(grownKiB < 64 * 1024, qPrintable(QString::number(grownKiB) + " KiB more"));
    }

    // The server makes its own group before it runs: the launcher's setpgid comes too late
    // once the server has started.
    void serverMakesItsOwnGroup()
    {
#ifdef Q_OS_WIN
        QSKIP("process groups are Unix's; on Windows the launcher's job object ends the server");
#else
        LauncherHome home;
        ServerProcess server;
        server.start(QCoreApplication::applicationDirPath() + "/ludovane.exe",
                     {"-batchmode", "-nographics", "-logFile", home.logPath(), "-console=sms"});
        QVERIFY(server.waitForStarted());
        QCOMPARE(qint64(::getpgid(pid_t(server.processId()))), server.processId());
        server.killGroup();
        QVERIFY(server.waitForFinished());
#endif
    }

    void killedOnDestruction()
    {
        LauncherHome home;
        qint64 pid;
        {
            MainWindow window;
            QTRY_COMPARE(serverStarts(home).size(), 1);
            pid = serverStarts(home).first().pid;
            QVERIFY(processAlive(pid));
        }
        QTRY_VERIFY(!processAlive(pid));
    }
};

QTEST_MAIN(ConsolesTest)
#include "tst_consoles.moc"
