// The console's start-up, login, keep-alive, single instance and main window against the scripted engine,
// under the offscreen platform (no system tray there: the window must stay reachable).
#include <QtTest>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <unistd.h>

#include <optional>

#include "FakeEngine.h"
#include "RecordingMessages.h"
#include "tests/support/Ports.h"
#include "console/CDlgAgentLogin.h"
#include "console/CHaltwatchApp.h"
#include "console/EngineWorker.h"

using namespace consoletest;

namespace {

const std::string kActivation = E("10.1.1.0");
const std::string kTrapPort = E("11.3.2.2.0");
const std::string kIpAddress = E("10.1.2.1.0");
const std::string kDeviceCount = E("10.2.1.0");

QString UniqueInstance()
{
    static int n = 0;
    return QString("haltwatch-test-%1-%2").arg(getpid()).arg(++n);
}

struct Console {
    FakeEngine engine;
    RecordingMessages messages;
    bool serviceUp = true;
    int serviceChecks = 0;
    int keepAliveMs = 10000;
    QString instance = UniqueInstance();
    QStringList addresses{"127.0.0.1"};
    std::unique_ptr<CHaltwatchApp> app;

    CHaltwatchApp::StartResult Start(const QStringList& args)
    {
        ConsoleEnvironment env;
        env.transport = &engine;
        env.messages = &messages;
        env.serviceRunning = [this] {
            ++serviceChecks;
            return serviceUp;
        };
        env.localAddresses = addresses;
        env.instanceName = instance;
        env.keepAliveMs = keepAliveMs;
        env.useSystemTray = false;
        app = std::make_unique<CHaltwatchApp>(env, ConsoleOptions::Parse(args));
        return app->Start();
    }
    CHaltwatchDlg* Window() { return app ? app->Window() : nullptr; }
    template <class T>
    T* Find(const char* name)
    {
        return Window() ? Window()->findChild<T*>(name) : nullptr;
    }
};

// The login dialog is open and takes a password.
bool LoginReady(CHaltwatchApp& app)
{
    CDlgAgentLogin* dialog = app.LoginDialog();
    auto* edit = dialog ? dialog->findChild<QLineEdit*>("passwordEdit") : nullptr;
    return edit && edit->isEnabled() && !edit->isReadOnly();
}

// Types a password into the open login dialog and presses OK (QTRY macros evaluate twice: keep this out
// of them).
void TypePassword(CHaltwatchApp& app, const QString& password)
{
    CDlgAgentLogin* dialog = app.LoginDialog();
    QVERIFY(dialog);
    auto* edit = dialog->findChild<QLineEdit*>("passwordEdit");
    auto* ok = dialog->findChild<QPushButton*>("okButton");
    QVERIFY(edit && ok);
    QVERIFY(!ok->isEnabled());
    edit->setText(password);
    QVERIFY(ok->isEnabled());
    ok->click();
}

}  // namespace

class ConsoleAppTest : public QObject {
    Q_OBJECT

private slots:
    void serviceStoppedEndsTheStart()
    {
        Console c;
        c.serviceUp = false;
        QCOMPARE(c.Start({}), CHaltwatchApp::StartResult::ServiceStopped);
        QCOMPARE(c.messages.texts, QStringList{CHaltwatchApp::kServiceStopped});
        QCOMPARE(c.messages.captions, QStringList{kMessageCaption});
        QVERIFY(c.engine.Calls().empty());

        Console skip;
        skip.serviceUp = false;
        QCOMPARE(skip.Start({"-noservice"}), CHaltwatchApp::StartResult::Running);
        QCOMPARE(skip.serviceChecks, 0);
    }

