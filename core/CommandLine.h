#pragma once
// The command line of the agent program:
//
//   agente [--headless] [--registry FILE] [--log-dir DIR] [--cycles N]
//          [--print-config] [--check [--probe]] [--status] [--version] [--help]
//
// An option's value follows as the next argument or after '=' (--cycles=3); a
// next argument starting with "--" is taken for a forgotten value, not as one
// (write --registry=--odd-name for such a value).
// The whole line is read before anything is done, so a bad option anywhere
// stops the program before it starts. Repeating an option keeps its last value.
//
// Thread safety: pure functions of their arguments.

#include <QString>
#include <QStringList>
#include <optional>

struct AgentOptions {
    bool headless = false;
    QString registry;              // empty: KELVOR_REGISTRY or the default path
    QString logDir;                // empty: the executable's folder
    std::optional<qint32> cycles;  // stop after this many cycles (>= 1)
    bool printConfig = false;
    bool check = false;   // look at the station and exit (StationCheck)
    bool probe = false;   // with --check: ask each reader for its status
    bool status = false;  // print the readers' status file as a table and exit
    bool version = false;
    bool help = false;
};

struct CommandLineResult {
    std::optional<AgentOptions> options;  // set when the line is valid
    QString error;                        // one line naming the bad option or value
};

// args: the arguments without the program name.
CommandLineResult ParseCommandLine(const QStringList& args);

// The text printed by --help (several lines, ending with a line end).
QString UsageText();
