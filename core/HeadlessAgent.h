#pragma once
// The agent without a window (service use): the start-up of the window
// version minus the window, and the close of an accepted close.
//
//   settings loaded -> station lock (another agent on the settings file:
//   one line on standard error, exit status 1) -> session log opened ->
//   thread created paused -> data module and the user-interface
//   thread's database connection -> thread let run -> event loop until
//   SIGTERM/SIGINT or the cycle limit -> the thread ends after its cycle ->
//   session log end lines, settings saved.
//
// Exit status 0 after a close, also by signal (a service's stop); after the
// cycle limit, 1 when no reader answered in the last cycle (a scripted run
// that read nothing is no success), with one line on standard error.
//
// Standard error (the service manager's journal) gets every line of level
// error or attention, whatever "LogFileActivado" says, and the information
// lines only while they go to the session log; a session log that cannot be
// written is said there once and the agent goes on without it.
//
// A database that cannot be opened at start-up is logged and the agent goes
// on: the thread opens its own connection and keeps retrying through its
// recovery, so a service started before its database server recovers by
// itself.
//
// Call on the main thread with a QCoreApplication (or QApplication) in
// existence; the settings file of the process is already chosen
// (RegistryFile::SetProcessPath). Returns the process exit code.

#include <QString>

#include "core/ThreadTiming.h"

struct HeadlessOptions {
    QString logDir;  // empty: the executable's folder
    int cycles = 0;  // 0: until a termination signal
    ThreadTiming timing;
};

int RunHeadless(const HeadlessOptions& options);
