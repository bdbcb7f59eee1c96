#include "shell/TLogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QSaveFile>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "shell/Errors.h"
#include "shell/SpanishTexts.h"
#include "shell/TimeText.h"
#include "shell/Windows1252.h"

namespace {

QString InFolder(const QString& folder, const QString& name) {
    if (folder.isEmpty())
        return name;
    if (folder.endsWith(QLatin1Char('/')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}

QString SystemMessage(int error) {
    return SpanishTexts::SystemErrorText(error);
}

QString LevelText(int level) {
    switch (level) {
        case 0:
            return QStringLiteral(" ERROR : ");
        case 1:
            return QStringLiteral(" ATENCION : ");
        default:
            return QStringLiteral(" ");
    }
}

QString OneLine(QString message) {
    message.replace(QLatin1String("\r\n"), QLatin1String(" "));
    message.replace(QLatin1Char('\r'), QLatin1Char(' '));
    message.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return message;
}

}  // namespace

TLogFile::TLogFile(const QString& folder, bool newFile, qint32 enabled, const QString& title,
                   const QString& prefix, RetryQuestion ask, ClockFn clock)
    : m_folder(folder),
      m_newFile(newFile),
      m_enabled(enabled),
      m_title(title),
      m_prefix(prefix),
      m_clock(std::move(clock)) {
    if (m_enabled == 0)
        return;
    if (!m_newFile)
        m_fileName = FixedFileName(m_folder, m_prefix);
    for (;;) {
        int error = 0;
        if (OpenOnce(error))
            return;
        const QString failure =
            QStringLiteral(
                "Se ha producido el error: %1 <%2> al intentar abrir el archivo de "
                "sesión: %3")
                .arg(error)
                .arg(SystemMessage(error), m_fileName);
        if (ask && ask(failure + QStringLiteral(". Desea volver a intentar ?")))
            continue;
        m_openError = failure;
        m_enabled = 0;
        return;
    }
}

TLogFile::~TLogFile() {
    if (m_enabled == 0 || m_fd < 0)
        return;
    try {
        WriteRaw(Formatted(QStringLiteral("LogFile"), QStringLiteral("Fin de sesión"), 2));
        WriteRaw(QString());
    } catch (...) {
        // The run is over and nobody is left to tell; the lines written so far stay.
    }
    ::close(m_fd);
    m_fd = -1;
    if (m_newFile)
        CopyToFixedFile();
}

QString TLogFile::FixedFileName(const QString& folder, const QString& prefix) {
    return InFolder(folder, prefix + QStringLiteral(".log"));
}

bool TLogFile::OpenOnce(int& error) {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_newFile && !m_haveUniqueName) {
        const QString pattern = InFolder(m_folder, m_prefix.left(3) + QStringLiteral("XXXXXX"));
        QByteArray name = QFile::encodeName(pattern);
        m_fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (m_fd < 0) {
            error = errno;
            m_fileName = pattern;
            return false;
        }
        m_fileName = QFile::decodeName(name);
        m_haveUniqueName = true;
    } else {
        // A retry of a per-run file starts it again; the append file is created
        // when missing and never truncated, so an earlier run is never lost.
        const int flags =
            m_newFile ? (O_WRONLY | O_CREAT | O_TRUNC) : (O_WRONLY | O_CREAT | O_APPEND);
        m_fd = ::open(QFile::encodeName(m_fileName).constData(), flags | O_CLOEXEC, 0666);
        if (m_fd < 0) {
            error = errno;
            return false;
        }
    }
    try {
        WriteRaw(QStringLiteral("Archivo de sesión de la aplicación : ") + m_title);
        WriteRaw(QString());
        WriteRaw(Formatted(QStringLiteral("ULogFile"), QStringLiteral("Comienzo de sesión"), 2));
    } catch (const EWin32Error& e) {
        error = e.ErrorCode();
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    return true;
}

void TLogFile::WriteLine(const QString& source, const QString& message, int level) {
    if (m_enabled == 0 || m_fd < 0)
        return;
    WriteRaw(Formatted(source, OneLine(message), level));
}

QString TLogFile::Formatted(const QString& source, const QString& message, int level) const {
    return LogStamp(m_clock()) + QStringLiteral(" [") + source + QLatin1Char(']') +
           LevelText(level) + message;
}

void TLogFile::WriteRaw(const QString& text) {
    const QByteArray bytes = ToWindows1252(text) + QByteArrayLiteral("\r\n");
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            throw EWin32Error(error,
                              QStringLiteral("No se pudo escribir en el archivo de sesión %1: %2")
                                  .arg(m_fileName, SystemMessage(error)));
        }
        done += n;
    }
    if (m_echo)
        m_echo(text.toUtf8());
}

void TLogFile::CopyToFixedFile() const {
    // Through a temporary file and a rename, so that a failed copy leaves the
    // previous copy whole instead of half overwritten.
    QFile source(m_fileName);
    if (!source.open(QIODevice::ReadOnly))
        return;
    const QByteArray contents = source.readAll();
    if (source.error() != QFileDevice::NoError)
        return;
    QSaveFile target(FixedFileName(m_folder, m_prefix));
    if (!target.open(QIODevice::WriteOnly))
        return;
    if (target.write(contents) != contents.size()) {
        target.cancelWriting();
        return;
    }
    target.commit();
}
