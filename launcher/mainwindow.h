#pragma once

#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>

class QAction;
class QCloseEvent;
class QMenu;
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

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void changeConsole(int console);
    void readData();

private:
    void createActions();
    void createTrayIcon();
    void prepareLogFile();
    void startServer(const QString &consoleArgument);
    void notify(const QString &message, QSystemTrayIcon::MessageIcon icon);

    MainWindowForm *form;
    QAction *showAction;
    QAction *exitAction;
    QSystemTrayIcon *trayIcon;
    QMenu *trayMenu;
    ServerProcess *serverProcess;
    QString logPath;
};

// Application attributes for scaled desktops, to be set before the application object: the
// window keeps its logical size and the pictures and icons are drawn from the full-size
// artwork at the screen's device pixel ratio (on X11 from Xft.dpi, per monitor on Windows).
void setHighDpiAttributes();

// Joins a directory and a file name and cleans the result, so it uses "/" on every platform.
QString joinPath(const QString &dir, const QString &name);
