// The discovery dialogs on their own, without the main window or the start-up: each is given an
// EngineWorker on the scripted engine, a model read from it and the recording message boxes, and is driven
// as the user and the engine's notices drive it. The input dialog's fields and its start of the scan, the
// endings of a scan, and the rows written for the devices chosen.
#include <QtTest>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "FakeEngine.h"
#include "RecordingMessages.h"
#include "console/ConsoleModel.h"
#include "console/ConsoleOids.h"
#include "console/DiscoveryDialogs.h"
#include "console/EngineWorker.h"
#include "console/SnmpServer.h"

using namespace consoletest;

namespace {

const std::string kBusy = E("10.1.2.17.0");

// One UPS device of remote row 1 with one event whose reaction is a shutdown.
const std::vector<FakeEngine::Device> kOneDevice = {{"Smart-UPS", "Hall", 1, 0, {{"On Battery", 8}}}};

struct Dialogs {
    FakeEngine engine;
    RecordingMessages messages;
    ConsoleModel model;
    std::unique_ptr<EngineWorker> worker;  // after the engine: it goes first

    // The engine as populated, read into the model; the worker's session open on it; no calls recorded.
    bool Start(const std::vector<FakeEngine::Device>& devices, const std::vector<FakeEngine::Remote>& remotes)
    {
        engine.Populate(devices, remotes);
        SnmpServer reader(engine);
        if (!reader.Open("127.0.0.1", console_oid::kDefaultCommunity, EngineWorker::kEnginePort, 2))
            return false;
        model.Apply(ReadSnapshot(reader));
        worker = std::make_unique<EngineWorker>(engine);
        QObject context;
        int opened = -1;
        worker->OpenSession("127.0.0.1", console_oid::kDefaultCommunity, EngineWorker::kEnginePort, 0, &context,
                            [&](bool ok) { opened = ok ? 1 : 0; });
        if (!QTest::qWaitFor([&] { return opened >= 0; }, 5000) || opened != 1)
            return false;
        engine.ClearCalls();
        return true;
    }
    // The progress dialog's request reached the engine (its last SET starts the scan).
    bool ScanStarted() { return engine.WaitForCount(SnmpCommand::Set, E("10.1.11.4.0"), 1); }
};

DiscoveryNotice Notice(int status, int count, int scanned)
{
    DiscoveryNotice n;
    n.status = status;
    n.count = count;
    n.scanned = scanned;
    return n;
}

DiscoveredAgent Agent(const std::string& address, int position)
{
    return {address, "public", position, "Smart-UPS", "pc", 161, 0};
}

}  // namespace

class ConsoleDiscoveryTest : public QObject {
    Q_OBJECT

private slots:
    // The fields take only what makes an address; OK waits for an address and a community, asks the engine
    // whether it is idle, and only then starts the progress dialog with the engine's discovery SETs.
    void inputCollectsRangesAndStartsTheScan()
    {
        Dialogs d;
        QVERIFY(d.Start(kOneDevice, {}));
        CAgentDiscovery input(*d.worker, d.model, d.messages, "192.168.7.20", nullptr);
        auto octet = [&](int n) { return input.findChild<QLineEdit*>(QString("octet%1").arg(n)); };
        QCOMPARE(octet(1)->text(), QString("192"));
        QCOMPARE(octet(3)->text(), QString("7"));
        QVERIFY(octet(4)->text().isEmpty());
        QTest::keyClicks(octet(4), "x*");  // only digits and * are taken
        QCOMPARE(octet(4)->text(), QString("*"));
        octet(2)->setText("16*");  // * only as the last part
        QCOMPARE(octet(2)->text(), QString("168"));
        input.OnAddAddress();
        octet(4)->setText("300");
        input.OnAddAddress();  // out of range: not added
        octet(4)->setText("5");
        input.OnAddAddress();
        input.OnAddAddress();  // already listed
        QCOMPARE(input.Addresses(), (QStringList{"192.168.7.*", "192.168.7.5"}));
        auto* ok = input.findChild<QPushButton*>("okButton");
        QVERIFY(!ok->isEnabled());
        input.OnAddCommunity();
        QCOMPARE(input.Communities(), QStringList{"wendolmar"});
        QVERIFY(ok->isEnabled());

        // A busy engine: asked again later, nothing is sent.
        d.engine.SetInt(kBusy, 1);
        QSignalSpy started(&input, &CAgentDiscovery::progressStarted);
        ok->click();
        QTRY_COMPARE(d.messages.texts, QStringList{"Please retry discovery, Engine is currently busy."});
        QTRY_VERIFY(ok->isEnabled());
        QCOMPARE(started.count(), 0);
        QVERIFY(!input.Progress());
        QVERIFY(d.engine.Sets().isEmpty());

        d.engine.SetInt(kBusy, 0);
        ok->click();
        QTRY_COMPARE(started.count(), 1);
        CDiscoveryProgress* progress = input.Progress();
        QCOMPARE(started.front().front().value<CDiscoveryProgress*>(), progress);
        QCOMPARE(progress->Total(), 255);
        QTRY_COMPARE(d.engine.Sets(), (QStringList{"10.1.11.1.0=192.168.7.,192.168.7.5", "10.1.11.2.0=2",
                                                   "10.1.11.3.0=wendolmar", "10.1.11.4.0=1"}));
        // The progress dialog's end is the input dialog's.
        QSignalSpy finished(&input, &QDialog::finished);
        progress->reject();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(input.result(), int(QDialog::Rejected));
    }

