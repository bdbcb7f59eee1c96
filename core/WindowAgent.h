#pragma once
// The agent with its window: start-up with the main window, the event loop
// until the window closes. Implemented with the window (TMainForm); the
// program calls it when it is built with the window (KELVOR_WITH_WINDOW) and
// --headless is not given.
//
// Call on the main thread before any application object exists; the
// settings file of the process is already chosen. Returns the exit code.

struct AgentOptions;

int RunWindow(const AgentOptions& options, int& argc, char** argv);
