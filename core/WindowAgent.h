#pragma once
// The agent with its window: start-up with the main window, the event loop
// until the window closes. The program calls it when --headless is not given.
//
//   settings loaded -> application object ("Agente") -> main window (single
//   instance, session log, start-up row, thread created paused, tray) ->
//   data module, about box, options and password windows -> database opened
//   -> status panels -> thread let run -> event loop until the close ->
//   session log end lines -> settings saved.
//
// A second agent shows "Ya esta ejecutando una instancia del agente" and ends
// with 0 without any further step. When the headless service holds the
// station, no agent starts and no warning is shown: the read-only view of the
// service (ServiceView) stays until it is closed or a signal comes, and the
// program ends with 0 having written nothing. A signal ends every modal box
// and dialog first (the warning too), so SIGTERM always ends the program. Without a display the program says so in
// one line, suggests --headless, and ends with 1. A database that cannot be
// opened at start-up is reported in the log and the list, and the agent goes
// on: the thread opens its own connection and keeps retrying. SIGTERM and
// SIGINT close the agent as an accepted close does, without asking for the
// password (nobody is there to type it); so does the end of --cycles.
//
// Test hooks (environment): KELVOR_SCREENSHOT=FILE shows the window instead
// of minimizing it and saves a picture of it after every cycle;
// KELVOR_DIALOG_TIMEOUT_MS=N closes the second-agent message by itself after
// N ms; KELVOR_SERVICE_REFRESH_MS=N refreshes the service's view every N ms
// (and with KELVOR_SCREENSHOT it saves a picture of that view once shown).
//
// Call on the main thread before any application object exists; the
// settings file of the process is already chosen. Returns the exit code.

struct AgentOptions;

int RunWindow(const AgentOptions& options, int& argc, char** argv);

// True when a window can be opened: a Qt platform other than X11 or Wayland
// was chosen, or the X11 or Wayland display named by the environment exists.
bool DisplayAvailable();
