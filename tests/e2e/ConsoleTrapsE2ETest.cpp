// Consoles of the whole engine: registration by a read of the activation variable, the traps each
// console receives at its own trap port (SNMPv1, enterprise E, the code as specific trap, the varbinds
// in order with the engine MAC last, 50 ms apart per console), and no trap to a console that stayed
// silent for a whole keep-alive period (shortened for the test through VG_TEST_CONSOLE_KEEPALIVE_MS;
// the unit tests of the consoles cover the period's mechanics).

#include <gtest/gtest.h>

#include "tests/e2e/EngineProcess.h"

using namespace e2e;
using traptest::DecodedTrap;
using traptest::TrapReceiver;

namespace {

// Registers the manager at address as a console whose trap port is the receiver's.
void RegisterConsole(EngineInstall& engine, const char* address, TrapReceiver& receiver)
{
    ASSERT_EQ(engine.Get(E("10.1.1.0"), "wendolmar", address), "INTEGER: 1");
    ASSERT_EQ(engine.Set(E("11.3.2.2.0"), "i", std::to_string(receiver.Port()), "wendolmar", address), "");
    ASSERT_EQ(engine.Get(E("11.4.0"), "wendolmar", address), "INTEGER: " + std::to_string(receiver.Port()));
}

// The engine's own address and MAC as it serves them (E.10.1.2.1.0, E.10.1.2.6.0): every trap carries
// them as its agent address and last varbind.
struct EngineIdentity {
    std::string address;
    std::string mac;
};

EngineIdentity ReadIdentity(EngineInstall& engine)
{
    EngineIdentity id;
    const std::string address = engine.Get(E("10.1.2.1.0"));
    if (address.rfind("IpAddress: ", 0) == 0)
        id.address = address.substr(11);
    const std::string mac = engine.Get(E("10.1.2.6.0"));
    if (mac.size() > 10 && mac.rfind("STRING: \"", 0) == 0)
        id.mac = mac.substr(9, mac.size() - 10);
    return id;
}

void ExpectValueChanged(const EngineIdentity& id, const DecodedTrap& t, const std::string& oid, unsigned char type,
                        const std::string& text, int64_t integer)
{
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(t.version, 0);
    EXPECT_EQ(t.pduType, 0xA4);
    EXPECT_EQ(t.community, "wendolmar");
    EXPECT_EQ(t.enterprise, kE);
    EXPECT_EQ(t.generic, 6);
    EXPECT_EQ(t.specific, 1001);
    EXPECT_EQ(t.agentAddress, id.address);
    ASSERT_EQ(t.varbinds.size(), 2u);
    EXPECT_EQ(t.varbinds[0].oid, oid);
    EXPECT_EQ(t.varbinds[0].type, type);
    if (type == 0x04)
        EXPECT_EQ(t.varbinds[0].text, text);
    else
        EXPECT_EQ(t.varbinds[0].integer, integer);
    EXPECT_EQ(t.varbinds[1].oid, E("10.1.2.6.0"));
    EXPECT_EQ(t.varbinds[1].type, 0x04);
    EXPECT_EQ(t.varbinds[1].text, id.mac);
}

int64_t MsBetween(const DecodedTrap& first, const DecodedTrap& second)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(second.received - first.received).count();
}

} // namespace

