// Writes the application icon at the hicolor theme's usual sizes, scaled from the full-size
// artwork, for installing:   iconsizes SOURCE.png OUTDIR SIZE...   (OUTDIR/SIZExSIZE.png)
#include <QDir>
#include <QCoreApplication>
#include <QImage>
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
    for (const QString &size : args.mid(3)) {
        const int pixels = size.toInt();
        const QImage icon = source.scaled(pixels, pixels, Qt::KeepAspectRatio,
                                          Qt::SmoothTransformation);
        if (pixels <= 0 || !icon.save(QDir(args[2]).filePath(size + QLatin1Char('x') + size
                                                            + QStringLiteral(".png"))))
            return 1;
    }
    return 0;
}
