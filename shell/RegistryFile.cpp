#include "shell/RegistryFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutex>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "shell/Windows1252.h"

namespace {

const QString kRoot = QStringLiteral("HKEY_LOCAL_MACHINE");
const QString kHeader = QStringLiteral("Windows Registry Editor Version 5.00");

QString ProcessPathValue;

// One line of the file. A section header, a value, or anything else (blank
// lines, comments, lines that cannot be read), which is written back as it was.
struct Line {
    enum Kind { kSection, kValue, kOther } kind = kOther;
    QString raw;    // the line as read (kOther, kSection)
    QString key;    // kSection: key path without brackets
    QString name;   // kValue: value name, unescaped
    QString value;  // kValue: raw value text after '='
};

QString FullKey(const QString& key) {
    return key.startsWith('\\') ? kRoot + key : kRoot + '\\' + key;
}

QString Unescape(const QString& s) {
    QString out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
        out += s[i];
    }
    return out;
}

QString Escape(const QString& s) {
    QString out;
    for (QChar c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

// Parses `"name"=value`; false when the line is not of that form.
bool ParseValueLine(const QString& line, QString* name, QString* value) {
    if (!line.startsWith('"')) return false;
    qsizetype i = 1;
    for (; i < line.size(); ++i) {
        if (line[i] == '\\') {
            ++i;
            continue;
        }
        if (line[i] == '"') break;
    }
    if (i >= line.size() || i + 1 >= line.size() || line[i + 1] != '=') return false;
    *name = Unescape(line.mid(1, i - 1));
    *value = line.mid(i + 2);
    return true;
}

// How a file was written, so that a rewrite keeps it: the registry editor of
// other systems exports UTF-16 with a byte-order mark and CR LF; an editor set
// to the Western code page ("ANSI") writes Windows-1252.
struct Form {
    QStringConverter::Encoding encoding = QStringConverter::Utf8;
    bool windows1252 = false;  // no mark and not UTF-8: the Western code page
    bool bom = false;
    bool crlf = false;
    bool valid = true;  // false: not text in any of these; never rewritten
};

QString Decode(const QByteArray& data, Form* form) {
    *form = Form{};
    if (data.startsWith("\xFF\xFE")) {
        form->encoding = QStringConverter::Utf16LE;
        form->bom = true;
    } else if (data.startsWith("\xFE\xFF")) {
        form->encoding = QStringConverter::Utf16BE;
        form->bom = true;
    } else if (data.startsWith("\xEF\xBB\xBF")) {
        form->bom = true;
    }
    QStringDecoder decoder(form->encoding, QStringConverter::Flag::Stateless);
    QString text = decoder(data);
    form->valid = !decoder.hasError();
    // A NUL byte is no text of an 8-bit file: UTF-16 without its mark, or
    // something else written over the file.
    const bool eightBit = form->encoding == QStringConverter::Utf8;
    if (eightBit && data.contains('\0')) {
        form->valid = false;
    } else if (!form->valid && !form->bom) {
        // Every byte has a Windows-1252 reading (FromWindows1252 keeps even the
        // five undefined ones), so such a file is read, and rewritten, as
        // that. A NUL byte means UTF-16 without its mark or no text at all.
        form->windows1252 = true;
        form->valid = true;
        text = FromWindows1252(data);
    }
    if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
    const qsizetype lf = text.indexOf('\n');
    form->crlf = lf > 0 && text[lf - 1] == '\r';
    return text;
}

QList<Line> Parse(const QByteArray& data, Form* formOut = nullptr) {
    QList<Line> lines;
    Form form;
    const QString text = Decode(data, &form);
    if (formOut) *formOut = form;
    const QStringList rows = text.split('\n');
    for (qsizetype i = 0; i < rows.size(); ++i) {
        QString row = rows[i];
        if (row.endsWith('\r')) row.chop(1);
        if (i == rows.size() - 1 && row.isEmpty()) break;  // the final line end
        Line l;
        l.raw = row;
        const QString t = row.trimmed();
        QString name, value;
        if (t.startsWith('[') && t.endsWith(']')) {
            l.kind = Line::kSection;
            l.key = t.mid(1, t.size() - 2);
        } else if (ParseValueLine(t, &name, &value)) {
            l.kind = Line::kValue;
            l.name = name;
            l.value = value.trimmed();
        }
        lines.append(l);
    }
    return lines;
}

QByteArray Render(const QList<Line>& lines, const Form& form) {
    QString text;
    if (form.bom) text += QChar(0xFEFF);
    const QString end = form.crlf ? QStringLiteral("\r\n") : QStringLiteral("\n");
    for (const Line& l : lines) {
        if (l.kind == Line::kValue)
            text += '"' + Escape(l.name) + "\"=" + l.value;
        else
            text += l.raw;
        text += end;
    }
    if (form.windows1252)
        return ToWindows1252(text);
    QStringEncoder encoder(form.encoding, QStringConverter::Flag::Stateless);
    return encoder(text);
}

bool SameKey(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString RawValue(const RegistryValue& v) {
    if (v.integer) return QStringLiteral("dword:%1").arg(quint32(*v.integer), 8, 16, QChar('0'));
    return '"' + Escape(v.text) + '"';
}

// Applies the values to the key, in place where a value exists, else at the end
// of the key's last section, else in a new section at the end of the file.
void Apply(QList<Line>& lines, const QString& fullKey, const QList<RegistryValue>& values) {
    if (lines.isEmpty()) {
        lines.append(Line{Line::kOther, kHeader, {}, {}, {}});
        lines.append(Line{});
    }
    for (const RegistryValue& v : values) {
        qsizetype lastValue = -1, sectionEnd = -1;
        bool inKey = false;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const Line& l = lines[i];
            if (l.kind == Line::kSection) {
                inKey = SameKey(l.key, fullKey);
                if (inKey) sectionEnd = i + 1;
                continue;
            }
            if (!inKey) continue;
            if (l.kind == Line::kValue && SameKey(l.name, v.name)) lastValue = i;
            if (!l.raw.trimmed().isEmpty() || l.kind == Line::kValue) sectionEnd = i + 1;
        }
        if (lastValue >= 0) {
            lines[lastValue].value = RawValue(v);
            continue;
        }
        Line nl{Line::kValue, {}, {}, v.name, RawValue(v)};
        if (sectionEnd >= 0) {
            lines.insert(sectionEnd, nl);
            continue;
        }
        if (!lines.last().raw.isEmpty() || lines.last().kind != Line::kOther) lines.append(Line{});
        lines.append(Line{Line::kSection, '[' + fullKey + ']', fullKey, {}, {}});
        lines.append(nl);
    }
}

bool ReadFd(int fd, QByteArray* out) {
    out->clear();
    if (lseek(fd, 0, SEEK_SET) < 0) return false;
    char buf[8192];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) return false;
        if (n == 0) return true;
        out->append(buf, n);
    }
}

