#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "logfile.h"
#include "serverprocess.h"
#include "userfolders.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QPixmap>
#include <QProcess>
#include <QStringList>
#include <QThread>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef LUDOVANE_DBUS
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDBusVariant>
#endif

namespace {

struct Console
{
    const char *name;
    const char *artwork; // its name in the artwork folders
    const char *serverArgument;
};

// The combo box index is the index into this table.
const Console consoles[] = {
    {QT_TRANSLATE_NOOP("MainWindow", "Master System"), "sms", "-console=sms"},
    {QT_TRANSLATE_NOOP("MainWindow", "Mega Drive"), "genesis", "-console=genesis"},
    {QT_TRANSLATE_NOOP("MainWindow", "NES"), "nes", "-console=nes"},
    {QT_TRANSLATE_NOOP("MainWindow", "SNES"), "snes", "-console=snes"},
};
constexpr int consoleCount = int(sizeof consoles / sizeof consoles[0]);

constexpr int pollIntervalMs = 4000;

// The artwork art/images/NAME.png at `size`: scaled at build time where the build made that
// size (every size the window shows at 1x and 2x), scaled here otherwise.
QImage artwork(const char *name, QSize size)
{
    const QImage prescaled(QStringLiteral(":/art/scaled/%1/%2x%3.png")
                               .arg(QLatin1String(name)).arg(size.width()).arg(size.height()));
    if (!prescaled.isNull())
        return prescaled;
    const QImage full(QStringLiteral(":/art/images/%1.png").arg(QLatin1String(name)));
    return full.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

// The application icon at the sizes a title bar, a task bar and a tray ask for: the
// 1024-pixel artwork itself would be sent whole to the window system.
QIcon applicationIcon()
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(artwork("icon-app", QSize(size, size))));
    return icon;
}
constexpr int balloonMs = 5000;

const char desktopEntry[] = "ludovane-launcher";

#ifdef LUDOVANE_DBUS
// An icon as the notification protocol's image-data hint carries it: (iiibiiay).
struct NotificationImage
{
    QImage image;
};

QDBusArgument &operator<<(QDBusArgument &argument, const NotificationImage &icon)
{
    const QImage image = icon.image.convertToFormat(QImage::Format_RGBA8888);
    argument.beginStructure();
    argument << image.width() << image.height() << int(image.bytesPerLine()) << true << 8 << 4
             << QByteArray(reinterpret_cast<const char *>(image.constBits()),
                           int(image.sizeInBytes()));
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, NotificationImage &)
{
    return argument; // only ever sent
}

// Whether Qt's tray is a StatusNotifierItem: the same question Qt asks when it makes the tray.
bool statusNotifierHost()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.kde.StatusNotifierWatcher")
        << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusReply<QDBusVariant> reply = bus.call(get, QDBus::Block, 2000);
    return reply.isValid() && reply.value().variant().toBool();
}
#endif

} // namespace

#ifdef LUDOVANE_DBUS
Q_DECLARE_METATYPE(NotificationImage)
#endif

void setHighDpiAttributes()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
}

void nameTheApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("Ludovane"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Ludovane"));
    QGuiApplication::setDesktopFileName(QLatin1String(desktopEntry));
}

void noSessionBusAutolaunch()
{
#ifdef Q_OS_UNIX
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return;
    // Where D-Bus looks for the user's bus before it falls back to starting one.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    struct stat info;
    if (runtime.startsWith('/') && ::stat(QByteArray(runtime + "/bus").constData(), &info) == 0
        && S_ISSOCK(info.st_mode))
        return;
    // Never a bus: connecting fails at once, and the tray falls back to the X11 protocol.
    // The server inherits it, so that it starts no bus either.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/dev/null");
#endif
}

