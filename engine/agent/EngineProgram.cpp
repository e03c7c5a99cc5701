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
    // The one run of this process; the service's controls and the console's signals reach it.
    AgentRun run;
    if (mode == kRunModeConsole)
        return RunAgent(run, argc, argv, composition);

    SetServiceStopCallback([&run] { run.Stop(); });
    SetServicePauseCallback([&run](bool pause) { return run.Pause(pause); });
    SetServicePowerCallback([&run](bool suspend) { run.PowerEvent(suspend); });
    int serviceExitCode = 0;
    const int started = StartAgentService(
        argc, argv, [&run, &composition](int runArgc, char** runArgv) { return RunAgent(run, runArgc, runArgv, composition); },
        &serviceExitCode);
    // The controls must not outlive the run they reach.
    SetServiceStopCallback(nullptr);
    SetServicePauseCallback(nullptr);
    SetServicePowerCallback(nullptr);
    if (started == 0)
        return 0; // no service manager: the message is printed
    return serviceExitCode;
}
