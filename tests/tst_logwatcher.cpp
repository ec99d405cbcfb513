// The 4 s poll of the server's log: what it shows, when it announces, and how it copes with
// logs that are odd, large, replaced, or not files at all.
#include "launcherfixture.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSystemTrayIcon>
#include <QTextCodec>
#include <QtTest>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QByteArray garbage(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes) {
        byte = char(random.bounded(256));
        if (byte == 'C')
            byte = 'c'; // no accidental "Code:"
    }
    return bytes;
}

// What this process has read so far (files and sockets), or -1 where the system does not say.
qint64 bytesRead()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = io.readAll();
    const int at = text.indexOf("rchar:");
    return at < 0 ? -1 : text.mid(at + 6, text.indexOf('\n', at) - at - 6).trimmed().toLongLong();
}

QByteArray encoded(const char *codec, const QString &text)
{
    QTextCodec *c = QTextCodec::codecForName(codec);
    return c->fromUnicode(text); // with the byte-order mark these codecs write first
}

} // namespace

class LogWatcherTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable()); }

    void init()
    {
        home.reset(new LauncherHome);
        qputenv("LUDOVANE_STANDIN_LOG", "off"); // the test writes the log itself
        window.reset(new MainWindow);
        balloons.reset(new BalloonWatcher);
    }
    void cleanup()
    {
        balloons.reset();
        window.reset();
        home.reset();
    }

    void content_data()
    {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QString>("shown");

        QTest::newRow("space") << QByteArray("boot\nCode: 472\nready\n") << "Code: 472";
        QTest::newRow("tab, leading zero kept") << QByteArray("Code:\t042") << "Code: 042";
        QTest::newRow("newline as the whitespace") << QByteArray("Code:\n7\n") << "Code: 7";
        QTest::newRow("carriage return") << QByteArray("Code:\r\n8") << "Code: none";
        QTest::newRow("two spaces") << QByteArray("Code:  472\n") << "Code: none";
        QTest::newRow("no space") << QByteArray("Code:472\n") << "Code: none";
        QTest::newRow("lower case") << QByteArray("code: 472\n") << "Code: none";
        QTest::newRow("first code wins") << QByteArray("Code: 111\n...\nCode: 222\n") << "Code: 111";
        QTest::newRow("first that matches wins")
            << QByteArray("Code:  1\nCode:x2\nCode: 3\nCode: 4\n") << "Code: 3";
        QTest::newRow("digits end at the first non-digit") << QByteArray("Code: 12ab34") << "Code: 12";
        QTest::newRow("empty") << QByteArray() << "Code: none";
        QTest::newRow("no newline, no code") << QByteArray(300000, 'x') << "Code: none";
        QTest::newRow("10000-digit code")
            << "Code: " + QByteArray(10000, '7') << "Code: " + QString(10000, QLatin1Char('7'));
        QTest::newRow("binary garbage") << garbage(1 << 20, 1) << "Code: none";
        QTest::newRow("code inside garbage")
            << garbage(200000, 2) + "Code: 31\n" + garbage(1000, 3) << "Code: 31";
        QTest::newRow("across a 64 KiB boundary")
            << QByteArray(65536 - 3, '.') + "Code: 98765" << "Code: 98765";
        QTest::newRow("UTF-8 with byte-order mark")
            << QByteArray("\xEF\xBB\xBF" "Code: 55") << "Code: 55";
        QTest::newRow("UTF-16 with byte-order mark")
            << encoded("UTF-16LE", QString(QChar(0xFEFF)) + "server \u00e9\u20ac\nCode: 606\n")
            << "Code: 606";
        QTest::newRow("UTF-16 big-endian")
            << encoded("UTF-16BE", QString(QChar(0xFEFF)) + "Code:\t9") << "Code: 9";
    }
    void content()
    {
        QFETCH(QByteArray, log);
        QFETCH(QString, shown);
        home->writeLog(log);

        poll(window.get());
        if (codeLabel(window.get()) != shown && !log.isEmpty() && log.back() >= '0'
            && log.back() <= '9') {
            // Digits at the end are a code once a poll finds nothing written after them.
            QCOMPARE(codeLabel(window.get()), QStringLiteral("Code: none"));
            poll(window.get());
        }
        QCOMPARE(codeLabel(window.get()), shown);
        const bool found = shown != QLatin1String("Code: none");
        const QLabel *label = child<QLabel>(window.get(), "lblcode");
        QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
        QVERIFY2(label->text().startsWith(shown.left(8)), qPrintable(label->text())); // cut on the right
#ifdef Q_OS_WIN
        const QString announced = shown.left(255); // what a balloon of the Windows shell holds
#else
        const QString announced = shown;
#endif
        QCOMPARE(balloons->messages(), found ? QStringList{announced} : QStringList());
        if (found)
            QCOMPARE(balloons->balloons.first().title, QStringLiteral("Ludovane"));

        // Polling the same log again changes nothing and announces nothing.
        poll(window.get());
        QCOMPARE(codeLabel(window.get()), shown);
        QCOMPARE(balloons->balloons.size(), found ? 1 : 0);
    }

    // A second poll after the log changed gives what reading the whole file gives, whatever
    // the first poll left to go on from; and the window keeps answering while a poll reads.
    void laterPoll_data()
    {
        QTest::addColumn<QByteArray>("before"); // "sparse": 1 GB of NULs after what follows
        QTest::addColumn<QString>("change");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("shown");
        const QByteArray filler(100000, 'x');
        const QStringList one{"Code: 1"};
        QTest::newRow("code appended after 1 GB") << QByteArray("sparse") << "append"
                                                  << QByteArray("\nCode: 77\n") << QStringList{"Code: 77"};
        QTest::newRow("1 GB marked UTF-16, code appended")
            << QByteArray("sparse\xFF\xFE") << "append" << encoded("UTF-32LE", "\nCode: 7\n").mid(4)
            << QStringList{"Code: 7"}; // the mark and two NULs make it UTF-32
        QTest::newRow("UTF-16, code appended")
            << encoded("UTF-16LE", QString::fromLatin1(filler)) << "append"
            << encoded("UTF-16LE", "Code: 8\n").mid(2) << QStringList{"Code: 8"};
        QTest::newRow("number completed") << QByteArray("Code: 12") << "append" << QByteArray("34\n")
                                          << QStringList{"Code: 1234"};
        QTest::newRow("number completed after a quiet poll")
            << QByteArray("Code: 55") << "pause, append" << QByteArray("66\n")
            << QStringList{"Code: 55", "Code: 5566"};
        QTest::newRow("UTF-16 number completed")
            << encoded("UTF-16BE", "Code: 12") << "append"
            << encoded("UTF-16BE", "34\n").mid(2) << QStringList{"Code: 1234"};
        QTest::newRow("marker completed") << "log " + filler + "Code:" << "append"
                                          << QByteArray(" 5\n") << QStringList{"Code: 5"};
        QTest::newRow("later code appended") << "Code: 1\n" + filler << "append"
                                             << QByteArray("Code: 2\n") << one;
        QTest::newRow("replaced by a shorter log") << "Code: 1\n" + filler << "replace"
                                                   << QByteArray("Code: 2\n") << QStringList{"Code: 1", "Code: 2"};
        QTest::newRow("replaced by a longer log, same start and end, code between")
            << filler + filler << "replace" << filler + "Code: 5\n" + filler.mid(8) + "more\n"
            << QStringList{"Code: 5"};
        QTest::newRow("rewritten in place near its end, longer")
            << filler + filler << "rewrite" << filler + filler.left(99000) + "Code: 6\n"
                                                   + filler.left(992) + "more\n"
            << QStringList{"Code: 6"};
        QTest::newRow("no code, replaced by a shorter log") << filler << "replace"
                                                            << QByteArray("Code: 2\n") << QStringList{"Code: 2"};
        QTest::newRow("replaced, no code yet") << "Code: 1\n" + filler << "replace"
                                               << QByteArray("starting\n") << one;
        QTest::newRow("code rewritten in place, same size")
            << "Code: 1\n" + filler << "rewrite" << "Code: 3\n" + filler << QStringList{"Code: 1", "Code: 3"};
        QTest::newRow("middle rewritten in place, same size")
            << filler + filler << "rewrite" << filler + "Code: 4\n" + filler.mid(8) << QStringList{"Code: 4"};
        QTest::newRow("rewritten in place, longer") << filler << "rewrite" << "Code: 6\n" + filler + filler
                                                    << QStringList{"Code: 6"};
        QTest::newRow("truncated, another code") << "Code: 1\n" + filler << "truncate"
                                                 << QByteArray("Code: 9\n") << QStringList{"Code: 1", "Code: 9"};
        QTest::newRow("truncated to nothing") << "Code: 1\n" + filler << "truncate" << QByteArray() << one;
        QTest::newRow("swapped for a FIFO") << "Code: 1\n" + filler << "fifo" << QByteArray() << one;
#ifdef Q_OS_UNIX // where the poll checks the log's owner and takes no link
        QTest::newRow("swapped for a link")
            << "Code: 1\n" + filler << "link" << QByteArray("Code: 666\n") << one;
        QTest::newRow("swapped for another account's file")
            << "Code: 1\n" + filler << "foreign" << QByteArray("Code: 666\n") << one;
#endif
    }
    void laterPoll()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, change);
        QFETCH(QByteArray, content);
        QFETCH(QStringList, shown);
        QFile log(home->logPath());
        const bool sparse = before.startsWith("sparse");
        if (sparse) {
            QVERIFY(log.open(QIODevice::WriteOnly));
            log.write(before.mid(6));
            QVERIFY(log.resize(qint64(1) << 30));
        } else {
            home->writeLog(before);
        }
        log.close();

        // A timer on the GUI thread keeps firing while a poll reads (1 GB takes a while).
        int ticksWhilePolling = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ticksWhilePolling += window->isPolling(); });
        ticker.start(10);
        poll(window.get());
        if (sparse)
            QVERIFY2(ticksWhilePolling >= 3, qPrintable(QString::number(ticksWhilePolling)));
        if (change.startsWith(QLatin1String("pause"))) // digits at the end, shown once quiet
            poll(window.get());

        if (change.endsWith(QLatin1String("append"))) {
            QVERIFY(log.open(QIODevice::Append));
            log.write(content);
        } else if (QStringList{"replace", "link", "foreign"}.contains(change)) {
            QFile next(home->logPath() + QStringLiteral(".new"));
            QVERIFY(next.open(QIODevice::WriteOnly));
            next.write(content);
            next.close();
#ifdef Q_OS_UNIX
            if (change == QLatin1String("link")) {
                QVERIFY(next.link(next.fileName() + QStringLiteral(".link")));
                next.setFileName(next.fileName() + QStringLiteral(".link"));
            }
            if (change == QLatin1String("foreign")
                && ::chown(QFile::encodeName(next.fileName()).constData(), 65534, 65534) != 0)
                QSKIP("giving a file to another account takes root");
#endif
#ifdef Q_OS_WIN
            QVERIFY(MoveFileExW(reinterpret_cast<const wchar_t *>(next.fileName().utf16()),
                                reinterpret_cast<const wchar_t *>(log.fileName().utf16()),
                                MOVEFILE_REPLACE_EXISTING));
#else
            QVERIFY(::rename(QFile::encodeName(next.fileName()), QFile::encodeName(log.fileName())) == 0);
#endif
        } else if (change == QLatin1String("rewrite")) {
            QVERIFY(log.open(QIODevice::ReadWrite));
            log.write(content);
        } else if (change == QLatin1String("truncate")) {
            QVERIFY(log.open(QIODevice::ReadWrite) && log.resize(0));
            log.write(content);
        } else {
#ifdef Q_OS_WIN
            QSKIP("Windows has no FIFOs in the file system");
#else
            QVERIFY(log.remove());
            QCOMPARE(::mkfifo(QFile::encodeName(log.fileName()).constData(), 0600), 0);
#endif
        }
        log.close();
        const qint64 readBefore = bytesRead();
        poll(window.get());
        // An append costs what was appended, not the whole log again.
        if (change == QLatin1String("append") && readBefore >= 0)
            QVERIFY2(bytesRead() - readBefore < content.size() + (1 << 20),
                     qPrintable(QString::number(bytesRead() - readBefore)));

        QCOMPARE(codeLabel(window.get()), shown.last());
        QCOMPARE(balloons->messages(), shown);
    }

    // Quitting during a poll of a huge log (sparse: no disk) ends it within the next chunk.
    void quitDuringAPoll_data()
    {
        QTest::addColumn<QByteArray>("start");
        QTest::newRow("UTF-8") << QByteArray();
        QTest::newRow("marked UTF-16") << QByteArray("\xFF\xFE");
    }
    void quitDuringAPoll()
    {
        QFETCH(QByteArray, start);
        QFile log(home->logPath());
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.write(start);
        QVERIFY(log.resize(qint64(16) << 30));
        log.close();
        QMetaObject::invokeMethod(window.get(), "readData", Qt::DirectConnection);
        QTest::qWait(300);
        QVERIFY(window->isPolling());
        QElapsedTimer quitting;
        quitting.start();
        window.reset();
        QVERIFY2(quitting.elapsed() < 1000, qPrintable(QString::number(quitting.elapsed())));
    }

    void eachNewCodeIsAnnounced()
    {
        home->writeLog("Code: 1\n");
        poll(window.get());
        home->writeLog("Code: 2\n"); // replaced, as a server restart does
        poll(window.get());
        poll(window.get());
        home->writeLog("starting\n"); // a new log without a code yet keeps the last one
        poll(window.get());
        QCOMPARE(codeLabel(window.get()), QStringLiteral("Code: 2"));
        QCOMPARE(balloons->messages(), QStringList({"Code: 1", "Code: 2"}));
    }

    void deletedLogKeepsTheLabel()
    {
        home->writeLog("Code: 10\n");
        poll(window.get());
        QVERIFY(QFile::remove(home->logPath()));
        poll(window.get());
        QCOMPARE(codeLabel(window.get()), QStringLiteral("Code: 10"));
        QCOMPARE(balloons->balloons.size(), 1);
    }

    void notARegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("directory") << "directory";
        QTest::newRow("FIFO with no writer") << "fifo";
    }
    void notARegularFile()
    {
        QFETCH(QString, kind);
        home->writeLog("Code: 10\n");
        poll(window.get());
        QVERIFY(QFile::remove(home->logPath()));
        if (kind == QLatin1String("directory"))
            QVERIFY(QDir().mkdir(home->logPath()));
        else
#ifdef Q_OS_UNIX
            QCOMPARE(::mkfifo(home->logPath().toLocal8Bit().constData(), 0600), 0);
#else
            QSKIP("Windows has no FIFOs in the file system");
#endif

        poll(window.get()); // would block forever on opening a FIFO
        QCOMPARE(codeLabel(window.get()), QStringLiteral("Code: 10"));
        QCOMPARE(balloons->balloons.size(), 1);
    }

    // The real timer and the real stand-in server: its code shows up by itself.
    void serverCodeShowsWithinAPoll()
    {
        cleanup();
        home.reset(new LauncherHome);
        qputenv("LUDOVANE_STANDIN_CODE", "8675");
        QElapsedTimer sinceStart;
        sinceStart.start();
        window.reset(new MainWindow);
        balloons.reset(new BalloonWatcher);
        QTRY_COMPARE_WITH_TIMEOUT(codeLabel(window.get()), QStringLiteral("Code: 8675"), 5500);
        // The code is in the log at once, but the first poll comes only after 4 s (a coarse
        // timer may fire up to 5% early), and not much later.
        QVERIFY2(sinceStart.elapsed() >= 3500, qPrintable(QString::number(sinceStart.elapsed())));
        QCOMPARE(balloons->messages(), QStringList{"Code: 8675"});

        // A restarted server truncates its log; until it logs a code the label stays.
        qputenv("LUDOVANE_STANDIN_DELAY_MS", "600000");
        child<QComboBox>(window.get(), "cmbconsole")->setCurrentIndex(2);
        QTRY_COMPARE(serverStarts(*home).size(), 2);
        const auto log = [this] {
            QFile file(home->logPath());
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QTRY_VERIFY(log().startsWith("Stand-in server started for console nes"));
        QVERIFY(!log().contains("Code:"));
        poll(window.get());
        QCOMPARE(codeLabel(window.get()), QStringLiteral("Code: 8675"));
        QCOMPARE(balloons->balloons.size(), 1);
    }

private:
    std::unique_ptr<LauncherHome> home;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<BalloonWatcher> balloons;
};

QTEST_MAIN(LogWatcherTest)
#include "tst_logwatcher.moc"
