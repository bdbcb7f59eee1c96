#pragma once
// The program's version as shown to the operator (about box, --version).
//
// The version is the one given to the build ("a.b.c.d", compiled in as
// KELVOR_VERSION) and is read like a version resource with four 16-bit parts:
// Major = a, Minor = b, Build = (low byte of d) mod 100 + 100 * (low byte of c),
// so that a.b.c.d gives c * 100 + d for c and d under 100. VersionText is
// "%02d.%02d.%04d" of Major, Minor, Build: 7.30.4.0 gives "07.30.0400",
// 1.2.3.4 and 1.2.3.104 both give "01.02.0304".
//
// A version that is missing or cannot be read (not one to four decimal parts
// joined by points, a part above 65535) leaves the information unread: Major,
// Minor and Build are 0 and the text is "00.00.0000". Missing trailing parts
// count as 0.
//
// Thread safety: an immutable value; any thread may read it.

#include <QString>

class TVersionInfo {
public:
    TVersionInfo();                                 // the compiled-in version
    explicit TVersionInfo(const QString& version);  // "a.b.c.d"

    bool Read() const { return m_read; }
    qint32 Major() const { return m_major; }
    qint32 Minor() const { return m_minor; }
    qint32 Build() const { return m_build; }
    QString VersionText() const;

    static QString FormatVersion(int a, int b, int c, int d);

private:
    bool m_read = false;
    qint32 m_major = 0;
    qint32 m_minor = 0;
    qint32 m_build = 0;
};
