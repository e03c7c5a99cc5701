// The main window following the engine and editing it, against the scripted engine under the offscreen
// platform: the shutdown alert and its re-show schedule, a lost final countdown notice, a discovery through
// the window (its notices, the probe of a found agent, the rows written), the question before a discovery,
// Save with the event reactions, the operating mode, the shutdown type and the password, an engine that
// stops answering, and the window's texts when it is made as small as it goes. The discovery dialogs' own
// behaviour is tested without the window in ConsoleDiscoveryTest.
#include <QtTest>

#include <QCheckBox>
#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <unistd.h>

#include <optional>

#include "FakeEngine.h"
#include "RecordingMessages.h"
#include "tests/support/Ports.h"
#include "console/CDlgAgentLogin.h"
#include "console/CHaltwatchApp.h"
#include "console/DiscoveryDialogs.h"
#include "console/DiscoveryProber.h"
#include "console/EngineWorker.h"
#include "console/ShutdownNotification.h"

using namespace consoletest;

namespace {

const std::string kCountdown = E("10.5.1.0");

struct Console {
    FakeEngine engine;
    RecordingMessages messages;
    int silenceMs = 60000;
    int keepAliveMs = 10000;
    QStringList arguments;  // after -noservice and -a127.0.0.1
    std::unique_ptr<CHaltwatchApp> app;

    CHaltwatchDlg* Start()
    {
        static int n = 0;
        ConsoleEnvironment env;
        env.transport = &engine;
        env.messages = &messages;
        env.instanceName = QString("haltwatch-window-test-%1-%2").arg(getpid()).arg(++n);
        env.useSystemTray = false;
        env.countdownSilenceMs = silenceMs;
        env.keepAliveMs = keepAliveMs;
        app = std::make_unique<CHaltwatchApp>(env, ConsoleOptions::Parse(QStringList{"-noservice", "-a127.0.0.1"} + arguments));
        if (app->Start() != CHaltwatchApp::StartResult::Running)
            return nullptr;
        if (!QTest::qWaitFor([&] { return app->Window() && app->Window()->RefreshCount() >= 1; }, 5000))
            return nullptr;
        return app->Window();
    }
    template <class T>
    T* Find(const char* name)
    {
        return app->Window()->findChild<T*>(name);
    }
};

TrapVarbindRecord Varbind(const std::string& oid, const std::string& value)
{
    TrapVarbindRecord vb;
    vb.oid = MakeOid(oid.c_str());
    vb.oidLength = vb.oid.size();
    vb.value = value;
    return vb;
}

TrapRecord Notice(int specific, const std::vector<TrapVarbindRecord>& varbinds, const std::string& sender = "127.0.0.1")
{
    TrapRecord r;
    r.sender = sender;
    r.trapOid = E("0." + std::to_string(specific));
    r.specific = specific;
    r.varbinds = varbinds;
    r.varbinds.push_back(Varbind(E("10.1.2.6.0"), "00.00.00.00.00.00"));
    return r;
}

TrapRecord Countdown(int secs)
{
    return Notice(1001, {Varbind(kCountdown, std::to_string(secs))});
}

// A discovery notice: status, count, scanned, found, queued, added, and a found agent when address is set.
TrapRecord Progress(int status, int count, int scanned, const std::string& address = "", int found = 0,
                    const std::string& sender = "127.0.0.1")
{
    std::vector<TrapVarbindRecord> vbs;
    const int values[] = {status, count, scanned, found, 0, 0};
    for (int i = 0; i < 6; ++i)
        vbs.push_back(Varbind(E("10.1.11." + std::to_string(6 + i) + ".0"), std::to_string(values[i])));
    if (!address.empty()) {
        vbs.push_back(Varbind(E("10.1.11.12.0"), address));
        vbs.push_back(Varbind(E("10.1.11.13.0"), "public"));
        vbs.push_back(Varbind(E("10.1.11.14.0"), "3664"));
        vbs.push_back(Varbind(E("10.1.11.15.0"), "0"));
    }
    return Notice(1007, vbs, sender);
}

// Hands a record to the window through its queue and waits until it was handled.
bool Deliver(CHaltwatchDlg* w, const TrapRecord& record)
{
    QSignalSpy handled(w, &CHaltwatchDlg::trapHandled);
    return w->QueueTrap(record) && handled.wait(5000);
}

const std::vector<FakeEngine::Device> kTwoUps = {
    {"Smart-UPS", "Hall", 1, 0, {{"On Battery", 0, 585}, {"Low Battery", 8, 120}, {"Overload", 0}}},
    {"Back-UPS", "Cellar", 2, 0, {{"On Battery", 0, 60}, {"Low Battery", 0, 60}}}};

}  // namespace

