#include "engine/agent/EngineProgram.h"

#include "engine/agent/AgentMain.h"
#include "engine/agent/ControlSignals.h"
#include "engine/agent/RunSettings.h"
#include "engine/agent/ServiceHost.h"

int EngineProgramMain(int argc, char** argv, const EngineComposition& composition)
{
    BlockControlSignals();

    bool help = false;
    int mode = ChooseRunMode(argc, argv, help);
    if (help)
        PrintUsage(argc > 0 && argv[0] != nullptr ? argv[0] : "vgnsa");
    if (mode == kRunModeConsole)
        return RunAgent(argc, argv, composition);

    SetServiceStopCallback(StopAgent);
    SetServicePauseCallback(PauseAgent);
    SetServicePowerCallback(AgentPowerEvent);
    int serviceExitCode = 0;
    if (StartAgentService(
            argc, argv, [&composition](int runArgc, char** runArgv) { return RunAgent(runArgc, runArgv, composition); },
            &serviceExitCode) == 0)
        return 0; // no service manager: the message is printed
    return serviceExitCode;
}
