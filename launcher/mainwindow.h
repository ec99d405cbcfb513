#pragma once

#include "logscan.h"

#include <QMainWindow>
#include <QPixmap>
#include <QString>
#include <QSystemTrayIcon>

#include <atomic>

class QAction;
class QCloseEvent;
class QMenu;
class QThread;
class ServerProcess;

namespace Ui {
class MainWindow;
}
// The Designer form; generated under the window's own name so that its texts are
// translated in the window's context.
using MainWindowForm = Ui::MainWindow;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Whether a poll of the log is still running on its thread; a new code it found reaches
    // the label through the event loop.
    bool isPolling() const { return polling; }

    // Brings the window back from the tray or from being minimized, raised and active; a
    // window already on screen is left as it is.
    void bringBack();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool event(QEvent *event) override;

private slots:
    void changeConsole(int console);
    void readData();

private:
    void createActions();
    void createTrayIcon();
    void prepareLogFile();
    void startServer(const QString &consoleArgument);
    void notify(const QString &message, QSystemTrayIcon::MessageIcon icon);
    void showCode(const QString &digits); // a code new since the last one shown
    QPixmap picture(int console);
    void describePicture(int console);

    MainWindowForm *form;
    QAction *showAction;
    QAction *exitAction;
    QSystemTrayIcon *trayIcon;
    QMenu *trayMenu;
    ServerProcess *serverProcess;
    QString logPath;
    bool desktopNotifications = false; // balloons go to the session's notification daemon

    // The poll reads the log on a thread of its own, one poll at a time.
    QThread *pollThread;
    QObject *pollContext; // lives on pollThread
    logscan::Poller poller; // used on pollThread only
    QString pollFound; // the last code sent to the window; on pollThread only
    std::atomic<bool> stopPolling{false};
    std::atomic<bool> polling{false};

    // Console changes restart the server once per pass of the event loop, for the last one.
    int pendingConsole = -1;
    // Each picture scaled to the label's device pixels once.
    QPixmap pictures[4];
    qreal picturesRatio = 0;
};

// Application attributes for scaled desktops, to be set before the application object: the
// window keeps its logical size and the pictures and icons are drawn from the full-size
// artwork at the screen's device pixel ratio (on X11 from Xft.dpi, per monitor on Windows).
void setHighDpiAttributes();

// The name, display name and desktop entry the desktop knows the launcher by: the tray item's
// title, the notifications' sender, and what Wayland compositors and docks match the window to.
void nameTheApplication();

// Without a session bus, D-Bus would start one for the X display (dbus-launch) that outlives
// the launcher: to be called before the application object, it leaves Qt no bus to start.
void noSessionBusAutolaunch();

// Joins a directory and a file name and cleans the result, so it uses "/" on every platform.
QString joinPath(const QString &dir, const QString &name);
