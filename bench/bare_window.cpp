// The baseline the launcher's start-up is measured against: a bare Qt Widgets program with a
// fixed-size main window and a tray icon, and nothing else.
#include <QApplication>
#include <QMainWindow>
#include <QStyle>
#include <QSystemTrayIcon>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setFixedSize(400, 300);
    window.setWindowTitle(QStringLiteral("Bare"));
    QSystemTrayIcon tray(app.style()->standardIcon(QStyle::SP_ComputerIcon));
    tray.show();
    window.show();
    return app.exec();
}
