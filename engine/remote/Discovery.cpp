#include "engine/remote/Discovery.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "engine/remote/RemoteSnmpServer.h"

namespace {

// E.10.1.11.<n>.0: the progress objects of the trap.
std::vector<uint32_t> ProgressOid(uint32_t n)
{
    return {1, 3, 6, 1, 4, 1, 64950, 10, 1, 11, n, 0};
}

const uint32_t kVersionText[] = {1, 3, 6, 1, 4, 1, 64950, 10, 1, 2, 3, 0};
// Engines of major version 12.
const uint32_t kLegacyState[] = {1, 3, 6, 1, 4, 1, 64950, 10, 1, 2, 2, 0};
const uint32_t kLegacyRole[] = {1, 3, 6, 1, 4, 1, 64950, 10, 1, 3, 1, 0};
const uint32_t kLegacyMac[] = {1, 3, 6, 1, 4, 1, 64950, 10, 1, 2, 6, 0};
const uint32_t kLegacyDevices[] = {1, 3, 6, 1, 4, 1, 64950, 10, 2, 1, 0};
// Engines of major version 15 and above.
const uint32_t kEngineState[] = {1, 3, 6, 1, 4, 1, 64950, 1, 2, 1, 1, 1, 0};
const uint32_t kEngineMac[] = {1, 3, 6, 1, 4, 1, 64950, 1, 2, 1, 1, 4, 0};
const uint32_t kEngineDevices[] = {1, 3, 6, 1, 4, 1, 64950, 1, 1, 1, 1, 0};

constexpr int32_t kLegacyRoleEngine = 3;
constexpr uint32_t kVersionV2c = 2;
constexpr uint32_t kVersionV1 = 1;
constexpr int kProgressPeriodMs = 500;

const char* const kResultTexts[] = {
    "The discovery and initialization of the remote was successful",
    "The IP address is the address of the engine and cannot be discovered.",
    "no devices were found at the ip address provided",
    "The IP address was found but has a MAC Address that is not supported by VGNMS",
    "The IP address was found but the device was not added because the initialization failed",
    "The maximum number of devices allowed has been reached - no more additions allowed",
    "A device was discovered but has a type not allowed by VGNMS",
    "Vigilon code found but is running VGNMS - not discovered",
    "This remote is already being monitored",
    "This remote is already being monitored and has been updated to reflect address changes",
    "The entry in the config file is incomplete",
    "The server entered is not a valid IP address",
    "The number of devices for this remote has changed, remotes devices has been updated",
    "The IP address was discovered but has no devices to add",
    "The discovery has failed",
};

// A decimal number of 1 to 3 digits and nothing else.
bool ParseHostNumber(const std::string& text, int& out)
{
    if (text.empty() || text.size() > 3)
        return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

std::string TimeStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char buffer[32] = {};
    std::strftime(buffer, sizeof buffer, "%m/%d/%Y %H:%M:%S", &local);
    return buffer;
}

TrapVarbind IntegerVarbind(uint32_t n, int32_t value)
{
    TrapVarbind vb;
    vb.oid = ProgressOid(n);
    vb.syntax = kTrapSyntaxInteger;
    vb.integer = value;
    return vb;
}

TrapVarbind TextVarbind(uint32_t n, const std::string& value)
{
    TrapVarbind vb;
    vb.oid = ProgressOid(n);
    vb.syntax = kTrapSyntaxOctetString;
    vb.octets = value;
    return vb;
}

} // namespace

const char* DiscoveryResultText(int code)
{
    if (code < 0 || code >= static_cast<int>(sizeof kResultTexts / sizeof kResultTexts[0]))
        return "";
    return kResultTexts[code];
}

bool IsValidDiscoveredMac(const std::string& mac)
{
    std::string text = mac;
    ToLowerString(text);
    if (text.empty() || text == "ff:ff:ff:ff:ff:ff" || text == "00:00:00:00:00:00")
        return false;
    return text.substr(0, text.find(':')) != "40";
}

