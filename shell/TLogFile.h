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
// true retries, as often as it answers so; false (and no `ask` at all) turns
// the log off for the run: Enabled() becomes 0, OpenError() describes the
// failure and every later call does nothing.
//
// Failures: the constructor and the destructor never throw, apart from what
// `ask` itself throws (a failure to write the end lines or to copy the file is
// ignored). WriteLine throws EWin32Error
// (with the errno) when the line cannot be written to an open file.
//
// Thread safety: none; every call on the user-interface thread (other threads
// hand their lines over to it). The callbacks are called on the calling thread.

#include <QByteArray>
#include <QString>
#include <functional>

#include "shell/Clock.h"

// Asked when the log cannot be opened; true: try again.
using RetryQuestion = std::function<bool(const QString& question)>;

class TLogFile {
public:
    TLogFile(const QString& folder, bool newFile, qint32 enabled, const QString& title,
             const QString& prefix, RetryQuestion ask = {}, ClockFn clock = SystemClock());
    ~TLogFile();

    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // level: 0 error, 1 attention, 2 information. Does nothing while Enabled() is 0.
    void WriteLine(const QString& source, const QString& message, int level);

    qint32 Enabled() const { return m_enabled; }
    bool NewFile() const { return m_newFile; }
    // The file in use (per-run: the unique file); empty when the log was never enabled.
    QString FileName() const { return m_fileName; }
    // Non-empty when opening failed and the operator declined to retry.
    QString OpenError() const { return m_openError; }
    // Every line written from now on is also handed, as UTF-8 without the line
    // end, to `echo` (the headless agent copies them to standard error).
    void SetEcho(std::function<void(const QByteArray& line)> echo) { m_echo = std::move(echo); }

    // "<folder>/<prefix>.log": the append file and the per-run copy.
    static QString FixedFileName(const QString& folder, const QString& prefix);

private:
    bool OpenOnce(int& error);           // opens and writes the start lines; false with errno
    void WriteRaw(const QString& text);  // one line; throws EWin32Error
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
    std::function<void(const QByteArray&)> m_echo;
};