QString joinPath(const QString &dir, const QString &name)
{
    return QDir::cleanPath(dir + QDir::separator() + name);
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , form(new MainWindowForm()) // its widget pointers null until setupUi
    , logPath()
    , pollThread(new QThread(this))
    , pollContext(new QObject)
{
    pollContext->moveToThread(pollThread);
    createActions();
    createTrayIcon();
    form->setupUi(this);
    // The window sets the artwork, decoded once at the size it is shown at.
    setWindowIcon(trayIcon->icon());
    form->imgconsole->setPixmap(picture(0));
    // What a screen reader says of them.
    form->cmbconsole->setAccessibleName(tr("Console"));
    form->cmbconsole->setAccessibleDescription(tr("The game console the server runs for"));
    form->lblcode->setAccessibleName(form->lblcode->text()); // whole, where the label cuts it
    form->lblcode->setAccessibleDescription(tr("The code the server reported"));
    describePicture(0);

    for (const Console &console : consoles)
        form->cmbconsole->insertItem(form->cmbconsole->count(),
                                     QCoreApplication::translate("MainWindow", console.name));
    connect(form->cmbconsole, SIGNAL(currentIndexChanged(int)), this, SLOT(changeConsole(int)));

    trayIcon->setVisible(true);
    prepareLogFile();

    auto *pollTimer = new QTimer(this);
    connect(pollTimer, SIGNAL(timeout()), this, SLOT(readData()));
    pollTimer->start(pollIntervalMs);

    serverProcess = nullptr;
    startServer(QString::fromLatin1(consoles[0].serverArgument));
}

MainWindow::~MainWindow()
{
    // A poll in a large log stops at its next chunk rather than being waited for.
    stopPolling = true;
    // Every server still here (a replaced one may not have ended yet), then what their
    // detached helpers left behind once the servers are gone.
    const QList<ServerProcess *> servers = findChildren<ServerProcess *>();
    for (ServerProcess *server : servers)
        server->killGroup();
    for (ServerProcess *server : servers)
        server->waitForFinished(1000);
    pollThread->quit();
    pollThread->wait();
    delete pollContext;
    delete form;
}

void MainWindow::changeConsole(int console)
{
    if (console < 0 || console >= consoleCount)
        return;
    form->imgconsole->setPixmap(picture(console));
    describePicture(console);
    // The first change of a pass restarts the server as soon as the loop comes round; any
    // later one in the same pass only changes which console that is.
    if (pendingConsole < 0) {
        QTimer::singleShot(0, this, [this] {
            const int chosen = pendingConsole;
            pendingConsole = -1;
            startServer(QString::fromLatin1(consoles[chosen].serverArgument));
        });
    }
    pendingConsole = console;
}

bool MainWindow::event(QEvent *event)
{
    // Moved to a screen of another pixel ratio: the picture shown is redrawn for it now rather
    // than at the next console change. Qt 5 tells widgets of a screen change by this event alone.
    if (event->type() == QEvent::ScreenChangeInternal && form->cmbconsole
        && form->cmbconsole->currentIndex() >= 0)
        form->imgconsole->setPixmap(picture(form->cmbconsole->currentIndex()));
    return QMainWindow::event(event);
}

QPixmap MainWindow::picture(int console)
{
    // Scaled once to the label's device pixels, as the label itself would scale it, so that
    // it is drawn as it is and a change costs no decoding.
    const qreal ratio = form->imgconsole->devicePixelRatioF();
    if (ratio != picturesRatio) {
        for (QPixmap &scaled : pictures)
            scaled = QPixmap();
        picturesRatio = ratio;
    }
    QPixmap &scaled = pictures[console];
    if (scaled.isNull()) {
        scaled = QPixmap::fromImage(artwork(consoles[console].artwork,
                                            form->imgconsole->size() * ratio));
        scaled.setDevicePixelRatio(ratio);
    }
    return scaled;
}

void MainWindow::describePicture(int console)
{
    form->imgconsole->setAccessibleName(
        QCoreApplication::translate("MainWindow", consoles[console].name));
    form->imgconsole->setAccessibleDescription(tr("Picture of the console"));
}

// The log itself is made, or made the user's own again, before every server start: another
// account may have replaced it since the last one.
void MainWindow::prepareLogFile()
{
    const QString home = homeDirectory();
    if (!home.isEmpty()) // no home, no log: the poll finds nothing
        logPath = joinPath(home, QStringLiteral(".ludovanelog"));
}

void MainWindow::startServer(const QString &consoleArgument)
{
    if (serverProcess) {
        // The replaced process object goes once its process has been reaped, so that many
        // console changes leave neither objects nor zombies behind.
        // A start that failed, or has yet to fail, never finishes but does reach NotRunning.
        ServerProcess *old = serverProcess;
        if (old->state() == QProcess::NotRunning) {
            old->deleteLater();
        } else {
            connect(old, &QProcess::stateChanged, old, [old](QProcess::ProcessState state) {
                if (state == QProcess::NotRunning)
                    old->deleteLater();
            });
            old->killGroup();
        }
    }

    serverProcess = nullptr;
    // A server needs a log of the user's own to report its code in: none rather than one
    // writing where somebody else chose.
    const logscan::ServerLog log =
        logPath.isEmpty() ? logscan::ServerLog() : logscan::prepareLog(logPath);
    if (log.path.isEmpty())
        return;
    serverProcess = new ServerProcess(this);
    // Nobody reads the server's output: left on pipes, QProcess would buffer all of it.
    serverProcess->setStandardOutputFile(QProcess::nullDevice());
    serverProcess->setStandardErrorFile(QProcess::nullDevice());
    const QString program = joinPath(QCoreApplication::applicationDirPath(),
                                     QStringLiteral("ludovane.exe"));
    const QStringList arguments{QStringLiteral("-batchmode"), QStringLiteral("-nographics"),
                                QStringLiteral("-logFile"), log.path, consoleArgument};
    serverProcess->launch(program, arguments, log.descriptor);
}

void MainWindow::readData()
{
    if (polling.exchange(true))
        return; // the last poll is still reading: no second one behind it
    if (!pollThread->isRunning())
        pollThread->start();
    QMetaObject::invokeMethod(pollContext, [this, path = logPath] {
        // No code, or no readable log, leaves the label as it is, and so does the code it
        // shows: only a new one is sent to the window, so that an idle poll never wakes it.
        const QString digits = poller.poll(path, stopPolling);
        if (!digits.isNull() && digits != pollFound) {
            pollFound = digits;
            QMetaObject::invokeMethod(this, [this, digits] { showCode(digits); },
                                      Qt::QueuedConnection);
        }
        polling = false;
    }, Qt::QueuedConnection);
}

void MainWindow::showCode(const QString &digits)
{
    // The tooltip holds the whole text; the label as much as fits.
    const QString text = QStringLiteral("Code: ") + digits;
    QLabel *label = form->lblcode;
    notify(text, QSystemTrayIcon::Information);
    label->setToolTip(text);
    label->setAccessibleName(text);
    label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, label->width()));
}

