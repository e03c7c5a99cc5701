// vgnsa, the engine program: composes the engine's libraries. In a console window with -n (or
// --noservice, --console), else as a systemd service.

#include "engine/agent/EngineProgram.h"
#include "engine/snmp/SnmpThread.h"
#include "programs/vgnsa/VigilonEngine.h"

int main(int argc, char** argv)
{
    SnmpThread::PrepareProcessEnvironment();
    return EngineProgramMain(argc, argv, MakeVigilonEngine());
}
