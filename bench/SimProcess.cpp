#include "bench/SimProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include "bench/BenchSite.h"
#include "shell/Errors.h"

SimProcess::SimProcess(QString link, QStringList readerOptions, QString errorFile)
    : m_link(std::move(link)),
      m_options(std::move(readerOptions)),
      m_errorFile(std::move(errorFile)) {}

SimProcess::~SimProcess() {
    Stop();
}

void SimProcess::Start() {
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(m_errorFile);
    m_process.start(BenchSite::Simulador(),
                    QStringList{QStringLiteral("--link"), m_link} + m_options);
    if (!m_process.waitForStarted(10000))
        throw Exception(
            QStringLiteral("No se pudo iniciar simulador: %1").arg(m_process.errorString()));
    QDeadlineTimer deadline(10000);
    while (!QFileInfo(m_link).isSymLink()) {
        if (m_process.state() != QProcess::Running || deadline.hasExpired()) {
            QFile err(m_errorFile);
            err.open(QIODevice::ReadOnly);
            throw Exception(QStringLiteral("simulador no creó %1: %2")
                                .arg(m_link, QString::fromLocal8Bit(err.readAll()).trimmed()));
        }
        QThread::msleep(5);
    }
}

void SimProcess::Stop() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}