bool WriteAllFd(int fd, const QByteArray& data) {
    for (qsizetype done = 0; done < data.size();) {
        const ssize_t n = write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

QString SystemText(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

// Makes a rename durable: the new name is in the folder only once the folder
// itself is on the disk.
bool SyncFolder(const QString& path) {
    const int dir = open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    const bool ok = fsync(dir) == 0;
    close(dir);
    return ok;
}

// Replaces the file at `path` (the link's target, never the link) through a
// temporary file in its folder and a rename, so that a reader at any moment
// (and the disk after a power cut) sees either the old file or the new one,
// never an empty or partial one. The new file gets the owner, group and
// permission bits of the file it replaces. When those cannot be given to it
// (another user's file, and this process may not chown), the write is refused:
// rewriting such a file in place would let a reader (another agent, the next
// start, the front end) see it empty or half written, and a rename would hand
// the file, and maybe a password in it, to this user. `error` says why.
bool WriteFile(const QString& path, const QByteArray& data, int lockedFd, QString* error) {
    struct stat st;
    const bool existed = fstat(lockedFd, &st) == 0 && st.st_nlink > 0;
    const mode_t mode = existed ? (st.st_mode & 07777) : 0644;
    QByteArray tmpl = QFile::encodeName(path + ".XXXXXX");
    const int fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("no se puede crear un archivo temporal en %1: %2")
                     .arg(QFileInfo(path).absolutePath(), SystemText(errno));
        return false;
    }
    bool ok = true;
    if (existed && st.st_uid != geteuid() && fchown(fd, st.st_uid, uid_t(-1)) != 0) {
        ok = false;
        *error = QStringLiteral(
                     "%1 es de otro usuario (uid %2) y este usuario (uid %3) no puede "
                     "reemplazarlo conservando su dueño; no se reescribe en su lugar para "
                     "que nadie lo lea a medias")
                     .arg(path)
                     .arg(st.st_uid)
                     .arg(geteuid());
    }
    if (ok && existed && st.st_gid != getegid() && fchown(fd, uid_t(-1), st.st_gid) != 0) {
        ok = false;
        *error = QStringLiteral("no se puede conservar el grupo (gid %1) de %2: %3")
                     .arg(st.st_gid)
                     .arg(path, SystemText(errno));
    }
    // After fchown, which may clear the set-id bits.
    if (ok && fchmod(fd, mode) != 0) {
        ok = false;
        *error = QStringLiteral("no se puede dar el modo %1 a %2: %3")
                     .arg(mode, 4, 8, QChar('0'))
                     .arg(path, SystemText(errno));
    }
    if (ok && !(WriteAllFd(fd, data) && fsync(fd) == 0)) {
        ok = false;
        *error = QStringLiteral("no se puede escribir %1: %2").arg(path, SystemText(errno));
    }
    if (close(fd) != 0 && ok) {
        ok = false;
        *error = QStringLiteral("no se puede escribir %1: %2").arg(path, SystemText(errno));
    }
    if (ok && rename(tmpl.constData(), QFile::encodeName(path).constData()) != 0) {
        ok = false;
        *error = QStringLiteral("no se puede reemplazar %1: %2").arg(path, SystemText(errno));
    }
    if (!ok) {
        unlink(tmpl.constData());  // the old file stays as it was
        return false;
    }
    if (!SyncFolder(path)) {
        // The new contents are in place for every reader; only their
        // durability across a power cut is in doubt.
        *error = QStringLiteral("no se pudo sincronizar la carpeta de %1: %2")
                     .arg(path, SystemText(errno));
    }
    return true;
}

// The file a write must replace: the final target of a symbolic link (a link
// to a file still to be created included), else the path itself.
QString WriteTarget(const QString& path) {
    QString current = path;
    for (int depth = 0; depth < 40; ++depth) {
        const QFileInfo info(current);
        if (!info.isSymLink()) return info.absoluteFilePath();
        current = info.symLinkTarget();
    }
    return path;
}

std::atomic<int> LockWaitMs{2000};

// Takes the file's lock, waiting at most LockWaitMs: the writers are the
// agent's own cycle ("ComError") and its close, which another program holding
// the lock must never hold up for ever.
bool LockBounded(int fd) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (waited.elapsed() >= LockWaitMs.load()) return false;
        usleep(10 * 1000);
    }
}

