// vgnsa, the engine program: composes the engine's libraries. In a console window with -n (or
// --noservice, --console), else as a systemd service.

#include "engine/agent/EngineProgram.h"

int main(int argc, char** argv)
{
    // The engine server's factory is registered here (SetEngineServerFactory) once the server is
    // part of the program; until then the engine runs its agent without a server.
    return EngineProgramMain(argc, argv);
}
