#pragma once
// Helpers shared by the launcher's tests: a throw-away HOME per test, the stand-in server's
// record of what it was started with, process liveness, and a watcher for tray balloons.

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QVector>
#include <QWidget>

#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

#include "windows/import_slot.h"

// Qt's own conversion, exported by Qt GUI.
Q_GUI_EXPORT QPixmap qt_pixmapFromWinHICON(HICON icon);
#endif

#include "mainwindow.h"

// Fresh HOME for one test, and the stand-in server told to record its starts there.
// Windows takes the home from the user profile, whatever the environment says: there the
// tests take turns in the profile of the Wine prefix they run in, each without a log.
class LauncherHome
{
public:
    LauncherHome()
#ifdef Q_OS_WIN
        : home(QDir::homePath())
#else
        : home(dir.path())
#endif
    {
#ifdef Q_OS_WIN
        QFile::remove(logPath());
#else
        qputenv("HOME", home.toLocal8Bit());
#endif
        qputenv("LUDOVANE_STANDIN_RECORD", recordPath().toUtf8());
    }
    ~LauncherHome()
    {
#ifdef Q_OS_WIN
        QFile::remove(logPath());
        QDir().rmdir(logPath()); // left by a test that put a folder there
#endif
        for (const char *name : {"LUDOVANE_STANDIN_CODE", "LUDOVANE_STANDIN_DELAY_MS",
                                 "LUDOVANE_STANDIN_EXIT_MS", "LUDOVANE_STANDIN_FLOOD_MB",
                                 "LUDOVANE_STANDIN_LOG", "LUDOVANE_STANDIN_RECORD",
                                 "LUDOVANE_STANDIN_CHILD"})
            qunsetenv(name);
    }
    QString path() const { return home; }
    QString logPath() const { return home + QStringLiteral("/.ludovanelog"); }
    QString recordPath() const { return dir.path() + QStringLiteral("/server-starts.txt"); }

    void writeLog(const QByteArray &content) const
    {
        QFile file(logPath());
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(content);
    }

private:
    QTemporaryDir dir;
    QString home;
};

struct ServerStart
{
    qint64 pid = 0;
    QString program;
    QStringList arguments;
};

// Every start the stand-in server recorded, in order.
inline QVector<ServerStart> serverStarts(const LauncherHome &home)
{
    QVector<ServerStart> starts;
    QFile file(home.recordPath());
    if (!file.open(QIODevice::ReadOnly))
        return starts;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QStringList fields = QString::fromUtf8(line).split(QLatin1Char('\t'));
        if (fields.size() < 2 || fields[0] == QLatin1String("flooded")
            || fields[0] == QLatin1String("child"))
            continue;
        // QProcess hands Windows the program with native separators.
        starts.append({fields[0].toLongLong(), QDir::fromNativeSeparators(fields[1]), fields.mid(2)});
    }
    return starts;
}

inline bool recordHas(const LauncherHome &home, const QString &line)
{
    QFile file(home.recordPath());
    return file.open(QIODevice::ReadOnly)
        && QString::fromUtf8(file.readAll()).split(QLatin1Char('\n')).contains(line);
}

#ifdef Q_OS_WIN
inline bool processAlive(qint64 pid)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

// Server processes this test process started that are still running.
inline QVector<qint64> serverChildren()
{
    QVector<qint64> pids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return pids;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (entry.th32ParentProcessID == GetCurrentProcessId()
            && QString::fromWCharArray(entry.szExeFile).compare(QLatin1String("ludovane.exe"),
                                                                Qt::CaseInsensitive) == 0
            && processAlive(entry.th32ProcessID))
            pids << qint64(entry.th32ProcessID);
    CloseHandle(snapshot);
    return pids;
}
#else
// Running, and not a zombie waiting to be reaped.
inline bool processAlive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && close + 2 < text.size() && text[close + 2] != 'Z';
}

// Server processes this test process started that are still running (zombies included,
// since a child nobody reaps is a leak too).
inline QVector<qint64> serverChildren()
{
    QVector<qint64> pids;
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(stat.readAll());
        const int open = text.indexOf(QLatin1Char('('));
        const int close = text.lastIndexOf(QLatin1Char(')'));
        if (open < 0 || close < open)
            continue;
        const QStringList rest = text.mid(close + 2).split(QLatin1Char(' '));
        if (text.mid(open + 1, close - open - 1) == QLatin1String("ludovane.exe")
            && rest.value(1) == self)
            pids << entry.toLongLong();
    }
    return pids;
}

#endif

inline int aliveCount(const QVector<ServerStart> &starts)
{
    int alive = 0;
    for (const ServerStart &start : starts)
        alive += processAlive(start.pid) ? 1 : 0;
    return alive;
}

// Records every tray balloon that appears, with its icon and how long it stayed up. On X11
// Qt draws them itself as top-level widgets. On Windows the shell draws them: the watcher
// reads each one where Qt's platform plugin hands it to the shell, by pointing the plugin's
// import of Shell_NotifyIconW at a recorder that passes every call on.
class BalloonWatcher : public QObject
{
public:
    struct Balloon
    {
        QString title;
        QString message;
        QImage icon;
        qint64 shownMs = 0;
        qint64 hiddenMs = -1;
    };

