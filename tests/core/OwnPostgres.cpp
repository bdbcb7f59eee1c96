#include "tests/core/OwnPostgres.h"

#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QProcess>

namespace {
const char* const kNames[] = {"KELVOR_TEST_PG_HOST", "KELVOR_TEST_PG_PORT", "KELVOR_TEST_PG_USER",
                              "KELVOR_TEST_PG_SKIP"};
}

OwnPostgres::OwnPostgres() : OwnPostgres(Options{}) {}

OwnPostgres::OwnPostgres(const Options& options)
    : m_folder(QDir::tempPath() + "/kelvor-own-pg-XXXXXX"), m_options(options) {
    const QString bindir = qEnvironmentVariable("PG_THROWAWAY_BINDIR");
    if (bindir.isEmpty() || !QFile::exists(bindir + "/pg_ctl")) {
        m_skip = "no PostgreSQL server binaries (PG_THROWAWAY_BINDIR from scripts/test)";
        return;
    }
    if (!m_folder.isValid()) {
        m_skip = "no temporary folder for the server";
        return;
    }
    m_bin = bindir;
    m_dir = m_folder.path();
    if (::getuid() == 0) {
        m_runAs = {"runuser", "-u", "postgres", "--"};
        m_user = "postgres";
        QProcess::execute("chown", {"postgres:postgres", m_dir});
    } else {
        m_user = qEnvironmentVariable("USER", "postgres");
    }
    // Above the shared test server's range; one cluster per test process.
    m_port = 40000 + (::getpid() % 20000) + 97 * options.portOffset;
    if (m_port > 65000)
        m_port -= 25000;
    if (options.standbyOf != 0) {
        if (Run(m_bin + "/pg_basebackup",
                {"-D", m_dir + "/data", "-R", "-X", "stream", "-c", "fast", "-h", "127.0.0.1", "-p",
                 QString::number(options.standbyOf), "-U", m_user}) != 0) {
            m_skip = "pg_basebackup failed";
            return;
        }
    } else if (Run(m_bin + "/initdb", {"-D", m_dir + "/data", "-A", "trust", "-U", m_user}) !=
               0) {
        m_skip = "initdb failed";
        return;
    }
    if (!Start()) {
        m_skip = "the test's own PostgreSQL server did not start";
        return;
    }
    if (options.pointEnvironment)
        PointEnvironmentHere();
}

OwnPostgres::~OwnPostgres() {
    if (!m_bin.isEmpty())
        Run(m_bin + "/pg_ctl", {"-D", m_dir + "/data", "-m", "immediate", "stop"});
    for (const Saved& s : m_saved) {
        if (s.set)
            qputenv(s.name.constData(), s.value);
        else
            qunsetenv(s.name.constData());
    }
}

bool OwnPostgres::Start() {
    QString settings;
    for (const QString& s : m_options.settings) settings += " -c " + s;
    return Run(m_bin + "/pg_ctl", {"-D", m_dir + "/data", "-w", "-l", m_dir + "/server.log", "-o",
                                   QString("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off")
                                           .arg(m_port)
                                           .arg(m_dir) +
                                       settings,
                                   "start"}) == 0;
}

bool OwnPostgres::Promote() {
    return Run(m_bin + "/pg_ctl", {"-D", m_dir + "/data", "-w", "-t", "30", "promote"}) == 0;
}

void OwnPostgres::GiveToServer(const QString& path, bool privateKey) {
    if (privateKey)
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    if (::getuid() == 0)
        QProcess::execute("chown", {"postgres:postgres", path});
}

bool OwnPostgres::Stop() {
    return Run(m_bin + "/pg_ctl", {"-D", m_dir + "/data", "-w", "-m", "fast", "stop"}) == 0;
}

void OwnPostgres::PointEnvironmentHere() {
    for (const char* name : kNames)
        m_saved.append({name, qgetenv(name), qEnvironmentVariableIsSet(name)});
    qputenv("KELVOR_TEST_PG_HOST", "127.0.0.1");
    qputenv("KELVOR_TEST_PG_PORT", QByteArray::number(m_port));
    qputenv("KELVOR_TEST_PG_USER", m_user.toUtf8());
    qunsetenv("KELVOR_TEST_PG_SKIP");
}

int OwnPostgres::Run(const QString& program, const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (m_runAs.isEmpty())
        p.start(program, args);
    else
        p.start(m_runAs.first(), m_runAs.mid(1) + QStringList{program} + args);
    if (!p.waitForFinished(60000))
        return -1;
    if (p.exitCode() != 0)
        qWarning("%s", p.readAll().constData());
    return p.exitCode();
}
