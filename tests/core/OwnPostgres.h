#pragma once
// A throwaway PostgreSQL cluster of the test's own (initdb in a temporary
// folder, a private port and socket folder), so that stopping it disturbs no
// other test using the shared server of the test script. Needs the server
// binaries named by PG_THROWAWAY_BINDIR; otherwise Skip() says why.
// While it lives, the bench's PostgreSQL environment points at it.

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class OwnPostgres {
public:
    OwnPostgres();
    ~OwnPostgres();  // stops the server (immediate), removes its folder, restores the environment
    bool Start();
    bool Stop();
    const QString& Skip() const { return m_skip; }

private:
    int Run(const QString& program, const QStringList& args);
    void PointEnvironmentHere();

    QTemporaryDir m_folder;
    QString m_skip, m_bin, m_dir, m_user;
    QStringList m_runAs;
    int m_port = 0;
    struct Saved {
        QByteArray name, value;
        bool set;
    };
    QList<Saved> m_saved;
};
