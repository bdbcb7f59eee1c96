#include "bench/BenchSite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <cstdio>

#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "shell/TConfig.h"

BenchSite::BenchSite(const QString& name)
    : m_dir(QDir::tempPath() + QStringLiteral("/kelvor-bench-%1-XXXXXX").arg(name)) {
    if (!m_dir.isValid())
        throw Exception(
            QStringLiteral("No se pudo crear la carpeta de trabajo: %1").arg(m_dir.errorString()));
    if (qEnvironmentVariableIsSet("KELVOR_BENCH_KEEP")) {
        m_dir.setAutoRemove(false);
        std::fprintf(stderr, "bench: the scratch folder stays at %s\n",
                     m_dir.path().toLocal8Bit().constData());
    }
}

BenchSite::~BenchSite() = default;

QString BenchSite::WriteSettings(const QString& name, const TConfig& config,
                                 const BenchDb& db) const {
    const QString path = File(name);
    QFile::remove(path);
    const RegistryFile registry(path);
    TConfig settings = config;  // Save keeps what it wrote; the caller's stays as given
    settings.Save(registry);
    QList<RegistryValue> alias{
        RegistryValue::Str(QStringLiteral("Driver"), db.driver == TSqlDriver::PostgreSQL
                                                         ? QStringLiteral("QPSQL")
                                                         : QStringLiteral("QSQLITE")),
        RegistryValue::Str(QStringLiteral("Database"), db.database)};
    if (db.driver == TSqlDriver::PostgreSQL) {
        alias << RegistryValue::Str(QStringLiteral("Host"), db.host)
              << RegistryValue::Int(QStringLiteral("Port"), db.port)
              << RegistryValue::Str(QStringLiteral("User"), db.user);
    }
    if (!registry.Write(RegistryKeys::kAlias, alias) || !registry.OpenKeyRead(RegistryKeys::kAgent))
        throw Exception(
            QStringLiteral("No se pudo escribir el archivo de configuración %1").arg(path));
    return path;
}

QString BenchSite::Agente() {
    return QStringLiteral(KELVOR_BENCH_AGENTE);
}
QString BenchSite::Kelvordb() {
    return QStringLiteral(KELVOR_BENCH_KELVORDB);
}
QString BenchSite::Simulador() {
    return QStringLiteral(KELVOR_BENCH_SIMULADOR);
}

void BenchSite::Run(const QString& program, const QStringList& args, int timeoutMs) {
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(program, args);
    const QString what = QFileInfo(program).fileName() + ' ' + args.join(' ');
    if (!p.waitForStarted(10000))
        throw Exception(QStringLiteral("No se pudo iniciar %1: %2").arg(what, p.errorString()));
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        throw Exception(QStringLiteral("%1 no terminó en %2 ms").arg(what).arg(timeoutMs));
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        throw Exception(QStringLiteral("%1 terminó con el código %2: %3")
                            .arg(what)
                            .arg(p.exitCode())
                            .arg(QString::fromLocal8Bit(p.readAllStandardError()).trimmed()));
    }
}

void BenchSite::Kelvordb(const QString& settings, const QStringList& args) {
    Run(Kelvordb(), QStringList{QStringLiteral("--registry"), settings} + args);
}

TConfig BenchSite::AgentConfig(int station) {
    TConfig c;
    c.Estacion = station;
    c.Espera = 0;
    c.TimeOut = 1;
    c.Retrys = 3;
    c.DifHora = 5;
    c.ActHora = false;
    c.LogFileActivado = 1;
    c.LogFileAppend = 0;
    return c;
}
