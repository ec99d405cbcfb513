#include "mainwindow.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    int exitCode;
    {
        MainWindow window;
        window.show();
        exitCode = app.exec();
    } // the window goes first: its destructor stops the server
    return exitCode;
}
