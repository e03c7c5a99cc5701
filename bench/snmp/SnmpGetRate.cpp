// One SNMP client, one request at a time: GET requests per second against an agent, each request one
// varbind, cycling through the OIDs of a file (one dotted OID per line). A plain net-snmp client
// program of its own (single-threaded). Run by hand (bench/snmp_vs_snmpd.sh runs it):
//     snmp_get_rate PEER COMMUNITY SECONDS OIDFILE
// Prints "requests=N seconds=S rate=R failed=F".

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s PEER COMMUNITY SECONDS OIDFILE\n", argv[0]);
        return 2;
    }
    setenv("MIBS", "", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    init_snmp("snmp_get_rate");

    std::vector<std::vector<oid>> oids;
    std::ifstream in(argv[4]);
    for (std::string line; std::getline(in, line);) {
        if (line.empty())
            continue;
        oid name[MAX_OID_LEN];
        size_t length = MAX_OID_LEN;
        if (read_objid(line.c_str(), name, &length))
            oids.emplace_back(name, name + length);
    }
    if (oids.empty()) {
        std::fprintf(stderr, "no OIDs in %s\n", argv[4]);
        return 2;
    }

    netsnmp_session config;
    snmp_sess_init(&config);
    config.peername = argv[1];
    config.version = SNMP_VERSION_2c;
    config.community = reinterpret_cast<u_char*>(argv[2]);
    config.community_len = std::char_traits<char>::length(argv[2]);
    config.timeout = 1000000;
    config.retries = 0;
    netsnmp_session* session = snmp_open(&config);
    if (!session) {
        snmp_perror("snmp_open");
        return 1;
    }

    const double seconds = std::atof(argv[3]);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    long requests = 0, failed = 0;
    size_t next = 0;
    while (Clock::now() < end) {
        netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
        const auto& name = oids[next++ % oids.size()];
        snmp_add_null_var(pdu, name.data(), name.size());
        netsnmp_pdu* response = nullptr;
        const int status = snmp_synch_response(session, pdu, &response);
        if (status != STAT_SUCCESS || !response || response->errstat != SNMP_ERR_NOERROR)
            ++failed;
        if (response)
            snmp_free_pdu(response);
        ++requests;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("requests=%ld seconds=%.3f rate=%.1f failed=%ld\n", requests, elapsed, static_cast<double>(requests) / elapsed, failed);
    snmp_close(session);
    return 0;
}
