#include "mainwindow.h"
#include "serverprocess.h"
#include "singleinstance.h"
#include "terminationsignals.h"

#ifdef Q_OS_WIN
#include "killjob.h"
#endif

#include <QApplication>

int main(int argc, char **argv)
{
    ServerProcess::startGuard();
    catchTerminationSignals();
#ifdef Q_OS_WIN
    // Whatever ends the launcher, the system then ends every server it started.
    ludovane_join_kill_job();
#endif
    setHighDpiAttributes();
    QApplication app(argc, argv);

    SingleInstance instance;
    if (!instance.claim())
        return 0; // the running launcher shows its window instead

    int exitCode;
    {
        MainWindow window;
        QObject::connect(&instance, &SingleInstance::showRequested, &window, [&window] {
            window.show(); // back from the tray, if it was there
            window.raise();
            window.activateWindow();
        });
        window.show();
        quitOnTerminationSignals(&app);
        exitCode = app.exec();
    } // the window goes first: its destructor stops the server
    return exitCode;
}