    // Statuses 6 and 7 end the discovery with their message, 4 with no device found says so; each fills
    // the bar. Before the end the engine's count is the total and the bar follows the addresses scanned.
    void progressEndsOnItsStatuses_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("no addresses") << 6 << "The discovery ended: none of the addresses can be scanned.";
        QTest::newRow("no communities") << 7 << "The discovery ended: none of the communities can be used.";
        QTest::newRow("complete") << 4 << "No devices were found";
    }
    void progressEndsOnItsStatuses()
    {
        QFETCH(int, status);
        QFETCH(QString, message);
        Dialogs d;
        QVERIFY(d.Start(kOneDevice, {}));
        CDiscoveryProgress progress(*d.worker, d.model, d.messages, {"10.0.0.*"}, {"public"}, nullptr);
        QCOMPARE(progress.Total(), 254);
        auto* percent = progress.findChild<QLabel*>("percentText");
        progress.OnNotice(Notice(2, 200, 50));
        QCOMPARE(progress.Total(), 200);
        QCOMPARE(progress.Value(), 50);
        QCOMPARE(percent->text(), QString("25%"));
        QVERIFY(!progress.Finished());

        progress.OnNotice(Notice(status, 0, 0));
        QVERIFY(progress.Finished());
        QCOMPARE(progress.Value(), progress.Total());
        QCOMPARE(percent->text(), QString("100%"));
        QCOMPARE(d.messages.texts, QStringList{message});
        QVERIFY(!progress.findChild<QPushButton*>("okButton")->isEnabled());
    }

    // The devices chosen become remote-agent rows: two devices of one agent share a row, a second agent
    // takes row 2, another device of the agent already monitored only widens its row. Adding a row resets
    // every event's reactions, on the engine first and in the model; the engine's table is read again after.
    void chosenDevicesAreWritten_data()
    {
        QTest::addColumn<bool>("monitored");  // 10.0.0.1 position 1 in row 1
        QTest::addColumn<QList<int>>("picks");  // of 10.0.0.1/1, 10.0.0.1/2, 10.0.0.2/0
        QTest::addColumn<QStringList>("sets");
        QTest::addColumn<bool>("reset");
        // The event's reactions go first, then the row is made, filled in and made active.
        auto create = [](int row, const QString& address, int positions) {
            const QString r = QString::number(row);
            return QStringList{"10.2.3.2.1.7.1.1=0",         "10.6.2.1.2." + r + "=5",
                               "10.6.2.1.3." + r + "=" + address, "10.6.2.1.5." + r + "=public",
                               "10.6.2.1.4." + r + "=0",     "10.6.2.1.6." + r + "=161",
                               "10.6.2.1.7." + r + "=162",   "10.6.2.1.12." + r + "=" + QString::number(positions),
                               "10.6.2.1.2." + r + "=1"};
        };
        QTest::newRow("one agent") << false << QList<int>{2} << create(1, "10.0.0.2", 0) << true;
        QTest::newRow("two devices of one agent") << false << QList<int>{0, 1} << create(1, "10.0.0.1", 513) << true;
        QTest::newRow("a second agent") << true << QList<int>{2} << create(2, "10.0.0.2", 0) << true;
        QTest::newRow("the monitored agent's other device")
            << true << QList<int>{1} << QStringList{"10.6.2.1.12.1=513"} << false;
        QTest::newRow("the monitored device again") << true << QList<int>{0} << QStringList{} << false;
    }
    void chosenDevicesAreWritten()
    {
        QFETCH(bool, monitored);
        QFETCH(QList<int>, picks);
        QFETCH(QStringList, sets);
        QFETCH(bool, reset);
        Dialogs d;
        QVERIFY(d.Start(kOneDevice, monitored ? std::vector<FakeEngine::Remote>{{"10.0.0.1"}}
                                              : std::vector<FakeEngine::Remote>{}));
        QCOMPARE(d.model.MonitoredCount(), monitored ? 1 : 0);
        CDiscoveryProgress progress(*d.worker, d.model, d.messages, {"10.0.0.*"}, {"public"}, nullptr);
        for (const DiscoveredAgent& a : {Agent("10.0.0.1", 1), Agent("10.0.0.1", 2), Agent("10.0.0.2", 0)})
            progress.AddResult(a);
        QVERIFY(d.ScanStarted());
        progress.OnNotice(Notice(4, 254, 254));
        QVERIFY(progress.Finished());
        auto* ok = progress.findChild<QPushButton*>("okButton");
        QTreeWidget* list = progress.ResultList();
        for (int i = 0; i < 3; ++i)
            list->topLevelItem(i)->setSelected(true);
        QVERIFY(!ok->isEnabled());  // more than two UPS
        list->topLevelItem(1)->setSelected(false);
        QCOMPARE(ok->isEnabled(), !monitored);  // two more only beside none
        list->clearSelection();
        for (int i : picks)
            list->topLevelItem(i)->setSelected(true);
        QVERIFY(ok->isEnabled());

        d.engine.ClearCalls();
        QSignalSpy written(&progress, &CDiscoveryProgress::rowsWritten);
        QSignalSpy reread(d.worker.get(), &EngineWorker::refreshed);
        ok->click();
        QVERIFY(written.wait(5000));
        QCOMPARE(d.engine.Sets(), sets);
        QVERIFY(d.messages.texts.isEmpty());
        QCOMPARE(d.model.Devices().front().Events().front().Actions(), reset ? 0 : 8);
        QTRY_COMPARE(reread.count(), 1);
        QCOMPARE(progress.result(), int(QDialog::Accepted));
    }

    // A row the engine refuses is taken out again and reported.
    void refusedRowIsRemovedAndReported()
    {
        Dialogs d;
        QVERIFY(d.Start({}, {}));
        CDiscoveryProgress progress(*d.worker, d.model, d.messages, {"127.0.0.1"}, {"public"}, nullptr);
        progress.AddResult({"127.0.0.1", "public", 0, "Smart-UPS", "pc", 3664, 1});
        QVERIFY(d.ScanStarted());
        progress.OnNotice(Notice(4, 1, 1));
        QVERIFY(progress.Finished());
        d.engine.TimeOut(E("10.6.2.1.5.1"));
        d.engine.ClearCalls();
        progress.ResultList()->topLevelItem(0)->setSelected(true);
        QSignalSpy written(&progress, &CDiscoveryProgress::rowsWritten);
        progress.OnOK();
        QVERIFY(written.wait(5000));
        QCOMPARE(d.engine.Sets(), (QStringList{"10.6.2.1.2.1=5", "10.6.2.1.3.1=127.0.0.1", "10.6.2.1.5.1=public",
                                               "10.6.2.1.2.1=6"}));
        QCOMPARE(d.messages.texts, QStringList{"The engine refused to monitor 127.0.0.1."});
    }
};

QTEST_MAIN(ConsoleDiscoveryTest)
#include "ConsoleDiscoveryTest.moc"
