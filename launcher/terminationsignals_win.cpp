#include "terminationsignals.h"

// A Windows GUI program gets no termination signals; however it ends, its kill job ends the
// servers (ServerProcess::startGuard).
void catchTerminationSignals() {}
void quitOnTerminationSignals(QCoreApplication *) {}
