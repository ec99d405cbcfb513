// The chunked log scanner must find exactly what reading the whole text with a default
// QTextStream and searching it for the first "Code:\s([0-9]+)" finds, whatever the bytes,
// the encoding or where the chunks happen to split the text.
#include "logscan.h"

#include <QBuffer>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTextCodec>
#include <QTextStream>
#include <QtTest>

#include <clocale>
#include <thread>

namespace {

// What a reader of the whole text finds, in the locale's codec unless `codec` is given.
// `atEnd`: whether the code's digits run to the end of the text.
QString wholeTextSearch(const QByteArray &bytes, bool *atEnd = nullptr, QTextCodec *codec = nullptr)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QTextStream stream(&buffer);
    stream.setCodec(codec ? codec : QTextCodec::codecForLocale());
    stream.setAutoDetectUnicode(true);
    // Unpaired surrogates (what UTF-32 units past U+10FFFF decode to) as '?': the pattern
    // engine refuses a text holding one, where a reader sees only an odd character.
    const QByteArray utf8 = stream.readAll().toUtf8();
    const QString text = QString::fromUtf8(utf8.constData(), utf8.size());
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("Code:\\s([0-9]+)")).match(text);
    if (atEnd)
        *atEnd = match.capturedEnd(1) == text.size();
    return match.hasMatch() ? match.captured(1) : QString();
}

// What polls of the log find once it is written: digits at its end after a quiet poll.
QString scanned(const QByteArray &bytes)
{
    QTemporaryFile file;
    file.open();
    file.write(bytes);
    file.flush();
    logscan::Poller poller;
    const std::atomic<bool> running{false};
    const QString first = poller.poll(file.fileName(), running);
    return first.isNull() ? poller.poll(file.fileName(), running) : first;
}

// Sets LOCALE up: a codec's name as Qt's locale codec; a locale's name as the C library's,
// made with localedef in `dir`, which Qt 5 reports as UTF-8 whatever its codec: `reference`
// is then the codec a reader should use. False where the locale cannot be made.
bool useLocale(const QByteArray &locale, const QString &dir, QTextCodec *&reference)
{
    const QList<QByteArray> parts = locale.split('.');
    QTextCodec::setCodecForLocale(parts.size() == 1 ? QTextCodec::codecForName(locale) : nullptr);
    if (parts.size() == 1)
        return true;
    const QString made = dir + QLatin1Char('/') + QLatin1String(locale);
    if (!QFile::exists(made))
        QProcess::execute(QStringLiteral("localedef"),
                          {"-c", "-i", parts[0], "-f", parts[1], made});
    qputenv("LOCPATH", QFile::encodeName(dir));
    reference = QTextCodec::codecForName(parts[1]);
    return std::setlocale(LC_ALL, locale.constData()) && reference;
}

// Logs built from the pieces that trip a scanner up: parts of the marker, every kind of
// whitespace, digits, bytes that are not valid UTF-8, NULs, and byte-order marks.
QByteArray randomLog(QRandomGenerator &random)
{
    static const QByteArray pieces[] = {
        "Code: 9", "Code:\t23", "Code:\v0", "Code:  5", "Code:", "Code", "Cod", "C", "ode:", ":", " ", "\t", "\n", "\r", "\v", "\f", "  ",
        "0", "42", "007", "x", "log line\n", QByteArray("\0", 1), "\xC3", "\xC3\xA9",
        "\xE2\x82", "\xE2\x82\xAC", "\xF0\x9F\x98", "\xFF", "\x80", "\xC1\x83", "\xEF\xBB\xBF",
        "\xFE\xFF", "\xFF\xFE", QByteArray("C\0o\0d\0e\0:\0 \0" "5\0", 14), "Code:\x85" "1",
        QByteArray("\0\0\0C\0\0\0o\0\0\0d\0\0\0e\0\0\0:\0\0\0 \0\0\0" "6", 28),
        "Code:\xA0" "2", "\x1B$B", "\x1B(B"};
    static const QByteArray boms[] = {"", "", "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF",
                                      QByteArray("\xFF\xFE\0\0", 4), QByteArray("\0\0\xFE\xFF", 4)};
    QByteArray log = boms[random.bounded(int(std::size(boms)))];
    // Long runs of filler put the interesting pieces near the scanner's chunk boundaries.
    const int filler = random.bounded(3) == 0 ? 16384 * random.bounded(1, 6) - random.bounded(12) : 0;
    const int count = random.bounded(1, 40);
    for (int i = 0; i < count; ++i) {
        if (i == count / 2)
            log += QByteArray(filler, 'y');
        log += pieces[random.bounded(int(std::size(pieces)))];
    }
    return log;
}

} // namespace

class LogScanTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QTextCodec::setCodecForLocale(nullptr), std::setlocale(LC_ALL, "C"); }

    void matchesWholeTextSearch_data()
    {
        pollerAfterAppends_data(); // and double-byte locales, which Qt takes for UTF-8
        for (const char *locale : {"ja_JP.SHIFT_JIS", "zh_CN.GBK"})
            QTest::newRow(locale) << QByteArray(locale);
    }
    void matchesWholeTextSearch()
    {
        QFETCH(QByteArray, locale);
        QTextCodec *reference = nullptr;
        if (!useLocale(locale, locales.path(), reference))
            QSKIP("the locale could not be made (localedef, Debian's locales)");

        QRandomGenerator random(20261208);
        int found = 0;
        for (int i = 0; i < 1500; ++i) {
            const QByteArray log = randomLog(random);
            const QString expected = wholeTextSearch(log, nullptr, reference);
            found += expected.isNull() ? 0 : 1;
            QCOMPARE(scanned(log), expected);
            if (QTest::currentTestFailed())
                qWarning() << "log:" << log.left(200).toHex(' ');
        }
        QVERIFY2(found > 100, "the generator should produce plenty of matches");
    }

    // Polling a log, then polling it again after more was appended, answers what searching
    // the whole text answers each time, wherever the append cut the text; except that digits
    // at the text's end wait for what follows them, or for a poll that finds no more.
    void pollerAfterAppends_data()
    {
        QTest::addColumn<QByteArray>("locale");
        // One-byte tables are scanned as bytes, the others (one of them with shift states)
        // through the decoder.
        for (const char *codec : {"UTF-8", "ISO-8859-1", "Windows-1252", "Shift_JIS", "ISO-2022-JP"})
            QTest::newRow(codec) << QByteArray(codec);
    }
    void pollerAfterAppends()
    {
        QFETCH(QByteArray, locale);
        QTextCodec *reference = nullptr;
        if (!useLocale(locale, locales.path(), reference))
            QSKIP("the locale could not be made (localedef, Debian's locales)");
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log"));
        const std::atomic<bool> running{false};
        QRandomGenerator random(20261209);
        for (int i = 0; i < 400; ++i) {
            logscan::Poller poller;
            QFile log(path);
            QVERIFY(log.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
            const QByteArray whole = randomLog(random) + randomLog(random);
            int written = 0;
            for (int part = 0; part < 4; ++part) {
                const int end = part == 3 ? whole.size() : random.bounded(written, whole.size() + 1);
                log.write(whole.mid(written, end - written));
                written = end;
                bool atEnd = false;
                const QString expected = wholeTextSearch(whole.left(written), &atEnd, reference);
                const QString polled = poller.poll(path, running);
                if (!atEnd || !polled.isNull())
                    QCOMPARE(polled, expected);
                if (part == 3)
                    QCOMPARE(poller.poll(path, running), expected);
            }
        }
    }

    // A character cut by the end of what one poll read is completed by what the next reads,
    // unless a newline came first.
    void charactersAcrossPolls_data()
    {
        QTest::addColumn<QByteArray>("appended");
        QTest::addColumn<QString>("code");
        QTest::newRow("completed by the C") << QByteArray("Code: 9\n") << QString();
        QTest::newRow("a newline first") << QByteArray("x\nCode: 9\n") << "9";
    }
    void charactersAcrossPolls()
    {
        QFETCH(QByteArray, appended);
        QFETCH(QString, code);
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("Shift_JIS"));
        QTemporaryDir dir;
        QFile log(dir.filePath(QStringLiteral("log")));
        QVERIFY(log.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        log.write("log \x82");
        const std::atomic<bool> running{false};
        logscan::Poller poller;
        QCOMPARE(poller.poll(log.fileName(), running), QString());
        log.write(appended);
        QCOMPARE(poller.poll(log.fileName(), running), code);
    }

    // What a poll reads, under the system's own locale: the whole log once, then only what
    // was appended, wherever the code is.
    void pollReadsOnlyWhatChanged_data()
    {
        QTest::addColumn<QByteArray>("end");
        QTest::addColumn<int>("appended");
        QTest::addColumn<QString>("code");
        QTest::newRow("code last, unchanged") << QByteArray("Code: 42\n") << 0 << "42";
        QTest::newRow("code last, appended") << QByteArray("Code: 42\n") << (1 << 20) << "42";
        QTest::newRow("no code, unchanged") << QByteArray("\n") << 0 << QString();
        QTest::newRow("no code, appended") << QByteArray("\n") << (1 << 20) << QString();
    }
    void pollReadsOnlyWhatChanged()
    {
        QFETCH(QByteArray, end);
        QFETCH(int, appended);
        QFETCH(QString, code);
        QTemporaryDir dir;
        QFile log(dir.filePath(QStringLiteral("log")));
        QVERIFY(log.open(QIODevice::WriteOnly));
        const QByteArray line(99, 'x');
        for (int i = 0; i < (8 << 20) / 100; ++i)
            log.write(line + '\n');
        log.write(end);
        log.flush();
        const std::atomic<bool> running{false};
        logscan::Poller poller;
        QCOMPARE(poller.poll(log.fileName(), running), code);
        QVERIFY(poller.lastPollRead() >= log.size());
        log.write(QByteArray(appended, 'y'));
        log.flush();
        for (int again = 0; again < 2; ++again) {
            QCOMPARE(poller.poll(log.fileName(), running), code);
            const qint64 limit = (again ? 0 : appended) + 128 * 1024;
            QVERIFY2(poller.lastPollRead() <= limit, qPrintable(QString::number(poller.lastPollRead())));
        }
    }

    void codeAtEveryOffsetAroundChunkEnds_data()
    {
        QTest::addColumn<int>("boundary");
        QTest::newRow("first read") << 16384;
        QTest::newRow("later read") << 16384 + 65536;
        QTest::newRow("decoded chunk") << 65536;
    }
    void codeAtEveryOffsetAroundChunkEnds()
    {
        QFETCH(int, boundary);
        for (const char *locale : {"UTF-8", "Shift_JIS"}) {
            QTextCodec::setCodecForLocale(QTextCodec::codecForName(locale));
            for (int start = boundary - 14; start <= boundary + 2; ++start) {
                const QByteArray log = QByteArray(start, 'z') + "Code: 123456789 Code: 2";
                QCOMPARE(scanned(log), QStringLiteral("123456789"));
            }
        }
    }

    void longNumberAcrossManyChunks()
    {
        const QByteArray digits(300000, '3');
        QCOMPARE(scanned("Code:\t" + digits + "\n"), QString::fromLatin1(digits));
        QCOMPARE(scanned("Code: " + digits), QString::fromLatin1(digits));
    }

    void stopsReadingAtTheFirstMatch()
    {
        QTemporaryFile log;
        QVERIFY(log.open() && log.write("Code: 77\n" + QByteArray(8 << 20, 'q')) && log.flush());
        logscan::Poller poller;
        QCOMPARE(poller.poll(log.fileName(), std::atomic<bool>{false}), QStringLiteral("77"));
        QVERIFY(poller.lastPollRead() < 1 << 20);
    }

    // A code appended while a poll reads a big log is for the next poll: each reads no
    // further than the size the log had when it began.
    void aPollEndsAtTheSizeItBeganWith()
    {
#ifndef Q_OS_LINUX
        QSKIP("a poll under way is seen in /proc/self/io, Linux's");
#endif
        QTemporaryFile log;
        QVERIFY(log.open() && log.resize(qint64(1) << 30)); // sparse
        const auto read = [] { // rchar, on its first line: what this process read so far
            QFile io(QStringLiteral("/proc/self/io"));
            return io.open(QIODevice::ReadOnly) ? io.readLine().mid(7).trimmed().toLongLong() : 0;
        };
        logscan::Poller poller;
        QString first = QStringLiteral("?");
        const qint64 before = read();
        std::thread polling([&] { first = poller.poll(log.fileName(), std::atomic<bool>{false}); });
        QTRY_VERIFY_WITH_TIMEOUT(read() - before > (1 << 20) || first != QLatin1String("?"), 20000);
        QVERIFY(log.seek(log.size()) && log.write("\nCode: 5\n") && log.flush());
        polling.join();
        QCOMPARE(first, QString());
        QCOMPARE(poller.poll(log.fileName(), std::atomic<bool>{false}), QStringLiteral("5"));
    }

private:
    QTemporaryDir locales;
};

QTEST_GUILESS_MAIN(LogScanTest)
#include "tst_logscan.moc"
