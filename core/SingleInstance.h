#pragma once
// One agent with a window per user: the lookup of a running agent's main
// window by its class and title.
//
// A running agent holds an exclusive advisory lock (flock) on a lock file and
// listens on a local socket named after the window class and title and the
// user id ("TMainForm.Agente de Kelvor II.<uid>"). Another agent is found when
// the lock is held by another process or the socket answers; the lock is
// released by the system when the process ends, however it ends, and a stale
// socket left by a killed agent is removed by the next one.
//
// The files live in the folder given, else $XDG_RUNTIME_DIR, else the
// temporary folder.
//
// Use: OtherRunning() first (it takes the lock when it is free); when it is
// false, Announce() once the window has its title. The lock is held until the
// object is destroyed.
//
// Thread safety: user-interface thread only.

#include <QString>

class QLocalServer;

class SingleInstance {
public:
    SingleInstance(const QString& windowClass, const QString& title, const QString& folder = {});
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    bool OtherRunning();
    // Starts answering on the socket; false (with Error()) when it cannot.
    bool Announce();

    QString LockPath() const { return m_lockPath; }
    QString ServerName() const { return m_serverName; }
    QString Error() const { return m_error; }

private:
    QString m_lockPath;
    QString m_serverName;
    QString m_error;
    int m_lockFd = -1;
    QLocalServer* m_server = nullptr;
};
