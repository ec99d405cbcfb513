// The window as it stands after construction: the form, the artwork, the console list,
// the first server start and the log file it prepares.
#include "launcherfixture.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QImageReader>
#include <QMenuBar>
#include <QStatusBar>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QWindow>
#include <QtTest>

#include <sys/stat.h>

namespace {

// Mean absolute difference per colour channel, 0 to 255.
double difference(const QImage &a, const QImage &b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    if (x.size() != y.size())
        return 255;
    qint64 sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        const QRgb *p = reinterpret_cast<const QRgb *>(x.constScanLine(row));
        const QRgb *q = reinterpret_cast<const QRgb *>(y.constScanLine(row));
        for (int column = 0; column < x.width(); ++column)
            sum += qAbs(qRed(p[column]) - qRed(q[column])) + qAbs(qGreen(p[column]) - qGreen(q[column]))
                   + qAbs(qBlue(p[column]) - qBlue(q[column]));
    }
    return double(sum) / (3.0 * x.width() * x.height());
}

} // namespace

class FormTest : public QObject
{
    Q_OBJECT

public:
    static void initMain() { setHighDpiAttributes(); } // as main does, before the application

private slots:
    void initTestCase() { QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable()); }

    // On a desktop scaled to LAUNCHER_TEST_SCALE (1 unless set), the window keeps its logical
    // size and is drawn in device pixels from the full-size artwork.
    void drawnAtTheDesktopScale()
    {
        const int scale = qMax(1, qEnvironmentVariableIntValue("LAUNCHER_TEST_SCALE"));
        LauncherHome home;
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.devicePixelRatioF(), qreal(scale));
        QCOMPARE(window.size(), QSize(400, 300));
        QCOMPARE(window.grab().size(), QSize(400, 300) * scale);

        auto *picture = child<QLabel>(&window, "imgconsole");
        const QImage drawn = picture->grab().toImage();
        const QSize device = picture->size() * scale;
        QCOMPARE(drawn.size(), device);
        // Sharp: the full-size picture scaled once to the device pixels, not a copy made for
        // the logical size and blown up (that differs by about 1.6 per channel at 2x).
        const QImage sharp = QImage(QStringLiteral(":/art/images/sms.png"))
                                 .scaled(device, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        QVERIFY2(difference(drawn, sharp) < 0.5, qPrintable(QString::number(difference(drawn, sharp))));
        // The build scaled it to this size already: start-up decodes no full-size picture.
        QVERIFY(QFile::exists(QStringLiteral(":/art/scaled/sms/%1x%2.png")
                                  .arg(device.width()).arg(device.height())));
        QCOMPARE(window.windowIcon().pixmap(32).size(), QSize(32, 32) * scale);
    }

    // Moved to a screen of another pixel ratio (form_screens gives it a second one), the window
    // draws the picture it shows at once, and one chosen again, in that screen's device pixels.
    void pictureFollowsTheScreen()
    {
        const QList<QScreen *> screens = QGuiApplication::screens();
        if (screens.size() < 2 || screens[0]->devicePixelRatio() == screens[1]->devicePixelRatio())
            QSKIP("needs two screens of different pixel ratios");
        LauncherHome home;
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *selector = child<QComboBox>(&window, "cmbconsole");
        auto *picture = child<QLabel>(&window, "imgconsole");
        selector->setCurrentIndex(1); // both pictures cached at this screen's ratio
        selector->setCurrentIndex(0);
        QScreen *other = screens[window.screen() == screens[0] ? 1 : 0];
        window.windowHandle()->setScreen(other);
        window.show(); // made anew, hidden, on another X screen
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        for (int chosen : {0, 1}) { // the one shown since before the move, then one chosen again
            selector->setCurrentIndex(chosen);
            const QPixmap shown = picture->pixmap(Qt::ReturnByValue);
            QCOMPARE(shown.devicePixelRatio(), other->devicePixelRatio());
            QCOMPARE(shown.size(), picture->size() * other->devicePixelRatio());
        }
    }

    void windowIsFixedAndTitled()
    {
        LauncherHome home;
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralWidget"));
        QCOMPARE(window.windowTitle(), QStringLiteral("Ludovane"));
        QVERIFY(!window.windowIcon().isNull());
        QCOMPARE(window.minimumSize(), QSize(400, 300));
        QCOMPARE(window.maximumSize(), QSize(400, 300));
        QCOMPARE(window.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(window.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
        window.resize(800, 600);
        QCOMPARE(window.size(), QSize(400, 300));

        QCOMPARE(codeLabel(&window), QStringLiteral("Code: none"));
        QVERIFY(!window.findChild<QStatusBar *>());
        QVERIFY(!window.findChild<QToolBar *>());
        QVERIFY(window.menuBar()->actions().isEmpty());
    }

    void widgetGeometry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("picture") << "imgconsole" << QRect(50, 60, 291, 171);
        QTest::newRow("console selector") << "cmbconsole" << QRect(10, 10, 151, 25);
        QTest::newRow("code label") << "lblcode" << QRect(170, 10, 201, 17);
        QTest::newRow("menu bar") << "menuBar" << QRect(0, 0, 400, 23);
    }
    void widgetGeometry()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        LauncherHome home;
        MainWindow window;
        QWidget *widget = window.findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(widget->geometry(), geometry);
    }

    void pictureShowsMasterSystemScaled()
    {
        LauncherHome home;
        MainWindow window;
        auto *picture = child<QLabel>(&window, "imgconsole");
        QVERIFY(picture->text().isEmpty());
        QVERIFY(picture->hasScaledContents());
        QCOMPARE(picture->alignment(), Qt::AlignHCenter | Qt::AlignTop);
        QCOMPARE(picture->sizePolicy().horizontalPolicy(), QSizePolicy::Maximum);
        QCOMPARE(picture->sizePolicy().verticalPolicy(), QSizePolicy::Preferred);
        QCOMPARE(shownPicture(picture),
                 scaledArtwork(QStringLiteral(":/art/images/sms.png"), picture));
    }

    void consoleListInTableOrder()
    {
        LauncherHome home;
        MainWindow window;
        auto *selector = child<QComboBox>(&window, "cmbconsole");
        QStringList names;
        for (int i = 0; i < selector->count(); ++i) {
            names << selector->itemText(i);
            QVERIFY(selector->itemIcon(i).isNull());
            QVERIFY(!selector->itemData(i).isValid());
        }
        QCOMPARE(names, QStringList({QStringLiteral("Master System"), QStringLiteral("Mega Drive"),
                                     QStringLiteral("NES"), QStringLiteral("SNES")}));
        QCOMPARE(selector->currentIndex(), 0);
    }

    void artwork_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        QTest::newRow("icon") << ":/art/images/icon-app.png" << QSize(1024, 1024);
        QTest::newRow("Master System") << ":/art/images/sms.png" << QSize(1920, 1080);
        QTest::newRow("Mega Drive") << ":/art/images/genesis.png" << QSize(1920, 1080);
        QTest::newRow("NES") << ":/art/images/nes.png" << QSize(1920, 1080);
        QTest::newRow("SNES") << ":/art/images/snes.png" << QSize(1920, 1080);
    }
    void artwork()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        QImageReader reader(path);
        QCOMPARE(reader.format(), QByteArray("png"));
        QCOMPARE(reader.read().size(), size);
    }

    void setupKeepsAnExistingName()
    {
        QMainWindow window;
        window.setObjectName(QStringLiteral("Elsewhere"));
        MainWindowForm form;
        form.setupUi(&window);
        QCOMPARE(window.objectName(), QStringLiteral("Elsewhere"));
        QCOMPARE(form.cmbconsole->count(), 0);
    }

    void startsOneServerForMasterSystem()
    {
        LauncherHome home;
        MainWindow window;
        QTRY_COMPARE(serverStarts(home).size(), 1);
        const ServerStart start = serverStarts(home).first();
        QCOMPARE(start.program, QCoreApplication::applicationDirPath() + "/ludovane.exe");
        QCOMPARE(start.arguments,
                 QStringList({QStringLiteral("-batchmode"), QStringLiteral("-nographics"),
                              QStringLiteral("-logFile"), home.logPath(),
                              QStringLiteral("-console=sms")}));
        QVERIFY(!start.program.contains(QLatin1Char('\\')));
        QVERIFY(processAlive(start.pid));
    }

    void logFileIsPreparedWithoutTruncation_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("mask");
        QTest::addColumn<int>("mode"); // the log's mode afterwards
        const QByteArray earlier("earlier run\nCode: 5\n");
        QTest::newRow("absent: created empty, the user's alone")
            << false << QByteArray() << 022 << 0600;
        QTest::newRow("absent, umask 077") << false << QByteArray() << 077 << 0600;