// Opens and locks the file that is at `path` now: after the lock is taken the
// name may point at a newer file (another writer renamed over it), so check and
// try again.
// The lock is taken on a read-only descriptor: the file is never written
// through it (a write replaces it), and a file this user may only read still
// gets the refusal in words from WriteFile.
int OpenLocked(const QString& path, bool create) {
    const QByteArray p = QFile::encodeName(path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = open(p.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == ENOENT && create)
            fd = open(p.constData(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST)
            continue;  // made meanwhile by another writer
        if (fd < 0) return -1;
        if (!LockBounded(fd)) {
            const int code = errno;
            close(fd);
            errno = code;
            return -1;
        }
        struct stat byFd, byName;
        if (fstat(fd, &byFd) == 0 && stat(p.constData(), &byName) == 0 &&
            byFd.st_ino == byName.st_ino && byFd.st_dev == byName.st_dev)
            return fd;
        close(fd);
    }
    return -1;
}

}  // namespace

std::optional<qint32> RegistryKey::ReadInteger(const QString& name) const {
    static const QRegularExpression dword(QStringLiteral("^dword:([0-9A-Fa-f]{1,8})$"));
    for (qsizetype i = m_values.size() - 1; i >= 0; --i) {
        if (!SameKey(m_values[i].first, name)) continue;
        const auto m = dword.match(m_values[i].second);
        if (!m.hasMatch()) return std::nullopt;
        return qint32(m.captured(1).toUInt(nullptr, 16));
    }
    return std::nullopt;
}

