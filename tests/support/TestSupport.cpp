#include "tests/support/TestSupport.h"

#include <QFile>
#include <cstdlib>
#include <ctime>

ScratchDir::ScratchDir() : m_dir(QDir::tempPath() + "/kelvor-test-XXXXXX") {}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool WriteAll(const QString& path, const QByteArray& data) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(data) == data.size();
}

QString BuildDir() {
    const QString fromEnvironment = qEnvironmentVariable("KELVOR_BUILD_DIR");
    return fromEnvironment.isEmpty() ? QStringLiteral(KELVOR_BUILD_DIR_DEFAULT) : fromEnvironment;
}

ScopedTimeZone::ScopedTimeZone(const char* zone) {
    if (const char* tz = std::getenv("TZ")) {
        m_had = true;
        m_previous = tz;
    }
    ::setenv("TZ", zone, 1);
    ::tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
    if (m_had)
        ::setenv("TZ", m_previous.constData(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}
