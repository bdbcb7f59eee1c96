#include "shell/TVersionInfo.h"

#include <QStringList>

#ifndef KELVOR_VERSION
#define KELVOR_VERSION ""
#endif

namespace {

// Build number from the two 16-bit halves of the least significant word.
qint32 BuildNumber(int c, int d) {
    return (d & 0xFF) % 100 + 100 * (c & 0xFF);
}

QString Text(qint32 major, qint32 minor, qint32 build) {
    return QStringLiteral("%1.%2.%3")
        .arg(major, 2, 10, QLatin1Char('0'))
        .arg(minor, 2, 10, QLatin1Char('0'))
        .arg(build, 4, 10, QLatin1Char('0'));
}

}  // namespace

TVersionInfo::TVersionInfo() : TVersionInfo(QStringLiteral(KELVOR_VERSION)) {}

TVersionInfo::TVersionInfo(const QString& version) {
    const QStringList parts = version.split(QLatin1Char('.'));
    if (version.isEmpty() || parts.size() > 4)
        return;
    int v[4] = {0, 0, 0, 0};
    for (int i = 0; i < parts.size(); ++i) {
        const QString& p = parts[i];
        if (p.isEmpty() || p.size() > 5)
            return;
        for (QChar ch : p)
            if (ch < QLatin1Char('0') || ch > QLatin1Char('9'))
                return;
        v[i] = p.toInt();
        if (v[i] > 0xFFFF)
            return;
    }
    m_read = true;
    m_major = v[0];
    m_minor = v[1];
    m_build = BuildNumber(v[2], v[3]);
}

QString TVersionInfo::VersionText() const {
    return Text(m_major, m_minor, m_build);
}

QString TVersionInfo::FormatVersion(int a, int b, int c, int d) {
    return Text(a & 0xFFFF, b & 0xFFFF, BuildNumber(c, d));
}
