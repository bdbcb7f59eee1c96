#include "bench/BenchReport.h"

#include <algorithm>
#include <cstdio>

#include "shell/Errors.h"

void BenchReport::Result(const QString& figure, const QString& measured, const QString& floor,
                         const QString& ratio) const {
    const QString line =
        QStringList{QStringLiteral("RESULT"), m_benchmark, figure, measured, floor, ratio}.join(
            '\t');
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
    Note(figure + ": " + measured + (floor == "-" ? QString() : " / " + floor + " = " + ratio));
}

void BenchReport::Note(const QString& text) const {
    std::fprintf(stderr, "[%s] %s\n", m_benchmark.toUtf8().constData(), text.toUtf8().constData());
    std::fflush(stderr);
}

QString BenchReport::Seconds(double s) {
    return QString::number(s, 'f', 3) + QStringLiteral(" s");
}

QString BenchReport::Rate(double perSecond, const QString& unit) {
    return QString::number(perSecond, 'f', 0) + ' ' + unit;
}

QString BenchReport::Ratio(double r) {
    return QString::number(r, 'f', 3);
}

double BenchReport::Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int BenchReport::IntOption(const QStringList& args, const QString& name, int def) {
    const qsizetype i = args.indexOf(name);
    if (i < 0)
        return def;
    bool ok = false;
    const int v = args.value(i + 1).toInt(&ok);
    if (!ok || v <= 0)
        throw Exception(QStringLiteral("%1 espera un entero positivo").arg(name));
    return v;
}