std::optional<QString> RegistryKey::ReadString(const QString& name) const {
    for (qsizetype i = m_values.size() - 1; i >= 0; --i) {
        if (!SameKey(m_values[i].first, name)) continue;
        const QString& raw = m_values[i].second;
        if (raw.size() < 2 || !raw.startsWith('"') || !raw.endsWith('"')) return std::nullopt;
        return Unescape(raw.mid(1, raw.size() - 2));
    }
    return std::nullopt;
}

std::optional<QString> RegistryKey::Raw(const QString& name) const {
    for (qsizetype i = m_values.size() - 1; i >= 0; --i)
        if (SameKey(m_values[i].first, name))
            return m_values[i].second;
    return std::nullopt;
}

QStringList RegistryKey::ValueNames() const {
    QStringList names;
    for (const auto& v : m_values) names.append(v.first);
    return names;
}

std::optional<RegistryKey> RegistryFile::OpenKeyRead(const QString& key, QString* error) const {
    if (error) error->clear();
    QFile f(m_path);
    if (!f.open(QIODevice::ReadOnly)) {
        // A missing file is "no key"; a file that is there but cannot be read
        // is a fault the caller must be able to tell apart.
        const int code = errno;
        if (error && QFileInfo::exists(m_path))
            *error = QString::fromLocal8Bit(std::strerror(code ? code : EIO));
        return std::nullopt;
    }
    const QByteArray data = f.readAll();
    if (f.error() != QFileDevice::NoError) {
        if (error) *error = f.errorString();
        return std::nullopt;
    }
    const QString fullKey = FullKey(key);
    RegistryKey result;
    bool found = false, inKey = false;
    Form form;
    const QList<Line> lines = Parse(data, &form);
    if (!form.valid && error)
        *error = QStringLiteral(
            "el contenido no es texto (UTF-8, UTF-16 con marca de orden ni Windows-1252)");
    for (const Line& l : lines) {
        if (l.kind == Line::kSection) {
            inKey = SameKey(l.key, fullKey);
            found = found || inKey;
        } else if (inKey && l.kind == Line::kValue) {
            result.m_values.append({l.name, l.value});
        }
    }
    if (!found) return std::nullopt;
    return result;
}

bool RegistryFile::Write(const QString& key, const QList<RegistryValue>& values, QString* error,
                         bool createFile) const {
    QString why;
    const bool ok = WriteLocked(key, values, &why, createFile);
    if (error)
        *error = why;
    return ok;
}