    // The local probe tries each address over SNMPv1; the engine's own answer becomes the engine address;
    // then the console registers, tells the engine its trap port and reads everything.
    void startUpProbesRegistersAndRefreshes()
    {
        Console c;
        c.addresses = {"127.0.0.2", "127.0.0.1"};
        c.engine.Populate({}, {});
        c.engine.Set(kIpAddress, SnmpValue::IpAddress(0x0500007F));  // 127.0.0.5
        c.engine.DropPeer("127.0.0.2");
        QCOMPARE(c.Start({"-noservice", "-t=4665"}), CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY(c.Window() && c.Window()->RefreshCount() == 1);
        QVERIFY(c.app->LoggedIn());
        QCOMPARE(c.app->EngineAddress(), QString("127.0.0.5"));
        std::vector<FakeCall> calls = c.engine.Calls();
        QVERIFY(calls.size() > 6);
        QCOMPARE(calls[0].peer, std::string("127.0.0.2"));
        QCOMPARE(calls[1].peer, std::string("127.0.0.1"));
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(calls[i].oid, kIpAddress);
            QCOMPARE(calls[i].version, 0);
            QCOMPARE(calls[i].community, std::string("wendolmar"));
        }
        QCOMPARE(calls[2].oid, kActivation);
        QCOMPARE(calls[2].peer, std::string("127.0.0.5"));
        QCOMPARE(calls[2].version, 1);
        QCOMPARE(calls[3].oid, kTrapPort);
        QCOMPARE(calls[4].command, SnmpCommand::Set);
        QCOMPARE(calls[4].oid, kTrapPort);
        QCOMPARE(calls[4].value.integer, int64_t(4665));
        QCOMPARE(calls[5].oid, E("10.1.2.5.0"));  // the refresh begins
        // Nothing monitored: the window opens.
        QVERIFY(c.Window()->isVisible());
        QCOMPARE(int(c.Window()->CurrentTraySlot()), int(TraySlot::Offline));
    }

