// The console on a real X display (run under xvfb-run) with the real engine, a simulated UPS agent and the
// recording shutdown library: the user arms an event's shutdown in the console and Save reaches the
// engine; the agent's alarm (which the engine learns by polling) starts the countdown and the shutdown
// alert shows it (its title, its text and a picture); the alarm's clearing hides the alert.
#include <QtTest>

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTreeWidget>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "RecordingMessages.h"
#include "SimAgentProcess.h"
#include "TestSupport.h"
#include "console/CHaltwatchApp.h"
#include "console/EngineTransport.h"
#include "console/ShutdownNotification.h"
#include "console/SnmpThreadRunner.h"
#include "tests/e2e/EngineProcess.h"

using namespace consoletest;

class ConsoleAlertE2ETest : public QObject {
    Q_OBJECT

private slots:
    void alarmShowsTheAlertAndItsClearHidesIt()
    {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs an X display (run under xvfb-run)");
        // The agent reports "On Battery" from the start; the engine reads an agent's standing alarms when it
        // first reaches it, and reacts with the shutdown configured for that event.
        vgtest::SimAgentOptions options;
        options.address = "127.0.0.4";
        vgtest::SimAgentProcess agent;
        QVERIFY(agent.Start(options));
        QVERIFY(agent.Send("alarm 1 1 1 On Battery"));

        e2e::EngineInstall engine;
        {
            // The engine polls a reached agent once a minute (its shortest idle wait).
            std::ofstream ini(engine.Path("vgconfig.ini"));
            ini << "[VG_Engine]\nRemoteLoopbackDelay=1\nRemoteTrapPort=" << vgtest::FreePort(SOCK_DGRAM)
                << "\nRemoteSnmpTimeout=1\nRemoteSnmpRetries=0\n[VG_Remote]\nServer=" << options.address
                << "\nSNMPMacAddress=" << options.mac << "\nSNMPVersion=2\nSNMPCommunity=" << options.community
                << "\nSNMPPort=" << agent.Port() << "\nSNMPTrapPort=162\n"
                << "[RemoteEvent:On Battery]\nEnableShutdown=true\nShutdownDelay=600\n";
        }
        QVERIFY2(engine.Start(), engine.ConsoleOutput().c_str());
        // The engine's log stays beside the pictures for a look after a failure.
        struct KeepLog {
            e2e::EngineInstall& engine;
            ~KeepLog() { std::ofstream(std::string(VG_BUILD_DIR) + "/console-alert-engine.log") << engine.LogText(); }
        } keepLog{engine};
        QTRY_VERIFY_WITH_TIMEOUT(engine.Get(e2e::E("10.2.3.2.1.4.1.2")) == "STRING: \"Low Battery\"", 20000);

        SnmpThreadRunner snmp;
        snmp.Start();
        SnmpThreadTransport transport(snmp.Thread());
        RecordingMessages messages;
        ConsoleEnvironment env;
        env.transport = &transport;
        env.snmpThread = &snmp.Thread();
        env.messages = &messages;
        env.instanceName = QString("haltwatch-alert-e2e-%1").arg(getpid());
        env.useSystemTray = false;
        auto app = std::make_unique<CHaltwatchApp>(
            env, ConsoleOptions::Parse({"-noservice", "-a127.0.0.1", "-p=" + QString::number(engine.Port()), "-t=0"}));
        QCOMPARE(app->Start(), CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY_WITH_TIMEOUT(app->Window() && app->Window()->RefreshCount() >= 1, 20000);
        CHaltwatchDlg* w = app->Window();

        // The countdown notices reach the console: the alert shows the time left.
        ShutdownNotification& alert = w->Alert();
        QTRY_VERIFY_WITH_TIMEOUT(alert.isVisible(), 30000);
        const QRegularExpression text("^Shutdown will occur in (9|10) minute\\(s\\), \\d+ second\\(s\\)$");
        QVERIFY2(text.match(alert.Text()).hasMatch(), qPrintable(alert.Text()));
        QCOMPARE(alert.windowTitle(), QString("Vigilon Shutdown Alert"));
        QVERIFY(alert.windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(w->windowTitle().startsWith("Vigilon Shutdown Console [Shutdown will occur in "));
        QVERIFY(QTest::qWaitForWindowExposed(&alert));
        QPixmap shot = alert.screen()->grabWindow(alert.winId());
        QVERIFY(!shot.isNull());
        const QImage image = shot.toImage();
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 3)
            for (int x = 0; x < image.width(); x += 3)
                colours.insert(image.pixel(x, y));
        QVERIFY2(colours.size() > 4, "the alert's picture is blank");
        const QString dir = QString(VG_BUILD_DIR) + "/console-screenshot";
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(shot.save(dir + "/shutdown-alert.png"));

        // The alarm clears and the agent falls silent: the engine polls once a minute and takes a silent agent
        // offline after a few failed polls (about three minutes), which ends its alarms; the countdown's end
        // will hide the alert. Meanwhile the user edits.
        QVERIFY(agent.Send("clear 1"));
        QVERIFY(agent.Send("silent on"));

        // An edit in the console reaches the engine: "Low Battery" shuts down after ten minutes.
        auto* list = w->findChild<QTreeWidget*>("eventList");
        QTRY_VERIFY_WITH_TIMEOUT(list->topLevelItemCount() == 2, 10000);
        QCOMPARE(list->topLevelItem(1)->text(0), QString("Low Battery"));
        list->setCurrentItem(list->topLevelItem(1));
        w->findChild<QCheckBox*>("shutdownCheck")->click();
        auto* delay = w->findChild<QLineEdit*>("shutdownDelayEdit");
        auto* spin = w->findChild<QSpinBox*>("shutdownDelaySpin");
        while (delay->text() != "00h 10m 00s") {
            const QString before = delay->text();
            spin->stepUp();
            QVERIFY(delay->text() != before);
        }
        QSignalSpy saved(w, &CHaltwatchDlg::saved);
        w->findChild<QPushButton*>("saveButton")->click();
        QVERIFY(saved.wait(20000));
        QCOMPARE(engine.Get(e2e::E("10.2.3.2.1.19.1.2")), std::string("INTEGER: 600"));
        const std::string flags = engine.Get(e2e::E("10.2.3.2.1.7.1.2"));
        QVERIFY2(flags.rfind("INTEGER: ", 0) == 0 && (std::stoi(flags.substr(9)) & 8), flags.c_str());

        QTRY_VERIFY_WITH_TIMEOUT(!alert.isVisible(), 270000);
        QCOMPARE(w->windowTitle(), QString("Vigilon Shutdown Console"));
        QVERIFY2(messages.texts.isEmpty(), qPrintable(messages.texts.join("; ")));

        w->Teardown();
        snmp.Stop();
        app->Shutdown();
    }
};

QTEST_MAIN(ConsoleAlertE2ETest)
#include "ConsoleAlertE2ETest.moc"
