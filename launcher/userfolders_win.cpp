#include "userfolders.h"

#include <QDir>
#include <QStandardPaths>

QString homeDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::HomeLocation);
}

QString privateFolder()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                         + QStringLiteral("/Ludovane");
    return QDir().mkpath(folder) ? folder : QString();
}
