// One poll of the server log, timed and weighed on generated logs of 1 MB, 100 MB and 1 GB with
// the code on the first line, on the last line, and absent. Side by side in the same run:
//   scan      - the launcher's chunked scanner (a first poll of logscan::Poller)
//   readall   - reading the whole text with QTextStream and searching it with the pattern
//   grep      - grep -m1 -E 'Code:[[:space:]][0-9]+' on the same file
// Then the poll the launcher repeats every 4 s (logscan::Poller) on the largest log without a
// code: unchanged, and with 1 MB appended, in CPU time, beside grep on the whole file and on
// 1 MB.
// Then the first poll of a 1 GB log in each way the scanner reads one (UTF-8 text, UTF-16
// text, a sparse log with and without a UTF-16 mark, Shift_JIS text under a Shift_JIS
// locale) beside `cat` reading the same file to /dev/null, and the repeated poll of each.
// Time is the median wall time of repeated polls over a warm page cache. Memory is the peak
// resident growth during one poll (VmHWM after resetting it, less VmRSS before); for grep,
// the whole grep process's peak resident size (see GrepSpawner).
//
//   logpoll_bench [--sizes 1,100,1000] [--dir DIR]

#include "logscan.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include <atomic>
#include <ctime>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

double median(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

struct Figure
{
    double ms = 0;
    double peakMiB = 0;
    bool found = false;
};

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    return 0;
}

void resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

// The first poll of a log, as the launcher's first poll after start-up reads it.
QString scanPoll(const QString &path)
{
    logscan::Poller poller;
    return poller.poll(path, std::atomic<bool>{false});
}

QString readAllPoll(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    QTextStream stream(&file);
    const QString text = stream.readAll();
    static const QRegularExpression pattern(QStringLiteral("Code:\\s([0-9]+)"));
    const QRegularExpressionMatch match = pattern.match(text);
    return match.hasMatch() ? match.captured(1) : QString();
}

int repeatsFor(double firstMs)
{
    return std::clamp(int(1000 / std::max(firstMs, 0.001)), 2, 200);
}

Figure measureInProcess(const std::function<QString()> &poll)
{
    Figure figure;
    const qint64 before = statusKiB("VmRSS:");
    resetPeak();
    QElapsedTimer timer;
    timer.start();
    figure.found = !poll().isNull();
    const double first = timer.nsecsElapsed() / 1e6;
    figure.peakMiB = std::max<qint64>(0, statusKiB("VmHWM:") - before) / 1024.0;

    std::vector<double> times{first};
    for (int i = repeatsFor(first); i > 0; --i) {
        timer.restart();
        poll();
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    figure.ms = median(times);
    return figure;
}

// grep's peak memory comes from wait4, which reports at least the resident size of whoever
// spawned it. So grep is spawned by a helper forked before this process grew, and the
// figure is the larger of grep's own peak and that helper's few MiB.
struct GrepSpawner
{
    int requests[2];
    int replies[2];

    void start()
    {
        if (pipe(requests) != 0 || pipe(replies) != 0)
            return;
        // Each side closes the other's ends, so that the helper sees the end of its requests
        // when this process exits, and exits too.
        if (fork() != 0) {
            close(requests[0]);
            close(replies[1]);
            return;
        }
        close(requests[1]);
        close(replies[0]);
        FILE *in = fdopen(requests[0], "r");
        char line[4096];
        while (std::fgets(line, sizeof line, in)) {
            line[std::strcspn(line, "\n")] = 0;
            char grep[] = "grep", m1[] = "-m1", e[] = "-E", pattern[] = "Code:[[:space:]][0-9]+";
            char cat[] = "cat";
            // A request "cat PATH" runs cat on the file instead.
            const bool catIt = std::strncmp(line, "cat ", 4) == 0;
            char *grepArgv[] = {grep, m1, e, pattern, line, nullptr};
            char *catArgv[] = {cat, line + 4, nullptr};
            char **argv = catIt ? catArgv : grepArgv;
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
            timespec t0, t1;
            clock_gettime(CLOCK_MONOTONIC, &t0);
            pid_t pid;
            int status = -1;
            rusage usage{};
            if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ) == 0)
                wait4(pid, &status, 0, &usage);
            clock_gettime(CLOCK_MONOTONIC, &t1);
            posix_spawn_file_actions_destroy(&actions);
            char reply[128];
            const int n = std::snprintf(
                reply, sizeof reply, "%f %ld %d\n",
                (t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6, usage.ru_maxrss,
                WIFEXITED(status) && WEXITSTATUS(status) == 0);
            if (write(replies[1], reply, size_t(n)) != n)
                break;
        }
        _exit(0);
    }

    Figure run(const QString &path) // or "cat " and the path
    {
        const QByteArray request = QFile::encodeName(path) + '\n';
        Figure figure;
        if (write(requests[1], request.constData(), size_t(request.size())) != request.size())
            return figure;
        char reply[128] = {};
        for (size_t got = 0; got < sizeof reply - 1 && !std::strchr(reply, '\n');) {
            const ssize_t n = read(replies[0], reply + got, sizeof reply - 1 - got);
            if (n <= 0)
                break;
            got += size_t(n);
        }
        long maxrss = 0;
        int found = 0;
        std::sscanf(reply, "%lf %ld %d", &figure.ms, &maxrss, &found);
        figure.peakMiB = maxrss / 1024.0;
        figure.found = found;
        return figure;
    }
};

