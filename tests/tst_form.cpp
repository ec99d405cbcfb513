// The window as it stands after construction: the form, the artwork, the console list,
// the first server start and the log file it prepares.
#include "launcherfixture.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QImageReader>
#include <QMenuBar>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QtTest>

class FormTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable()); }

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
        QCOMPARE(picture->pixmap(Qt::ReturnByValue).toImage(),
                 QPixmap(QStringLiteral(":/art/images/sms.png")).toImage());
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
        QTest::newRow("absent: created empty") << false << QByteArray();
        QTest::newRow("present: left as it is") << true << QByteArray("earlier run\nCode: 5\n");
    }
    void logFileIsPreparedWithoutTruncation()
    {
        QFETCH(bool, present);
        QFETCH(QByteArray, content);
        LauncherHome home;
        qputenv("LUDOVANE_STANDIN_LOG", "off");
        if (present)
            home.writeLog(content);
        MainWindow window;
        QFile log(home.logPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll(), content);
    }
};

QTEST_MAIN(FormTest)
#include "tst_form.moc"
