#include "shell/TLogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "shell/SpanishTexts.h"
#include "shell/TextLimits.h"
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

// One event is one line of a bounded length: a text from outside (a database
// field, an exception) of megabytes must not become a megabyte line.
QString OneLine(const QString& text) {
    QString message = TextLimits::Capped(text);
    message.replace(QLatin1String("\r\n"), QLatin1String(" "));
    message.replace(QLatin1Char('\r'), QLatin1Char(' '));
    message.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return message;
}

}  // namespace

TLogFile::TLogFile(const QString& folder, bool newFile, qint32 enabled, const QString& title,
                   const QString& prefix, RetryQuestion ask, ClockFn clock, MonotonicFn monotonic)
    : m_folder(folder),
      m_newFile(newFile),
      m_enabled(enabled),
      m_title(title),
      m_prefix(prefix),
      m_clock(std::move(clock)),
      m_monotonic(std::move(monotonic)) {
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
        // Nobody to ask, or nobody answered: the run goes on and the file is
        // tried again later.
        const std::optional<bool> answer =
            ask ? ask(failure + QStringLiteral(". Desea volver a intentar ?")) : std::nullopt;
        if (!answer) {
            Pause(error, failure);
            return;
        }
        if (*answer)
            continue;
        m_openError = failure;
        m_enabled = 0;
        return;
    }
}

TLogFile::~TLogFile() {
    if (m_enabled == 0)
        return;
    const QString end = Formatted(QStringLiteral("LogFile"), QStringLiteral("Fin de sesión"), 2);
    Echo(end);
    Echo(QString());
    if (m_fd >= 0) {
        // The run is over and nobody is left to tell of a failure; the lines
        // written so far stay.
        if (WriteRaw(end) == 0)
            WriteRaw(QString());
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_newFile && m_haveUniqueName)
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
    for (const QString& line :
         {QStringLiteral("Archivo de sesión de la aplicación : ") + m_title, QString(),
          Formatted(QStringLiteral("ULogFile"), QStringLiteral("Comienzo de sesión"), 2)}) {
        error = WriteRaw(line);
        if (error != 0) {
            ::close(m_fd);
            m_fd = -1;
            return false;
        }
    }
    return true;
}

void TLogFile::WriteLine(const QString& source, const QString& message, int level,
                         const QString& echoNote) {
    if (m_enabled == 0) {
        EchoLine(source, message, level, echoNote);
        return;
    }
    const QString text = Formatted(source, OneLine(message), level);
    Echo(text, echoNote);
    if (m_paused && !TryResume()) {
        ++m_lostLines;
        return;
    }
    // A file whose folder was removed takes every write and keeps none of it.
    struct stat st {};
    int error = ::fstat(m_fd, &st) == 0 && st.st_nlink == 0 ? ENOENT : 0;
    if (error == 0)
        error = WriteRaw(text);
    if (error != 0) {
        ++m_lostLines;
        Pause(error, QStringLiteral("No se pudo escribir en el archivo de sesión %1: %2")
                         .arg(m_fileName, SystemMessage(error)));
    }
}

void TLogFile::EchoLine(const QString& source, const QString& message, int level,
                        const QString& echoNote) {
    if (level <= 1)
        Echo(Formatted(source, OneLine(message), level), echoNote);
}

void TLogFile::SetFailureNotice(std::function<void(const QString&)> notice) {
    m_notice = std::move(notice);
    if (m_paused && !m_failureTold && m_notice) {
        m_failureTold = true;
        m_notice(m_failure);
    }
}

void TLogFile::Echo(const QString& text, const QString& note) const {
    if (!m_echo)
        return;
    if (note.isEmpty())
        m_echo(text.toUtf8());
    else
        m_echo((text + QStringLiteral(" [") + OneLine(note) + QLatin1Char(']')).toUtf8());
}

void TLogFile::Pause(int error, const QString& what) {
    Q_UNUSED(error);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_retryAtMs = m_monotonic() + m_retryIntervalMs;
    if (m_paused)
        return;  // a failed retry: told already
    m_paused = true;
    m_failureTold = false;
    m_failure = what + QStringLiteral(
                           "; el agente sigue sin archivo de sesión y lo volverá a "
                           "intentar");
    if (m_notice) {
        m_failureTold = true;
        m_notice(m_failure);
    }
}

bool TLogFile::TryResume() {
    if (m_monotonic() < m_retryAtMs)
        return false;
    m_retryAtMs = m_monotonic() + m_retryIntervalMs;
    int error = 0;
    if (m_newFile && !m_haveUniqueName) {
        QDir().mkpath(m_folder);
        if (!OpenOnce(error))
            return false;
    } else {
        QDir().mkpath(QFileInfo(m_fileName).absolutePath());
        // Appended to: what the file holds from before the failure stays.
        m_fd = ::open(QFile::encodeName(m_fileName).constData(),
                      O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        if (m_fd < 0)
            return false;
    }
    const QString resumed = Formatted(
        QStringLiteral("LogFile"),
        m_lostLines == 1 ? QStringLiteral("Se reanuda el archivo de sesión; 1 línea no se pudo "
                                          "escribir")
                         : QStringLiteral("Se reanuda el archivo de sesión; %1 líneas no se "
                                          "pudieron escribir")
                               .arg(m_lostLines),
        1);
    if (WriteRaw(resumed) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    Echo(resumed);
    m_paused = false;
    m_lostLines = 0;
    return true;
}

QString TLogFile::Formatted(const QString& source, const QString& message, int level) const {
    return LogStamp(m_clock()) + QStringLiteral(" [") + source + QLatin1Char(']') +
           LevelText(level) + message;
}

int TLogFile::WriteRaw(const QString& text) {
    const QByteArray bytes = ToWindows1252(text) + QByteArrayLiteral("\r\n");
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        done += n;
    }
    return 0;
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