void ExpandDiscoveryAddresses(const std::string& text, std::set<std::string>& out, bool& single)
{
    std::vector<std::string> parts;
    SplitString(text, ",", parts);
    bool anySingle = false, anyRange = false;
    for (const std::string& part : parts) {
        if (part.back() == '.') {
            anyRange = true;
            for (int host = 1; host <= 254; ++host)
                out.insert(part + std::to_string(host));
            continue;
        }
        const size_t dash = part.find('-');
        if (dash != std::string::npos) {
            anyRange = true;
            const size_t dot = part.rfind('.', dash);
            int first = 0, last = 0;
            if (dot == std::string::npos || !ParseHostNumber(part.substr(dot + 1, dash - dot - 1), first) ||
                !ParseHostNumber(part.substr(dash + 1), last))
                continue;
            if (first < 1 || first >= last || last > 254)
                continue;
            const std::string prefix = part.substr(0, dot + 1);
            for (int host = first; host <= last; ++host)
                out.insert(prefix + std::to_string(host));
            continue;
        }
        if (std::count(part.begin(), part.end(), '.') != 3)
            continue;
        anySingle = true;
        const std::string lastPart = part.substr(part.rfind('.') + 1);
        if (lastPart != "0" && lastPart != "255")
            out.insert(part);
    }
    single = anySingle && !anyRange;
}

// ---------------------------------------------------------------------------------------------------
// NetDiscoveryProgress

NetDiscoveryProgress* NetDiscoveryProgress::getInstance()
{
    // A function-local object: created once under the language's own guard, destroyed at exit.
    static NetDiscoveryProgress instance;
    return &instance;
}

void NetDiscoveryProgress::SetSink(Sink sink)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sink = std::move(sink);
}

void NetDiscoveryProgress::Start(int32_t count)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values = Values();
        m_values.status = kDiscoveryStarted;
        m_values.count = count;
    }
    Notifiy();
}

void NetDiscoveryProgress::SetStatus(int32_t status)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values.status = status;
    }
    Notifiy();
}

void NetDiscoveryProgress::Found(const std::string& address, const std::string& community, uint32_t port,
                                 uint32_t version)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_values.countFound < m_values.count)
            ++m_values.countFound;
    }
    Notifiy(address, community, port, version);
}

void NetDiscoveryProgress::IncrementQueued()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_values.countQueued < m_values.countFound)
            ++m_values.countQueued;
    }
    Notifiy();
}

void NetDiscoveryProgress::IncrementScanned()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_values.countScanned < m_values.count)
            ++m_values.countScanned;
    }
    Notifiy();
}

void NetDiscoveryProgress::Notifiy(const std::string& address, const std::string& community, uint32_t port,
                                   uint32_t version)
{
    Values v;
    Sink sink;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_values.countNotifies;
        v = m_values;
        sink = m_sink;
    }
    AppLog* log = AppLog::Instance();
    log->Printf(kLogDebug,
                " Values sent in progress trap: count = %d, status=%d, countScanned=%d, countFound=%d, "
                "countQueued=%d, countAdded=%d",
                v.count, v.status, v.countScanned, v.countFound, v.countQueued, v.countAdded);
    if (v.countScanned != 0)
        log->Printf(kLogDebug,
                    "[NetDiscoveryProgress::Notifiy] count scanned is now not zero countScanned =%d, countNotifies=%d",
                    v.countScanned, v.countNotifies);
    if (!sink)
        return;
    std::vector<TrapVarbind> varbinds = {
        IntegerVarbind(6, v.status),       IntegerVarbind(7, v.count),       IntegerVarbind(8, v.countScanned),
        IntegerVarbind(9, v.countFound),   IntegerVarbind(10, v.countQueued), IntegerVarbind(11, v.countAdded),
    };
    if (!address.empty()) {
        varbinds.push_back(TextVarbind(12, address));
        varbinds.push_back(TextVarbind(13, community));
        varbinds.push_back(IntegerVarbind(14, static_cast<int32_t>(port)));
        varbinds.push_back(IntegerVarbind(15, static_cast<int32_t>(version)));
    }
    try {
        sink(varbinds);
    } catch (...) {
        log->Printf(kLogError, "[NetDiscoveryProgress::Notifiy] the progress trap could not be sent");
    }
}

NetDiscoveryProgress::Values NetDiscoveryProgress::Get()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values;
}

// ---------------------------------------------------------------------------------------------------
// CNetScanThread

CNetScanThread::CNetScanThread(CNetScan& scan) : VigilonThread("NetScanThread#", 0x4000), m_scan(scan) {}

CNetScanThread::~CNetScanThread()
{
    Cancel();
    Stop();
    WaitForEnd();
}

void CNetScanThread::Cancel()
{
    std::lock_guard<std::mutex> lock(m_sessionMutex);
    m_cancelled = true;
    if (m_session)
        m_session->Cancel();
}

