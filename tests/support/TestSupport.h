#pragma once
// Small helpers shared by the test programs.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A fresh folder for one test, removed afterwards.
class ScratchDir {
public:
    ScratchDir();
    QString Path() const { return m_dir.path(); }
    QString File(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};

// Whole contents of a file as bytes; empty when it cannot be read.
QByteArray ReadAll(const QString& path);
// Replaces a file's contents; returns false on failure.
bool WriteAll(const QString& path, const QByteArray& data);
// Directory of the build tree (for programs such as simulador, agente):
// KELVOR_BUILD_DIR when set, else the build tree the tests were built in.
QString BuildDir();

// Sets the process's time zone (TZ, then tzset) for the life of the object
// and restores the previous one afterwards. Set it before any thread that
// reads the clock starts, and let it end after they have ended.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    bool m_had = false;
    QByteArray m_previous;
};