class ConsoleWindowTest : public QObject {
    Q_OBJECT

private slots:
    // Notices every 5 seconds; the user closes the alert each time it shows.
    void countdownTextAndReshowSchedule_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QList<int>>("shown");
        QTest::addColumn<QString>("lastText");
        QTest::newRow("an hour and more") << 3725 << 3400 << QList<int>{3725, 3425}
                                          << "Shutdown will occur in 56 minute(s), 40 second(s)";
        QTest::newRow("eleven minutes") << 665 << 600 << QList<int>{665, 605}
                                        << "Shutdown will occur in 10 minute(s), 0 second(s)";
        QTest::newRow("last two minutes") << 65 << 45 << QList<int>{65, 60, 55, 50, 45}
                                          << "Shutdown will occur in 45 second(s)";
        QTest::newRow("hours") << 7265 << 7255 << QList<int>{7265}
                               << "Shutdown will occur in 2 hour(s), 0 minute(s), 55 second(s)";
    }
    void countdownTextAndReshowSchedule()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QList<int>, shown);
        QFETCH(QString, lastText);
        Console c;
        c.engine.Populate(kTwoUps, {{"10.0.0.1"}, {"10.0.0.2"}});
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        ShutdownNotification& alert = w->Alert();
        QVERIFY(alert.windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(!alert.parentWidget());
        QList<int> seen;
        for (int secs = from; secs >= to; secs -= 5) {
            QVERIFY(Deliver(w, Countdown(secs)));
            if (alert.isVisible()) {
                seen << secs;
                alert.OkButton()->click();
            }
        }
        QCOMPARE(seen, shown);
        QCOMPARE(alert.Text(), lastText);
        QCOMPARE(w->windowTitle(), "Vigilon Shutdown Console [" + lastText + "]");

        // An open alert stays open; the end of the countdown hides it and restores the title.
        QVERIFY(Deliver(w, Countdown(30)));
        QVERIFY(alert.isVisible());
        QVERIFY(Deliver(w, Countdown(25)));
        QVERIFY(alert.isVisible());
        QVERIFY(Deliver(w, Countdown(0)));
        QVERIFY(!alert.isVisible());
        QCOMPARE(w->windowTitle(), QString("Vigilon Shutdown Console"));
        QCOMPARE(w->LastShownCountdown(), 0u);
        // After the end, the next countdown shows at once.
        QVERIFY(Deliver(w, Countdown(3000)));
        QVERIFY(alert.isVisible());
    }

    // The engine's final notice is lost: when notices stop, the console reads the countdown itself.
    void lostFinalNoticeIsRecovered()
    {
        Console c;
        c.silenceMs = 300;
        c.engine.Populate(kTwoUps, {{"10.0.0.1"}, {"10.0.0.2"}});
        c.engine.SetInt(kCountdown, 20);
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        QVERIFY(Deliver(w, Countdown(20)));
        QVERIFY(w->Alert().isVisible());
        // Still counting on the engine: the alert stays and the engine is asked again.
        QTRY_VERIFY(c.engine.Count(SnmpCommand::Get, kCountdown) >= 2);
        QVERIFY(w->Alert().isVisible());
        c.engine.SetInt(kCountdown, 0);
        QTRY_VERIFY(!w->Alert().isVisible());
        QCOMPARE(w->windowTitle(), QString("Vigilon Shutdown Console"));
    }

    // The notices go to another console of this host (the engine keeps one trap port per address): the
    // status poll still opens the alert from the countdown it reads and shows a status that changed, the
    // window and the tray say who gets the notices, and the console does not take them while that console
    // holds its port. Once the port is free the console writes its own back; a countdown that ended
    // without its notice closes the alert.
    void pollCoversNoticesThatGoElsewhere()
    {
        Console c;
        c.keepAliveMs = 50;
        c.engine.Populate(kTwoUps, {{"10.0.0.1"}, {"10.0.0.2"}});
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        const std::string trapPort = E("11.3.2.2.0");
        QCOMPARE(c.engine.Count(SnmpCommand::Set, trapPort), size_t(1));
        std::optional<vgtest::BusyPort> other(std::in_place, SOCK_DGRAM);
        const int otherPort = other->Port();
        c.engine.SetInt(trapPort, otherPort);
        QTRY_VERIFY(w->OtherConsoleReceives());
        QVERIFY(c.Find<QLabel>("otherConsoleNote")->isVisible());
        QCOMPARE(w->TrayToolTip(), QString("Normal\n%1").arg(CHaltwatchDlg::kOtherConsole));

        c.engine.SetInt(kCountdown, 90);
        c.engine.SetInt(E("10.2.2.1.25.2"), 1);
        QTRY_VERIFY(w->Alert().isVisible());
        QCOMPARE(w->Alert().Text(), QString("Shutdown will occur in 1 minute(s), 30 second(s)"));
        QTRY_COMPARE(c.Find<QLineEdit>("ups2Status")->text(), QString("Critical"));
        QCOMPARE(int(w->CurrentTraySlot()), int(TraySlot::Critical));
        // Several polls later the other console's registration still stands.
        const size_t polls = c.engine.Count(SnmpCommand::Get, trapPort);
        QTRY_VERIFY(c.engine.Count(SnmpCommand::Get, trapPort) >= polls + 3);
        QCOMPARE(c.engine.Count(SnmpCommand::Set, trapPort), size_t(1));
        QCOMPARE(int(c.engine.Value(trapPort).integer), otherPort);

        other.reset();
        QTRY_COMPARE(int(c.engine.Value(trapPort).integer), 3665);
        QTRY_VERIFY(!w->OtherConsoleReceives());
        QVERIFY(!c.Find<QLabel>("otherConsoleNote")->isVisible());
        QCOMPARE(w->TrayToolTip(), QString("Critical"));

        c.engine.SetInt(kCountdown, 0);
        QTRY_VERIFY(!w->Alert().isVisible());
        QCOMPARE(w->windowTitle(), QString(CHaltwatchDlg::kTitle));
    }

    // A poll that read the countdown before a notice ended it brings nothing back: the alert stays closed.
    void pollOlderThanANoticeIsIgnored()
    {
        Console c;
        c.keepAliveMs = 50;
        c.engine.Populate(kTwoUps, {{"10.0.0.1"}, {"10.0.0.2"}});
        c.engine.SetInt(kCountdown, 30);
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        QVERIFY(Deliver(w, Countdown(30)));
        c.engine.HoldRequests(kCountdown);
        // Whatever the outcome, the held reads end with the test (the worker waits on them).
        struct Release {
            FakeEngine& engine;
            ~Release() { engine.ReleaseAll(); }
        } release{c.engine};
        QTRY_VERIFY(c.engine.HeldCount() >= 1);  // a poll's read has begun
        QVERIFY(Deliver(w, Countdown(0)));
        QVERIFY(!w->Alert().isVisible());
        c.engine.ReleaseOne();                   // it reads 30, older than the notice
        QTRY_VERIFY(c.engine.HeldCount() >= 2);  // handled: the next poll reads
        QVERIFY(!w->Alert().isVisible());
        QCOMPARE(w->windowTitle(), QString(CHaltwatchDlg::kTitle));
    }

    // The engine dies during a countdown: the alert stops showing the last number as if it were known and
    // says when the engine was last heard; the engine that answers again gives the countdown back.
    void deadEngineCountdownIsNotShownAsKnown()
    {
        Console c;
        c.keepAliveMs = 50;
        c.engine.Populate(kTwoUps, {{"10.0.0.1"}, {"10.0.0.2"}});
        c.engine.SetInt(kCountdown, 55);
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        // The polls move "last heard" on until the engine dies: it lies between these two times.
        const QString heardFrom = QTime::currentTime().toString("HH:mm");
        QVERIFY(Deliver(w, Countdown(55)));
        QCOMPARE(w->Alert().Text(), QString("Shutdown will occur in 55 second(s)"));

        c.engine.SetDead(true);
        QTRY_VERIFY(w->CountdownStale());
        const QString heardBy = QTime::currentTime().toString("HH:mm");
        const QString stale = w->Alert().Text();
        QVERIFY2(stale.startsWith("The engine does not answer"), qPrintable(stale));
        QVERIFY2(stale.contains("Shutdown will occur in 55 second(s)"), qPrintable(stale));
        // The time it was last heard (the minute may have turned meanwhile).
        QVERIFY2(stale.contains("Last heard at " + heardFrom) || stale.contains("Last heard at " + heardBy),
                 qPrintable(stale));
        QCOMPARE(w->windowTitle(), QString("%1 [%2]").arg(CHaltwatchDlg::kTitle, CHaltwatchDlg::kUnreachable));
        QVERIFY(w->Alert().isVisible());

        c.engine.SetInt(kCountdown, 40);
        c.engine.SetDead(false);
        QTRY_COMPARE(w->Alert().Text(), QString("Shutdown will occur in 40 second(s)"));
        QVERIFY(!w->CountdownStale());
        QTRY_VERIFY(w->EngineReachable());
    }

    // Edits that Save could not write stay through the reconnect's refresh (laid over the engine's new
    // values, marked as not saved), Exit asks before dropping them, and a Save that reaches the engine
    // writes them and clears the mark.
    void unsavedEditsSurviveAReconnect()
    {
        Console c;
        c.keepAliveMs = 50;
        c.engine.Populate(kTwoUps, {{"10.0.0.1"}, {"10.0.0.2"}});
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        auto* list = c.Find<QTreeWidget>("eventList");
        auto* note = c.Find<QLabel>("unsavedNote");
        auto* save = c.Find<QPushButton>("saveButton");
        QVERIFY(!note->isVisible());
        list->setCurrentItem(list->topLevelItem(0));  // "On Battery", on both UPS
        c.Find<QCheckBox>("shutdownCheck")->click();
        c.Find<QRadioButton>("hibernateRadio")->click();
        QVERIFY(note->isVisible());

        c.engine.SetDead(true);
        QTRY_VERIFY(!w->EngineReachable());
        QSignalSpy saved(w, &CHaltwatchDlg::saved);
        save->click();
        QTRY_COMPARE(saved.count(), 1);
        // Meanwhile the engine changed something else.
        c.engine.SetText(E("10.2.2.1.12.1"), "Basement");
        const int refreshes = w->RefreshCount();
        c.engine.SetDead(false);
        QTRY_VERIFY(w->RefreshCount() > refreshes && w->EngineReachable());
        QCOMPARE(c.Find<QLineEdit>("ups1Location")->text(), QString("Basement"));
        QCOMPARE(list->topLevelItem(0)->text(1), QString("X"));
        QVERIFY(c.Find<QRadioButton>("hibernateRadio")->isChecked());
        QVERIFY(note->isVisible());
        QVERIFY(save->isEnabled());
        QCOMPARE(int(c.engine.Value(E("10.2.3.2.1.7.1.1")).integer), 0);

        QSignalSpy ended(w, &CHaltwatchDlg::exitRequested);
        c.messages.answer = false;
        c.messages.texts.clear();
        w->OnExit();
        QCOMPARE(c.messages.texts, QStringList{CHaltwatchDlg::kUnsavedExitQuestion});
        QCOMPARE(ended.count(), 0);

        c.engine.ClearCalls();
        save->click();
        QTRY_COMPARE(saved.count(), 2);
        const QStringList sets = c.engine.Sets();
        for (const char* written : {"10.2.3.2.1.7.1.1=8", "10.2.3.2.1.7.2.1=8", "10.1.4.2.0=1"})
            QVERIFY2(sets.contains(written), qPrintable(sets.join(' ')));
        QTRY_VERIFY(!note->isVisible());
        c.messages.texts.clear();
        w->OnExit();
        QVERIFY(c.messages.texts.isEmpty());
        QCOMPARE(ended.count(), 1);
    }

    // An edit made while a Save runs that then fails is the newest: the failed Save lays its own edits back
    // only into the columns not edited since (here the shutdown flag is, the command flag is not).
    void editDuringAFailingSaveIsKept()
    {
        Console c;
        c.engine.Populate(kTwoUps, {{"10.0.0.1"}, {"10.0.0.2"}});
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        auto* list = c.Find<QTreeWidget>("eventList");
        auto* shutdown = c.Find<QCheckBox>("shutdownCheck");
        list->setCurrentItem(list->topLevelItem(0));  // "On Battery", on both UPS
        shutdown->click();
        c.Find<QCheckBox>("commandCheck")->click();
        QCOMPARE(list->topLevelItem(0)->text(1), QString("X"));
        QCOMPARE(list->topLevelItem(0)->text(2), QString("X"));

        // The first event write waits, then gets no answer.
        const std::string actions = E("10.2.3.2.1.7.1.1");
        c.engine.HoldRequests(actions);
        c.engine.TimeOut(actions);
        struct Release {
            FakeEngine& engine;
            ~Release() { engine.ReleaseAll(); }
        } release{c.engine};
        QSignalSpy saved(w, &CHaltwatchDlg::saved);
        c.Find<QPushButton>("saveButton")->click();
        QTRY_VERIFY(c.engine.HeldCount() >= 1);
        shutdown->click();  // off again while the write waits
        QCOMPARE(list->topLevelItem(0)->text(1), QString(""));
        c.engine.ReleaseAll();
        QTRY_COMPARE(saved.count(), 1);

        QVERIFY(!shutdown->isChecked());
        QVERIFY(c.Find<QLabel>("unsavedNote")->isVisible());
        // What the next Save writes: the row's event on each UPS keeps the shutdown off and the command on.
        for (int device : {1, 2}) {
            const EventEntry* e = w->Model().FindDevice(device)->FindEvent(1);
            QCOMPARE(e->Actions(), int(EventEntry::kActionCommand));
            QCOMPARE(e->Dirty(), EventEntry::kDirtyShutdownFlag | EventEntry::kDirtyCommandFlag);
        }
    }

    // A password set on the engine (on this host, its port held) while the console runs: the window says
    // so instead of only "unreachable" and offers the login, which takes the session on with the new one.
    void newPasswordOnTheEngineOffersTheLogin()
    {
        Console c;
        std::optional<vgtest::BusyPort> enginePort{std::in_place, SOCK_DGRAM};
        const int port = enginePort->Port();
        c.keepAliveMs = 50;
        c.arguments = {QString("-p=%1").arg(port)};
        c.engine.Populate(kTwoUps, {{"10.0.0.1"}, {"10.0.0.2"}});
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        auto* login = c.Find<QPushButton>("loginButton");
        auto* note = c.Find<QLabel>("unreachableNote");
        QVERIFY(!login->isVisible());
        c.engine.AcceptCommunity("fresh");
        QTRY_VERIFY(!w->EngineReachable());
        QCOMPARE(note->text(), QString(CHaltwatchDlg::kPasswordNotAccepted));
        QVERIFY(login->isVisible());

        // The engine stops (nothing holds its port) and comes back with that password while the console
        // still cannot reach it: the note follows, though the engine was never answered meanwhile.
        c.engine.SetDead(true);
        enginePort.reset();
        QTRY_COMPARE(note->text(), QString(CHaltwatchDlg::kUnreachableNote));
        enginePort.emplace(SOCK_DGRAM, port);
        QVERIFY(enginePort->Held());
        c.engine.SetDead(false);
        QTRY_COMPARE(note->text(), QString(CHaltwatchDlg::kPasswordNotAccepted));
        QVERIFY(!w->EngineReachable());
        login->click();
        QTRY_VERIFY(c.app->LoginDialog());
        auto* edit = c.app->LoginDialog()->findChild<QLineEdit*>("passwordEdit");
        edit->setText("fresh");
        c.app->LoginDialog()->findChild<QPushButton*>("okButton")->click();
        QTRY_VERIFY(w->EngineReachable());
        QCOMPARE(c.app->RequestCommunity(), QString("fresh"));
        QVERIFY(!login->isVisible());
    }

    // The progress dialog sends the ranges, takes the engine's notices while it is open (and only the
    // engine's), probes each agent found, and writes the chosen devices as one row when they share an agent.
    void discoveryWritesAndMergesRows()
    {
        Console c;
        c.engine.Populate({{"Smart-UPS", "Hall", 1, 0, {{"On Battery", 8}}}}, {});
        // The agent found is an engine with two devices.
        c.engine.SetText(E("10.1.2.3.0"), "12.05.0000");
        c.engine.SetInt(E("10.1.2.2.0"), 1);
        c.engine.SetInt(E("10.2.1.0"), 2);
        c.engine.SetText(E("10.2.2.1.9.2"), "Back-UPS RS 1500 with a longer model name");
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        w->OnDiscoverAgents();  // (its button is off with two UPS monitored)
        QTRY_VERIFY(w->DiscoveryDialog() && w->DiscoveryDialog()->isVisible());
        CAgentDiscovery* input = w->DiscoveryDialog();
        auto* octet4 = input->findChild<QLineEdit*>("octet4");
        QCOMPARE(input->findChild<QLineEdit*>("octet1")->text(), QString("127"));
        octet4->setText("*");
        input->findChild<QLineEdit*>("octet1")->setText("192");
        input->findChild<QLineEdit*>("octet2")->setText("168");
        input->findChild<QLineEdit*>("octet3")->setText("1");
        input->OnAddAddress();
        input->findChild<QLineEdit*>("octet1")->setText("10");
        input->findChild<QLineEdit*>("octet2")->setText("0");
        input->findChild<QLineEdit*>("octet3")->setText("0");
        octet4->setText("5");
        input->OnAddAddress();
        QCOMPARE(input->Addresses(), (QStringList{"192.168.1.*", "10.0.0.5"}));
        auto* ok = input->findChild<QPushButton*>("okButton");
        input->OnAddCommunity();
        QVERIFY(ok->isEnabled());
        c.engine.ClearCalls();
        ok->click();
        QTRY_VERIFY(input->Progress());
        CDiscoveryProgress* progress = input->Progress();
        QCOMPARE(w->Discovery(), progress);
        QCOMPARE(progress->Total(), 255);
        QTRY_COMPARE(c.engine.Sets(), (QStringList{"10.1.11.1.0=192.168.1.,10.0.0.5", "10.1.11.2.0=2",
                                            "10.1.11.3.0=wendolmar", "10.1.11.4.0=1"}));

        // Someone else's notice changes nothing; the engine's count replaces the total.
        QVERIFY(Deliver(w, Progress(2, 255, 200, "127.0.0.1", 1, "10.9.9.9")));
        QVERIFY(Deliver(w, Progress(2, 256, 10, "127.0.0.1", 1)));
        QTRY_COMPARE(int(progress->Results().size()), 2);
        QCOMPARE(progress->Total(), 256);
        QCOMPARE(progress->Value(), 10);
        QCOMPARE(progress->ResultList()->topLevelItem(1)->text(1),
                 QString("Back-UPS RS 1500 with a longer model name"));
        QCOMPARE(progress->ResultList()->topLevelItem(0)->text(2), QString("pc"));
        auto* progressOk = progress->findChild<QPushButton*>("okButton");
        progress->ResultList()->topLevelItem(0)->setSelected(true);
        progress->ResultList()->topLevelItem(1)->setSelected(true);
        QVERIFY(!progressOk->isEnabled());  // not before the scan is complete
        QVERIFY(Deliver(w, Progress(4, 256, 250)));
        QTRY_VERIFY(progress->Finished());
        QCOMPARE(progress->findChild<QLabel*>("percentText")->text(), QString("100%"));
        QVERIFY(progressOk->isEnabled());
        QVERIFY(c.messages.texts.isEmpty());

        c.engine.ClearCalls();
        QSignalSpy written(progress, &CDiscoveryProgress::rowsWritten);
        progressOk->click();
        QVERIFY(written.wait(5000));
        // Every event's reactions go first, then one row names both positions.
        QCOMPARE(c.engine.Sets(), (QStringList{"10.2.3.2.1.7.1.1=0", "10.6.2.1.2.1=5", "10.6.2.1.3.1=127.0.0.1",
                                        "10.6.2.1.5.1=public", "10.6.2.1.4.1=0", "10.6.2.1.6.1=3664",
                                        "10.6.2.1.7.1=3665", "10.6.2.1.12.1=513", "10.6.2.1.2.1=1"}));
        QTRY_VERIFY(!w->DiscoveryDialog());
        QVERIFY(!w->Discovery());
    }

    // The window passes the engine's notices to the progress dialog it registered, and no more once the
    // dialog has ended: a later notice is not even probed.
    void discoveryNoticesStopWhenTheDialogEnds()
    {
        Console c;
        c.engine.Populate({}, {});
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        auto* progress = new CDiscoveryProgress(w->Worker(), w->Model(), c.messages, {"10.0.0.*"}, {"public"}, w);
        w->RegisterDiscovery(progress);
        QCOMPARE(w->Discovery(), progress);
        QVERIFY(Deliver(w, Progress(6, 0, 0)));
        QTRY_VERIFY(progress->Finished());
        QCOMPARE(c.messages.texts, QStringList{"The discovery ended: none of the addresses can be scanned."});

        progress->reject();
        QVERIFY(!w->Discovery());
        delete progress;
        QVERIFY(Deliver(w, Progress(4, 1, 1, "127.0.0.1", 1)));
        QCOMPARE(c.engine.Count(SnmpCommand::Get, E("10.1.2.3.0")), 0u);  // no probe
    }

    // A network card's device table is walked to its end and no further, however many rows it claims.
    void cardWalkStopsAtTheTablesEnd()
    {
        FakeEngine card;
        card.SetText(E("10.1.2.3.0"), "20.1");
        card.Set(E("1.1.1.1.0"), SnmpValue::Gauge(1000));
        card.SetInt(E("1.2.1.1.1.0"), 2);
        for (int row : {1, 2, 3}) {
            const std::string r = "." + std::to_string(row);
            card.SetInt(E("1.1.1.2.1.1" + r), row);
            card.Set(E("1.1.1.2.1.3" + r), SnmpValue::ObjectId(MakeOid(E(row == 2 ? "1.1.3.3" : "1.1.3.1").c_str())));
            card.SetText(E("1.1.1.2.1.5" + r), "Card UPS " + std::to_string(row));
        }
        card.SetText(E("1.1.2.0"), "after the table");
        DiscoveredAgent agent{"10.0.0.9", "public", 0, "", "", 161, 0};
        const std::vector<DiscoveredAgent> found = discovery::ProbeAgent(card, agent);
        QCOMPARE(int(found.size()), 2);  // row 2 is of the skipped type
        QCOMPARE(QString::fromStdString(found[0].model), QString("Card UPS 1"));
        QCOMPARE(QString::fromStdString(found[1].model), QString("Card UPS 3"));
        QCOMPARE(QString::fromStdString(found[1].type), QString("card"));
        QCOMPARE(found[1].position, 0);
        size_t walks = 0;
        for (const FakeCall& call : card.Calls())
            walks += call.command == SnmpCommand::GetNext;
        QCOMPARE(walks, size_t(4));  // three rows, then the step that leaves the column
    }

    // Save writes exactly the dirty items, in order: security, shutdown type, operating mode, events.
    void saveWritesTheDirtyItems_data()
    {
        QTest::addColumn<QString>("edits");
        QTest::addColumn<QStringList>("sets");
        QTest::newRow("nothing") << "" << QStringList{};
        // "On Battery" is an event of both UPS: each edit reaches both.
        QTest::newRow("shutdown flag") << "shutdown" << QStringList{"10.2.3.2.1.7.1.1=8", "10.2.3.2.1.7.2.1=8"};
        QTest::newRow("delay up") << "delay" << QStringList{"10.2.3.2.1.19.1.1=600", "10.2.3.2.1.19.2.1=75"};
        QTest::newRow("command") << "command" << QStringList{"10.2.3.2.1.7.1.1=4", "10.2.3.2.1.8.1.1=/bin/true",
                                                         "10.2.3.2.1.7.2.1=4", "10.2.3.2.1.8.2.1=/bin/true"};
        QTest::newRow("hibernate") << "hibernate" << QStringList{"10.1.4.2.0=1"};
        QTest::newRow("password and events")
            << "shutdown,password" << QStringList{"10.1.2.15.0=secret", "10.2.3.2.1.7.1.1=8", "10.2.3.2.1.7.2.1=8"};
        QTest::newRow("redundant") << "redundant"
                                   << QStringList{"10.2.3.2.1.7.1.1=0", "10.2.3.2.1.7.1.2=0", "10.2.3.2.1.7.1.3=0",
                                                  "10.2.3.2.1.7.2.1=0", "10.2.3.2.1.7.2.2=0", "10.1.2.5.0=1",
                                                  "10.2.3.2.1.7.1.2=0"};
    }
    void saveWritesTheDirtyItems()
    {
        QFETCH(QString, edits);
        QFETCH(QStringList, sets);
        Console c;
        c.engine.Populate(kTwoUps, {{"10.0.0.1"}, {"10.0.0.2"}});
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        auto* list = c.Find<QTreeWidget>("eventList");
        QCOMPARE(list->topLevelItemCount(), 3);
        list->setCurrentItem(list->topLevelItem(0));
        QCOMPARE(c.Find<QLineEdit>("shutdownDelayEdit")->text(), QString("00h 09m 45s"));
        c.engine.ClearCalls();
        for (const QString& edit : edits.split(',', Qt::SkipEmptyParts)) {
            if (edit == "shutdown") {
                c.Find<QCheckBox>("shutdownCheck")->click();
                QCOMPARE(list->topLevelItem(0)->text(1), QString("X"));
            } else if (edit == "delay") {
                c.Find<QCheckBox>("shutdownCheck")->setChecked(true);  // not an edit by itself
                c.Find<QSpinBox>("shutdownDelaySpin")->stepUp();
                QCOMPARE(c.Find<QLineEdit>("shutdownDelayEdit")->text(), QString("00h 10m 00s"));
            } else if (edit == "command") {
                c.Find<QCheckBox>("commandCheck")->click();
                QTest::keyClicks(c.Find<QLineEdit>("commandAfterDelayEdit"), "/bin/true");
            } else if (edit == "hibernate") {
                c.Find<QRadioButton>("hibernateRadio")->click();
            } else if (edit == "password") {
                c.Find<QCheckBox>("requirePasswordCheck")->click();
                QTest::keyClicks(c.Find<QLineEdit>("passwordEdit"), "secret");
                QTest::keyClicks(c.Find<QLineEdit>("retypeEdit"), "secret");
            } else if (edit == "redundant") {
                c.Find<QRadioButton>("redundantRadio")->click();
                // The reactions go on the engine at once; the list keeps the events both UPS have.
                QTRY_COMPARE(c.engine.Sets().size(), 5);
                QCOMPARE(list->topLevelItemCount(), 2);
                list->setCurrentItem(list->topLevelItem(1));
                QVERIFY(!c.Find<QCheckBox>("shutdownCheck")->isChecked());
            }
        }
        auto* save = c.Find<QPushButton>("saveButton");
        QCOMPARE(save->isEnabled(), !edits.isEmpty());
        QSignalSpy saved(w, &CHaltwatchDlg::saved);
        const int refreshes = w->RefreshCount();
        w->OnSave();
        QVERIFY(saved.wait(5000));
        QCOMPARE(c.engine.Sets().join(' '), sets.join(' '));
        QTRY_VERIFY(w->RefreshCount() > refreshes);
        QVERIFY(!save->isEnabled());
        if (edits.contains("password")) {
            QCOMPARE(c.app->RequestCommunity(), QString("secret"));
            QCOMPARE(QString::fromStdString(c.engine.Calls().back().community), QString("secret"));
            QVERIFY(c.Find<QLineEdit>("passwordEdit")->text().isEmpty());
        }
    }

    // A refused password writes nothing at all, not even the other dirty items.
    void refusedPasswordWritesNothing_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("retype");
        QTest::addColumn<QString>("message");
        QTest::newRow("mismatch") << "secret" << "secreT" << "The password and it's retyped confirmation do not match.";
        QTest::newRow("empty") << "" << "" << "A password must be entered when security is enabled.";
        QTest::newRow("built-in") << "wendolmar" << "wendolmar" << "The built-in community cannot be used as a password.";
    }
    void refusedPasswordWritesNothing()
    {
        QFETCH(QString, password);
        QFETCH(QString, retype);
        QFETCH(QString, message);
        Console c;
        c.engine.Populate(kTwoUps, {{"10.0.0.1"}, {"10.0.0.2"}});
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        c.Find<QTreeWidget>("eventList")->setCurrentItem(c.Find<QTreeWidget>("eventList")->topLevelItem(0));
        c.Find<QCheckBox>("shutdownCheck")->click();
        c.Find<QRadioButton>("hibernateRadio")->click();
        c.Find<QCheckBox>("requirePasswordCheck")->click();
        QTest::keyClicks(c.Find<QLineEdit>("passwordEdit"), password);
        QTest::keyClicks(c.Find<QLineEdit>("retypeEdit"), retype);
        c.engine.ClearCalls();
        w->OnSave();
        QCOMPARE(c.messages.texts, QStringList{message});
        // Anything posted to the worker would run before this read.
        QSignalSpy refreshed(w, &CHaltwatchDlg::refreshApplied);
        w->Refresh();
        QVERIFY(refreshed.wait(5000));
        QCOMPARE(c.engine.Sets(), QStringList{});
        QCOMPARE(c.app->RequestCommunity(), QString("wendolmar"));
    }

    // Deleting a UPS clears every event's reactions, then destroys its row, or, when both UPS come from one
    // agent row, keeps the row with the other position; a busy engine is left alone.
    void deletingAUps_data()
    {
        QTest::addColumn<bool>("shared");
        QTest::addColumn<int>("slot");
        QTest::addColumn<int>("busy");
        QTest::addColumn<QStringList>("sets");
        const QStringList clear{"10.2.3.2.1.7.1.1=0", "10.2.3.2.1.7.2.1=0"};
        QTest::newRow("own row") << false << 2 << 0 << (clear + QStringList{"10.6.2.1.2.2=6"});
        QTest::newRow("shared, UPS 1") << true << 1 << 0 << (clear + QStringList{"10.6.2.1.12.1=2"});
        QTest::newRow("shared, UPS 2") << true << 2 << 0 << (clear + QStringList{"10.6.2.1.12.1=1"});
        QTest::newRow("busy") << false << 1 << 1 << QStringList{};
    }
    void deletingAUps()
    {
        QFETCH(bool, shared);
        QFETCH(int, slot);
        QFETCH(int, busy);
        QFETCH(QStringList, sets);
        Console c;
        if (shared)
            c.engine.Populate({{"UPS A", "", 1, 0, {{"On Battery", 8}}}, {"UPS B", "", 1, 0, {{"On Battery", 8}}}},
                              {{"10.0.0.1", "public", 1, 1 | (2 << 8)}});
        else
            c.engine.Populate({{"UPS A", "", 1, 0, {{"On Battery", 8}}}, {"UPS B", "", 2, 0, {{"On Battery", 8}}}},
                              {{"10.0.0.1"}, {"10.0.0.2"}});
        c.engine.SetInt(E("10.1.2.17.0"), busy);
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        QCOMPARE(w->Model().MonitoredCount(), 2);
        QCOMPARE(c.Find<QLineEdit>("ups2Model")->text(), QString("UPS B"));
        c.engine.ClearCalls();
        QSignalSpy done(w, &CHaltwatchDlg::deleteDone);
        c.Find<QPushButton>(slot == 1 ? "ups1DeleteButton" : "ups2DeleteButton")->click();
        QVERIFY(done.wait(5000));
        QCOMPARE(c.engine.Sets().join(' '), sets.join(' '));
        QCOMPARE(c.messages.texts.size(), busy ? 2 : 1);  // the question, and the refusal when busy
        if (busy)
            QCOMPARE(c.messages.texts.last(), QString("Please retry deletion, Engine is currently busy."));
    }

    // With a UPS monitored, a discovery (which resets every event's reactions when it adds a UPS) asks
    // first; No ends it before anything is written. With nothing monitored it does not ask.
    void discoveryAsksFirstWhenAUpsIsMonitored_data()
    {
        QTest::addColumn<int>("monitored");
        QTest::addColumn<bool>("answer");
        QTest::addColumn<bool>("asked");
        QTest::newRow("one UPS, No") << 1 << false << true;
        QTest::newRow("one UPS, Yes") << 1 << true << true;
        QTest::newRow("none") << 0 << false << false;
    }
    void discoveryAsksFirstWhenAUpsIsMonitored()
    {
        QFETCH(int, monitored);
        QFETCH(bool, answer);
        QFETCH(bool, asked);
        Console c;
        if (monitored)
            c.engine.Populate(kTwoUps, {{"10.0.0.1"}});
        else
            c.engine.Populate({}, {});
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        QCOMPARE(w->Model().MonitoredCount(), monitored);
        c.messages.answer = answer;
        c.engine.ClearCalls();
        QSignalSpy discovery(w, &CHaltwatchDlg::discoveryRequested);
        auto* discover = c.Find<QPushButton>("discoverButton");
        QVERIFY(discover->isEnabled());
        discover->click();
        const bool goesOn = answer || !asked;
        if (goesOn) {
            QTRY_COMPARE(discovery.count(), 1);
            QVERIFY(w->DiscoveryDialog());
        } else {
            QTRY_COMPARE(c.messages.texts.size(), 1);
        }
        QCOMPARE(c.messages.texts, asked ? QStringList{CHaltwatchDlg::kMonitoredUpsQuestion} : QStringList{});
        if (asked)
            QCOMPARE(c.messages.captions, QStringList{kMessageCaption});
        // Anything posted to the worker would run before this refresh's reads.
        QSignalSpy refreshed(w, &CHaltwatchDlg::refreshApplied);
        w->Refresh();
        QVERIFY(refreshed.wait(5000));
        QCOMPARE(discovery.count(), goesOn ? 1 : 0);
        QCOMPARE(w->DiscoveryDialog() != nullptr, goesOn);
        QCOMPARE(c.engine.Sets(), QStringList{});
        if (monitored)
            QCOMPARE(int(c.engine.Value(E("10.2.3.2.1.7.1.2")).integer), 8);  // "Low Battery" still shuts down
    }

    // The engine stops answering: the keep-alive fails and the window says the engine is unreachable
    // (status texts, the tray's worst state and its tooltip), keeps what it showed and the edit not yet
    // saved through a refresh that fails, and a Save says it could not reach the engine. When the engine
    // answers again the window refreshes.
    void deadEngineIsShownUnreachable()
    {
        Console c;
        c.keepAliveMs = 100;
        c.engine.Populate(kTwoUps, {{"10.0.0.1"}, {"10.0.0.2"}});
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        QVERIFY(w->EngineReachable());
        auto* list = c.Find<QTreeWidget>("eventList");
        auto* note = c.Find<QLabel>("unreachableNote");
        auto* save = c.Find<QPushButton>("saveButton");
        QVERIFY(note && !note->isVisible());
        list->setCurrentItem(list->topLevelItem(0));
        c.Find<QCheckBox>("shutdownCheck")->click();
        QVERIFY(save->isEnabled());

        c.engine.SetDead(true);
        QTRY_VERIFY(!w->EngineReachable());
        for (const char* status : {"ups1Status", "ups2Status"})
            QCOMPARE(c.Find<QLineEdit>(status)->text(), QString(CHaltwatchDlg::kUnreachable));
        QCOMPARE(int(w->CurrentTraySlot()), int(TraySlot::Critical));
        QCOMPARE(w->TrayToolTip(), QString(CHaltwatchDlg::kUnreachable));
        QVERIFY(note->isVisible());

        // A notification asks for a refresh that gets no answer: nothing is emptied, the edit stays.
        QSignalSpy read(w, &CHaltwatchDlg::refreshUnanswered);
        const int refreshes = w->RefreshCount();
        QVERIFY(w->QueueTrap(Notice(1002, {})));
        QVERIFY(read.wait(5000));
        QCOMPARE(w->RefreshCount(), refreshes);
        QCOMPARE(list->topLevelItemCount(), 3);
        QCOMPARE(list->topLevelItem(0)->text(1), QString("X"));
        QCOMPARE(c.Find<QLineEdit>("ups1Model")->text(), QString("Smart-UPS"));
        QCOMPARE(c.Find<QLineEdit>("ups2Community")->text(), QString("public"));
        QVERIFY(save->isEnabled());

        // Known to be down: Save and Discover say so at once, without a request.
        QSignalSpy saved(w, &CHaltwatchDlg::saved);
        c.messages.texts.clear();
        c.engine.ClearCalls();
        save->click();
        QCOMPARE(saved.count(), 1);
        w->OnDiscoverAgents();  // (its button is off with two UPS monitored)
        QCOMPARE(c.messages.texts, (QStringList{CHaltwatchDlg::kSaveFailed, CHaltwatchDlg::kDiscoverUnreachable}));
        QVERIFY(save->isEnabled());
        QVERIFY(c.engine.Calls().empty());

        c.engine.SetDead(false);
        QTRY_VERIFY(w->EngineReachable());
        QTRY_VERIFY(w->RefreshCount() > refreshes);
        QCOMPARE(c.Find<QLineEdit>("ups1Status")->text(), QString("Normal"));
        QCOMPARE(int(w->CurrentTraySlot()), int(TraySlot::Normal));
        QCOMPARE(w->TrayToolTip(), QString("Normal"));
        QVERIFY(!note->isVisible());
        QCOMPARE(list->topLevelItemCount(), 3);
    }

    // Made as small as it goes, the window still shows every text whole: the event list its three
    // columns, the delay up-downs (no digits to cut), buttons, boxes and labels; without a system tray
    // the About box has its own button.
    void smallestWindowCutsNoText()
    {
        Console c;
        c.engine.Populate(kTwoUps, {{"10.0.0.1"}, {"10.0.0.2"}});
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        QTRY_VERIFY(w->isVisible());
        auto* about = c.Find<QPushButton>("aboutButton");
        QVERIFY(about && about->isVisible());
        about->click();
        QTRY_VERIFY(w->findChild<QDialog*>("aboutDialog") && w->findChild<QDialog*>("aboutDialog")->isVisible());
        w->findChild<QDialog*>("aboutDialog")->accept();
        for (const char* name : {"exitButton", "aboutButton"})  // as in the tray, where they are hidden
            c.Find<QPushButton>(name)->hide();
        w->resize(1, 1);
        QTRY_COMPARE(w->size(), w->minimumSizeHint().expandedTo(w->minimumSize()));
        QApplication::processEvents();

        auto* list = c.Find<QTreeWidget>("eventList");
        const int columns = 165 + 40 + 40;
        QVERIFY2(list->viewport()->width() >= columns, qPrintable(QString::number(list->viewport()->width())));
        for (QWidget* child : w->findChildren<QWidget*>()) {
            if (!child->isVisible() || !(qobject_cast<QAbstractSpinBox*>(child) || qobject_cast<QAbstractButton*>(child) ||
                                         (qobject_cast<QLabel*>(child) && !qobject_cast<QLabel*>(child)->wordWrap())))
                continue;
            QVERIFY2(child->width() >= child->minimumSizeHint().width(), qPrintable(child->objectName()));
        }
        for (const char* name : {"shutdownDelaySpin", "commandDelaySpin"})
            QVERIFY(c.Find<QSpinBox>(name)->text().isEmpty());
    }

    // The controls showing a row are no edits; a blank in a command is refused and the stored one returns.
    void onlyUserEditsMarkEvents()
    {
        Console c;
        auto devices = kTwoUps;
        c.engine.Populate(devices, {{"10.0.0.1"}, {"10.0.0.2"}});
        c.engine.SetText(E("10.2.3.2.1.8.1.2"), "/usr/bin/notify");
        c.engine.SetInt(E("10.2.3.2.1.7.1.2"), 12);
        c.engine.SetInt(E("10.2.3.2.1.19.1.3"), 15);
        CHaltwatchDlg* w = c.Start();
        QVERIFY(w);
        auto* list = c.Find<QTreeWidget>("eventList");
        auto* edit = c.Find<QLineEdit>("commandAfterDelayEdit");
        list->setCurrentItem(list->topLevelItem(1));
        QCOMPARE(edit->text(), QString("/usr/bin/notify"));
        QVERIFY(edit->isEnabled());
        QVERIFY(!c.Find<QPushButton>("saveButton")->isEnabled());
        for (DeviceEntry& d : w->Model().Devices())
            for (EventEntry& e : d.Events())
                QCOMPARE(e.Dirty(), 0);
        QTest::keyClicks(edit, " ");
        QCOMPARE(edit->text(), QString("/usr/bin/notify"));
        QVERIFY(!c.Find<QPushButton>("saveButton")->isEnabled());
        QCOMPARE(edit->maxLength(), 255);
        // The down arrow walks the grid down to no delay.
        list->setCurrentItem(list->topLevelItem(2));
        c.Find<QCheckBox>("shutdownCheck")->click();
        c.Find<QSpinBox>("shutdownDelaySpin")->stepDown();
        QCOMPARE(c.Find<QLineEdit>("shutdownDelayEdit")->text(), QString("00h 00m 00s"));
    }
};

QTEST_MAIN(ConsoleWindowTest)
#include "ConsoleWindowTest.moc"
