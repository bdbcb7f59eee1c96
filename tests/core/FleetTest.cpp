// PostgreSQL as a fleet runs it: a server across the network reached with
// TLS and its certificate verified, and a primary with a synchronous standby
// that takes over in the middle of a run.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <iostream>

#include "db/TAlias.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "tests/core/AgentBench.h"
#include "tests/core/OwnPostgres.h"
#include "tests/faults/FaultCounts.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

// Skipped with its reason on a machine without the parts; a failure where
// the continuous integration must have them.
#define KELVOR_NEED(cond, reason)                                        \
    do {                                                                 \
        if (!(cond)) {                                                   \
            if (qEnvironmentVariable("CI") == QLatin1String("true"))     \
                FAIL() << (reason);                                      \
            GTEST_SKIP() << (reason);                                    \
        }                                                                \
    } while (0)

bool OpenSsl(const QString& dir, const QStringList& args) {
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("openssl", args);
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
        ADD_FAILURE() << "openssl " << args.join(' ').toStdString() << ": "
                      << p.readAll().toStdString();
        return false;
    }
    return true;
}

// An authority and, signed by it, a certificate for the host "localhost".
bool MakeAuthority(const QString& dir, const QString& name) {
    return OpenSsl(dir, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout",
                         name + ".key", "-out", name + ".crt", "-subj", "/CN=" + name});
}

bool MakeServerCertificate(const QString& dir, const QString& ca) {
    QFile ext(dir + "/server.ext");
    if (!ext.open(QIODevice::WriteOnly) || ext.write("subjectAltName=DNS:localhost\n") <= 0)
        return false;
    ext.close();
    return OpenSsl(dir, {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out",
                         "server.csr", "-subj", "/CN=localhost"}) &&
           OpenSsl(dir, {"x509", "-req", "-in", "server.csr", "-CA", ca + ".crt", "-CAkey",
                         ca + ".key", "-CAcreateserial", "-days", "2", "-out", "server.crt",
                         "-extfile", "server.ext"});
}

// Connects as the agent does with these alias values; "" when it connected
// over TLS, else the refusal (or "not TLS").
QString ConnectWith(const QString& dir, const QList<RegistryValue>& values) {
    RegistryFile reg(dir + "/registry.reg");
    QList<RegistryValue> all = {RegistryValue::Str("Driver", "QPSQL"),
                                RegistryValue::Str("Database", "postgres")};
    all << values;
    if (!reg.Write(RegistryKeys::kAlias, all))
        return "registry not written";
    const QString name = "tls-check";
    QString outcome;
    try {
        QSqlDatabase db = TAlias::Load(reg).Connect(name, 1000, false, 10);
        QSqlQuery q(db);
        outcome = q.exec("SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()") && q.next() &&
                          q.value(0).toBool()
                      ? ""
                      : "not TLS";
    } catch (const EDatabaseError& e) {
        outcome = e.Message();
    }
    QSqlDatabase::database(name, false).close();
    QSqlDatabase::removeDatabase(name);
    return outcome;
}

}  // namespace

TEST(Tls, VerifyFullConnectsAndRefusesAWrongHostOrAuthority) {
    KELVOR_NEED(!QStandardPaths::findExecutable("openssl").isEmpty(), "no openssl program");
    QTemporaryDir certs;
    ASSERT_TRUE(certs.isValid());
    const QString dir = certs.path();
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                   QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup |
                                   QFile::ExeGroup);
    ASSERT_TRUE(MakeAuthority(dir, "site-ca"));
    ASSERT_TRUE(MakeAuthority(dir, "other-ca"));
    ASSERT_TRUE(MakeServerCertificate(dir, "site-ca"));
    OwnPostgres::GiveToServer(dir + "/server.crt");
    OwnPostgres::GiveToServer(dir + "/server.key", true);

    OwnPostgres::Options o;
    o.settings = {"ssl=on", "ssl_cert_file=" + dir + "/server.crt",
                  "ssl_key_file=" + dir + "/server.key"};
    o.portOffset = 3;
    o.pointEnvironment = false;
    OwnPostgres server(o);
    KELVOR_NEED(server.Skip().isEmpty(), server.Skip().toStdString());
    const QList<RegistryValue> common = {RegistryValue::Int("Port", server.Port()),
                                         RegistryValue::Str("User", server.User()),
                                         RegistryValue::Str("SslMode", "verify-full")};
    struct Case {
        const char* what;
        QString host, rootCert;
        bool connects;
    };
    const Case cases[] = {
        {"the site's authority, the certificate's host", "localhost", "site-ca.crt", true},
        {"another host name than the certificate's", "127.0.0.1", "site-ca.crt", false},
        {"another authority", "localhost", "other-ca.crt", false},
        {"no authority at all", "localhost", "missing-ca.crt", false},
    };
    for (const Case& c : cases) {
        QList<RegistryValue> values = common;
        values << RegistryValue::Str("Host", c.host)
               << RegistryValue::Str("SslRootCert", dir + "/" + c.rootCert);
        const QString outcome = ConnectWith(dir, values);
        if (c.connects) {
            EXPECT_EQ(outcome, "") << c.what;
        } else {
            EXPECT_NE(outcome, "") << c.what;
            EXPECT_NE(outcome, "not TLS") << c.what;  // refused, not connected in the clear
        }
    }
}