void CNetScanThread::main()
{
    try {
        std::string address;
        while (!m_scan.IsCancelled() && m_scan.PopAddress(address)) {
            bool answered = false;
            for (const std::string& community : m_scan.Communities()) {
                for (uint32_t port : m_scan.Ports()) {
                    for (uint32_t version : {kVersionV2c, kVersionV1}) {
                        if (m_scan.IsCancelled())
                            break;
                        answered = scanForRemoteDevice(address, port, community, version);
                        if (answered)
                            break;
                    }
                    if (answered || m_scan.IsCancelled())
                        break;
                }
                if (answered || m_scan.IsCancelled())
                    break;
            }
            if (m_scan.IsCancelled())
                break;
            if (!answered && !m_scan.Host().HasDiscoveryResult(address))
                m_scan.Host().ReportDiscoveryResult(address, kDiscoveryNothingFound);
            m_scan.Progress().IncrementScanned();
        }
    } catch (const std::exception& e) {
        AppLog::Instance()->Printf(kLogError, "[CNetScanThread::main] scan thread failed: %s", e.what());
    } catch (...) {
        AppLog::Instance()->Printf(kLogError, "[CNetScanThread::main] scan thread failed");
    }
    m_finished.store(true);
}

bool CNetScanThread::scanForRemoteDevice(const std::string& address, uint32_t port, const std::string& community,
                                         uint32_t version)
{
    AppLog::Instance()->Printf(kLogDebug,
                               "[%08X] Scanning address '%s', port '%u', community string '%s', version '%u' for device",
                               static_cast<unsigned>(GetId()), address.c_str(), port, community.c_str(), version);
    INetScanHost& host = m_scan.Host();
    RemoteSnmpServer session(host.GetClient());
    if (port == 0 || port > 0xFFFF ||
        !session.InitializeForScan(address, community, static_cast<uint16_t>(port), version, m_scan.Options().retries,
                                   m_scan.Options().timeoutMs, host.GetLocalAddress()))
        return false;
    // The session is reachable by Cancel from here on, and closed on every way out.
    struct Registration {
        CNetScanThread& thread;
        RemoteSnmpServer& session;
        ~Registration()
        {
            {
                std::lock_guard<std::mutex> lock(thread.m_sessionMutex);
                thread.m_session = nullptr;
            }
            session.Close();
        }
    } registration{*this, session};
    {
        std::lock_guard<std::mutex> lock(m_sessionMutex);
        if (m_cancelled)
            return false;
        m_session = &session;
    }

    char version64[65] = {};
    uint32_t length = sizeof version64;
    if (!session.GetString(version64, length, kVersionText, sizeof kVersionText / sizeof kVersionText[0]))
        return false;
    const std::string versionText(version64, length);
    if (versionText.substr(0, 10) < "12.04.0040")
        return false;
    if (versionText.empty() || !std::isdigit(static_cast<unsigned char>(versionText[0])))
        return false;
    const unsigned long major = std::strtoul(versionText.c_str(), nullptr, 10);

    char mac[64] = {};
    uint32_t devices = 0;
    bool probed = false;
    if (major == 12)
        probed = ProbeLegacyEngine(session, address, mac, sizeof mac, devices);
    else if (major >= 15)
        probed = ProbeEngine(session, address, mac, sizeof mac, devices);
    // Majors below 12 and 13-14 are not engines this one can monitor.
    if (!probed)
        return false;

    if (!IsValidDiscoveredMac(mac)) {
        AppLog::Instance()->Printf(
            kLogError,
            "[CNetScanThread::scanForRemoteDevice] Found device at %s with invalid MAC Address (%s) - not adding remote",
            address.c_str(), mac);
        host.ReportDiscoveryResult(address, kDiscoveryInvalidMac);
    } else if (devices == 0) {
        AppLog::Instance()->Printf(kLogInfo,
                                   "[NetScanThread::scanForRemoteDevice] Remote Agent %s discovered but has no devices to add",
                                   address.c_str());
        host.ReportDiscoveryResult(address, kDiscoveryNoDevices);
    } else {
        m_scan.Progress().Found(address, community, port, version);
        m_scan.Progress().IncrementQueued();
        AppLog::Instance()->Printf(kLogInfo,
                                   "Autodiscovery found device at %s: community string='%s', port='%d', MAC address='%s'",
                                   address.c_str(), community.c_str(), static_cast<int>(port), mac);
    }
    return true;
}

bool CNetScanThread::LookUpMac(const std::string& address, char* mac, size_t macSize)
{
    std::string found;
    if (!m_scan.Host().LookUpMac(address, found) || found.empty())
        return false;
    std::snprintf(mac, macSize, "%s", found.c_str());
    return true;
}