TEST(ConsoleTrapsE2E, RegisteredConsolesReceiveEachChangeInOrder)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    const EngineIdentity id = ReadIdentity(engine);
    ASSERT_FALSE(id.address.empty() || id.mac.empty());
    TrapReceiver first("127.0.0.2");
    TrapReceiver second("127.0.0.3");
    ASSERT_GT(first.Port(), 0);
    ASSERT_GT(second.Port(), 0);
    RegisterConsole(engine, "127.0.0.2", first);
    RegisterConsole(engine, "127.0.0.3", second);
    EXPECT_TRUE(fs::exists(engine.Path("data/vgcnsext.dat")));
    EXPECT_EQ(first.Count(), 0u); // console settings announce nothing

    // A change made by a manager that is no console reaches both consoles.
    ASSERT_EQ(engine.Set(E("10.4.2.1.0"), "i", "50"), "");
    ASSERT_TRUE(first.WaitFor(1));
    ASSERT_TRUE(second.WaitFor(1));
    ExpectValueChanged(id, first.Traps()[0], E("10.4.2.1.0"), 0x02, "", 50); // the value as the SET gave it
    ExpectValueChanged(id, second.Traps()[0], E("10.4.2.1.0"), 0x02, "", 50);
    // Registration order, 50 ms apart where they are sent (the consoles' unit tests hold the exact
    // spacing). The kernel's arrival stamps keep the receivers' scheduling out; the floor leaves room
    // for the engine's SNMP thread, which puts each trap on the wire, to run late once.
    EXPECT_GE(MsBetween(first.Traps()[0], second.Traps()[0]), 25);

    ASSERT_EQ(engine.Set(E("10.1.6.1.0"), "s", "mail.example"), "");
    ASSERT_TRUE(first.WaitFor(2));
    ASSERT_TRUE(second.WaitFor(2));
    ExpectValueChanged(id, first.Traps()[1], E("10.1.6.1.0"), 0x04, "mail.example", 0);
    EXPECT_GE(MsBetween(first.Traps()[1], second.Traps()[1]), 25);

    // One SET that announces two changes: each console gets both, in order.
    ASSERT_EQ(engine.Set(E("10.1.3.1.0"), "i", "3"), "");
    ASSERT_TRUE(first.WaitFor(4));
    ASSERT_TRUE(second.WaitFor(4));
    for (TrapReceiver* r : {&first, &second}) {
        auto traps = r->Traps();
        ExpectValueChanged(id, traps[2], E("10.1.2.7.5.0"), 0x02, "", 2);
        ExpectValueChanged(id, traps[3], E("10.1.3.1.0"), 0x02, "", 3);
    }
    // SETs without a trap send nothing: the next change's trap is the next to arrive (fan-outs keep
    // their order).
    ASSERT_EQ(engine.Set(E("10.1.13.3.0"), "i", "4"), "");
    ASSERT_EQ(engine.Set(E("10.4.2.1.0"), "i", "70"), "");
    ASSERT_TRUE(first.WaitFor(5));
    ASSERT_TRUE(first.Sync());
    ASSERT_EQ(first.Count(), 5u);
    ExpectValueChanged(id, first.Traps()[4], E("10.4.2.1.0"), 0x02, "", 70);
}

// A console silent for a whole keep-alive period is dropped and gets no traps; its next read brings it
// back. The period is shortened to a few seconds: a console is dropped at the first end of a period
// that finds it untouched, so between one and two periods after its last contact.
TEST(ConsoleTrapsE2E, SilentConsoleGetsNoTrapsUntilItReadsAgain)
{
    constexpr int kPeriodMs = 2500;
    EngineInstall engine;
    engine.SetEnv("VG_TEST_CONSOLE_KEEPALIVE_MS", std::to_string(kPeriodMs));
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    const EngineIdentity id = ReadIdentity(engine);
    ASSERT_FALSE(id.address.empty() || id.mac.empty());
    TrapReceiver silent("127.0.0.4");
    TrapReceiver alive("127.0.0.5");
    RegisterConsole(engine, "127.0.0.4", silent);
    RegisterConsole(engine, "127.0.0.5", alive);

    const auto start = std::chrono::steady_clock::now();
    const bool dropped = vgtest::WaitUntil(
        [&] {
            EXPECT_EQ(engine.Get(E("10.1.1.0"), "wendolmar", "127.0.0.5"), "INTEGER: 1"); // keeps it alive
            return engine.LogText().find("Console Deactivated at 127.0.0.4") != std::string::npos;
        },
        6 * kPeriodMs, kPeriodMs / 10);
    ASSERT_TRUE(dropped) << "the silent console was not dropped within six periods";
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kPeriodMs))
        << "dropped before a whole period of silence";
    EXPECT_EQ(engine.LogText().find("Console Deactivated at 127.0.0.5"), std::string::npos);

    ASSERT_EQ(engine.Set(E("10.4.1.2.0"), "i", "120"), "");
    ASSERT_TRUE(alive.WaitFor(1));
    ExpectValueChanged(id, alive.Traps()[0], E("10.4.1.2.0"), 0x02, "", 120);
    // Registered first, it would have been sent the trap before the live console was.
    ASSERT_TRUE(silent.Sync());
    EXPECT_EQ(silent.Count(), 0u);

    // Its next read makes it a console again.
    EXPECT_EQ(engine.Get(E("10.1.1.0"), "wendolmar", "127.0.0.4"), "INTEGER: 1");
    ASSERT_EQ(engine.Set(E("10.4.1.2.0"), "i", "180"), "");
    ASSERT_TRUE(silent.WaitFor(1));
    ExpectValueChanged(id, silent.Traps()[0], E("10.4.1.2.0"), 0x02, "", 180);
}
