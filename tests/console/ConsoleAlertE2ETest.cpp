// The console on a real X display (run under xvfb-run) with the real engine, a simulated UPS agent and the
// recording shutdown library: the agent's alarm trap starts the countdown and the shutdown alert shows it
// (its title, its text and a picture) and the main window's title carries it; meanwhile the user arms an
// event's shutdown in the console and Save reaches the engine; the agent's clear trap ends the countdown,
// hides the alert and restores the title within seconds.
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
        vgtest::SimAgentOptions options;
        options.address = "127.0.0.4";
        vgtest::SimAgentProcess agent;
        QVERIFY(agent.Start(options));

        e2e::EngineInstall engine;
        const int remoteTrapPort = vgtest::FreePort(SOCK_DGRAM);
        {
            // A round of polls once a minute (the shortest): after its first one the engine learns of the
            // alarm and its end from the agent's traps alone within this test's time.
            std::ofstream ini(engine.Path("vgconfig.ini"));
            ini << "[VG_Engine]\nRemoteLoopbackDelay=1\nRemoteTrapPort=" << remoteTrapPort
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

        // The agent's alarm 12 "On Battery" on its device 1, added (E.100.2.0.3) or removed (E.100.2.0.4);
        // its alarm table follows, as a real agent's does, so that a poll in between agrees with the traps.
        const auto alarmTrap = [&](bool raise) {
            return agent.Send(raise ? "alarm 12 1 1 On Battery" : "clear 12") &&
                   agent.Send("trap " + std::to_string(remoteTrapPort) + " " + options.community + " " +
                              e2e::E(raise ? "100.2.0.3" : "100.2.0.4") + " " + e2e::E("100.1.1.0") + " i 12 " +
                              e2e::E("100.1.2.0") + " s x " + e2e::E("100.1.3.0") + " s On%20Battery " +
                              e2e::E("100.1.4.0") + " i 1 " + e2e::E("10.1.2.6.0") + " s $MAC " +
                              e2e::E("100.1.6.0") + " i 0 " + e2e::E("100.1.7.0") + " i 1");
        };
        // Whether the engine holds "On Battery" (event 1 of its device 1) as set.
        const auto alarmActive = [&] { return engine.Get(e2e::E("10.2.3.2.1.6.1.1")) == "INTEGER: 1"; };
        QVERIFY(!alarmActive());

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

        // The alarm trap starts the countdown; its notices reach the console and the alert shows the time left.
        QVERIFY(alarmTrap(true));
        QTRY_VERIFY_WITH_TIMEOUT(alarmActive(), 10000);
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

        // The clear trap ends the countdown: the engine's final notice hides the alert at once (the next
        // poll is a minute away, far past this wait).
        QVERIFY(w->windowTitle().startsWith("Vigilon Shutdown Console [Shutdown will occur in "));
        QVERIFY(alert.isVisible());
        QVERIFY(alarmTrap(false));
        QTRY_VERIFY_WITH_TIMEOUT(!alert.isVisible(), 10000);
        QVERIFY(!alarmActive());
        QCOMPARE(w->windowTitle(), QString("Vigilon Shutdown Console"));
        QVERIFY2(messages.texts.isEmpty(), qPrintable(messages.texts.join("; ")));

        w->Teardown();
        snmp.Stop();
        app->Shutdown();
    }
};

QTEST_MAIN(ConsoleAlertE2ETest)
#include "ConsoleAlertE2ETest.moc"
