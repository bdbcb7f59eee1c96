#include "bench/AgentProcess.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include "bench/BenchSite.h"
#include "shell/Errors.h"

AgentProcess::AgentProcess(QString settings, QString logDir, int cycles)
    : m_settings(std::move(settings)), m_logDir(std::move(logDir)), m_cycles(cycles) {
    // The agent reads its settings from the file named here only.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("KELVOR_REGISTRY"));
    m_process.setProcessEnvironment(env);
    // The end time is taken when the process ends, not when Wait gets to it.
    QObject::connect(&m_process, &QProcess::finished, [this] {
        m_end = std::chrono::steady_clock::now();
        m_finished = true;
    });
}

AgentProcess::~AgentProcess() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void AgentProcess::Start() {
    QDir().mkpath(m_logDir);
    m_process.setStandardOutputFile(m_logDir + QStringLiteral("/stdout.txt"));
    m_process.setStandardErrorFile(m_logDir + QStringLiteral("/stderr.txt"));
    m_start = std::chrono::steady_clock::now();
    m_process.start(BenchSite::Agente(),
                    {QStringLiteral("--headless"), QStringLiteral("--registry"), m_settings,
                     QStringLiteral("--log-dir"), m_logDir, QStringLiteral("--cycles"),
                     QString::number(m_cycles)});
    if (!m_process.waitForStarted(10000))
        throw Exception(
            QStringLiteral("No se pudo iniciar agente: %1").arg(m_process.errorString()));
}

double AgentProcess::Wait(int timeoutMs) {
    WaitAll({this}, timeoutMs);
    return Elapsed();
}

void AgentProcess::WaitAll(const QList<AgentProcess*>& agents, int timeoutMs) {
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    auto allDone = [&agents] {
        for (const AgentProcess* a : agents)
            if (!a->m_finished)
                return false;
        return true;
    };
    QList<QMetaObject::Connection> connections;
    for (AgentProcess* a : agents) {
        connections << QObject::connect(&a->m_process, &QProcess::finished, &loop, [&] {
            if (allDone())
                loop.quit();
        });
    }
    if (!allDone()) {
        timer.start(timeoutMs);
        loop.exec();
    }
    for (const auto& c : connections) QObject::disconnect(c);
    for (AgentProcess* a : agents) {
        if (!a->m_finished) {
            a->m_process.kill();
            a->m_process.waitForFinished(5000);
            throw Exception(QStringLiteral("agente (%1) no terminó en %2 ms")
                                .arg(a->m_settings)
                                .arg(timeoutMs));
        }
    }
    for (AgentProcess* a : agents) a->Check();
}

double AgentProcess::Elapsed() const {
    return std::chrono::duration<double>(m_end - m_start).count();
}

void AgentProcess::Check() {
    if (m_process.exitStatus() != QProcess::NormalExit || m_process.exitCode() != 0) {
        QFile err(m_logDir + QStringLiteral("/stderr.txt"));
        err.open(QIODevice::ReadOnly);
        throw Exception(QStringLiteral("agente (%1) terminó con el código %2: %3")
                            .arg(m_settings)
                            .arg(m_process.exitCode())
                            .arg(QString::fromLocal8Bit(err.readAll().right(2000)).trimmed()));
    }
}
