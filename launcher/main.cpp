#include "mainwindow.h"
#include "serverprocess.h"
#include "singleinstance.h"
#include "terminationsignals.h"

#include <QApplication>

namespace {

QtMessageHandler qtMessageHandler = nullptr;

// Qt's platform set-up complains of a runtime folder that is not the user's alone (and makes
// a missing one, with mode 0700); the launcher does without such a folder and has nothing to
// report.
void quietAboutTheRuntimeFolder(QtMsgType type, const QMessageLogContext &context,
                                const QString &message)
{
    if (!message.startsWith(QLatin1String("QStandardPaths: ")))
        qtMessageHandler(type, context, message);
}

} // namespace

int main(int argc, char **argv)
{
    ServerProcess::startGuard();
    catchTerminationSignals();
    // The window is drawn without OpenGL: loading the X11 GL integration (the GL driver and
    // its compiler) would be most of the time to the window on screen.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    setHighDpiAttributes();
    noSessionBusAutolaunch();
    nameTheApplication();
    qtMessageHandler = qInstallMessageHandler(quietAboutTheRuntimeFolder);
    QApplication app(argc, argv);
    qInstallMessageHandler(qtMessageHandler);

    SingleInstance instance;
    if (!instance.claim())
        return 0; // the running launcher shows its window instead

    int exitCode;
    {
        MainWindow window;
        QObject::connect(&instance, &SingleInstance::showRequested, &window, [&window] {
            window.bringBack(); // from the tray or minimized, if it was there
            window.raise();
            window.activateWindow();
        });
        window.show();
        quitOnTerminationSignals(&app);
        exitCode = app.exec();
    } // the window goes first: its destructor stops the server
    return exitCode;
}
