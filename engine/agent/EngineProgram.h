#pragma once

#include "engine/agent/EngineServerHooks.h"

// The body of the engine program's main: chooses console or service mode, creates the process's one
// engine run (AgentRun), wires the service's controls to it and runs it with the composition that
// the program's main.cpp built (EngineServerHooks.h).
//
// Threads: called once, on the main thread, before any other thread of the program exists (it blocks
// the control signals first, so that every later thread inherits the mask).

// The process exit code: RunAgent's result in console mode; in service mode the engine's result, or 0
// when no service manager started the program ("Couldn't start service - Vigilon Agent"). A command
// line that asks for the version ("-v", "--version") prints it and answers 0 in either mode, without
// a service.
int EngineProgramMain(int argc, char** argv, const EngineComposition& composition);
