#include "singleinstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// The same for every launcher of this user with this home directory, however the path to it
// is spelled, and short enough for a socket name.
QString instanceKey()
{
    const QString home = QDir::homePath();
    const QString canonical = QFileInfo(home).canonicalFilePath();
    QByteArray identity = (canonical.isEmpty() ? QDir::cleanPath(home) : canonical).toUtf8();
#ifdef Q_OS_UNIX
    identity += '\n' + QByteArray::number(qulonglong(::getuid()));
#else
    identity += '\n' + qgetenv("USERNAME");
#endif
    const QByteArray digest = QCryptographicHash::hash(identity, QCryptographicHash::Sha256);
    return QStringLiteral("ludovane-launcher-") + QString::fromLatin1(digest.toHex().left(20));
}

const QByteArray showMessage = "show\n";

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
    , key(instanceKey())
    , lock(QDir::temp().filePath(key + QStringLiteral(".lock")))
{
    // Stale only when its process is gone, however old it is.
    lock.setStaleLockTime(0);
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket->readAll().contains(showMessage))
                    emit showRequested();
            });
        }
    });
}

bool SingleInstance::claim()
{
    if (lock.tryLock(0) || lock.error() != QLockFile::LockFailedError) {
        // Without a lock to take (no writable temporary folder) run all the same: better two
        // launchers than none.
        QLocalServer::removeServer(key); // a socket left by a launcher that was killed
        server.listen(key);
        return true;
    }
    // The first launcher may be starting up: its socket can come a moment after its lock.
    QElapsedTimer waited;
    waited.start();
    do {
        QLocalSocket socket;
        socket.connectToServer(key);
        if (socket.waitForConnected(200)) {
            socket.write(showMessage);
            socket.waitForBytesWritten(500);
            socket.disconnectFromServer();
            return false;
        }
        QThread::msleep(50);
    } while (waited.elapsed() < 1000);
    return false; // it holds the lock but does not answer: still no second server
}