#ifdef Q_OS_UNIX // the mode is checked there alone
        QTest::newRow("absent, umask 277") << false << QByteArray() << 0277 << 0600;
#endif
        QTest::newRow("present: left as it is") << true << earlier << 077 << 0644;
    }
    void logFileIsPreparedWithoutTruncation()
    {
        QFETCH(bool, present);
        QFETCH(QByteArray, content);
        QFETCH(int, mask);
        QFETCH(int, mode);
        LauncherHome home;
        qputenv("LUDOVANE_STANDIN_LOG", "off");
        if (present) {
            home.writeLog(content);
            QVERIFY(::chmod(QFile::encodeName(home.logPath()).constData(), 0644) == 0);
        }
        const mode_t previous = ::umask(mode_t(mask));
        {
            MainWindow window;
        }
        ::umask(previous);
        QFile log(home.logPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll(), content);
#ifdef Q_OS_UNIX // a Windows profile folder's access list keeps the log its user's
        struct stat info;
        QVERIFY(::stat(QFile::encodeName(home.logPath()).constData(), &info) == 0);
        QCOMPARE(int(info.st_mode & 07777), mode);
#else
        Q_UNUSED(mode)
#endif
    }
};

QTEST_MAIN(FormTest)
#include "tst_form.moc"