bool CNetScanThread::ProbeLegacyEngine(RemoteSnmpServer& session, const std::string& address, char* mac,
                                       size_t macSize, uint32_t& devices)
{
    int32_t state = 0;
    if (!session.GetInt(state, kLegacyState, sizeof kLegacyState / sizeof kLegacyState[0]) || state == 0)
        return false;
    int32_t role = 0;
    if (session.GetInt(role, kLegacyRole, sizeof kLegacyRole / sizeof kLegacyRole[0]) && role == kLegacyRoleEngine) {
        m_scan.Host().ReportDiscoveryResult(address, kDiscoveryLegacyEngine);
        return false;
    }
    uint32_t length = static_cast<uint32_t>(macSize);
    if (!session.GetString(mac, length, kLegacyMac, sizeof kLegacyMac / sizeof kLegacyMac[0]) &&
        !LookUpMac(address, mac, macSize))
        return false;
    int32_t count = 0;
    if (!session.GetInt(count, kLegacyDevices, sizeof kLegacyDevices / sizeof kLegacyDevices[0]))
        return false;
    devices = count > 0 ? static_cast<uint32_t>(count) : 0;
    return true;
}

bool CNetScanThread::ProbeEngine(RemoteSnmpServer& session, const std::string& address, char* mac, size_t macSize,
                                 uint32_t& devices)
{
    int32_t state = 0;
    if (!session.GetInt(state, kEngineState, sizeof kEngineState / sizeof kEngineState[0]) || state == 0)
        return false;
    uint32_t length = static_cast<uint32_t>(macSize);
    if (!session.GetString(mac, length, kEngineMac, sizeof kEngineMac / sizeof kEngineMac[0]) &&
        !LookUpMac(address, mac, macSize))
        return false;
    return session.GetUInt(devices, kEngineDevices, sizeof kEngineDevices / sizeof kEngineDevices[0]);
}

// ---------------------------------------------------------------------------------------------------
// CNetScan

CNetScan::CNetScan(INetScanHost& host, NetScanOptions options, NetDiscoveryProgress* progress)
    : m_host(host), m_options(std::move(options)),
      m_progress(progress ? progress : NetDiscoveryProgress::getInstance())
{
    if (m_options.maxThreads == 0)
        m_options.maxThreads = 1;
    if (m_options.maxThreads > 32)
        m_options.maxThreads = 32;
    m_ports = m_options.ports;
}

CNetScan::~CNetScan()
{
    Cancel();
    Finish();
}

void CNetScan::Cancel()
{
    m_cancelled.store(true);
    {
        std::lock_guard<std::mutex> lock(m_threadsMutex);
        for (auto& thread : m_threads)
            thread->Cancel();
    }
    std::lock_guard<std::mutex> lock(m_waitMutex);
    m_wake.notify_all();
}

void CNetScan::Finish()
{
    std::vector<std::unique_ptr<CNetScanThread>> threads;
    {
        std::lock_guard<std::mutex> lock(m_threadsMutex);
        threads.swap(m_threads);
    }
    for (auto& thread : threads) {
        thread->Stop();
        thread->WaitForEnd();
    }
    threads.clear();
}

int CNetScan::ParseCommunities()
{
    if (!m_communities.empty())
        return 1;
    std::string text;
    if (!m_host.GetDiscoveryCommunities(text)) {
        m_progress->SetStatus(kDiscoveryNoCommunities);
        return 0;
    }
    if (text.empty()) {
        AppLog::Instance()->Printf(kLogError, "No community string(s) provided for autodiscovery");
        m_progress->SetStatus(kDiscoveryNoCommunities);
        return 0;
    }
    SplitString(text, ",", m_communities);
    if (m_communities.empty()) {
        AppLog::Instance()->Printf(kLogError, "Failed to parse any community strings for autodiscovery from '%s'",
                                   text.c_str());
        m_progress->SetStatus(kDiscoveryNoCommunities);
        return 0;
    }
    for (const std::string& community : m_communities)
        AppLog::Instance()->Printf(kLogDebug, "Autodiscover using community string '%s'", community.c_str());
    return 1;
}

int CNetScan::SetDefaultPorts()
{
    if (m_ports.empty())
        m_ports = {161, 3664};
    for (uint32_t port : m_ports)
        AppLog::Instance()->Printf(kLogDebug, "Autodiscover using SNMP port number '%u'", port);
    return 1;
}

