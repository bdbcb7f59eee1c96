#pragma once
// The machine-wide settings store: one text file in the syntax of an exported
// registry file (UTF-8), standing in for the registry of the installation.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\Dalmor\Kelvor\Agente\1.0]
//   "Estacion"=dword:00000001
//   "Puerto"="/dev/ttyUSB0"
//
// Contract:
// - Key paths are given without the root, starting with a backslash
//   ("\Software\Dalmor\Kelvor"); they live under HKEY_LOCAL_MACHINE. Key paths
//   and value names compare without regard to case.
// - `dword:` holds up to eight hex digits (a 32-bit value); a quoted string is a
//   text value (escapes \\ and \"); any other value is kept as written and reads
//   as neither an integer nor a text.
// - Encodings: UTF-8 with or without a byte-order mark, UTF-16 LE or BE
//   with one, and, for a file without a mark that is not UTF-8 and holds no
//   NUL byte, Windows-1252 (an editor's "ANSI"); the header line ("Windows
//   Registry Editor Version 5.00", "REGEDIT4") is kept as written. A rewrite
//   keeps the encoding, the mark and the line ends (LF or CR LF, as the first
//   line end) the file had.
// - OpenKeyRead fails (std::nullopt) when the file or the key does not exist.
//   When the file exists but cannot be read (permissions, a folder, bytes that
//   are no text in any of the encodings above) it also sets `error`, so that
//   the fault is not taken for a missing key.
// - Write creates the file (unless told not to) and the key when missing and
//   rewrites the whole file through a temporary file in the target's folder,
//   an fsync, a rename and an fsync of the folder, under an advisory lock
//   (flock) on the file, keeping every other key, value and unreadable line as
//   it was: a reader at any moment sees the old file or the new one, never an
//   empty or partial one. A symbolic link is followed: its target is
//   rewritten and the link stays. The owner, group and permission bits of the
//   file are kept; when they cannot be (another user's file and no right to
//   chown) the write is refused, never done in place. A file that is no text
//   is never rewritten. It reports failure by its result (and `error`, in
//   words) and never throws.
//
// Thread safety: a RegistryFile is a path and may be copied freely; concurrent
// writers, in this process or in others, are serialised by the lock.

#include <QList>
#include <QString>
#include <optional>
#include <utility>

// The values of one key, as read at one moment.
class RegistryKey {
public:
    // A 32-bit integer value; std::nullopt when absent or of another type.
    std::optional<qint32> ReadInteger(const QString& name) const;
    // A text value; std::nullopt when absent or of another type.
    std::optional<QString> ReadString(const QString& name) const;
    // The value's text after '=' as written (trimmed); std::nullopt when absent.
    std::optional<QString> Raw(const QString& name) const;
    // The value names in file order (spelled as written).
    QStringList ValueNames() const;

private:
    friend class RegistryFile;
    QList<std::pair<QString, QString>> m_values;  // name, raw value text
};

// One value to write: an integer or a text.
struct RegistryValue {
    QString name;
    std::optional<qint32> integer;
    QString text;  // used when integer is empty

    static RegistryValue Int(const QString& name, qint32 v) { return {name, v, {}}; }
    static RegistryValue Str(const QString& name, const QString& v) {
        return {name, std::nullopt, v};
    }
};

class RegistryFile {
public:
    explicit RegistryFile(QString path) : m_path(std::move(path)) {}

    const QString& Path() const { return m_path; }

    std::optional<RegistryKey> OpenKeyRead(const QString& key, QString* error = nullptr) const;

    // Sets the values in the key, creating the key and, with `createFile`, the
    // file. False when the file is missing (without `createFile`), cannot be
    // locked (another program holds its lock longer than the lock wait), read,
    // or replaced keeping its owner; nothing is changed then, and `error` says
    // why. A true result may still carry an `error` (the folder could not be
    // synced).
    bool Write(const QString& key, const QList<RegistryValue>& values, QString* error = nullptr,
               bool createFile = true) const;
    // How long a write waits for the file's lock (2 s unless set; any thread).
    static void SetLockWait(int milliseconds);

    // The settings file of this process: set once at start-up (from
    // --registry), else the environment variable KELVOR_REGISTRY, else
    // /etc/kelvor/registry.reg.
    static RegistryFile Process();
    static void SetProcessPath(const QString& path);
    // The machine's settings file, /etc/kelvor/registry.reg.
    static QString SystemPath();

private:
    bool WriteLocked(const QString& key, const QList<RegistryValue>& values, QString* error,
                     bool createFile) const;

    QString m_path;
};

// Keys and values the installation shares.
namespace RegistryKeys {
inline const QString kAgent = QStringLiteral("\\Software\\Dalmor\\Kelvor\\Agente\\1.0");
inline const QString kKelvor = QStringLiteral("\\Software\\Dalmor\\Kelvor");
inline const QString kAlias = QStringLiteral("\\Software\\Dalmor\\Kelvor\\Alias\\Kelvor");
inline const QString kPorts = QStringLiteral("\\Software\\Dalmor\\Kelvor\\Puertos");
}  // namespace RegistryKeys

// Writes "ComError" (1 or 0) under \Software\Dalmor\Kelvor of the process's
// settings file, creating the key, when the value differs from the one this
// process last wrote (the first call always writes). A missing settings file
// is not made: nothing is written (true) until it exists. False when the write
// failed; the next call tries again. Any thread.
bool WriteComError(bool failed);
// Forgets the value last written, so that the next WriteComError writes.
void ResetComErrorForTest();
