// No server program beside the launcher: nothing starts, and the window keeps working.
#include "launcherfixture.h"

#include <QComboBox>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

class NoServerTest : public QObject
{
    Q_OBJECT

private slots:
    void windowKeepsWorking()
    {
        QVERIFY(!QFileInfo::exists(QCoreApplication::applicationDirPath() + "/ludovane.exe"));
        LauncherHome home;
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        auto *selector = child<QComboBox>(&window, "cmbconsole");
        for (int i = 1; i <= 23; ++i)
            selector->setCurrentIndex(i % 4);
        auto *picture = child<QLabel>(&window, "imgconsole");
        QCOMPARE(shownPicture(picture), scaledArtwork(":/art/images/snes.png", picture));
        // Failed starts are released too, so none pile up.
        QTRY_COMPARE(window.findChildren<QProcess *>().size(), 1);

        home.writeLog("Code: 404\n");
        poll(&window);
        QCOMPARE(codeLabel(&window), QStringLiteral("Code: 404"));
        QVERIFY(serverStarts(home).isEmpty());
    }
};

QTEST_MAIN(NoServerTest)
#include "tst_noserver.moc"
