#pragma once
// How a benchmark program reports: progress and details on standard error,
// and one result line per figure on standard output, which scripts/bench
// gathers into its table:
//
//   RESULT <tab> benchmark <tab> figure <tab> measured <tab> floor <tab> ratio
//
// A figure without a floor leaves the floor and ratio fields as "-". A
// benchmark that cannot run (a missing server) prints one result line saying
// why and exits 0, so the table still shows the other figures; a benchmark
// that finds a wrong result (rows lost or duplicated) exits 1.
//
// Also the small timing helpers the programs share. Single-threaded use.

#include <QString>
#include <QStringList>
#include <chrono>
#include <vector>

class BenchReport {
public:
    explicit BenchReport(QString benchmark) : m_benchmark(std::move(benchmark)) {}

    void Result(const QString& figure, const QString& measured, const QString& floor = "-",
                const QString& ratio = "-") const;
    // A line of detail on standard error, prefixed with the benchmark's name.
    void Note(const QString& text) const;

    // Seconds with three decimals ("1.234 s").
    static QString Seconds(double s);
    // A rate with no decimals ("12345 reg/s").
    static QString Rate(double perSecond, const QString& unit);
    // A ratio with three decimals.
    static QString Ratio(double r);
    static double Median(std::vector<double> values);
    // The value of "--name N" in the program's arguments, else def. Throws
    // Exception for a value that is not a positive integer.
    static int IntOption(const QStringList& args, const QString& name, int def);

private:
    QString m_benchmark;
};

// Wall-clock seconds since construction (or the last Restart), monotonic.
class Stopwatch {
public:
    Stopwatch() : m_start(std::chrono::steady_clock::now()) {}
    void Restart() { m_start = std::chrono::steady_clock::now(); }
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    }

private:
    std::chrono::steady_clock::time_point m_start;
};
