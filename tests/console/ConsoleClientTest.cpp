// The console's SNMP session, model and trap hand-over, against the scripted engine.
#include <QtTest>

#include <atomic>
#include <thread>

#include "FakeEngine.h"
#include "console/ConsoleModel.h"
#include "console/ConsoleOids.h"
#include "console/SnmpServer.h"
#include "console/StatusPoll.h"
#include "console/TrapQueue.h"
#include "engine/snmp/SnmpTrapSession.h"

using namespace consoletest;

Q_DECLARE_METATYPE(SnmpOid)

namespace {

SnmpOid O(const std::string& text)
{
    return MakeOid(text.c_str());
}

}  // namespace

class ConsoleClientTest : public QObject {
    Q_OBJECT

private slots:
    // Who holds a UDP port, read from the kernel's socket tables: only the local port of a row counts (a
    // socket that merely talks to that port is not a listener), in the IPv4 and the IPv6 layout.
    void udpTableFindsTheLocalPort_data()
    {
        const std::string head =
            "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n";
        const std::string v4 = head +
            "  101: 0100007F:0E51 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000        0 4242 2 0 0\n"
            "  202: 0100007F:9C40 0100007F:1F90 01 00000000:00000000 00:00000000 00000000     0        0 4343 2 0 0\n";
        const std::string v6 = head +
            "  303: 00000000000000000000000000000000:D431 00000000000000000000000000000000:0000 07 00000000:00000000 "
            "00:00000000 00000000  1000        0 4444 2 0 0\n";
        QTest::addColumn<QString>("table");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("held");
        QTest::newRow("v4 listener") << QString::fromStdString(v4) << 3665 << true;
        QTest::newRow("v4 local port of a connected socket") << QString::fromStdString(v4) << 40000 << true;
        QTest::newRow("v4 remote port only") << QString::fromStdString(v4) << 8080 << false;
        QTest::newRow("v6 listener") << QString::fromStdString(v6) << 54321 << true;
        QTest::newRow("heading only") << QString::fromStdString(head) << 0 << false;
        QTest::newRow("not a table") << "garbage\n12: zz:qq\n:\n" << 0 << false;
    }
    void udpTableFindsTheLocalPort()
    {
        QFETCH(QString, table);
        QFETCH(int, port);
        QFETCH(bool, held);
        QCOMPARE(UdpTableHasPort(table.toStdString(), static_cast<uint16_t>(port)), held);
    }

