// The per-run session logs ("LogFileAppend" 0) are kept to a bounded number:
// every run makes a file of its own, and a station restarted by its service
// for years would otherwise fill its log folder.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

#include "shell/TLogFile.h"
#include "shell/Windows1252.h"

void TLogFile::KeepRunFiles(int max) {
    if (!m_newFile || max <= 0 || m_folder.isEmpty())
        return;
    const QRegularExpression runFile(
        QStringLiteral("^%1[A-Za-z0-9]{6}$").arg(QRegularExpression::escape(m_prefix.left(3))));
    // The first line every per-run file of this log begins with.
    const QByteArray titleLine =
        ToWindows1252(QStringLiteral("Archivo de sesión de la aplicación : ") + m_title);
    const QString own = QFileInfo(m_fileName).absoluteFilePath();
    QFileInfoList runs;
    for (const QFileInfo& f :
         QDir(m_folder).entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::Hidden)) {
        if (!runFile.match(f.fileName()).hasMatch() || f.absoluteFilePath() == own)
            continue;
        QFile in(f.absoluteFilePath());
        if (in.open(QIODevice::ReadOnly) && in.read(titleLine.size()) == titleLine)
            runs << f;
    }
    // This run's file counts as one of the kept.
    const qsizetype keepOthers = max - 1;
    if (runs.size() <= keepOthers)
        return;
    std::sort(runs.begin(), runs.end(), [](const QFileInfo& a, const QFileInfo& b) {
        return a.lastModified() > b.lastModified();
    });
    for (qsizetype i = keepOthers; i < runs.size(); ++i) QFile::remove(runs[i].absoluteFilePath());
}
