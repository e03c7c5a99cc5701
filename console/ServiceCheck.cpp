#include "console/ServiceCheck.h"

#include <QProcess>
#include <QStandardPaths>

bool IsEngineServiceRunning()
{
    const QString systemctl = QStandardPaths::findExecutable("systemctl");
    if (systemctl.isEmpty())
        return false;
    for (const char* unit : {"vigilon-agent", "vgagent"}) {
        QProcess p;
        p.start(systemctl, {"is-active", "--quiet", unit});
        if (!p.waitForFinished(5000)) {
            p.kill();
            p.waitForFinished(1000);
            continue;
        }
        if (p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return true;
    }
    return false;
}
