#pragma once
// The session log: a plain text file with one line per event of the agent.
//
// Lines:  "dd/mm/yyyy hh:nn:ss [Source]<level text><message>", where the level
// text is " ERROR : " (0), " ATENCION : " (1) or " " (2, and any other level).
// A run opens with "Archivo de sesión de la aplicación : <title>", an empty
// line and "Comienzo de sesión" (source "ULogFile"), and ends with
// "Fin de sesión" (source "LogFile") and an empty line. The file is written in
// Windows-1252 with CR LF line ends; every line is handed to the system as
// soon as it is written (nothing is held back between lines). Line breaks
// inside a message become spaces, so that one event is always one line.
//
// Modes:
// - enabled 0: the object stays idle; no file is created or touched.
// - newFile true (one file per run): a new unique file "<first three letters of
//   prefix>XXXXXX" is created in the folder; at destruction it is copied over
//   "<folder>/<prefix>.log", replacing that file (a failed copy is ignored).
//   The per-run file stays where it was created.
// - newFile false (append): all runs append to "<folder>/<prefix>.log",
//   created when missing. The same spelling serves both modes.
//
// Opening failures (including a failure to write the start lines) are put to
// the operator through `ask` with the question
//   "Se ha producido el error: <errno> <<message>> al intentar abrir el archivo
//    de sesión: <FileName>. Desea volver a intentar ?"
// true retries, as often as it answers so; false turns the log off for the
// run: Enabled() becomes 0, OpenError() describes the failure and every later
// call does nothing. No answer (std::nullopt: nobody answered in time) counts
// as no question at all: the log is paused, see below.
//
// The log is auxiliary: it never stops its writers. Without `ask` (no operator
// to answer) an opening failure, and any failure to write a line to an open
// file (disk full, the file or its folder removed), pauses the log instead:
// the failure goes once to the failure notice (SetFailureNotice), the lines
// meanwhile are not written (the echo still gets them), and at the first line
// after the retry interval the file is opened again (its folder created when
// missing) and appended to, with a line that says how many lines were lost.
// A new failure after such a resumption is told again.
//
// Echo (SetEcho): every line handed to the file (also while it is paused) and,
// while the log is off, the lines of level error and attention (WriteLine
// and EchoLine); information lines of a log that is off are dropped. A line
// may carry a note for the echo alone (`echoNote`, what the line concerns:
// "registrador A1, comando 17 BAJA"), which the echo gets after the line as
// " [<note>]"; the file's line stays as above.
//
// Length: a message longer than TextLimits::kLine characters is cut to that
// length with the visible mark of TextLimits::Capped, in the file and the
// echo alike.
//
// Failures: nothing throws, apart from what `ask` itself throws.
//
// Thread safety: none; every call on the user-interface thread (other threads
// hand their lines over to it). The callbacks are called on the calling thread.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <functional>
#include <optional>

#include "shell/Clock.h"

// Asked when the log cannot be opened; true: try again; false: no log for
// this run; std::nullopt: no answer (the log is paused and tried again later).
using RetryQuestion = std::function<std::optional<bool>(const QString& question)>;

class TLogFile {
public:
    TLogFile(const QString& folder, bool newFile, qint32 enabled, const QString& title,
             const QString& prefix, RetryQuestion ask = {}, ClockFn clock = SystemClock(),
             MonotonicFn monotonic = MonotonicClock());
    ~TLogFile();

    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // level: 0 error, 1 attention, 2 information. While Enabled() is 0 only
    // the echo may get the line.
    void WriteLine(const QString& source, const QString& message, int level,
                   const QString& echoNote = {});
    // A line that is not for the file (the thread's lines while its switch is
    // off): handed to the echo when its level is error or attention.
    void EchoLine(const QString& source, const QString& message, int level,
                  const QString& echoNote = {});

    qint32 Enabled() const { return m_enabled; }
    bool NewFile() const { return m_newFile; }
    // The file in use (per-run: the unique file); empty when the log was never enabled.
    QString FileName() const { return m_fileName; }
    // Non-empty when opening failed and the operator declined to retry.
    QString OpenError() const { return m_openError; }
    // Every line written from now on is also handed, as UTF-8 without the line
    // end, to `echo` (the headless agent copies them to standard error).
    void SetEcho(std::function<void(const QByteArray& line)> echo) { m_echo = std::move(echo); }
    // Told once (per failure) that the file cannot be written and the log is
    // paused; a failure that came before the call is told at once.
    void SetFailureNotice(std::function<void(const QString& message)> notice);
    // Per-run mode: keeps at most `max` per-run files of this log in its
    // folder, this run's among them, removing the oldest (by modification
    // time) now; 0 or less keeps all. Only files named like this log's
    // per-run files (the prefix's first three letters and six more) whose
    // first line is this log's title line are touched. Failures are ignored:
    // the log is auxiliary.
    void KeepRunFiles(int max);
    // How long a paused log waits before it tries the file again (default 60 s),
    // measured on the monotonic clock: a computer's clock set back or forward
    // neither delays nor hastens the retry.
    void SetRetryInterval(qint64 ms) { m_retryIntervalMs = ms; }

    // True while the file is on but cannot be written.
    bool Paused() const { return m_paused; }

    // "<folder>/<prefix>.log": the append file and the per-run copy.
    static QString FixedFileName(const QString& folder, const QString& prefix);

private:
    bool OpenOnce(int& error);          // opens and writes the start lines; false with errno
    int WriteRaw(const QString& text);  // one line to the file; 0 or the errno
    void Echo(const QString& text, const QString& note = {}) const;
    void Pause(int error, const QString& what);
    bool TryResume();
    QString Formatted(const QString& source, const QString& message, int level) const;
    void CopyToFixedFile() const;

    QString m_folder;
    bool m_newFile;
    qint32 m_enabled;
    QString m_title;
    QString m_prefix;
    ClockFn m_clock;
    QString m_fileName;
    QString m_openError;
    bool m_haveUniqueName = false;  // per-run: the unique file exists
    int m_fd = -1;
    bool m_paused = false;
    bool m_failureTold = false;
    QString m_failure;  // why the log is paused
    MonotonicFn m_monotonic;  // the retry wait's clock; `clock` only stamps lines
    qint64 m_retryAtMs = 0;   // on m_monotonic
    qint64 m_retryIntervalMs = 60000;
    qint64 m_lostLines = 0;
    std::function<void(const QByteArray&)> m_echo;
    std::function<void(const QString&)> m_notice;
};
