// Writes artwork scaled from its full size, as the launcher itself would scale it (smooth, to
// exactly the size given), for installing and for the launcher's resources:
//   iconsizes SOURCE.png OUTDIR SIZE...   (SIZE is N for NxN, or WxH; writes OUTDIR/WxH.png)
#include <QDir>
#include <QCoreApplication>
#include <QImage>
#include <QRegularExpression>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QImage source(args.value(1));
    if (args.size() < 4 || source.isNull()) {
        QTextStream(stderr) << "usage: iconsizes SOURCE.png OUTDIR SIZE...\n";
        return 2;
    }
    QDir().mkpath(args[2]);
    const QRegularExpression sizePattern(QStringLiteral("^([1-9][0-9]*)(?:x([1-9][0-9]*))?$"));
    for (const QString &size : args.mid(3)) {
        const QRegularExpressionMatch match = sizePattern.match(size);
        if (!match.hasMatch()) {
            QTextStream(stderr) << "iconsizes: not a size: " << size << '\n';
            return 2;
        }
        const int width = match.captured(1).toInt();
        const int height = match.capturedLength(2) ? match.captured(2).toInt() : width;
        const QImage scaled = source.scaled(width, height, Qt::IgnoreAspectRatio,
                                            Qt::SmoothTransformation);
        if (!scaled.save(QDir(args[2]).filePath(QStringLiteral("%1x%2.png").arg(width).arg(height))))
            return 1;
    }
    return 0;
}