GrepSpawner spawner;

// grep on the file, or with "cat " before the path, cat.
Figure measureGrep(const QString &path)
{
    Figure first = spawner.run(path);
    std::vector<double> times{first.ms};
    for (int i = repeatsFor(first.ms); i > 0; --i)
        times.push_back(spawner.run(path).ms);
    first.ms = median(times);
    return first;
}

// Log lines of the kind a server writes, with the code line first, last or nowhere.
void writeLog(const QString &path, qint64 bytes, const QString &placement)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    const QByteArray code = "Code: 482913\n";
    QByteArray block;
    for (int i = 0; block.size() < (1 << 20); ++i)
        block += "2026-12-08 12:00:" + QByteArray::number(10 + i % 50) + "." +
                 QByteArray::number(100 + i % 900) + " [info] tick " + QByteArray::number(i) +
                 " players=3 latency=17ms room=lobby-" + QByteArray::number(i % 7) + "\n";
    if (placement == QLatin1String("first"))
        file.write(code);
    qint64 left = bytes - (placement == QLatin1String("absent") ? 0 : code.size());
    while (left > 0) {
        const qint64 n = std::min<qint64>(left, block.size());
        file.write(block.constData(), n);
        left -= n;
    }
    if (placement == QLatin1String("last")) {
        file.write("\n");
        file.write(code);
    }
}

double threadCpuMs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Polls that follow a first one, in CPU ms (median): of the log unchanged, and after
// `appended` was added to it.
struct Repeated
{
    double unchanged, grown;
};
Repeated pollAgain(logscan::Poller &poller, const QString &path, const QByteArray &appended,
                   int times)
{
    const std::atomic<bool> running{false};
    std::vector<double> unchanged, grown;
    for (int i = 0; i < times; ++i) {
        double t = threadCpuMs();
        poller.poll(path, running);
        unchanged.push_back(threadCpuMs() - t);
        QFile log(path);
        log.open(QIODevice::Append);
        log.write(appended);
        log.close();
        t = threadCpuMs();
        poller.poll(path, running);
        grown.push_back(threadCpuMs() - t);
    }
    return {median(unchanged), median(grown)};
}

// The repeated poll: unchanged, then after each 1 MB append (median of 9 of each).
void measureRepeatedPoll(const QString &dir, const QString &size)
{
    const QString path = dir + QStringLiteral("/log-repeat");
    writeLog(path, size.toLongLong() * 1000 * 1000, QStringLiteral("absent"));
    const QString mega = dir + QStringLiteral("/log-1mb");
    writeLog(mega, 1000 * 1000, QStringLiteral("absent"));
    QFile source(mega);
    source.open(QIODevice::ReadOnly);
    const QByteArray appended = source.readAll();

    logscan::Poller poller;
    double first = threadCpuMs();
    poller.poll(path, std::atomic<bool>{false});
    first = threadCpuMs() - first;
    const Repeated again = pollAgain(poller, path, appended, 9);
    const Figure grepAll = measureGrep(path);
    const Figure grepMega = measureGrep(mega);
    std::printf("\nRepeated poll of a %s MB log without a code (CPU ms; grep: wall ms)\n", qPrintable(size));
    std::printf("  first poll %10.3f | unchanged %8.3f | 1 MB appended %8.3f | grep whole %8.1f | grep 1 MB %6.2f\n",
                first, again.unchanged, again.grown, grepAll.ms, grepMega.ms);
    QFile::remove(path);
    QFile::remove(mega);
}