void MainWindow::createActions()
{
    showAction = new QAction(tr("&Show"), this);
    connect(showAction, &QAction::triggered, this, [this] { bringBack(); });

    exitAction = new QAction(tr("&Exit"), this);
    connect(exitAction, SIGNAL(triggered()), qApp, SLOT(quit()));
}

void MainWindow::createTrayIcon()
{
    trayMenu = new QMenu(this);
    trayMenu->addSeparator();
    trayMenu->addAction(showAction);
    trayMenu->addSeparator();
    trayMenu->addAction(exitAction);

    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setIcon(applicationIcon());
#ifdef LUDOVANE_DBUS
    desktopNotifications = statusNotifierHost();
    if (desktopNotifications)
        qDBusRegisterMetaType<NotificationImage>();
#endif
}

void MainWindow::bringBack()
{
    if (isVisible() && !isMinimized())
        return;
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void MainWindow::notify(const QString &message, QSystemTrayIcon::MessageIcon icon)
{
    const QString title = QStringLiteral("Ludovane");
#ifdef LUDOVANE_DBUS
    // Qt would send it as from the program's file name, with a stock icon instead of ours.
    if (desktopNotifications) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.Notifications"),
            QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
        const QVariantMap hints{
            {QStringLiteral("desktop-entry"), QLatin1String(desktopEntry)},
            {QStringLiteral("urgency"), QVariant::fromValue(uchar(1))},
            {QStringLiteral("image-data"),
             QVariant::fromValue(NotificationImage{artwork("icon-app", QSize(64, 64))})}};
        call << QCoreApplication::applicationName() << uint(0) << QLatin1String(desktopEntry)
             << title << message << QStringList() << hints << balloonMs;
        QDBusConnection::sessionBus().asyncCall(call);
        return;
    }
#endif
    trayIcon->showMessage(title, message, icon, balloonMs);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Without a tray on the desktop a hidden window could never come back: close for real,
    // which quits and stops the server.
    if (trayIcon->isVisible() && QSystemTrayIcon::isSystemTrayAvailable()) {
        notify(tr("Running on background. Select \"Exit\" on the context menu to quit."),
               QSystemTrayIcon::Information);
        hide();
        event->ignore();
    }
}
