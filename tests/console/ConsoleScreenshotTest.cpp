// One picture of the main window on a real X display (run under xvfb-run): the window shows its title and
// its controls, and the picture is written under the build folder (never into the source tree).
#include <QtTest>

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>
#include <unistd.h>

#include "FakeEngine.h"
#include "RecordingMessages.h"
#include "console/CHaltwatchApp.h"

using namespace consoletest;

class ConsoleScreenshotTest : public QObject {
    Q_OBJECT

private slots:
    void mainWindowPicture()
    {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs an X display (run under xvfb-run)");
        FakeEngine engine;
        engine.Populate({{"Smart-UPS 1500", "Server room", 1, 0, {{"On Battery", 8, 120}, {"Low Battery", 12}}},
                         {"Back-UPS 700", "Office", 2, 2, {{"On Battery", 0}}}},
                        {{"127.0.0.2", "public"}, {"127.0.0.3", "private"}});
        RecordingMessages messages;
        ConsoleEnvironment env;
        env.transport = &engine;
        env.messages = &messages;
        env.instanceName = QString("haltwatch-screenshot-%1").arg(getpid());
        CHaltwatchApp app(env, ConsoleOptions::Parse({"-noservice", "-a127.0.0.1"}));
        QCOMPARE(app.Start(), CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY(app.Window() && app.Window()->RefreshCount() == 1);
        CHaltwatchDlg* w = app.Window();
        // Xvfb has no system tray: the window must stay on the screen.
        QVERIFY(!w->TrayAvailable());
        QTRY_VERIFY(w->isVisible());
        QVERIFY(QTest::qWaitForWindowExposed(w));

        QCOMPARE(w->windowTitle(), QString("Vigilon Shutdown Console"));
        for (const char* name : {"closeButton", "saveButton", "discoverButton", "exitButton", "ups1DeleteButton",
                                 "ups2DeleteButton"})
            QVERIFY2(w->findChild<QPushButton*>(name) && w->findChild<QPushButton*>(name)->isVisible(), name);
        for (const char* name : {"ups1Model", "ups1Status", "ups2Model", "ups2Status", "ups1Address4"})
            QVERIFY2(w->findChild<QLineEdit*>(name) && w->findChild<QLineEdit*>(name)->isVisible(), name);
        QCOMPARE(w->findChild<QLineEdit*>("ups1Model")->text(), QString("Smart-UPS 1500"));
        QCOMPARE(w->findChild<QLineEdit*>("ups2Status")->text(), QString("Warning"));
        QCOMPARE(w->findChild<QTreeWidget*>("eventList")->topLevelItemCount(), 2);

        QScreen* screen = w->screen();
        QVERIFY(screen);
        QPixmap shot = screen->grabWindow(w->winId());
        QVERIFY(!shot.isNull());
        QCOMPARE(shot.size(), w->size() * shot.devicePixelRatio());
        const QImage image = shot.toImage();
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 7)
            for (int x = 0; x < image.width(); x += 7)
                colours.insert(image.pixel(x, y));
        QVERIFY2(colours.size() > 8, "the picture is blank");
        const QString dir = QString(VG_BUILD_DIR) + "/console-screenshot";
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(shot.save(dir + "/main-window.png"));
        qInfo("picture: %s/main-window.png", qPrintable(dir));
        w->Teardown();
    }
};

QTEST_MAIN(ConsoleScreenshotTest)
#include "ConsoleScreenshotTest.moc"
