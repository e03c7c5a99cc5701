#pragma once
// The one place that includes net-snmp. Also declares the exported library functions that have no
// installed header (the MIB group initialisers and a few configuration handlers).
//
// Threads: every function declared or included here belongs to the SNMP thread (SnmpThread.h).

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/snmpUDPDomain.h>
#include <net-snmp/library/vacm.h>
#include <net-snmp/library/large_fd_set.h>

extern "C" {
// Standard MIB groups of libnetsnmpmibs.
void init_system_mib(void);
void init_sysORTable(void);
void init_snmp_mib(void);
void init_setSerialNo(void);
void init_snmpTargetAddrEntry(void);
void init_snmpTargetParamsEntry(void);
void init_target_counters(void);
void init_snmpNotifyTable(void);
void init_snmpNotifyFilterTable(void);
void init_snmpNotifyFilterProfileTable(void);
void init_notification_log(void);
void init_usmUser(void);
void init_usmStats(void);
void init_snmpEngine(void);
void init_snmpMPDStats(void);
void init_vacm_vars(void);
void init_vacm_context(void);
// libnetsnmpagent.
void init_vacm_conf(void);
// libnetsnmpagent: the agent's first listening session (exported, declared in no installed header).
extern netsnmp_session* main_session;
// libnetsnmpagent: the AgentX master's callback for its sessions (agentx/master_admin.h is not
// installed), and libnetsnmp's list of open sessions.
int handle_master_agentx_packet(int operation, netsnmp_session* session, int reqid, netsnmp_pdu* pdu,
                                void* magic);
extern struct session_list* Sessions;
// libnetsnmp configuration handlers.
void oldengineID_conf(const char* word, char* cptr);
}