    // With a password set the start-up probe fails: locked, no session; three wrong passwords close the
    // dialog; the right one logs in with it. (The engine runs on this host: its port is held.)
    void lockedConsoleAndThreeWrongPasswords()
    {
        Console c;
        vgtest::BusyPort enginePort(SOCK_DGRAM);
        c.engine.Populate({}, {});
        c.engine.AcceptCommunity("secret");
        QCOMPARE(c.Start({"-noservice", QString("-p=%1").arg(enginePort.Port())}), CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY(c.Window() != nullptr);
        QVERIFY(!c.app->LoggedIn());
        QCOMPARE(int(c.Window()->CurrentTraySlot()), int(TraySlot::Locked));
        QCOMPARE(c.Window()->TrayToolTip(), QString("Locked"));
        QCOMPARE(c.engine.Count(SnmpCommand::Get, kActivation), size_t(0));
        // No tray here: the locked window is shown with its Log In button.
        QVERIFY(c.Window()->isVisible());
        QVERIFY(c.Find<QPushButton>("loginButton")->isVisible());

        c.Window()->OpenAction()->trigger();
        QTRY_VERIFY(c.app->LoginDialog() != nullptr);
        QPointer<CDlgAgentLogin> dialog = c.app->LoginDialog();
        for (int attempt = 1; attempt <= 3; ++attempt) {
            QTRY_VERIFY(LoginReady(*c.app));
            TypePassword(*c.app, QString("wrong%1").arg(attempt));
            if (attempt < 3) {
                QTRY_COMPARE(dialog->AttemptsLeft(), 3 - attempt);
                QCOMPARE(dialog->findChild<QLabel*>("statusLabel")->text(), QString(CDlgAgentLogin::kRefused));
                QVERIFY(dialog->findChild<QLineEdit*>("passwordEdit")->text().isEmpty());
                QVERIFY(!dialog->findChild<QPushButton*>("okButton")->isEnabled());
            }
        }
        QTRY_VERIFY(dialog.isNull());
        QVERIFY(!c.app->LoggedIn());
        QCOMPARE(c.engine.Count(SnmpCommand::Get, kActivation), size_t(0));
        size_t probes = 0;
        for (const FakeCall& call : c.engine.Calls())
            if (call.oid == kIpAddress && call.community.rfind("wrong", 0) == 0)
                ++probes;
        QCOMPARE(probes, size_t(3));

        c.Window()->OpenAction()->trigger();
        QTRY_VERIFY(LoginReady(*c.app));
        TypePassword(*c.app, "secret");
        QTRY_VERIFY(c.app->LoggedIn());
        QCOMPARE(c.app->RequestCommunity(), QString("secret"));
        QTRY_COMPARE(c.engine.Count(SnmpCommand::Get, kActivation), size_t(1));
        QTRY_VERIFY(c.Window()->RefreshCount() >= 1);
        QVERIFY(!c.Find<QPushButton>("loginButton")->isVisible());
        QVERIFY(c.Find<QCheckBox>("requirePasswordCheck")->isChecked());
        for (const FakeCall& call : c.engine.Calls())
            if (call.oid == kActivation)
                QCOMPARE(call.community, std::string("secret"));
    }

    // A probe without an answer says what it can tell: a refusal by an engine that runs on this host (its
    // port is held), an engine that does not run here (no attempt used: nothing was refused), or, for an
    // engine on another host, that it may be either.
    void loginSaysWhyItFailed_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("engineRuns");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("attemptsLeft");
        QTest::newRow("refused here") << "127.0.0.1" << true << CDlgAgentLogin::kRefused << 2;
        QTest::newRow("not running here") << "127.0.0.1" << false << CDlgAgentLogin::kEngineNotRunning << 3;
        QTest::newRow("another host") << "192.0.2.7" << false << CDlgAgentLogin::kNoAnswer << 2;
    }
    void loginSaysWhyItFailed()
    {
        QFETCH(QString, address);
        QFETCH(bool, engineRuns);
        QFETCH(QString, text);
        QFETCH(int, attemptsLeft);
        Console c;
        std::optional<vgtest::BusyPort> enginePort;
        if (engineRuns)
            enginePort.emplace(SOCK_DGRAM);
        const int port = engineRuns ? enginePort->Port() : vgtest::FreeUdpPort();
        c.engine.Populate({}, {});
        c.engine.AcceptCommunity("secret");
        QCOMPARE(c.Start({"-noservice", "-a" + address, QString("-p=%1").arg(port)}),
                 CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY(c.Window() != nullptr);
        c.Window()->OpenAction()->trigger();
        QTRY_VERIFY(LoginReady(*c.app));
        TypePassword(*c.app, "wrong");
        QTRY_VERIFY(LoginReady(*c.app));
        QCOMPARE(c.app->LoginDialog()->findChild<QLabel*>("statusLabel")->text(), text);
        QCOMPARE(c.app->LoginDialog()->AttemptsLeft(), attemptsLeft);
    }

    // "-a" with a blank before the address: the start-up probe and the login probe both go to that address
    // (the login with the typed password), never to the host's addresses.
    void givenAddressIsProbedWithTheTypedPassword()
    {
        Console c;
        c.engine.Populate({}, {});
        c.engine.AcceptCommunity("secret");
        QCOMPARE(c.Start({"-noservice", "-a", "127.0.0.9", "--nocenter"}), CHaltwatchApp::StartResult::Running);
        QVERIFY(c.app->Options().noCenter);
        QTRY_VERIFY(c.Window() != nullptr);
        QVERIFY(!c.app->LoggedIn());
        std::vector<FakeCall> calls = c.engine.Calls();
        QCOMPARE(calls.size(), size_t(1));
        QCOMPARE(calls[0].oid, kDeviceCount);
        QCOMPARE(calls[0].peer, std::string("127.0.0.9"));
        QCOMPARE(calls[0].version, 0);
        QCOMPARE(calls[0].port, uint16_t(3664));

        c.Window()->OpenAction()->trigger();
        QTRY_VERIFY(LoginReady(*c.app));
        TypePassword(*c.app, "secret");
        QTRY_VERIFY(c.app->LoggedIn());
        calls = c.engine.Calls();
        QCOMPARE(calls[1].oid, kDeviceCount);
        QCOMPARE(calls[1].peer, std::string("127.0.0.9"));
        QCOMPARE(calls[1].community, std::string("secret"));
        QCOMPARE(c.app->EngineAddress(), QString("127.0.0.9"));
        for (const FakeCall& call : c.engine.Calls())
            QCOMPARE(call.peer, std::string("127.0.0.9"));
    }

    void argumentsParse_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("errors");
        QTest::newRow("joined") << QStringList{"-a10.0.0.7", "--nocenter"} << "10.0.0.7" << 0;
        QTest::newRow("blank") << QStringList{"-a", "10.0.0.7"} << "10.0.0.7" << 0;
        QTest::newRow("blanks") << QStringList{"-a", " ", "10.0.0.7"} << "10.0.0.7" << 0;
        QTest::newRow("missing") << QStringList{"-a"} << "" << 1;
        QTest::newRow("too long") << QStringList{"-a" + QString(40, '1')} << QString(31, '1') << 0;
        QTest::newRow("bad port") << QStringList{"-p=70000"} << "" << 1;
    }
    void argumentsParse()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, address);
        QFETCH(int, errors);
        ConsoleOptions o = ConsoleOptions::Parse(args);
        QCOMPARE(o.engineAddress, address);
        QCOMPARE(o.haveAddress, !address.isEmpty());
        QCOMPARE(int(o.errors.size()), errors);
    }

    // The keep-alive repeats at its interval (spacing measured where the requests are made); an engine that
    // comes back with another trap port for this console (a restart that lost it), which nothing on this
    // host holds, is told the console's port again, once.
    void keepAliveRepeatsAndReRegisters()
    {
        Console c;
        c.keepAliveMs = 100;
        c.engine.Populate({}, {});
        QCOMPARE(c.Start({"-noservice"}), CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY(c.engine.Count(SnmpCommand::Get, kActivation) >= 5);
        std::vector<std::chrono::steady_clock::time_point> times;
        for (const FakeCall& call : c.engine.Calls())
            if (call.oid == kActivation)
                times.push_back(call.at);
        for (size_t i = 1; i < times.size(); ++i)
            QVERIFY(times[i] - times[i - 1] >= std::chrono::milliseconds(95));
        QCOMPARE(c.engine.Count(SnmpCommand::Set, kTrapPort), size_t(1));

        c.engine.SetDead(true);
        const size_t before = c.engine.Count(SnmpCommand::Get, kActivation);
        QTRY_VERIFY(c.engine.Count(SnmpCommand::Get, kActivation) >= before + 1);
        c.engine.SetInt(kTrapPort, vgtest::FreeUdpPort());
        c.engine.SetDead(false);
        QTRY_COMPARE(c.engine.Count(SnmpCommand::Set, kTrapPort), size_t(2));
        QCOMPARE(int(c.engine.Value(kTrapPort).integer), 3665);
        // Three more keep-alive rounds that succeed: none sets the port again (only after a failure).
        const size_t answered = c.engine.Count(SnmpCommand::Get, kActivation);
        QTRY_VERIFY(c.engine.Count(SnmpCommand::Get, kActivation) >= answered + 3);
        QCOMPARE(c.engine.Count(SnmpCommand::Set, kTrapPort), size_t(2));
    }

    void secondStartHandsOverToTheFirst()
    {
        Console first;
        first.engine.Populate({}, {});
        QCOMPARE(first.Start({"-noservice"}), CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY(first.Window() && first.Window()->RefreshCount() == 1);
        first.Window()->hide();

        Console second;
        second.instance = first.instance;
        QCOMPARE(second.Start({"-noservice"}), CHaltwatchApp::StartResult::HandedOver);
        QVERIFY(second.engine.Calls().empty());
        QTRY_VERIFY(first.Window()->isVisible());
        QTRY_COMPARE(first.Window()->RefreshCount(), 2);
    }

    // Notifications from the engine reach the window: a device status of 1 turns the tray critical
    // whatever the other UPS reports; a location change shows; another enterprise's trap changes nothing.
    void notificationsUpdateStatusAndLocation()
    {
        Console c;
        c.engine.Populate({{"UPS A", "Hall", 1, 5, {{"On Battery", 8}}}, {"UPS B", "Cellar", 2, 0, {}}},
                          {{"10.0.0.1", "public"}, {"10.0.0.2", "private"}});
        QCOMPARE(c.Start({"-noservice"}), CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY(c.Window() && c.Window()->RefreshCount() == 1);
        CHaltwatchDlg* w = c.Window();
        QCOMPARE(int(w->CurrentTraySlot()), int(TraySlot::Offline));
        QCOMPARE(c.Find<QLineEdit>("ups1Status")->text(), QString("Offline"));
        QCOMPARE(c.Find<QLineEdit>("ups2Community")->text(), QString("private"));
        QCOMPARE(c.Find<QLineEdit>("ups1Address4")->text(), QString("1"));
        QCOMPARE(c.Find<QTreeWidget>("eventList")->topLevelItemCount(), 1);
        QCOMPARE(c.Find<QTreeWidget>("eventList")->topLevelItem(0)->text(1), QString("X"));
        QVERIFY(w->isVisible());  // no tray: reachable even with UPS monitored
        QVERIFY(c.Find<QPushButton>("exitButton")->isVisible());

        auto trap = [](int specific, const std::string& oid, const std::string& value) {
            TrapRecord r;
            r.trapOid = E("0." + std::to_string(specific));
            r.specific = specific;
            TrapVarbindRecord vb;
            vb.oid = MakeOid(oid.c_str());
            vb.oidLength = vb.oid.size();
            vb.value = value;
            r.varbinds.push_back(vb);
            return r;
        };
        QSignalSpy handled(w, &CHaltwatchDlg::trapHandled);
        QVERIFY(w->Queue().IsRunning());
        QVERIFY(w->QueueTrap(trap(1001, E("10.2.2.1.25.2"), "1")));
        QTRY_COMPARE(int(w->CurrentTraySlot()), int(TraySlot::Critical));
        QCOMPARE(w->TrayToolTip(), QString("Critical"));
        QCOMPARE(c.Find<QLineEdit>("ups2Status")->text(), QString("Critical"));
        QVERIFY(w->QueueTrap(trap(1001, E("10.2.2.1.12.1"), "Roof")));
        QTRY_COMPARE(c.Find<QLineEdit>("ups1Location")->text(), QString("Roof"));
        TrapRecord foreign = trap(1001, E("10.2.2.1.25.2"), "0");
        foreign.trapOid = "1.3.6.1.4.1.9.0.1001";
        QVERIFY(w->QueueTrap(foreign));
        QVERIFY(w->QueueTrap(trap(1002, E("10.1.2.6.0"), "")));  // list changed: a refresh
        QTRY_COMPARE(w->RefreshCount(), 2);
        QCOMPARE(handled.count(), 3);
    }

    // While the engine checks a password (up to about 8 s when it is wrong) the dialog says so and the
    // edit keeps the focus: another Enter neither cancels the login nor probes twice.
    void loginKeepsTheFocusWhileChecking()
    {
        int probes = 0;
        std::function<void(bool)> answer;
        CDlgAgentLogin dialog([&](const QString&, std::function<void(bool)> done) {
            ++probes;
            answer = std::move(done);
        });
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(dialog.windowTitle(), QString(CDlgAgentLogin::kTitle));
        auto* edit = dialog.findChild<QLineEdit*>("passwordEdit");
        auto* status = dialog.findChild<QLabel*>("statusLabel");
        QVERIFY(edit && status);
        edit->setFocus();
        QTest::keyClicks(edit, "wrong");
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(probes, 1);
        QVERIFY(dialog.Probing());
        QCOMPARE(QApplication::focusWidget(), edit);
        QCOMPARE(status->text(), QString(CDlgAgentLogin::kChecking));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTest::keyClicks(edit, "x");
        QVERIFY(dialog.isVisible());
        QCOMPARE(probes, 1);
        QCOMPARE(edit->text(), QString("wrong"));

        answer(false);
        QVERIFY(dialog.isVisible());
        QVERIFY(edit->text().isEmpty());
        QCOMPARE(dialog.AttemptsLeft(), 2);
        QCOMPARE(status->text(), QString(CDlgAgentLogin::kRefused));
        QCOMPARE(QApplication::focusWidget(), edit);
        QTest::keyClicks(edit, "right");
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(probes, 2);
        answer(true);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.Password(), QString("right"));
    }

    void busyEngineRefusesDiscovery()
    {
        Console c;
        c.engine.Populate({}, {});
        c.engine.SetInt(E("10.1.2.17.0"), 1);
        QCOMPARE(c.Start({"-noservice"}), CHaltwatchApp::StartResult::Running);
        QTRY_VERIFY(c.Window() && c.Window()->RefreshCount() == 1);
        QSignalSpy discovery(c.Window(), &CHaltwatchDlg::discoveryRequested);
        c.Find<QPushButton>("discoverButton")->click();
        QTRY_COMPARE(c.messages.texts.size(), 1);
        QCOMPARE(c.messages.texts[0], QString("Please retry discovery, Engine is currently busy."));
        c.engine.SetInt(E("10.1.2.17.0"), 0);
        c.Find<QPushButton>("discoverButton")->click();
        QTRY_COMPARE(discovery.count(), 1);
    }
};

QTEST_MAIN(ConsoleAppTest)
#include "ConsoleAppTest.moc"
