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
#include <QThread>
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

namespace {
QDateTime Minute(const QDateTime& t) {
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()));
}
}  // namespace

// A primary and its synchronous standby named together in the alias; the
// primary stops while a reader's registrations are being stored and the
// standby is promoted: the agent goes on against the new primary, and every
// registration, before, during and after the switch, is stored exactly once.
TEST(Failover, ThePromotedStandbyTakesOverMidTrafficNothingLostOrDoubled) {
    constexpr int kPerBatch = 20, kCyclesAfter = 3;
    OwnPostgres::Options po;
    po.portOffset = 1;
    OwnPostgres primary(po);
    KELVOR_NEED(primary.Skip().isEmpty(), primary.Skip().toStdString());
    AgentBench b(BenchDb::PostgreSQL);
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    OwnPostgres::Options so;
    so.portOffset = 2;
    so.standbyOf = primary.Port();
    so.pointEnvironment = false;
    OwnPostgres standby(so);
    ASSERT_TRUE(standby.Skip().isEmpty()) << standby.Skip().toStdString();
    // Synchronous from now on: a commit returns once the standby has it.
    b.Exec("ALTER SYSTEM SET synchronous_standby_names = 'walreceiver'");
    b.Exec("SELECT pg_reload_conf()");
    bool sync = false;
    for (int i = 0; i < 200 && !sync; ++i) {
        sync = b.Value("SELECT COUNT(*) FROM pg_stat_replication WHERE sync_state = 'sync'")
                   .toInt() == 1;
        if (!sync)
            QThread::msleep(50);
    }
    ASSERT_TRUE(sync) << "the standby did not become synchronous";
    ASSERT_TRUE(RegistryFile(b.registry)
                    .Write(RegistryKeys::kAlias,
                           {RegistryValue::Str("Host", "127.0.0.1,127.0.0.1"),
                            RegistryValue::Str("Port", QString("%1,%2")
                                                           .arg(primary.Port())
                                                           .arg(standby.Port()))}));

    SimulatedReader& r = b.Reader(u'A');
    HeldBatches batches(r, kPerBatch, Minute(b.clock.Now()).addSecs(-60 * (3 * kPerBatch + 10)));
    const QMap<qint32, HeldRegistration>& held = batches.Held();
    batches.Add(0);
    auto thread = b.MakeThread(true);
    thread->SetCycleLimit(200);  // a bound only; the stop request ends the run
    bool stopOk = false, promoteOk = false;
    int switchCycle = 0;
    b.view.onCycleStart = [&](int cycle) {
        if (cycle == 2)
            batches.Add(1);
        if (switchCycle > 0 && cycle == switchCycle + 1)
            batches.Add(2);
        if (switchCycle > 0 && cycle == switchCycle + 1 + kCyclesAfter)
            thread->RequestStop();
    };
    b.view.onRow = [&](const ViewRow& row) {
        if (switchCycle == 0 && b.view.cycleStarts == 2 && row.mensaje.startsWith("Leyendo ")) {
            stopOk = primary.Stop();
            promoteOk = standby.Promote();
            switchCycle = 2;
        }
    };
    thread->Resume();
    thread->WaitForEnd();
    ASSERT_TRUE(stopOk);
    ASSERT_TRUE(promoteOk);
    b.PointSetupAt(standby.Port());
    const FaultCounts c = FaultCounts::Of(b, held);
    std::cout << "failover: " << held.size() << " registrations, " << thread->CyclesDone()
              << " cycles, " << c.stored << " stored, " << c.duplicates << " duplicates, "
              << c.lost << " lost" << std::endl;
    EXPECT_EQ(thread->CyclesDone(), switchCycle + 1 + kCyclesAfter);
    EXPECT_EQ(c.stored, 3 * kPerBatch) << c.Text();
    EXPECT_EQ(c.duplicates, 0) << c.Text();
    EXPECT_EQ(c.lost, 0) << c.Text();
    EXPECT_EQ(c.altered + c.invented, 0) << c.Text();
    EXPECT_EQ(c.twinsMissing, 0);
    EXPECT_TRUE(r.Registrations().isEmpty());
    // The new primary takes writes: the agent is on it, not on a read-only
    // standby.
    EXPECT_EQ(b.Value("SELECT pg_is_in_recovery()").toBool(), false);
}
