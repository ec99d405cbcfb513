#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "logscan.h"
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
#include <QTimer>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

struct Console
{
    const char *name;
    const char *picture;
    const char *serverArgument;
};

// The combo box index is the index into this table.
const Console consoles[] = {
    {QT_TRANSLATE_NOOP("MainWindow", "Master System"), ":/art/images/sms.png", "-console=sms"},
    {QT_TRANSLATE_NOOP("MainWindow", "Mega Drive"), ":/art/images/genesis.png", "-console=genesis"},
    {QT_TRANSLATE_NOOP("MainWindow", "NES"), ":/art/images/nes.png", "-console=nes"},
    {QT_TRANSLATE_NOOP("MainWindow", "SNES"), ":/art/images/snes.png", "-console=snes"},
};
constexpr int consoleCount = int(sizeof consoles / sizeof consoles[0]);

constexpr int pollIntervalMs = 4000;
constexpr int balloonMs = 5000;

} // namespace

void setHighDpiAttributes()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
}

QString joinPath(const QString &dir, const QString &name)
{
    return QDir::cleanPath(dir + QDir::separator() + name);
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , form(new MainWindowForm)
    , logPath()
{
    createActions();
    createTrayIcon();
    form->setupUi(this);

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
    serverProcess->killGroup();
    delete form;
}

void MainWindow::changeConsole(int console)
{
    if (console < 0 || console >= consoleCount)
        return;
    form->imgconsole->setPixmap(QPixmap(QString::fromLatin1(consoles[console].picture)));
    startServer(QString::fromLatin1(consoles[console].serverArgument));
}

void MainWindow::prepareLogFile()
{
    const QString home = homeDirectory();
    if (home.isEmpty())
        return; // no home, no log: the poll finds nothing
    logPath = joinPath(home, QStringLiteral(".ludovanelog"));
#ifdef Q_OS_UNIX
    // The log shows the user's code: a new one is the user's alone, whatever the umask. One
    // that exists (the server's file too) is left as it is, and never opened here: a FIFO
    // there would block.
    const int fd = ::open(QFile::encodeName(logPath).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    }
#else
    // Read-write creates a missing log and leaves an existing one as it is.
    QFile file(logPath);
    if (file.open(QIODevice::ReadWrite))
        file.close();
#endif
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

    serverProcess = new ServerProcess(this);
    // Nobody reads the server's output: left on pipes, QProcess would buffer all of it.
    serverProcess->setStandardOutputFile(QProcess::nullDevice());
    serverProcess->setStandardErrorFile(QProcess::nullDevice());
    const QString program = joinPath(QCoreApplication::applicationDirPath(),
                                     QStringLiteral("ludovane.exe"));
    const QStringList arguments{QStringLiteral("-batchmode"), QStringLiteral("-nographics"),
                                QStringLiteral("-logFile"), logPath, consoleArgument};
    serverProcess->launch(program, arguments);
}

void MainWindow::readData()
{
    // Only a regular file: opening a FIFO or a device would block the GUI thread.
    if (!QFileInfo(logPath).isFile())
        return;
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly) || file.isSequential())
        return;
    const QString digits = logscan::firstCode(file);
    if (digits.isNull())
        return;

    const QString text = QStringLiteral("Code: ") + digits;
    if (form->lblcode->text() != text)
        notify(text, QSystemTrayIcon::Information);
    form->lblcode->setText(text);
}

void MainWindow::createActions()
{
    showAction = new QAction(tr("&Show"), this);
    connect(showAction, SIGNAL(triggered()), this, SLOT(show()));

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

    const QIcon icon(QStringLiteral(":/art/images/icon-app.png"));
    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setIcon(icon);
}

void MainWindow::notify(const QString &message, QSystemTrayIcon::MessageIcon icon)
{
    trayIcon->showMessage(QStringLiteral("Ludovane"), message, icon, balloonMs);
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