    BalloonWatcher()
    {
        clock.start();
        qApp->installEventFilter(this);
#ifdef Q_OS_WIN
        current() = this;
        ULONG_PTR *slot = import_slot(GetModuleHandleW(L"qwindows.dll"), "shell32.dll",
                                      "Shell_NotifyIconW");
        if (slot && *slot != ULONG_PTR(&recordBalloon))
            shellNotify() = reinterpret_cast<decltype(&Shell_NotifyIconW)>(
                swap_import(slot, ULONG_PTR(&recordBalloon)));
#endif
    }
    ~BalloonWatcher() override
    {
        qApp->removeEventFilter(this);
#ifdef Q_OS_WIN
        current() = nullptr;
#endif
    }

    QVector<Balloon> balloons;

    QStringList messages() const
    {
        QStringList list;
        for (const Balloon &balloon : balloons)
            list << balloon.message;
        return list;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!watched->inherits("QBalloonTip"))
            return false;
        if (event->type() == QEvent::Show && showing.contains(watched)) {
            // The same balloon moved after its tray icon: hidden and shown again.
            balloons[showing.value(watched)].hiddenMs = -1;
        } else if (event->type() == QEvent::Show) {
            Balloon balloon;
            QStringList texts;
            for (const QLabel *label : watched->findChildren<QLabel *>()) {
                if (!label->text().isEmpty())
                    texts << label->text();
                else if (!label->pixmap(Qt::ReturnByValue).isNull())
                    balloon.icon = label->pixmap(Qt::ReturnByValue).toImage();
            }
            balloon.title = texts.value(0);
            balloon.message = texts.value(1);
            balloon.shownMs = clock.elapsed();
            showing.insert(watched, balloons.size());
            connect(watched, &QObject::destroyed, this, [this, watched] { showing.remove(watched); });
            balloons.append(balloon);
        } else if (event->type() == QEvent::Hide && showing.contains(watched)) {
            balloons[showing.value(watched)].hiddenMs = clock.elapsed();
        }
        return false;
    }

private:
#ifdef Q_OS_WIN
    static BalloonWatcher *&current()
    {
        static BalloonWatcher *watcher = nullptr;
        return watcher;
    }
    static decltype(&Shell_NotifyIconW) &shellNotify()
    {
        static decltype(&Shell_NotifyIconW) real = nullptr;
        return real;
    }
    static BOOL WINAPI recordBalloon(DWORD message, PNOTIFYICONDATAW data)
    {
        if (current() && message == NIM_MODIFY && (data->uFlags & NIF_INFO)) {
            Balloon balloon;
            balloon.title = QString::fromWCharArray(data->szInfoTitle);
            balloon.message = QString::fromWCharArray(data->szInfo);
            if (data->hBalloonIcon)
                balloon.icon = qt_pixmapFromWinHICON(data->hBalloonIcon).toImage();
            balloon.shownMs = current()->clock.elapsed();
            // The shell takes the balloon down itself, after the time it is given.
            balloon.hiddenMs = balloon.shownMs + data->uTimeout;
            current()->balloons.append(balloon);
        }
        return shellNotify()(message, data);
    }
#endif
    QElapsedTimer clock;
    QHash<QObject *, int> showing; // balloon widget -> its entry, until the widget goes
};

// Runs the application's event loop until something quits it; 99 if nothing did in time.
template <typename Start>
int runEventLoop(Start start)
{
    QTimer::singleShot(0, qApp, start);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    watchdog.start(20000);
    return QApplication::exec();
}

template <typename T>
T *child(QWidget *window, const char *name)
{
    return window->findChild<T *>(QString::fromLatin1(name));
}

// The code label's whole text: a long code is cut on screen and whole in the tooltip.
inline QString codeLabel(QWidget *window)
{
    const QLabel *label = child<QLabel>(window, "lblcode");
    return label->toolTip().isEmpty() ? label->text() : label->toolTip();
}

// The label's picture, and what it should be: the artwork scaled once to its device pixels.
inline QImage shownPicture(const QLabel *label)
{
    return label->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_RGB32);
}
inline QImage scaledArtwork(const QString &path, const QLabel *label)
{
    const qreal ratio = label->devicePixelRatioF();
    QImage image = QImage(path).scaled(label->size() * ratio, Qt::IgnoreAspectRatio,
                                       Qt::SmoothTransformation);
    image.setDevicePixelRatio(ratio);
    return image.convertToFormat(QImage::Format_RGB32);
}

// One poll, waited for: it reads on a thread of its own and answers through the event loop.
inline void poll(MainWindow *window)
{
    QMetaObject::invokeMethod(window, "readData", Qt::DirectConnection);
    QElapsedTimer waited;
    waited.start();
    while (window->isPolling() && waited.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QCoreApplication::processEvents(); // the answer was posted before the poll ended
}
