// Pictures of the console on a real X display (run under xvfb-run): the main window with its title and its
// controls, the same window while the engine does not answer, and the login dialog while it checks a
// password. The pictures are written under the build folder (never into the source tree).
#include <QtTest>

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>
#include <unistd.h>

#include "FakeEngine.h"
#include "RecordingMessages.h"
#include "console/CHaltwatchApp.h"

using namespace consoletest;

namespace {

// Grabs a shown top-level widget, checks the picture is not blank and writes it as name.png.
bool Picture(QWidget* w, const QString& name)
{
    if (!QTest::qWaitForWindowExposed(w))
        return false;
    QScreen* screen = w->screen();
    if (!screen)
        return false;
    const QPixmap shot = screen->grabWindow(w->winId());
    if (shot.isNull() || shot.size() != w->size() * shot.devicePixelRatio())
        return false;
    const QImage image = shot.toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7)
            colours.insert(image.pixel(x, y));
    if (colours.size() <= 8)
        return false;
    const QString dir = QString(VG_BUILD_DIR) + "/console-screenshot";
    if (!QDir().mkpath(dir) || !shot.save(dir + "/" + name + ".png"))
        return false;
    qInfo("picture: %s/%s.png", qPrintable(dir), qPrintable(name));
    return true;
}

// Every text of the widget's buttons, boxes, up-downs and one-line labels has the room it asks for.
void VerifyNothingCut(QWidget* top)
{
    for (QWidget* child : top->findChildren<QWidget*>()) {
        auto* label = qobject_cast<QLabel*>(child);
        if (!child->isVisible() || !(qobject_cast<QAbstractSpinBox*>(child) || qobject_cast<QAbstractButton*>(child) ||
                                     (label && !label->wordWrap())))
            continue;
        QVERIFY2(child->width() >= child->minimumSizeHint().width(), qPrintable(child->objectName()));
    }
}

}  // namespace

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
        env.keepAliveMs = 100;
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

        VerifyNothingCut(w);
        QVERIFY(Picture(w, "main-window"));

        // The engine stops answering: the window says so and keeps what it showed.
        engine.SetDead(true);
        QTRY_VERIFY(!w->EngineReachable());
        QCOMPARE(w->findChild<QLineEdit*>("ups1Status")->text(), QString(CHaltwatchDlg::kUnreachable));
        QCOMPARE(w->findChild<QLineEdit*>("ups1Model")->text(), QString("Smart-UPS 1500"));
        QTRY_VERIFY(w->findChild<QLabel*>("unreachableNote")->isVisible());
        QApplication::processEvents();
        VerifyNothingCut(w);
        auto* status = w->findChild<QLineEdit*>("ups1Status");
        QVERIFY(status->width() >= status->fontMetrics().horizontalAdvance(status->text()));
        QVERIFY(Picture(w, "engine-unreachable"));
        w->Teardown();
    }

    // The login dialog while the engine checks a password: the title has room beside the title bar's
    // buttons, and the dialog says that it checks.
    void loginDialogPicture()
    {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs an X display (run under xvfb-run)");
        CDlgAgentLogin dialog([](const QString&, std::function<void(bool)>) {});
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* edit = dialog.findChild<QLineEdit*>("passwordEdit");
        QTest::keyClicks(edit, "secret");
        QTest::keyClick(edit, Qt::Key_Return);
        QVERIFY(dialog.Probing());
        QApplication::processEvents();
        QFont bold = QApplication::font();
        bold.setBold(true);
        QVERIFY(dialog.width() >= QFontMetrics(bold).horizontalAdvance(dialog.windowTitle()) + 100);
        VerifyNothingCut(&dialog);
        QVERIFY(Picture(&dialog, "login-checking"));
    }
};

QTEST_MAIN(ConsoleScreenshotTest)
#include "ConsoleScreenshotTest.moc"
