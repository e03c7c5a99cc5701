// vgnsa, the engine program: composes the engine's libraries. In a console window with -n (or
// --noservice, --console), else as a systemd service.

#include "engine/agent/AgentMain.h"
#include "engine/agent/ControlSignals.h"
#include "engine/agent/RunSettings.h"
#include "engine/agent/ServiceHost.h"

int main(int argc, char** argv)
{
    // Before any thread exists, so that every thread inherits the mask and only the control-signal
    // thread takes these signals.
    BlockControlSignals();

    bool help = false;
    int mode = ChooseRunMode(argc, argv, help);
    if (help)
        PrintUsage(argc > 0 ? argv[0] : "vgnsa");
    if (mode == kRunModeConsole)
        return RunAgent(argc, argv);

    SetServiceStopCallback(StopAgent);
    SetServicePauseCallback(PauseAgent);
    SetServicePowerCallback(AgentPowerEvent);
    int serviceExitCode = 0;
    if (StartAgentService(argc, argv, RunAgent, &serviceExitCode) == 0)
        return 0; // no service manager: the message is printed
    return serviceExitCode;
}
