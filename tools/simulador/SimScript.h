#pragma once
// The option language of the simulator, shared by its command line, its
// script files and its control channel (see docs/simulador.md).
//
//   line:    --link PATH  --state-file PATH  --control FIFO  --seed N  --script FILE
//   reader:  --reader X   then, for that reader:
//            --clock-offset SECONDS | --clock YYYY-MM-DDTHH:MM[:SS]
//            --reg CODE,KEY,YYYY-MM-DDTHH:MM   --bulk N[,CODE]
//            --raw HEX36   --raw-text TEXT17   --status-a TEXT17   --status-b TEXT17
//            --texto XXXXX  --key KEY[,C1C2]  --disabled  --baud N
//            --fault FAULT (silent, nak:N|*, garbage:N|*, badcheck:K|A|B[:always],
//                          short:M[:N], delay:MS, speed, noise:P, erasenak:N|*,
//                          eraselost:N|*, erasedelay:MS, chunks:N:MS, latency:MS,
//                          traffic:MS)
//            --no-faults
//            --clear-log  --clear-registrations
//   echo:    --echo MS|off  --collide N   (the line's converter; anywhere, no --reader)
//   control: --unplug  --plug  (and every reader and echo option)
//
// Parsing throws Exception with a message naming the bad option or value;
// nothing of a rejected line is applied. Any thread that may use the line.

#include <QString>
#include <QStringList>

class SimulatedLine;

class SimScript {
public:
    struct LineOptions {
        QString link;
        QString stateFile;
        QString control;
        quint32 seed = 1;
        bool help = false;
    };

    // Splits a script or control text into options: whitespace separates,
    // "#" starts a comment to the end of its line.
    static QStringList Tokenize(const QString& text);
    // Expands every "--script FILE" in place (nested up to a few levels).
    static QStringList ExpandScripts(const QStringList& args);
    // Takes the line options out of args (which keeps the reader options).
    static LineOptions TakeLineOptions(QStringList& args);
    // Checks all of args, then applies them to the line in order. A reader
    // option before any --reader is an error; so is a line option here.
    static void Apply(const QStringList& args, SimulatedLine& line);
    // The usage text of the program.
    static QString Usage();
};
