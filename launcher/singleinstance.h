#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

// One launcher per user and home directory, since those share the log and so the server. The
// first launcher holds a lock file and listens on a local socket; a later one asks it to show
// its window and leaves. A lock whose process is gone (killed, crashed) does not count.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(QObject *parent = nullptr);

    // True when this is the first launcher; false when another one runs and was asked to
    // show its window.
    bool claim();

signals:
    void showRequested();

private:
    QString key;
    QLockFile lock;
    QLocalServer server;
};