    void openChecksAddressAndVersion_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("version");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<int>("wireVersion");
        QTest::newRow("v2c as 0") << "127.0.0.1" << 0 << true << 1;
        QTest::newRow("v2c as 2") << "127.0.0.1" << 2 << true << 1;
        QTest::newRow("v1") << "127.0.0.1" << 1 << true << 0;
        QTest::newRow("v3 refused") << "127.0.0.1" << 3 << false << 0;
        QTest::newRow("host name refused") << "localhost" << 2 << false << 0;
        QTest::newRow("bad octet") << "127.0.0.300" << 2 << false << 0;
    }
    void openChecksAddressAndVersion()
    {
        QFETCH(QString, address);
        QFETCH(int, version);
        QFETCH(bool, opens);
        QFETCH(int, wireVersion);
        FakeEngine engine;
        engine.SetInt(E("10.2.1.0"), 4);
        SnmpServer s(engine);
        QCOMPARE(s.Open(address.toStdString(), "public", 3664, version), opens);
        QCOMPARE(s.IsOpen(), opens);
        int32_t v = 0;
        QCOMPARE(s.GetInt(v, O(E("10.2.1.0"))), opens);
        if (opens) {
            QCOMPARE(v, 4);
            FakeCall call = engine.Calls().at(0);
            QCOMPARE(call.version, wireVersion);
            QCOMPARE(call.port, uint16_t(3664));
            QCOMPARE(call.community, std::string("public"));
        } else {
            QVERIFY(engine.Calls().empty());
        }
        s.Close();
        QVERIFY(!s.GetInt(v, O(E("10.2.1.0"))));
    }

    // A zero index ends the list; an index after it must not address another object.
    void indexesBuildTheOid_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<uint>("i1");
        QTest::addColumn<uint>("i2");
        QTest::addColumn<uint>("i3");
        QTest::addColumn<QString>("expected");  // empty: refused
        QTest::newRow("one index") << QString::fromStdString(E("10.2.2.1.9")) << 5u << 0u << 0u
                                   << QString::fromStdString(E("10.2.2.1.9.5"));
        QTest::newRow("two indexes") << QString::fromStdString(E("10.2.3.2.1.4")) << 2u << 3u << 0u
                                     << QString::fromStdString(E("10.2.3.2.1.4.2.3"));
        QTest::newRow("scalar") << QString::fromStdString(E("10.2.1.0")) << 0u << 0u << 0u
                                << QString::fromStdString(E("10.2.1.0"));
        QTest::newRow("index after zero") << QString::fromStdString(E("10.2.3.2.1.4")) << 0u << 3u << 0u << "";
        QTest::newRow("third after zero") << QString::fromStdString(E("10.2.3.2.1.4")) << 2u << 0u << 3u << "";
        QString base60 = "1";
        for (int i = 1; i < 62; ++i)
            base60 += ".1";
        QTest::newRow("64 fits") << base60 << 7u << 8u << 0u << base60 + ".7.8";
        QTest::newRow("65 refused") << base60 << 7u << 8u << 9u << "";
    }
    void indexesBuildTheOid()
    {
        QFETCH(QString, base);
        QFETCH(uint, i1);
        QFETCH(uint, i2);
        QFETCH(uint, i3);
        QFETCH(QString, expected);
        FakeEngine engine;
        SnmpServer s(engine);
        QVERIFY(s.Open("127.0.0.1", "public", 3664, 2));
        int32_t v = 0;
        s.GetInt(v, O(base.toStdString()), i1, i2, i3);
        std::vector<FakeCall> calls = engine.Calls();
        if (expected.isEmpty()) {
            QVERIFY(calls.empty());
        } else {
            QCOMPARE(calls.size(), size_t(1));
            QCOMPARE(QString::fromStdString(calls[0].oid), expected);
        }
    }

    void readsCheckTypeAndSize()
    {
        FakeEngine engine;
        engine.SetText(E("1.1"), std::string(100, 'x'));
        engine.SetInt(E("1.2"), -7);
        engine.Set(E("1.3"), SnmpValue::Gauge(4000000000u));
        engine.Set(E("1.4"), SnmpValue::IpAddress(0x0A00000B));
        engine.Set(E("1.5"), SnmpValue::ObjectId(O("1.3.6.1.2")));
        SnmpServer s(engine);
        QVERIFY(s.Open("127.0.0.1", "public", 3664, 2));
        std::string text;
        QVERIFY(s.GetString(text, 64, O(E("1.1"))));
        QCOMPARE(text.size(), size_t(64));
        int32_t i = 0;
        QVERIFY(s.GetInt(i, O(E("1.2"))));
        QCOMPARE(i, -7);
        QVERIFY(!s.GetInt(i, O(E("1.1"))));   // a string is no integer
        QVERIFY(!s.GetInt(i, O(E("1.3"))));   // nor is a gauge
        uint32_t u = 0;
        QVERIFY(s.GetUnsigned(u, O(E("1.3"))));
        QCOMPARE(u, 4000000000u);
        QVERIFY(s.GetIpAddress(u, O(E("1.4"))));
        QCOMPARE(u, 0x0A00000Bu);
        SnmpOid oid;
        QVERIFY(!s.GetOid(oid, 5, O(E("1.5"))));  // length 5 is not below 5
        QVERIFY(s.GetOid(oid, 6, O(E("1.5"))));
        QCOMPARE(oid, O("1.3.6.1.2"));
        QVERIFY(!s.GetString(text, 64, O(E("1.9"))));  // noSuchInstance
        QVERIFY(s.GetNextOid(oid, 48, O(E("1.2"))));
        QCOMPARE(oid, O(E("1.3")));
        QVERIFY(!s.GetNextOid(oid, 48, O(E("1.5"))));  // end of the MIB view
    }

    // The countdown is an INTEGER (a negative one reads as 0); an unsigned type is taken too, asked for only
    // when the engine answered with another type: a silent engine costs one request, not two.
    void countdownRead_data()
    {
        QTest::addColumn<int>("kind");  // 0 integer, 1 gauge, 2 no answer
        QTest::addColumn<int>("value");
        QTest::addColumn<bool>("read");
        QTest::addColumn<int>("seconds");
        QTest::addColumn<int>("requests");
        QTest::newRow("integer") << 0 << 42 << true << 42 << 1;
        QTest::newRow("negative") << 0 << -5 << true << 0 << 1;
        QTest::newRow("gauge") << 1 << 17 << true << 17 << 2;
        QTest::newRow("silent") << 2 << 0 << false << 0 << 1;
    }
    void countdownRead()
    {
        QFETCH(int, kind);
        QFETCH(int, value);
        QFETCH(bool, read);
        QFETCH(int, seconds);
        QFETCH(int, requests);
        FakeEngine engine;
        const std::string countdown = E("10.5.1.0");
        if (kind == 1)
            engine.Set(countdown, SnmpValue::Gauge(static_cast<uint32_t>(value)));
        else
            engine.SetInt(countdown, value);
        engine.SetDead(kind == 2);
        SnmpServer s(engine);
        QVERIFY(s.Open("127.0.0.1", "public", 3664, 2));
        uint32_t got = 0;
        QCOMPARE(ReadCountdown(s, got), read);
        QCOMPARE(int(got), seconds);
        QCOMPARE(int(engine.Calls().size()), requests);
    }

    void writeReadsFirstAndSendsNothingWhenTheReadFails()
    {
        FakeEngine engine;
        engine.SetInt(E("1.1"), 3);
        engine.TimeOut(E("1.2"));
        SnmpServer v2(engine);
        QVERIFY(v2.Open("127.0.0.1", "public", 3664, 2));
        QVERIFY(v2.SetInt(9, O(E("1.1"))));
        QVERIFY(!v2.SetInt(9, O(E("1.2"))));  // the read times out
        // A missing instance is written with the requested type.
        QVERIFY(v2.SetString("abc", O(E("1.3"))));
        QCOMPARE(engine.Value(E("1.3")).type, kSnmpOctetString);
        QCOMPARE(engine.Log(), (std::vector<std::string>{"G " + E("1.1"), "S " + E("1.1"), "G " + E("1.2"),
                                                         "G " + E("1.3"), "S " + E("1.3")}));
        QCOMPARE(engine.Value(E("1.1")).integer, int64_t(9));

        engine.ClearCalls();
        SnmpServer v1(engine);
        QVERIFY(v1.Open("127.0.0.1", "public", 3664, 1));
        QVERIFY(!v1.SetInt(1, O(E("1.4"))));  // noSuchName on SNMPv1
        QCOMPARE(engine.Log(), (std::vector<std::string>{"G " + E("1.4")}));
        // An error answer still proves the community; silence does not.
        QVERIFY(v1.Answers(O(E("1.4"))));
        QVERIFY(!v1.Answers(O(E("1.2"))));
    }

    // Two threads on one session: the session lock keeps each request whole.
    void sessionIsSharedSafely()
    {
        FakeEngine engine;
        engine.SetInt(E("1.1"), 1);
        SnmpServer s(engine);
        QVERIFY(s.Open("127.0.0.1", "public", 3664, 2));
        std::atomic<int> failures{0};
        auto work = [&] {
            for (int i = 0; i < 200; ++i) {
                int32_t v = 0;
                if (!s.GetInt(v, O(E("1.1"))) || v != 1)
                    ++failures;
            }
        };
        std::thread a(work), b(work);
        for (int i = 0; i < 50; ++i)
            QVERIFY(s.Open("127.0.0.1", "public", 3664, 2));
        a.join();
        b.join();
        QCOMPARE(failures.load(), 0);
    }

    void delayGrid_data()
    {
        QTest::addColumn<uint>("value");
        QTest::addColumn<uint>("normal");
        QTest::addColumn<uint>("next");
        QTest::addColumn<uint>("previous");
        QTest::newRow("0") << 0u << 0u << 15u << 0u;
        QTest::newRow("7") << 7u << 15u << 22u << 0u;
        QTest::newRow("15") << 15u << 15u << 30u << 0u;
        QTest::newRow("100") << 100u << 105u << 115u << 85u;
        QTest::newRow("585") << 585u << 585u << 600u << 570u;
        QTest::newRow("600") << 600u << 600u << 660u << 585u;
        QTest::newRow("3600") << 3600u << 3600u << 4500u << 3540u;
        QTest::newRow("14400") << 14400u << 14400u << 18000u << 13500u;
        QTest::newRow("20000") << 20000u << 21600u << 23600u << 16400u;
        QTest::newRow("43200") << 43200u << 43200u << 43200u << 39600u;
        QTest::newRow("50000") << 50000u << 43200u << 43200u << 46400u;
    }
    void delayGrid()
    {
        QFETCH(uint, value);
        QFETCH(uint, normal);
        QFETCH(uint, next);
        QFETCH(uint, previous);
        QCOMPARE(EventEntry::NormalizeDelay(value), normal);
        QCOMPARE(EventEntry::NextDelay(value), next);
        QCOMPARE(EventEntry::PreviousDelay(value), previous);
    }

    void delayStepsMarkDirtyOnlyOnChange()
    {
        EventEntry e(1, 1);
        QVERIFY(e.IncreaseShutdownDelay());
        QCOMPARE(e.ShutdownDelay(), 15u);
        QCOMPARE(e.Dirty(), EventEntry::kDirtyShutdownDelay);
        for (int i = 0; i < 200; ++i)
            e.IncreaseCommandDelay();
        QCOMPARE(e.CommandDelay(), 43200u);
        const int dirty = e.Dirty();
        QVERIFY(!e.IncreaseCommandDelay());  // at the top: nothing changes
        QCOMPARE(e.Dirty(), dirty);
        QCOMPARE(EventEntry::FormatDelay(3725), std::string("01h 02m 05s"));
        QVERIFY(!e.SetCommand(0, std::string(256, 'c')));
        QVERIFY(e.SetCommand(1, std::string(255, 'c')));
        QVERIFY(!e.SetCommand(2, "x"));
        QVERIFY(e.GetCommand(2) == nullptr);
    }

    // Loading: the refresh's read order, delays put on the grid and written back at once, an event
    // whose name cannot be read left out.
    void snapshotReadsInOrderAndNormalizesDelays()
    {
        FakeEngine engine;
        engine.Populate({{"Smart-UPS", "Rack 1", 1, 0, {{"On Battery", 8, 100, 7}, {"Low Battery", 4, 50000, 0}}}},
                        {{"10.0.0.7", "public", 1, 1}});
        engine.TimeOut(E("10.2.3.2.1.4.1.2"));  // the second event's name
        SnmpServer s(engine);
        QVERIFY(s.Open("127.0.0.1", "wendolmar", 3664, 2));
        EngineSnapshot snap = ReadSnapshot(s);
        const std::string ev = E("10.2.3.2.1.");
        const std::vector<std::string> expected = {
            "G " + E("10.1.2.5.0"), "G " + E("10.1.4.1.0"), "G " + E("10.1.4.2.0"), "G " + E("10.2.1.0"),
            "G " + E("10.2.2.1.9.1"), "G " + E("10.2.2.1.12.1"), "G " + E("10.2.2.1.18.1"),
            "G " + E("10.2.2.1.24.1"), "G " + E("10.2.2.1.25.1"),
            "G " + ev + "4.1.1", "G " + ev + "7.1.1", "G " + ev + "19.1.1", "G " + ev + "8.1.1", "G " + ev + "9.1.1",
            "G " + ev + "18.1.1",
            "G " + ev + "19.1.1", "S " + ev + "19.1.1",  // 100 -> 105
            "G " + ev + "18.1.1", "S " + ev + "18.1.1",  // 7 -> 15
            "G " + ev + "4.1.2",                         // name times out: the event is left out
            "G " + E("10.2.1.0"),                        // and the engine is asked whether it still answers
            "G " + E("10.6.1.0"), "G " + E("10.6.2.1.3.1"), "G " + E("10.6.2.1.5.1"), "G " + E("10.6.2.1.10.1"),
            "G " + E("10.6.2.1.8.1"), "G " + E("10.6.2.1.12.1")};
        QCOMPARE(engine.Log(), expected);
        QCOMPARE(engine.Value(ev + "19.1.1").integer, int64_t(105));
        QCOMPARE(engine.Value(ev + "18.1.1").integer, int64_t(15));
        QCOMPARE(snap.devices.size(), size_t(1));
        QCOMPARE(snap.devices[0].Events().size(), size_t(1));
        QCOMPARE(snap.devices[0].Events()[0].ShutdownDelay(), 105u);
        QCOMPARE(snap.devices[0].Model(), std::string("Smart-UPS"));
        QCOMPARE(snap.remotes.at(0).Address(), std::string("10.0.0.7"));
        QVERIFY(!snap.hibernate);
        QVERIFY(snap.hibernationAllowed);
        QVERIFY(snap.reached);
    }

    // An engine that stops answering, before the refresh or in the middle of a device's events: the
    // snapshot says so, holds nothing, and the refresh ends after the read that confirmed it.
    void snapshotOfADeadEngineIsUnreached_data()
    {
        QTest::addColumn<QString>("diesAt");  // the first OID that gets no answer; "" answers everything
        QTest::addColumn<int>("reads");
        QTest::newRow("dead from the start") << QString::fromStdString(E("10.1.2.5.0")) << 2;
        QTest::newRow("dies in the events") << QString::fromStdString(E("10.2.3.2.1.7.1.1")) << 12;
        QTest::newRow("answers") << QString() << 0;
    }
    void snapshotOfADeadEngineIsUnreached()
    {
        QFETCH(QString, diesAt);
        QFETCH(int, reads);
        struct DyingEngine : FakeEngine {
            std::string diesAt;
            bool dead = false;
            SnmpClientResult Request(const SnmpClientRequest& request) override
            {
                if (!diesAt.empty() && OidToString(request.varbinds.front().oid) == diesAt)
                    dead = true;
                SetDead(dead);
                return FakeEngine::Request(request);
            }
        } engine;
        engine.Populate({{"Smart-UPS", "Rack 1", 1, 0, {{"On Battery", 8}, {"Low Battery", 4}, {"Overload", 0}}}},
                        {{"10.0.0.7", "public", 1, 1}});
        engine.diesAt = diesAt.toStdString();
        SnmpServer s(engine);
        QVERIFY(s.Open("127.0.0.1", "wendolmar", 3664, 2));
        EngineSnapshot snap = ReadSnapshot(s);
        QCOMPARE(snap.reached, diesAt.isEmpty());
        if (diesAt.isEmpty())
            return;
        QVERIFY(snap.devices.empty());
        QVERIFY(snap.remotes.empty());
        QCOMPARE(int(engine.Calls().size()), reads);
        QCOMPARE(engine.Log().back(), "G " + E("10.2.1.0"));
    }

    void countsFromTheNetworkAreBounded()
    {
        FakeEngine engine;
        engine.SetInt(E("10.2.1.0"), 2000000000);
        engine.SetInt(E("10.6.1.0"), 9);
        SnmpServer s(engine);
        QVERIFY(s.Open("127.0.0.1", "wendolmar", 3664, 2));
        EngineSnapshot snap = ReadSnapshot(s);
        QCOMPARE(snap.devices.size(), size_t(kMaxDevices));
        QCOMPARE(snap.remotes.size(), size_t(2));
    }

    void statusToTray_data()
    {
        QTest::addColumn<int>("ups1");
        QTest::addColumn<int>("ups2");
        QTest::addColumn<QString>("text1");
        QTest::addColumn<int>("tray");
        QTest::newRow("normal") << 0 << 4 << "Normal" << int(TraySlot::Normal);
        QTest::newRow("critical beats warning") << 2 << 1 << "Warning" << int(TraySlot::Critical);
        QTest::newRow("critical beats offline") << 5 << 1 << "Offline" << int(TraySlot::Critical);
        QTest::newRow("warning beats offline") << 6 << 2 << "Offline" << int(TraySlot::Warning);
        QTest::newRow("6 is offline") << 6 << 0 << "Offline" << int(TraySlot::Offline);
        QTest::newRow("7 is offline") << 0 << 7 << "Normal" << int(TraySlot::Offline);
        QTest::newRow("info never hides offline") << 3 << 5 << "Info" << int(TraySlot::Offline);
        QTest::newRow("info alone shows normal") << 3 << 0 << "Info" << int(TraySlot::Normal);
    }
    void statusToTray()
    {
        QFETCH(int, ups1);
        QFETCH(int, ups2);
        QFETCH(QString, text1);
        QFETCH(int, tray);
        EngineSnapshot snap;
        DeviceEntry a(1), b(2);
        a.SetRemoteIndex(1);
        a.SetStatus(ups1);
        b.SetRemoteIndex(2);
        b.SetStatus(ups2);
        snap.devices = {a, b};
        RemoteEntry r1(1), r2(2);
        r1.SetPositions(1);
        r2.SetPositions(1);
        snap.remotes = {r1, r2};
        snap.remoteCount = 2;
        ConsoleModel model;
        model.Apply(snap);
        QCOMPARE(QString(StatusText(model.UpsStatus(0))), text1);
        QCOMPARE(int(TraySlotFor(model.WorstStatus())), tray);
    }

    void nothingMonitoredShowsOffline()
    {
        ConsoleModel model;
        model.Clear();
        QCOMPARE(int(TraySlotFor(model.WorstStatus())), int(TraySlot::Offline));
    }

    // One agent row naming two of its devices shows them as UPS 1 and UPS 2; sensors are skipped; the
    // event list keeps (device, event index) pairs per name.
    void oneRowWithTwoPositionsAndTheEventList()
    {
        EngineSnapshot snap;
        auto device = [](int index, const std::string& model, std::vector<std::pair<std::string, int>> events) {
            DeviceEntry d(index);
            d.SetModel(model);
            d.SetRemoteIndex(1);
            for (size_t i = 0; i < events.size(); ++i) {
                EventEntry e(index, events[i].second);
                d.Events().push_back(e);
            }
            return d;
        };
        snap.devices = {device(1, "AmbiScope", {}), device(2, "UPS A", {}), device(3, "UPS B", {})};
        RemoteEntry r(1);
        r.SetPositions(0x0302);  // positions 2 and 3
        snap.remotes = {r};
        snap.remoteCount = 1;
        ConsoleModel model;
        model.Apply(snap);
        QCOMPARE(model.MonitoredCount(), 2);
        QVERIFY(model.UpsDevice(0) && model.UpsDevice(1));
        QCOMPARE(model.UpsDevice(0)->DeviceIndex(), 2);
        QCOMPARE(model.UpsDevice(1)->DeviceIndex(), 3);
        QCOMPARE(model.UpsDevice(1)->RemoteIndex(), 2);
        QVERIFY(model.Remote(1) != nullptr);
        // Position 1 skips the sensor in front.
        QCOMPARE(model.FindDeviceOfRemote(1, 0)->DeviceIndex(), 2);
        QVERIFY(model.FindDevice(0) == nullptr);
    }

    void eventListRowsCarryEventIndexes()
    {
        // Events 1 and 3 of device 1 (event 2 could not be read), event 5 of device 2.
        EngineSnapshot snap;
        DeviceEntry d1(1), d2(2);
        d1.SetRemoteIndex(1);
        d2.SetRemoteIndex(2);
        FakeEngine engine;
        engine.Populate({{"A", "", 1, 0, {{"On Battery"}, {"Overload"}, {"Low Battery"}}},
                         {"B", "", 2, 0, {{"x"}, {"x"}, {"x"}, {"x"}, {"On Battery"}}}},
                        {{"10.0.0.1"}, {"10.0.0.2"}});
        engine.TimeOut(E("10.2.3.2.1.7.1.2"));
        SnmpServer s(engine);
        QVERIFY(s.Open("127.0.0.1", "wendolmar", 3664, 2));
        ConsoleModel model;
        model.Apply(ReadSnapshot(s));
        std::vector<EventListRow> rows = model.BuildEventList();
        QCOMPARE(rows.size(), size_t(3));
        QCOMPARE(rows[0].name, std::string("On Battery"));
        QCOMPARE(rows[0].events, (std::vector<std::pair<int, int>>{{1, 1}, {2, 5}}));
        QCOMPARE(rows[1].name, std::string("Low Battery"));
        QCOMPARE(rows[1].events, (std::vector<std::pair<int, int>>{{1, 3}}));  // its index, not its position
        QCOMPARE(rows[2].events, (std::vector<std::pair<int, int>>{{2, 1}, {2, 2}, {2, 3}, {2, 4}}));
    }

    void trapRecordLimits()
    {
        SnmpReceivedNotification n;
        n.pduType = kSnmpPduTrapV1;
        n.sender = "127.0.0.9";
        n.trapOid = O(E("0.1001"));
        SnmpOid longOid(60, 1);
        n.varbinds.push_back({longOid, SnmpValue::Integer(42)});
        n.varbinds.push_back({O(E("10.1.6.1.0")), SnmpValue::Octets(std::string(64, 'v'))});
        n.varbinds.push_back({O(E("10.1.6.1.0")), SnmpValue::Octets(std::string(63, 'v'))});
        TrapRecord r = TrapRecord::From(n);
        QCOMPARE(r.specific, 1001);
        QCOMPARE(r.trapOid, E("0.1001"));
        QCOMPARE(r.sender, std::string("127.0.0.9"));
        QVERIFY(r.varbinds[0].oid.empty());
        QCOMPARE(r.varbinds[0].oidLength, size_t(60));
        QCOMPARE(r.varbinds[0].value, std::string("42"));
        QVERIFY(r.varbinds[1].value.empty());
        QCOMPARE(r.varbinds[2].value.size(), size_t(63));
    }

    void queueKeepsOrderAndDropsWhenFull()
    {
        TrapQueue queue(4);
        std::mutex mutex;
        std::condition_variable cv;
        bool release = false;
        std::vector<int> seen;
        QVERIFY(queue.Start([&](TrapRecord&& r) {
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait(lock, [&] { return release; });
            seen.push_back(r.specific);
            cv.notify_all();
        }));
        int pushed = 0;
        for (int i = 1; i <= 10; ++i) {
            TrapRecord r;
            r.specific = i;
            pushed += queue.Push(r);
        }
        // One record may be in the sink's hands, four wait: the rest are dropped and counted.
        QVERIFY(pushed == 4 || pushed == 5);
        QCOMPARE(queue.Dropped(), uint64_t(10 - pushed));
        {
            std::unique_lock<std::mutex> lock(mutex);
            release = true;
            cv.notify_all();
            QVERIFY(cv.wait_for(lock, std::chrono::seconds(5), [&] { return seen.size() == size_t(pushed); }));
        }
        for (int i = 0; i < pushed; ++i)
            QCOMPARE(seen[size_t(i)], i + 1);
        queue.Stop();
    }

    // Stop waits for the record in hand and leaves the others unhandled.
    void stopWaitsForTheSinkAndClearsTheRest()
    {
        TrapQueue queue;
        std::mutex mutex;
        std::condition_variable cv;
        bool inSink = false;
        bool release = false;
        int handled = 0;
        QVERIFY(queue.Start([&](TrapRecord&&) {
            std::unique_lock<std::mutex> lock(mutex);
            inSink = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
            ++handled;
        }));
        for (int i = 0; i < 5; ++i)
            QVERIFY(queue.Push(TrapRecord()));
        {
            std::unique_lock<std::mutex> lock(mutex);
            QVERIFY(cv.wait_for(lock, std::chrono::seconds(5), [&] { return inSink; }));
        }
        std::atomic<bool> stopped{false};
        std::thread stopper([&] {
            queue.StopAndClear();
            stopped = true;
        });
        QTRY_VERIFY(!queue.IsRunning());
        QVERIFY(!stopped.load());  // still waiting for the record in hand
        {
            std::lock_guard<std::mutex> lock(mutex);
            release = true;
        }
        cv.notify_all();
        stopper.join();
        QCOMPARE(handled, 1);
        QCOMPARE(queue.Size(), size_t(0));
        QVERIFY(!queue.Push(TrapRecord()));  // a stopped queue takes nothing
    }
};

QTEST_GUILESS_MAIN(ConsoleClientTest)
#include "ConsoleClientTest.moc"
