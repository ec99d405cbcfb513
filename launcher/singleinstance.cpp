#include "singleinstance.h"

#include "userfolders.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>

const char instanceNamePrefix[] = "ludovane-launcher-";
const char showMessage[] = "show\n";

namespace {

// The same for every launcher of this user with this home directory, however the path to it
// is spelled, and short enough for a socket name.
QString instanceKey()
{
    const QString home = homeDirectory();
    const QString canonical = QFileInfo(home).canonicalFilePath();
    QByteArray identity = (canonical.isEmpty() ? QDir::cleanPath(home) : canonical).toUtf8();
    identity += '\n' + accountIdentity();
    const QByteArray digest = QCryptographicHash::hash(identity, QCryptographicHash::Sha256);
    return QString::fromLatin1(QByteArray(instanceNamePrefix) + digest.toHex().left(20));
}

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
{
    useFolder(privateFolder(), instanceKey());
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

SingleInstance::~SingleInstance()
{
    server.close();
    releaseLock();
}

bool SingleInstance::claim()
{
    Lock lock = takeLock();
    if (lock == Lock::HeldElsewhere)
        lock = askRunningLauncher();
    switch (lock) {
    case Lock::Unavailable:
        return true; // better two launchers than none
    case Lock::Taken:
        // A launcher nobody can reach must not keep later ones from running.
        if (!listen())
            releaseLock();
        return true;
    case Lock::HeldElsewhere:
        break;
    }
    releaseLock();
    return false; // asked, or it holds the lock but does not answer: still no second server
}
