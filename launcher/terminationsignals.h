#pragma once

class QCoreApplication;

// SIGTERM, SIGINT and SIGHUP end the launcher the way the tray's Exit does: the event loop
// ends, the window goes and the server with it. The handlers only write a byte to a socket;
// the GUI thread reads it and quits.

// Before anything else in main, so that a signal during start-up is not lost.
void catchTerminationSignals();
// Right before the event loop runs: a signal that came earlier is acted on in the loop.
void quitOnTerminationSignals(QCoreApplication *app);