bool RegistryFile::WriteLocked(const QString& key, const QList<RegistryValue>& values,
                               QString* error, bool createFile) const {
    const QString target = WriteTarget(m_path);
    const QFileInfo info(target);
    if (!createFile && !info.exists()) {
        *error = QStringLiteral("no existe %1").arg(target);
        return false;
    }
    if (!QDir().mkpath(info.absolutePath())) {
        *error = QStringLiteral("no se puede crear la carpeta %1").arg(info.absolutePath());
        return false;
    }
    const bool existed = info.exists();
    // The file is replaced, not written through, but a file this user may not
    // write (made read-only to keep the agent off it) is left alone all the same.
    if (existed && access(QFile::encodeName(target).constData(), W_OK) != 0) {
        *error = QStringLiteral("no se puede escribir %1: %2").arg(target, SystemText(errno));
        return false;
    }
    const int fd = OpenLocked(target, createFile);
    if (fd < 0) {
        *error = errno == EWOULDBLOCK
                     ? QStringLiteral("otro programa tiene tomado %1").arg(target)
                     : QStringLiteral("no se puede abrir %1: %2").arg(target, SystemText(errno));
        return false;
    }
    QByteArray data;
    bool ok = ReadFd(fd, &data);
    if (!ok)
        *error = QStringLiteral("no se puede leer %1: %2").arg(target, SystemText(errno));
    if (ok) {
        Form form;
        QList<Line> lines = Parse(data, &form);
        // Bytes that do not decode would be lost by a rewrite.
        ok = form.valid;
        if (!ok)
            *error = QStringLiteral("%1 no es texto; no se reescribe").arg(target);
        if (ok) {
            Apply(lines, FullKey(key), values);
            ok = WriteFile(target, Render(lines, form), fd, error);
        }
    }
    // An empty file made here only to hold the lock is not left behind.
    if (!ok && !existed)
        unlink(QFile::encodeName(target).constData());
    close(fd);  // releases the lock
    return ok;
}

RegistryFile RegistryFile::Process() {
    if (!ProcessPathValue.isEmpty()) return RegistryFile(ProcessPathValue);
    const QString env = qEnvironmentVariable("KELVOR_REGISTRY");
    if (!env.isEmpty()) return RegistryFile(env);
    return RegistryFile(SystemPath());
}

QString RegistryFile::SystemPath() { return QStringLiteral("/etc/kelvor/registry.reg"); }

void RegistryFile::SetLockWait(int milliseconds) { LockWaitMs.store(milliseconds); }

void RegistryFile::SetProcessPath(const QString& path) { ProcessPathValue = path; }

namespace {
QMutex ComErrorMutex;
std::optional<bool> ComErrorWritten;  // the value in the file, as this process wrote it
QString ComErrorFile;                 // the file it was written to
}  // namespace

bool WriteComError(bool failed) {
    QMutexLocker lock(&ComErrorMutex);
    const RegistryFile file = RegistryFile::Process();
    // What was written is known only for that file: another settings file
    // (the process's path set again) gets its own first write.
    if (ComErrorWritten == failed && ComErrorFile == file.Path()) return true;
    // The settings file is the installer's: a missing one is said at the
    // start and not made here (a wrong --registry path would otherwise leave
    // a stray file). It is written once it exists. A path that cannot be
    // looked at (a file used as a folder) is a failure the caller tells.
    struct stat st;
    if (stat(QFile::encodeName(file.Path()).constData(), &st) != 0 && errno == ENOENT) {
        ComErrorWritten.reset();
        return true;
    }
    const bool ok = file.Write(RegistryKeys::kKelvor,
                               {RegistryValue::Int(QStringLiteral("ComError"), failed ? 1 : 0)},
                               nullptr, false);
    // A failed write is tried again at the next call.
    if (ok) {
        ComErrorWritten = failed;
        ComErrorFile = file.Path();
    } else {
        ComErrorWritten.reset();
    }
    return ok;
}

void ResetComErrorForTest() {
    QMutexLocker lock(&ComErrorMutex);
    ComErrorWritten.reset();
}