// The first poll in every way of reading a log, beside cat; then the repeated poll of each.
void measureEncodings(const QString &dir)
{
    const qint64 size = qint64(1) << 30;
    QByteArray text;
    for (int i = 0; text.size() < (1 << 20); ++i)
        text += "2026-12-08 12:00:00.100 [info] tick " + QByteArray::number(i) + " room=lobby\n";
    struct Kind
    {
        const char *name;
        const char *locale;
        QByteArray mark; // written first
        QByteArray block; // repeated to the size; empty: a hole
    };
    QTextCodec *utf16 = QTextCodec::codecForName("UTF-16LE");
    QTextCodec *sjis = QTextCodec::codecForName("Shift_JIS");
    const QString japanese = QString::fromUtf8("\xe3\x82\xb5\xe3\x83\xbc\xe3\x83\x90 ");
    const Kind kinds[] = {
        {"UTF-8 text", "UTF-8", {}, text},
        {"UTF-16 text", "UTF-8", "\xFF\xFE", utf16->fromUnicode(QString::fromLatin1(text)).mid(2)},
        {"sparse", "UTF-8", {}, {}},
        {"sparse, UTF-16 mark", "UTF-8", "\xFF\xFE", {}},
        {"Shift_JIS text", "Shift_JIS", {}, sjis->fromUnicode(japanese + QString::fromLatin1(text))},
        // Each line decoded: its "C" may be a code's.
        {"Shift_JIS, C a line", "Shift_JIS", {},
         sjis->fromUnicode(japanese + QString::fromLatin1(text).replace(QLatin1String("tick"),
                                                                        QLatin1String("Cick")))},
    };
    std::printf("\nFirst poll of a 1 GiB log without a code, beside cat to /dev/null (wall ms, "
                "median); repeated poll (CPU ms)\n");
    std::printf("%-20s | %10s %10s %8s | %10s %12s\n", "log", "poll ms", "cat ms", "speed",
                "unchanged", "1 MB appended");
    for (const Kind &kind : kinds) {
        QTextCodec::setCodecForLocale(QTextCodec::codecForName(kind.locale));
        const QString path = dir + QStringLiteral("/log-kind");
        {
            QFile file(path);
            file.open(QIODevice::WriteOnly | QIODevice::Truncate);
            file.write(kind.mark);
            if (kind.block.isEmpty()) {
                file.resize(size);
            } else {
                for (qint64 left = size - kind.mark.size(); left > 0; left -= kind.block.size())
                    file.write(kind.block.constData(), std::min<qint64>(left, kind.block.size()));
            }
        }
        const std::atomic<bool> running{false};
        const Figure poll = measureInProcess([&] {
            logscan::Poller fresh;
            return fresh.poll(path, running);
        });
        const Figure cat = measureGrep(QStringLiteral("cat ") + path);

        logscan::Poller poller;
        poller.poll(path, running);
        const Repeated again = pollAgain(poller, path,
                                         kind.block.isEmpty() ? QByteArray(1 << 20, '\0')
                                                              : kind.block.left(1 << 20),
                                         5);
        std::printf("%-20s | %10.1f %10.1f %7.2fx | %10.3f %12.3f\n", kind.name, poll.ms, cat.ms,
                    cat.ms / poll.ms, again.unchanged, again.grown);
        std::fflush(stdout);
        QFile::remove(path);
    }
    QTextCodec::setCodecForLocale(nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    spawner.start(); // before anything else makes this process large
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("sizes"), QStringLiteral("Log sizes in MB."),
                      QStringLiteral("list"), QStringLiteral("1,100,1000")});
    parser.addOption({QStringLiteral("dir"), QStringLiteral("Where to write the logs."),
                      QStringLiteral("dir"), QDir::tempPath()});
    parser.process(app);

    QTemporaryDir dir(parser.value(QStringLiteral("dir")) + QStringLiteral("/logpoll-XXXXXX"));
    std::printf("%-9s %-7s | %12s %10s | %12s %10s | %12s %10s | %s\n", "log", "code",
                "scan ms", "scan MiB", "readall ms", "readall MiB", "grep ms", "grep MiB",
                "scan/grep");
    const QStringList sizes = parser.value(QStringLiteral("sizes")).split(QLatin1Char(','));
    for (const QString &size : sizes) {
        const qint64 bytes = size.toLongLong() * 1000 * 1000;
        for (const QString &placement : {QStringLiteral("first"), QStringLiteral("last"),
                                        QStringLiteral("absent")}) {
            const QString path = dir.filePath(QStringLiteral("log-") + size + placement);
            writeLog(path, bytes, placement);
            const Figure scan = measureInProcess([&] { return scanPoll(path); });
            const Figure all = measureInProcess([&] { return readAllPoll(path); });
            const Figure grep = measureGrep(path);
            if (scan.found != all.found || scan.found != grep.found)
                std::printf("!! the three disagree on whether %s has a code\n", qPrintable(path));
            std::printf("%6s MB %-7s | %12.3f %10.1f | %12.3f %10.1f | %12.3f %10.1f | %8.2fx\n",
                        qPrintable(size), qPrintable(placement), scan.ms, scan.peakMiB, all.ms,
                        all.peakMiB, grep.ms, grep.peakMiB, scan.ms / grep.ms);
            std::fflush(stdout);
            QFile::remove(path);
        }
    }
    measureRepeatedPoll(dir.path(), sizes.last());
    measureEncodings(dir.path());
    return 0;
}
