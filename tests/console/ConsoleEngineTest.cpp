// The console with its real SNMP thread: against the real engine (started by the end-to-end harness on
// free loopback ports), on its own trap port, and under a storm of notifications while the window works.
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "FakeEngine.h"
#include "RecordingMessages.h"
#include "console/CHaltwatchApp.h"
#include "console/SnmpThreadRunner.h"
#include "engine/snmp/SnmpTrapSession.h"
#include "tests/e2e/EngineProcess.h"

using namespace consoletest;

namespace {

QString UniqueInstance()
{
    static int n = 0;
    return QString("haltwatch-engine-test-%1-%2").arg(getpid()).arg(++n);
}

// The process's one SNMP thread, as in the program, shared by every test here.
SnmpThreadRunner& Snmp()
{
    static SnmpThreadRunner* runner = [] {
        auto* r = new SnmpThreadRunner;
        r->Start();
        return r;
    }();
    return *runner;
}

// A console on the real SNMP thread; the transport is the real one unless a scripted engine is given.
struct RealConsole {
    SnmpThreadRunner& snmp = Snmp();
    std::unique_ptr<SnmpThreadTransport> transport;
    RecordingMessages messages;
    int keepAliveMs = 10000;
    std::unique_ptr<CHaltwatchApp> app;

    explicit RealConsole(IEngineTransport* scripted = nullptr)
    {
        transport = std::make_unique<SnmpThreadTransport>(snmp.Thread());
        m_transport = scripted ? scripted : transport.get();
    }
    ~RealConsole()
    {
        if (app && app->Window())
            app->Window()->Teardown();
        if (app)
            app->Shutdown();
    }
    CHaltwatchApp::StartResult Start(const QStringList& args)
    {
        ConsoleEnvironment env;
        env.transport = m_transport;
        env.snmpThread = &snmp.Thread();
        env.messages = &messages;
        env.instanceName = UniqueInstance();
        env.useSystemTray = false;
        env.keepAliveMs = keepAliveMs;
        app = std::make_unique<CHaltwatchApp>(env, ConsoleOptions::Parse(args));
        return app->Start();
    }
    CHaltwatchDlg* Window() { return app ? app->Window() : nullptr; }

private:
    IEngineTransport* m_transport = nullptr;
};

// A little BER for a hand-made inform.
std::string Tlv(unsigned char tag, const std::string& body)
{
    std::string out(1, static_cast<char>(tag));
    if (body.size() < 128) {
        out += static_cast<char>(body.size());
    } else {
        out += static_cast<char>(0x82);
        out += static_cast<char>(body.size() >> 8);
        out += static_cast<char>(body.size() & 0xFF);
    }
    return out + body;
}
std::string BerInt(int32_t v)
{
    std::string b;
    for (int shift = 24; shift >= 0; shift -= 8)
        b += static_cast<char>((v >> shift) & 0xFF);
    while (b.size() > 1 && ((b[0] == 0 && !(b[1] & 0x80)) || (b[0] == '\xFF' && (b[1] & 0x80))))
        b.erase(0, 1);
    return Tlv(0x02, b);
}
std::string BerOid(const std::string& dotted)
{
    SnmpOid oid = MakeOid(dotted.c_str());
    std::string b(1, static_cast<char>(oid[0] * 40 + oid[1]));
    for (size_t i = 2; i < oid.size(); ++i) {
        std::string sub;
        uint32_t v = oid[i];
        sub.insert(sub.begin(), static_cast<char>(v & 0x7F));
        while (v >>= 7)
            sub.insert(sub.begin(), static_cast<char>(0x80 | (v & 0x7F)));
        b += sub;
    }
    return Tlv(0x06, b);
}

}  // namespace

class ConsoleEngineTest : public QObject {
    Q_OBJECT

private slots:
    void cleanupTestCase() { Snmp().Stop(); }

