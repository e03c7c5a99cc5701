#pragma once
// A scripted engine behind the console's transport: a table of OID -> value, every request recorded with
// its time, and time-outs scripted (for an OID, for a community other than the accepted one, for a peer,
// or for everything). Answers at once, so a time-out costs a test nothing.
// Threads: any; everything is guarded by one mutex.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>

#include "console/EngineTransport.h"
#include "engine/snmp/SnmpTypes.h"

namespace consoletest {

inline const std::string kE = "1.3.6.1.4.1.64950";
inline std::string E(const std::string& tail) { return kE + "." + tail; }

struct FakeCall {
    SnmpCommand command = SnmpCommand::Get;
    std::string oid;
    SnmpValue value;
    std::string peer;
    uint16_t port = 0;
    std::string community;
    int version = 0;
    std::chrono::steady_clock::time_point at;
};

class FakeEngine : public IEngineTransport {
public:
    void Set(const std::string& oid, SnmpValue value)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values[Key(oid)] = std::move(value);
    }
    void SetInt(const std::string& oid, int32_t v) { Set(oid, SnmpValue::Integer(v)); }
    void SetText(const std::string& oid, const std::string& v) { Set(oid, SnmpValue::Octets(v)); }
    void Remove(const std::string& oid)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values.erase(Key(oid));
    }
    SnmpValue Value(const std::string& oid)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_values.find(Key(oid));
        return it == m_values.end() ? SnmpValue() : it->second;
    }
    // Requests for this OID time out.
    void TimeOut(const std::string& oid)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_timeouts.insert(oid);
    }
    // Every request times out (a dead engine).
    void SetDead(bool dead)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dead = dead;
    }
    // Requests with another community time out, as an agent drops them.
    void AcceptCommunity(const std::string& community)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_community = community;
    }
    // Requests to this peer time out (nothing answers at that address).
    void DropPeer(const std::string& peer)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_droppedPeers.insert(peer);
    }

    // Requests for this OID wait (after they are recorded as held) until released one by one or all.
    void HoldRequests(const std::string& oid)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held = oid;
    }
    void ReleaseOne()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_releases;
        m_changed.notify_all();
    }
    void ReleaseAll()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held.clear();
        m_changed.notify_all();
    }
    size_t HeldCount()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_heldCount;
    }

    SnmpClientResult Request(const SnmpClientRequest& request) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        SnmpClientResult result;
        const SnmpVarbind& vb = request.varbinds.front();
        if (!m_held.empty() && OidToString(vb.oid) == m_held) {
            ++m_heldCount;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return m_releases > 0 || m_held.empty(); });
            if (m_releases > 0)
                --m_releases;
        }
        FakeCall call{request.command, OidToString(vb.oid), vb.value, request.peer, request.port,
                      request.community, request.version, std::chrono::steady_clock::now()};
        m_calls.push_back(call);
        m_changed.notify_all();
        if (m_dead || m_timeouts.count(call.oid) || m_droppedPeers.count(request.peer) ||
            (!m_community.empty() && request.community != m_community)) {
            result.status = SnmpClientStatus::Timeout;
            return result;
        }
        result.status = SnmpClientStatus::Ok;
        auto it = m_values.find(vb.oid);
        if (request.command == SnmpCommand::GetNext) {
            auto next = m_values.upper_bound(vb.oid);
            if (next == m_values.end())
                result.varbinds.push_back({vb.oid, EndOfView()});
            else
                result.varbinds.push_back({next->first, next->second});
            return result;
        }
        if (request.command == SnmpCommand::Set) {
            m_values[vb.oid] = vb.value;
            result.varbinds.push_back(vb);
            return result;
        }
        if (it != m_values.end()) {
            result.varbinds.push_back({vb.oid, it->second});
        } else if (request.version == 0) {
            result.errorStatus = 2;  // noSuchName
            result.errorIndex = 1;
            result.varbinds.push_back({vb.oid, SnmpValue()});
        } else {
            SnmpValue missing;
            missing.type = kSnmpNoSuchInstance;
            result.varbinds.push_back({vb.oid, missing});
        }
        return result;
    }

    std::vector<FakeCall> Calls()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    void ClearCalls()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.clear();
    }
    // The SETs since the calls were last cleared, in order: "oid below E=value".
    QStringList Sets()
    {
        QStringList out;
        for (const FakeCall& c : Calls()) {
            if (c.command != SnmpCommand::Set)
                continue;
            const QString value = c.value.type == kSnmpOctetString ? QString::fromStdString(c.value.bytes)
                                                                    : QString::number(c.value.integer);
            out << QString::fromStdString(c.oid.substr(kE.size() + 1)) + "=" + value;
        }
        return out;
    }
    // "G oid" / "S oid" / "N oid" for each request, in order.
    std::vector<std::string> Log()
    {
        std::vector<std::string> out;
        for (const FakeCall& c : Calls())
            out.push_back(std::string(c.command == SnmpCommand::Get ? "G " : c.command == SnmpCommand::Set ? "S " : "N ") +
                          c.oid);
        return out;
    }
    size_t Count(SnmpCommand command, const std::string& oid)
    {
        size_t n = 0;
        for (const FakeCall& c : Calls())
            n += c.command == command && c.oid == oid;
        return n;
    }
    // Waits until pred(calls) holds.
    bool WaitFor(const std::function<bool(const std::vector<FakeCall>&)>& pred, int ms = 5000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(m_calls); });
    }
    bool WaitForCount(SnmpCommand command, const std::string& oid, size_t n, int ms = 5000)
    {
        return WaitFor(
            [&](const std::vector<FakeCall>& calls) {
                return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [&](const FakeCall& c) {
                           return c.command == command && c.oid == oid;
                       })) >= n;
            },
            ms);
    }

    // An engine with devices and remote rows as the console reads them.
    struct Device {
        std::string model;
        std::string location;
        int remoteIndex = 1;
        int status = 0;
        struct Event {
            std::string name;
            int actions = 0;
            int shutdownDelay = 0;
            int commandDelay = 0;
        };
        std::vector<Event> events;
    };
    struct Remote {
        std::string address;
        std::string community = "public";
        int single = 1;
        int positions = 1;
    };
    void Populate(const std::vector<Device>& devices, const std::vector<Remote>& remotes)
    {
        SetInt(E("10.1.1.0"), 1);
        SetInt(E("10.1.2.5.0"), 2);
        SetInt(E("10.1.4.1.0"), 1);
        SetInt(E("10.1.4.2.0"), 2);
        SetInt(E("10.1.2.17.0"), 0);
        SetInt(E("11.3.2.2.0"), 3665);
        Set(E("10.1.2.1.0"), SnmpValue::IpAddress(0x0100007F));
        SetInt(E("10.2.1.0"), static_cast<int>(devices.size()));
        for (size_t i = 0; i < devices.size(); ++i) {
            const Device& d = devices[i];
            const std::string row = "." + std::to_string(i + 1);
            SetText(E("10.2.2.1.9" + row), d.model);
            SetText(E("10.2.2.1.12" + row), d.location);
            SetInt(E("10.2.2.1.18" + row), static_cast<int>(d.events.size()));
            SetInt(E("10.2.2.1.24" + row), d.remoteIndex);
            SetInt(E("10.2.2.1.25" + row), d.status);
            for (size_t e = 0; e < d.events.size(); ++e) {
                const std::string cell = row + "." + std::to_string(e + 1);
                SetText(E("10.2.3.2.1.4" + cell), d.events[e].name);
                SetInt(E("10.2.3.2.1.7" + cell), d.events[e].actions);
                SetInt(E("10.2.3.2.1.19" + cell), d.events[e].shutdownDelay);
                SetText(E("10.2.3.2.1.8" + cell), "");
                SetText(E("10.2.3.2.1.9" + cell), "");
                SetInt(E("10.2.3.2.1.18" + cell), d.events[e].commandDelay);
            }
        }
        SetInt(E("10.6.1.0"), static_cast<int>(remotes.size()));
        for (size_t i = 0; i < remotes.size(); ++i) {
            const std::string row = "." + std::to_string(i + 1);
            SetText(E("10.6.2.1.3" + row), remotes[i].address);
            SetText(E("10.6.2.1.5" + row), remotes[i].community);
            SetText(E("10.6.2.1.10" + row), "v");
            SetInt(E("10.6.2.1.8" + row), remotes[i].single);
            SetInt(E("10.6.2.1.12" + row), remotes[i].positions);
        }
    }

private:
    static SnmpOid Key(const std::string& oid) { return MakeOid(oid.c_str()); }
    static SnmpValue EndOfView()
    {
        SnmpValue v;
        v.type = kSnmpEndOfMibView;
        return v;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<SnmpOid, SnmpValue> m_values;
    std::set<std::string> m_timeouts;
    bool m_dead = false;
    std::string m_community;
    std::set<std::string> m_droppedPeers;
    std::vector<FakeCall> m_calls;
    std::string m_held;
    size_t m_heldCount = 0;
    size_t m_releases = 0;
};

}  // namespace consoletest
