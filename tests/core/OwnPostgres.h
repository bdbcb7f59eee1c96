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
    struct Options {
        QStringList settings;   // server settings, "name=value" each
        int portOffset = 0;     // a second server of the same process: 1, 2, ...
        int standbyOf = 0;      // a streaming standby (pg_basebackup -R) of the
                                // server on this port instead of a new cluster
        bool pointEnvironment = true;
    };
    OwnPostgres();
    explicit OwnPostgres(const Options& options);
    ~OwnPostgres();  // stops the server (immediate), removes its folder, restores the environment
    bool Start();
    bool Stop();
    bool Promote();  // a standby becomes a primary (pg_ctl promote, waits)
    const QString& Skip() const { return m_skip; }
    int Port() const { return m_port; }
    const QString& User() const { return m_user; }
    // Makes a file or folder readable by the server's user (root runs the
    // server as postgres); a key file is also made private to it.
    static void GiveToServer(const QString& path, bool privateKey = false);

private:
    int Run(const QString& program, const QStringList& args);
    void PointEnvironmentHere();

    QTemporaryDir m_folder;
    Options m_options;
    QString m_skip, m_bin, m_dir, m_user;
    QStringList m_runAs;
    int m_port = 0;
    struct Saved {
        QByteArray name, value;
        bool set;
    };
    QList<Saved> m_saved;
};
