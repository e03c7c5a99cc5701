// vgnsa, the engine program: composes the engine's libraries. In a console window with -n (or
// --noservice, --console), else as a systemd service.

#include "engine/agent/EngineProgram.h"
#include "programs/vgnsa/VigilonEngine.h"

int main(int argc, char** argv)
{
    return EngineProgramMain(argc, argv, MakeVigilonEngine());
}
