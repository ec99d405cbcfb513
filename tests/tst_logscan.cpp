// The chunked log scanner must find exactly what reading the whole text with a default
// QTextStream and searching it for the first "Code:\s([0-9]+)" finds, whatever the bytes,
// the encoding or where the chunks happen to split the text.
#include "logscan.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTextCodec>
#include <QTextStream>
#include <QtTest>

namespace {

// `atEnd`: whether the code's digits run to the end of the text.
QString wholeTextSearch(const QByteArray &bytes, bool *atEnd = nullptr)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QTextStream stream(&buffer);
    const QString text = stream.readAll();
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("Code:\\s([0-9]+)")).match(text);
    if (atEnd)
        *atEnd = match.capturedEnd(1) == text.size();
    return match.hasMatch() ? match.captured(1) : QString();
}

QString scanned(const QByteArray &bytes)
{
    QTemporaryFile file;
    file.open();
    file.write(bytes);
    file.seek(0);
    return logscan::firstCode(file);
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
        "Code:\xA0" "2", "\x1B$B", "\x1B(B"};
    static const QByteArray boms[] = {"", "", "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF",
                                      QByteArray("\xFF\xFE\0\0", 4)};
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
    void cleanup() { QTextCodec::setCodecForLocale(nullptr); }

    void matchesWholeTextSearch_data()
    {
        QTest::addColumn<QByteArray>("locale");
        // One-byte tables are scanned as bytes, the others (one of them with shift states)
        // through the decoder.
        for (const char *codec : {"UTF-8", "ISO-8859-1", "Windows-1252", "Shift_JIS", "ISO-2022-JP"})
            QTest::newRow(codec) << QByteArray(codec);
    }
    void matchesWholeTextSearch()
    {
        QFETCH(QByteArray, locale);
        QTextCodec *codec = QTextCodec::codecForName(locale);
        QVERIFY(codec);
        QTextCodec::setCodecForLocale(codec);

        QRandomGenerator random(20261208);
        int found = 0;
        for (int i = 0; i < 1500; ++i) {
            const QByteArray log = randomLog(random);
            const QString expected = wholeTextSearch(log);
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
    void pollerAfterAppends_data() { matchesWholeTextSearch_data(); }
    void pollerAfterAppends()
    {
        QFETCH(QByteArray, locale);
        QTextCodec::setCodecForLocale(QTextCodec::codecForName(locale));
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
                const QString expected = wholeTextSearch(whole.left(written), &atEnd);
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
        QBuffer buffer;
        buffer.setData("Code: 77\n" + QByteArray(8 << 20, 'q'));
        buffer.open(QIODevice::ReadOnly);
        QCOMPARE(logscan::firstCode(buffer), QStringLiteral("77"));
        QVERIFY(buffer.pos() <= 64 * 1024);
    }
};

QTEST_GUILESS_MAIN(LogScanTest)
#include "tst_logscan.moc"