    // The console registers itself with the engine (the engine logs it), tells the engine its own trap
    // port (the engine was started with another one) and receives the change another manager makes.
    void registersAndReceivesValueChanged()
    {
        e2e::EngineInstall engine;
        QVERIFY2(engine.Start(), engine.ConsoleOutput().c_str());
        RealConsole console;
        QCOMPARE(console.Start({"-noservice", "-a127.0.0.1", "-p=" + QString::number(engine.Port()), "-t=0"}),
                 CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY_WITH_TIMEOUT(console.Window() != nullptr, 20000);
        QVERIFY(console.app->LoggedIn());
        QTRY_VERIFY_WITH_TIMEOUT(console.Window()->RefreshCount() >= 1, 20000);
        CHaltwatchDlg* w = console.Window();
        QVERIFY(w->TrapPort() != 0);
        QVERIFY(w->TrapPort() != engine.TrapPort());
        QTRY_VERIFY_WITH_TIMEOUT(engine.LogText().find("Console Activated at 127.0.0.1") != std::string::npos, 10000);
        QCOMPARE(engine.Get(e2e::E("11.4.0")), "INTEGER: " + std::to_string(w->TrapPort()));

        QSignalSpy handled(w, &CHaltwatchDlg::trapHandled);
        QCOMPARE(engine.Set(e2e::E("10.4.2.1.0"), "i", "50"), std::string());
        QTRY_VERIFY_WITH_TIMEOUT(handled.count() >= 1, 10000);
        QCOMPARE(handled.at(0).at(0).toInt(), 1001);
        QCOMPARE(handled.at(0).at(1).toString(), QString::fromStdString(e2e::E("10.4.2.1.0")));
        QVERIFY(console.messages.texts.isEmpty());
    }

    // A second console whose trap port is taken shows the listener's own message, then the window's, and
    // its window ends: without a system tray nothing could bring it back, so the console ends.
    void takenTrapPortIsReported()
    {
        FakeEngine engine;
        engine.Populate({}, {});
        RealConsole first(&engine);
        QCOMPARE(first.Start({"-noservice", "-a127.0.0.1", "-t=0"}), CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY(first.Window() && first.Window()->RefreshCount() >= 1);
        const uint16_t port = first.Window()->TrapPort();
        QVERIFY(port != 0);

        RealConsole second(&engine);
        QCOMPARE(second.Start({"-noservice", "-a127.0.0.1", "-t=" + QString::number(port)}),
                 CHaltwatchApp::StartResult::Running);
        QSignalSpy ended(second.app.get(), &CHaltwatchApp::exitRequested);
        QTRY_COMPARE(second.messages.texts.size(), 2);
        QCOMPARE(second.messages.texts,
                 (QStringList{"Register for notification failed, An instance of Shutdown Agent Console may already be running.",
                              "Unable to establish trap listener, Shutdown Agent Console may already be running."}));
        QCOMPARE(second.messages.captions, (QStringList{"Vigilon ShutdownAgent", kMessageCaption}));
        QTRY_COMPARE(ended.count(), 1);
        QVERIFY(!second.Window()->isVisible());
        QCOMPARE(second.Window()->RefreshCount(), 0);
        // Its tray says why it hears nothing, not that a UPS is off line.
        QCOMPARE(int(second.Window()->CurrentTraySlot()), int(TraySlot::Critical));
        QCOMPARE(second.Window()->TrayToolTip(), QString(CHaltwatchDlg::kTrapPortSetupFailed));
        QVERIFY(first.Window()->isVisible());
    }

    // Two consoles on this host (two users, each on a port of its own): the engine keeps one registration
    // per address, so the second takes the notices. The first says so; when the second ends (its port is
    // free again) the first takes the notices back and hears the engine's next change.
    void secondConsoleOnTheHostTakesTheNoticesAndGivesThemBack()
    {
        e2e::EngineInstall engine;
        QVERIFY2(engine.Start(), engine.ConsoleOutput().c_str());
        const QStringList args{"-noservice", "-a127.0.0.1", "-p=" + QString::number(engine.Port()), "-t=0"};
        RealConsole first;
        first.keepAliveMs = 200;
        QCOMPARE(first.Start(args), CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY_WITH_TIMEOUT(first.Window() && first.Window()->RefreshCount() >= 1, 20000);
        CHaltwatchDlg* w = first.Window();
        auto second = std::make_unique<RealConsole>();
        QCOMPARE(second->Start(args), CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY_WITH_TIMEOUT(second->Window() && second->Window()->RefreshCount() >= 1, 20000);
        const uint16_t secondPort = second->Window()->TrapPort();
        QCOMPARE(engine.Get(e2e::E("11.4.0")), "INTEGER: " + std::to_string(secondPort));
        QTRY_VERIFY_WITH_TIMEOUT(w->OtherConsoleReceives(), 10000);
        QVERIFY(w->TrayToolTip().contains(CHaltwatchDlg::kOtherConsole));
        QCOMPARE(engine.Get(e2e::E("11.4.0")), "INTEGER: " + std::to_string(secondPort));

        second.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!w->OtherConsoleReceives(), 10000);
        QCOMPARE(engine.Get(e2e::E("11.4.0")), "INTEGER: " + std::to_string(w->TrapPort()));
        QSignalSpy handled(w, &CHaltwatchDlg::trapHandled);
        QCOMPARE(engine.Set(e2e::E("10.4.2.1.0"), "i", "50"), std::string());
        QTRY_VERIFY_WITH_TIMEOUT(handled.count() >= 1, 10000);
        QCOMPARE(handled.at(0).at(0).toInt(), 1001);
    }

    // The engine stops while the console runs: within 30 s the console shows it unreachable and keeps
    // its window, a Save says it could not reach the engine; the engine started again is read again.
    void stoppedEngineIsShownUnreachableAndReadAgain()
    {
        e2e::EngineInstall engine;
        QVERIFY2(engine.Start(), engine.ConsoleOutput().c_str());
        RealConsole console;
        console.keepAliveMs = 1000;
        QCOMPARE(console.Start({"-noservice", "-a127.0.0.1", "-p=" + QString::number(engine.Port()), "-t=0"}),
                 CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY_WITH_TIMEOUT(console.Window() && console.Window()->RefreshCount() >= 1, 20000);
        CHaltwatchDlg* w = console.Window();
        QVERIFY(w->EngineReachable());
        const int refreshes = w->RefreshCount();

        QVERIFY(engine.Stop() != -1);
        QElapsedTimer stopped;
        stopped.start();
        QTRY_VERIFY_WITH_TIMEOUT(!w->EngineReachable(), 30000);
        QVERIFY(stopped.elapsed() < 30000);
        QCOMPARE(int(w->CurrentTraySlot()), int(TraySlot::Critical));
        QCOMPARE(w->TrayToolTip(), QString(CHaltwatchDlg::kUnreachable));
        QVERIFY(w->isVisible());
        QVERIFY(w->findChild<QLabel*>("unreachableNote")->isVisible());

        // An edit that Save cannot write: a password.
        w->findChild<QCheckBox*>("requirePasswordCheck")->click();
        QTest::keyClicks(w->findChild<QLineEdit*>("passwordEdit"), "secret");
        QTest::keyClicks(w->findChild<QLineEdit*>("retypeEdit"), "secret");
        QSignalSpy saved(w, &CHaltwatchDlg::saved);
        // Known to be down: Save answers at once.
        w->findChild<QPushButton*>("saveButton")->click();
        QCOMPARE(saved.count(), 1);
        QCOMPARE(console.messages.texts, QStringList{CHaltwatchDlg::kSaveFailed});
        QCOMPARE(console.app->RequestCommunity(), QString("wendolmar"));

        QVERIFY2(engine.Start(), engine.ConsoleOutput().c_str());
        QTRY_VERIFY_WITH_TIMEOUT(w->EngineReachable() && w->RefreshCount() > refreshes, 30000);
        QCOMPARE(w->TrayToolTip(), QString("Offline"));  // nothing monitored
        QVERIFY(!w->findChild<QLabel*>("unreachableNote")->isVisible());
        QCOMPARE(engine.Get(e2e::E("10.1.2.15.0")), std::string("\"\""));  // no password was set
        // The edit is still there, not saved.
        QVERIFY(w->HasUnsavedEdits());
        QVERIFY(w->findChild<QLabel*>("unsavedNote")->isVisible());
        QCOMPARE(w->findChild<QLineEdit*>("passwordEdit")->text(), QString("secret"));
    }

    // An inform is answered with its own varbinds and handed on like a trap, without sysUpTime.0 and
    // snmpTrapOID.0.
    void informIsAnsweredWithItsVarbinds()
    {
        SnmpThreadRunner& snmp = Snmp();
        std::mutex mutex;
        std::vector<SnmpReceivedNotification> received;
        auto session = SnmpTrapSession::Open(snmp.Thread(), "127.0.0.1", 0, [&](SnmpReceivedNotification&& n) {
            std::lock_guard<std::mutex> lock(mutex);
            received.push_back(std::move(n));
        });
        QVERIFY(session);
        const std::string varbinds =
            Tlv(0x30, Tlv(0x30, BerOid("1.3.6.1.2.1.1.3.0") + Tlv(0x43, "\x05")) +
                          Tlv(0x30, BerOid("1.3.6.1.6.3.1.1.4.1.0") + BerOid(E("0.1001"))) +
                          Tlv(0x30, BerOid(E("10.1.2.6.0")) + Tlv(0x04, "mac")));
        const std::string pdu = Tlv(0xA6, BerInt(4711) + BerInt(0) + BerInt(0) + varbinds);
        const std::string message = Tlv(0x30, BerInt(1) + Tlv(0x04, "anyone") + pdu);

        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(session->Port());
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        QVERIFY(sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                ssize_t(message.size()));
        pollfd pfd{fd, POLLIN, 0};
        QVERIFY(poll(&pfd, 1, 10000) == 1);
        unsigned char answer[2048];
        ssize_t n = recv(fd, answer, sizeof answer, 0);
        close(fd);
        QVERIFY(n > 0);
        // The response: same version, community, request id, no error, the same varbinds.
        const std::string expected =
            Tlv(0x30, BerInt(1) + Tlv(0x04, "anyone") + Tlv(0xA2, BerInt(4711) + BerInt(0) + BerInt(0) + varbinds));
        QCOMPARE(std::string(reinterpret_cast<char*>(answer), size_t(n)), expected);

        QTRY_VERIFY([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return received.size() == 1;
        }());
        std::lock_guard<std::mutex> lock(mutex);
        QCOMPARE(received[0].pduType, kSnmpPduInform);
        QCOMPARE(OidToString(received[0].trapOid), E("0.1001"));
        QCOMPARE(received[0].community, std::string("anyone"));
        QCOMPARE(received[0].sender, std::string("127.0.0.1"));
        QCOMPARE(received[0].varbinds.size(), size_t(1));
        QCOMPARE(received[0].varbinds[0].value.bytes, std::string("mac"));
    }

    // Notifications pour in on the SNMP thread while the window refreshes: every one is handled or counted
    // as dropped, and the threads share nothing unguarded (this test also runs under ThreadSanitizer).
    void trapStormWhileTheWindowRefreshes()
    {
        FakeEngine engine;
        engine.Populate({{"UPS A", "Hall", 1, 0, {{"On Battery", 8}}}}, {{"127.0.0.1", "public"}});
        RealConsole console(&engine);
        QCOMPARE(console.Start({"-noservice", "-a127.0.0.1", "-t=0"}), CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY(console.Window() && console.Window()->RefreshCount() >= 1);
        CHaltwatchDlg* w = console.Window();
        QSignalSpy handled(w, &CHaltwatchDlg::trapHandled);
        // Bursts small enough for the socket's receive buffer, as the SNMP thread sends and reads in turn.
        constexpr int kTraps = 400;
        constexpr int kBurst = 25;
        for (int i = 0; i < kTraps; ++i) {
            SnmpTrap trap;
            trap.version = i % 2;
            trap.peer = "127.0.0.1";
            trap.port = w->TrapPort();
            trap.community = "wendolmar";
            trap.enterprise = MakeOid(kE.c_str());
            trap.specific = 1001;
            const bool status = i % 3 != 0;
            trap.varbinds.push_back({MakeOid(E(status ? "10.2.2.1.25.1" : "10.2.2.1.2.1").c_str()),
                                     SnmpValue::Integer(i % 4)});
            QVERIFY(console.snmp.Thread().PostTrap(trap));
            if (i % kBurst == kBurst - 1) {
                w->Refresh();
                QTRY_VERIFY_WITH_TIMEOUT(w->TrapsReceived() >= uint64_t(i + 1), 10000);
            }
        }
        QCOMPARE(w->TrapsReceived(), uint64_t(kTraps));
        QTRY_VERIFY_WITH_TIMEOUT(handled.count() + int(w->Queue().Dropped()) == kTraps, 30000);
        QTRY_VERIFY(w->RefreshCount() >= 2);
    }
};

QTEST_MAIN(ConsoleEngineTest)
#include "ConsoleEngineTest.moc"