int CNetScan::ParseAddresses()
{
    if (HasAddresses())
        return 1;
    m_host.SetSingleAddressMode(false);
    std::string text;
    if (!m_host.GetDiscoveryAddresses(text) || text.empty()) {
        m_progress->SetStatus(kDiscoveryNoAddresses);
        return 0;
    }
    AppLog::Instance()->Printf(kLogDebug, "Autodiscover using address string %s", text.c_str());
    std::vector<std::string> parts;
    SplitString(text, ",", parts);
    if (parts.empty()) {
        std::string line;
        FormatString(line, "Failed to parse any IP addresses for autodiscovery from '%s'", text.c_str());
        AppLog::Instance()->Log(kLogError, line.c_str());
        m_host.RecordDiscoveryErrors(line, 0);
        m_progress->SetStatus(kDiscoveryNoAddresses);
        return 0;
    }
    std::set<std::string> addresses;
    bool single = false;
    ExpandDiscoveryAddresses(text, addresses, single);
    m_host.SetSingleAddressMode(single);

    const std::string own = IpAddressToString(m_host.GetEngineAddress());
    AppLog::Instance()->Printf(kLogInfo, "Excluding our engine's IP address '%s' from scan", own.c_str());
    if (addresses.erase(own) != 0)
        m_host.ReportDiscoveryResult(own, kDiscoveryOwnAddress);
    if (addresses.empty()) {
        AppLog::Instance()->Printf(kLogError, "Failed to add any IP addresses for autodiscovery from '%s'", text.c_str());
        m_progress->SetStatus(kDiscoveryNoAddresses);
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_workLock);
    m_addresses.swap(addresses);
    return 1;
}

bool CNetScan::PopAddress(std::string& address)
{
    std::lock_guard<std::mutex> lock(m_workLock);
    if (m_addresses.empty())
        return false;
    address = *m_addresses.begin();
    m_addresses.erase(m_addresses.begin());
    return true;
}

bool CNetScan::HasAddresses()
{
    std::lock_guard<std::mutex> lock(m_workLock);
    return !m_addresses.empty();
}

bool CNetScan::IsRunning()
{
    std::lock_guard<std::mutex> lock(m_threadsMutex);
    for (auto& thread : m_threads)
        if (!thread->IsFinished())
            return true;
    return false;
}

int CNetScan::Run()
{
    AppLog* log = AppLog::Instance();
    log->Printf(kLogInfo, "Starting Autodiscovery of remote devices");
    if (!m_host.IsDiscoveryRequested()) {
        log->Printf(kLogInfo, "Autodiscovery already running!");
        return 1;
    }
    m_progress->SetSink([this](const std::vector<TrapVarbind>& varbinds) { m_host.SendProgressTrap(varbinds); });
    // The sink refers to this run's host: it goes when the run ends, whatever way.
    struct SinkReset {
        NetDiscoveryProgress* progress;
        ~SinkReset() { progress->SetSink(nullptr); }
    } sinkReset{m_progress};

    if (m_host.HasRemoteRows())
        m_host.CreateSafePoints();
    if (!HasAddresses())
        m_host.RecordDiscoveryErrors("Remote Device Discovery started at " + TimeStamp(), 0);
    if (!ParseCommunities() || !SetDefaultPorts() || !ParseAddresses())
        return 0;

    size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(m_workLock);
        count = m_addresses.size();
    }
    log->Printf(kLogInfo, "Autodiscovery will scan %u individual IP Addresses", static_cast<unsigned>(count));
    m_progress->Start(static_cast<int32_t>(count));
    m_host.SetBusy(true);
    struct BusyReset {
        INetScanHost& host;
        ~BusyReset() { host.SetBusy(false); }
    } busyReset{m_host};

    const size_t wanted = std::min(count, m_options.maxThreads);
    m_threadsStarted.store(0);
    {
        std::lock_guard<std::mutex> lock(m_threadsMutex);
        for (size_t i = 0; i < wanted && !m_cancelled.load(); ++i) {
            auto thread = std::make_unique<CNetScanThread>(*this);
            if (thread->Start()) {
                m_threads.push_back(std::move(thread));
                ++m_threadsStarted;
            }
            else
                log->Printf(kLogError, "[CNetScan::Start] scan thread %u could not be started", static_cast<unsigned>(i));
        }
    }
    m_progress->SetStatus(kDiscoveryScanning);

    while (IsRunning() && !m_cancelled.load()) {
        std::unique_lock<std::mutex> lock(m_waitMutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(kProgressPeriodMs), [this] { return m_cancelled.load(); });
        lock.unlock();
        if (m_cancelled.load())
            break;
        m_progress->Notifiy();
    }
    if (m_cancelled.load()) {
        Cancel();
        Finish();
        log->Printf(kLogInfo, "Autodiscovery of remote devices stopped");
        return 1;
    }
    log->Printf(kLogInfo, "Autodiscovery of remote devices complete");
    Finish();
    m_progress->SetStatus(kDiscoveryComplete);
    if (m_host.HasRemoteRows())
        m_host.CreateSafePoints();
    return 1;
}
