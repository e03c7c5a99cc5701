// Pictures of the console on a real X display (run under xvfb-run): the main window with its title and its
// controls, the same window while the engine does not answer, and the login dialog while it checks a
// password; the states a console must not hide (notices that go to another console, a countdown no longer
// known, edits not saved); the About box with its whole title, and a message and the login centred over
// the screen when the window is in the tray. The pictures are written under the build folder (never into
// the source tree).
#include <QtTest>

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QTimer>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>
#include <unistd.h>

#include "FakeEngine.h"
#include "RecordingMessages.h"
#include "tests/support/Ports.h"
#include "console/CHaltwatchApp.h"
#include "console/DiscoveryDialogs.h"
#include "console/MessageBoxSink.h"
#include "console/ShutdownNotification.h"

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

// The distance between the centres of a shown window (its frame) and of the screen's free area.
int OffCentre(QWidget* w)
{
    const QPoint d = w->frameGeometry().center() - w->screen()->availableGeometry().center();
    return d.manhattanLength();
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

    // The console's states that must show: the notices go to another console of this host (the alert
    // opened from the countdown the poll read), the engine died during the countdown (the alert says what
    // it knew and when), and edits kept through a reconnect, marked as not saved.
    void consoleStatesPictures()
    {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs an X display (run under xvfb-run)");
        FakeEngine engine;
        engine.Populate({{"Smart-UPS 1500", "Server room", 1, 0, {{"On Battery", 0, 120}, {"Low Battery", 12}}}},
                        {{"127.0.0.2", "public"}});
        RecordingMessages messages;
        ConsoleEnvironment env;
        env.transport = &engine;
        env.messages = &messages;
        env.instanceName = QString("haltwatch-screenshot-states-%1").arg(getpid());
        env.keepAliveMs = 50;
        CHaltwatchApp app(env, ConsoleOptions::Parse({"-noservice", "-a127.0.0.1"}));
        QCOMPARE(app.Start(), CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY(app.Window() && app.Window()->RefreshCount() == 1);
        CHaltwatchDlg* w = app.Window();
        QTRY_VERIFY(w->isVisible());

        vgtest::BusyPort other(SOCK_DGRAM);
        engine.SetInt(E("11.3.2.2.0"), other.Port());
        engine.SetInt(E("10.5.1.0"), 75);
        QTRY_VERIFY(w->OtherConsoleReceives() && w->Alert().isVisible());
        QApplication::processEvents();
        VerifyNothingCut(w);
        QVERIFY(Picture(w, "other-console-receives"));
        QVERIFY(Picture(&w->Alert(), "alert-from-poll"));

        engine.SetDead(true);
        QTRY_VERIFY(w->CountdownStale());
        QApplication::processEvents();
        QVERIFY(w->Alert().width() >= w->Alert().sizeHint().width());
        QVERIFY(Picture(&w->Alert(), "alert-countdown-unknown"));

        auto* list = w->findChild<QTreeWidget*>("eventList");
        list->setCurrentItem(list->topLevelItem(0));
        w->findChild<QCheckBox*>("shutdownCheck")->click();
        const int refreshes = w->RefreshCount();
        engine.SetInt(E("10.5.1.0"), 0);
        engine.SetDead(false);
        QTRY_VERIFY(w->RefreshCount() > refreshes && !w->Alert().isVisible());
        QVERIFY(w->findChild<QLabel*>("unsavedNote")->isVisible());
        QCOMPARE(list->topLevelItem(0)->text(1), QString("X"));
        QApplication::processEvents();
        VerifyNothingCut(w);
        QVERIFY(Picture(w, "unsaved-edits-kept"));

        // The About box: its whole title fits beside the title bar's buttons.
        CAboutDlg about(w);
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QFont bold = QApplication::font();
        bold.setBold(true);
        QVERIFY(about.width() >= QFontMetrics(bold).horizontalAdvance(about.windowTitle()) + 100);
        QVERIFY(Picture(&about, "about-box"));
        about.close();

        // In the tray the window is hidden: a message for it, and the login, open over the screen's centre.
        w->hide();
        QtMessageBoxSink sink;
        int messageOff = -1;
        QTimer::singleShot(0, [&] {
            QTRY_VERIFY(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()));
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(QTest::qWaitForWindowExposed(box));
            messageOff = OffCentre(box);
            Picture(box, "message-centred");
            box->accept();
        });
        sink.Show(w, kMessageCaption, "Unable to establish trap listener, Shutdown Agent Console may already be running.");
        QVERIFY2(messageOff >= 0 && messageOff <= 40, qPrintable(QString::number(messageOff)));

        app.PromptLogin([](bool) {});
        QTRY_VERIFY(app.LoginDialog());
        QVERIFY(QTest::qWaitForWindowExposed(app.LoginDialog()));
        QVERIFY2(OffCentre(app.LoginDialog()) <= 40, qPrintable(QString::number(OffCentre(app.LoginDialog()))));
        QVERIFY(Picture(app.LoginDialog(), "login-centred"));
        app.LoginDialog()->reject();
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
