#include "shell/TLogFile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <csignal>
#include <cstring>

#include "shell/Errors.h"
#include "shell/SpanishTexts.h"
#include "shell/TimeText.h"
#include "shell/TextLimits.h"
#include "shell/Windows1252.h"
#include "tests/support/TestSupport.h"

namespace {

const QString kTitle = QStringLiteral("Agente de Kelvor I");
const QString kPrefix = QStringLiteral("AGKelvorI");
const QDateTime kNow(QDate(2024, 5, 17), QTime(9, 8, 7));

// The bytes of the start and end of a run stamped kNow.
const QByteArray kStart =
    "Archivo de sesi\xF3n de la aplicaci\xF3n : Agente de Kelvor I\r\n"
    "\r\n"
    "17/05/2024 09:08:07 [ULogFile] Comienzo de sesi\xF3n\r\n";
const QByteArray kEnd = "17/05/2024 09:08:07 [LogFile] Fin de sesi\xF3n\r\n\r\n";

class TLogFileTest : public ::testing::Test {
protected:
    ScratchDir dir;
    QString fixed = dir.File("AGKelvorI.log");

    std::unique_ptr<TLogFile> Open(bool newFile, qint32 enabled = 1, RetryQuestion ask = {},
                                   const QString& folder = {}) {
        return std::make_unique<TLogFile>(folder.isEmpty() ? dir.Path() : folder, newFile, enabled,
                                          kTitle, kPrefix, std::move(ask), FixedClock(kNow));
    }
    QStringList Entries() const {
        return QDir(dir.Path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    }
};

TEST_F(TLogFileTest, DisabledLogCreatesAndTouchesNothing) {
    for (bool newFile : {true, false}) {
        int asked = 0;
        auto log = Open(newFile, 0, [&](const QString&) { return ++asked, true; });
        log->WriteLine("Main", "nada", 2);
        EXPECT_EQ(log->Enabled(), 0);
        EXPECT_EQ(log->FileName(), "");
        EXPECT_EQ(log->OpenError(), "");
        log.reset();
        EXPECT_EQ(asked, 0);
        EXPECT_TRUE(Entries().isEmpty()) << Entries().join(",").toStdString();
    }
    // An existing append file is left exactly as it was.
    ASSERT_TRUE(WriteAll(fixed, "anterior\r\n"));
    Open(false, 0)->WriteLine("Main", "nada", 0);
    EXPECT_EQ(ReadAll(fixed), "anterior\r\n");
}

TEST_F(TLogFileTest, AppendRunHasStartLinesLevelsAndEndLinesInWindows1252WithCrLf) {
    auto log = Open(false);
    EXPECT_EQ(log->FileName(), fixed);
    EXPECT_EQ(log->Enabled(), 1);
    log->WriteLine("ComThread", "No se pudo leer el registrador", 0);
    log->WriteLine("ComThread", "Reloj fuera de tolerancia", 1);
    log->WriteLine("Main", "Instanciación del thread en modo suspendido", 2);
    log->WriteLine("Main", "nivel desconocido", 7);
    log.reset();
    EXPECT_EQ(ReadAll(fixed), kStart +
                                  "17/05/2024 09:08:07 [ComThread] ERROR : No se pudo leer el "
                                  "registrador\r\n"
                                  "17/05/2024 09:08:07 [ComThread] ATENCION : Reloj fuera de "
                                  "tolerancia\r\n"
                                  "17/05/2024 09:08:07 [Main] Instanciaci\xF3n del thread en modo "
                                  "suspendido\r\n"
                                  "17/05/2024 09:08:07 [Main] nivel desconocido\r\n" +
                                  kEnd);
}

TEST_F(TLogFileTest, EachLineIsInTheFileAsSoonAsItIsWritten) {
    auto log = Open(false);
    EXPECT_EQ(ReadAll(fixed), kStart);
    log->WriteLine("Main", "café", 2);
    EXPECT_EQ(ReadAll(fixed), kStart + "17/05/2024 09:08:07 [Main] caf\xE9\r\n");
}

TEST_F(TLogFileTest, LineBreaksInsideAMessageKeepOneEventOnOneLine) {
    auto log = Open(false);
    log->WriteLine("Main", "uno\r\ndos\ntres\rcuatro", 0);
    EXPECT_EQ(ReadAll(fixed),
              kStart + "17/05/2024 09:08:07 [Main] ERROR : uno dos tres cuatro\r\n");
}

TEST_F(TLogFileTest, AppendRunsContinueTheSameFileAfterAnEmptyLine) {
    ASSERT_TRUE(WriteAll(fixed, "de antes\r\n"));
    Open(false)->WriteLine("Main", "primera", 2);
    Open(false)->WriteLine("Main", "segunda", 2);
    EXPECT_EQ(ReadAll(fixed), "de antes\r\n" + kStart + "17/05/2024 09:08:07 [Main] primera\r\n" +
                                  kEnd + kStart + "17/05/2024 09:08:07 [Main] segunda\r\n" + kEnd);
    EXPECT_EQ(Entries(), QStringList({"AGKelvorI.log"}));
}

TEST_F(TLogFileTest, PerRunFileIsUniqueAndItsCopyHoldsOnlyThatRun) {
    ASSERT_TRUE(WriteAll(fixed, "de una corrida en modo anexar\r\n"));
    QString firstName;
    {
        auto log = Open(true);
        firstName = log->FileName();
        EXPECT_EQ(QFileInfo(firstName).absolutePath(), QFileInfo(dir.Path()).absoluteFilePath());
        EXPECT_TRUE(QFileInfo(firstName).fileName().startsWith("AGK"));
        EXPECT_NE(firstName, fixed);
        log->WriteLine("Main", "primera", 2);
        EXPECT_EQ(ReadAll(firstName), kStart + "17/05/2024 09:08:07 [Main] primera\r\n");
        EXPECT_EQ(ReadAll(fixed), "de una corrida en modo anexar\r\n");
    }
    const QByteArray firstRun = kStart + "17/05/2024 09:08:07 [Main] primera\r\n" + kEnd;
    EXPECT_EQ(ReadAll(firstName), firstRun);
    EXPECT_EQ(ReadAll(fixed), firstRun);

    QString secondName;
    {
        auto log = Open(true);
        secondName = log->FileName();
        log->WriteLine("Main", "segunda", 2);
    }
    EXPECT_NE(secondName, firstName);
    const QByteArray secondRun = kStart + "17/05/2024 09:08:07 [Main] segunda\r\n" + kEnd;
    EXPECT_EQ(ReadAll(fixed), secondRun);
    EXPECT_EQ(ReadAll(firstName), firstRun);
    EXPECT_EQ(ReadAll(secondName), secondRun);
    EXPECT_EQ(Entries().size(), 3);
}

TEST_F(TLogFileTest, FailedCopyAtTheEndIsIgnored) {
    ASSERT_TRUE(QDir(dir.Path()).mkdir("AGKelvorI.log"));
    QString name;
    {
        auto log = Open(true);
        name = log->FileName();
        log->WriteLine("Main", "sin copia", 2);
    }
    EXPECT_TRUE(QFileInfo(fixed).isDir());
    EXPECT_EQ(ReadAll(name), kStart + "17/05/2024 09:08:07 [Main] sin copia\r\n" + kEnd);
}

TEST_F(TLogFileTest, FolderWithTrailingSlashGivesPlainNames) {
    auto log = Open(false, 1, {}, dir.Path() + "/");
    EXPECT_EQ(log->FileName(), fixed);
    auto perRun = Open(true, 1, {}, dir.Path() + "/");
    EXPECT_FALSE(perRun->FileName().contains("//"));
}

TEST_F(TLogFileTest, DeclinedRetryLeavesAnIdleLogWithTheError) {
    const QString missing = dir.File("falta");
    const QString reason = SpanishTexts::SystemErrorText(ENOENT);
    struct Case {
        bool newFile;
        QString name;
    };
    for (const Case& c :
         {Case{false, missing + "/AGKelvorI.log"}, Case{true, missing + "/AGKXXXXXX"}}) {
        QStringList questions;
        auto log = Open(
            c.newFile, 1, [&](const QString& q) { return questions.append(q), false; }, missing);
        const QString failure = "Se ha producido el error: 2 <" + reason +
                                "> al intentar abrir el archivo de sesión: " + c.name;
        EXPECT_EQ(questions, QStringList({failure + ". Desea volver a intentar ?"}));
        EXPECT_EQ(log->OpenError(), failure);
        EXPECT_EQ(log->Enabled(), 0);
        EXPECT_NO_THROW(log->WriteLine("Main", "nada", 0));
        ASSERT_TRUE(QDir().mkdir(missing));
        log->WriteLine("Main", "nada", 0);
        log.reset();
        EXPECT_TRUE(QDir(missing).isEmpty());
        ASSERT_TRUE(QDir().rmdir(missing));
    }
}

TEST_F(TLogFileTest, WithoutAQuestionAnOpeningFailurePausesTheLogUntilARetryWorks) {
    for (bool newFile : {false, true}) {
        const QString folder = dir.File(newFile ? "nueva" : "anexar");
        QDateTime now = kNow;
        QStringList notices, echoed;  // outlive the log, whose end lines are echoed
        TLogFile log(
            folder, newFile, 1, kTitle, kPrefix, {}, [&] { return now; },
            [&] { return kNow.msecsTo(now); });
        EXPECT_EQ(log.Enabled(), 1);
        EXPECT_TRUE(log.Paused());
        EXPECT_EQ(log.OpenError(), "");
        log.SetEcho([&](const QByteArray& line) { echoed.append(QString::fromUtf8(line)); });
        log.SetFailureNotice([&](const QString& m) { notices.append(m); });  // told at once
        ASSERT_EQ(notices.size(), 1);
        EXPECT_TRUE(notices[0].startsWith("Se ha producido el error: 2 <"))
            << notices[0].toStdString();
        log.WriteLine("Main", "perdida", 2);  // before the retry interval
        EXPECT_FALSE(QFileInfo::exists(folder));
        now = now.addSecs(61);
        log.WriteLine("Main", "vuelve", 2);
        EXPECT_FALSE(log.Paused());
        EXPECT_EQ(notices.size(), 1);
        EXPECT_EQ(echoed.filter("perdida").size(), 1);  // the echo got it all the same
        const QString file =
            FromWindows1252(ReadAll(newFile ? log.FileName() : QString(folder + "/AGKelvorI.log")));
        EXPECT_TRUE(
            file.contains("[LogFile] ATENCION : Se reanuda el archivo de sesión; 1 línea no se "
                          "pudo escribir\r\n17/05/2024 09:09:08 [Main] vuelve\r\n"))
            << file.toStdString();
        EXPECT_FALSE(file.contains("perdida"));
    }
    // A question nobody answered in time counts as no question.
    int asked = 0;
    auto unanswered = Open(
        false, 1, [&](const QString&) { return ++asked, std::optional<bool>(); },
        dir.File("falta"));
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(unanswered->Paused());
    EXPECT_EQ(unanswered->Enabled(), 1);
    EXPECT_EQ(unanswered->OpenError(), "");
}

TEST_F(TLogFileTest, RetryAfterTheOperatorFixesTheFolderOpensTheLog) {
    for (bool newFile : {false, true}) {
        const QString folder = dir.File(newFile ? "nueva" : "anexar");
        int asked = 0;
        auto log = Open(
            newFile, 1,
            [&](const QString&) {
                // The first retry still finds no folder; it exists before the second.
                if (++asked == 2) {
                    EXPECT_TRUE(QDir().mkdir(folder));
                }
                return true;
            },
            folder);
        EXPECT_EQ(asked, 2);
        EXPECT_EQ(log->Enabled(), 1);
        EXPECT_EQ(log->OpenError(), "");
        EXPECT_TRUE(log->FileName().startsWith(folder + "/AGK"));
        log->WriteLine("Main", "ya anda", 2);
        log.reset();
        EXPECT_EQ(ReadAll(folder + "/AGKelvorI.log"),
                  kStart + "17/05/2024 09:08:07 [Main] ya anda\r\n" + kEnd);
    }
}

TEST_F(TLogFileTest, StartLinesThatCannotBeWrittenAreAnOpeningFailure) {
    ASSERT_TRUE(QFile::link("/dev/full", fixed));
    QStringList questions;
    auto log = Open(false, 1, [&](const QString& q) { return questions.append(q), false; });
    ASSERT_EQ(questions.size(), 1);
    EXPECT_TRUE(questions[0].startsWith("Se ha producido el error: 28 <"))
        << questions[0].toStdString();
    EXPECT_EQ(log->Enabled(), 0);
}

// A full disk (the file size limit stands in for it), then the file removed
// with its folder: each failure told once, nothing thrown, the log resumed.
TEST_F(TLogFileTest, AWriteFailurePausesTheLogTellsItOnceAndResumes) {
    QDateTime now = kNow;
    QStringList notices;
    TLogFile log(
        dir.Path(), false, 1, kTitle, kPrefix, {}, [&] { return now; },
        [&] { return kNow.msecsTo(now); });
    log.SetFailureNotice([&](const QString& m) { notices.append(m); });
    const auto size = rlim_t(QFileInfo(fixed).size());
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = previous;
    limit.rlim_cur = size;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_NO_THROW(log.WriteLine("Main", "no entra", 2));
    now = now.addSecs(61);
    log.WriteLine("Main", "tampoco", 2);  // the retry fails as well: not told again
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].startsWith("No se pudo escribir en el archivo de sesión " + fixed +
                                      ": " + SpanishTexts::SystemErrorText(EFBIG)));
    EXPECT_TRUE(log.Paused());
    now = now.addSecs(61);
    log.WriteLine("Main", "ya entra", 2);
    EXPECT_EQ(ReadAll(fixed),
              kStart +
                  "17/05/2024 09:10:09 [LogFile] ATENCION : Se reanuda el archivo de sesi\xF3n; 2 "
                  "l\xEDneas no se pudieron escribir\r\n17/05/2024 09:10:09 [Main] ya entra\r\n");

    const QString folder = dir.File("sub");
    TLogFile moved(
        folder, false, 1, kTitle, kPrefix, {}, [&] { return now; },
        [&] { return kNow.msecsTo(now); });
    QDir().mkpath(folder);  // before: paused at once; told when the notice is set
    moved.SetFailureNotice([&](const QString& m) { notices.append(m); });
    ASSERT_EQ(notices.size(), 2);
    now = now.addSecs(61);
    moved.WriteLine("Main", "uno", 2);
    ASSERT_FALSE(moved.Paused());
    ASSERT_TRUE(QDir(folder).removeRecursively());
    moved.WriteLine("Main", "dos", 2);  // the file is gone with its folder
    EXPECT_TRUE(moved.Paused());
    ASSERT_EQ(notices.size(), 3);
    EXPECT_TRUE(notices[2].contains(SpanishTexts::SystemErrorText(ENOENT)));
    now = now.addSecs(61);
    moved.WriteLine("Main", "tres", 2);  // folder and file made again
    EXPECT_TRUE(FromWindows1252(ReadAll(folder + "/AGKelvorI.log")).endsWith("[Main] tres\r\n"));
}

TEST_F(TLogFileTest, EchoGetsEveryLineWrittenAfterItIsSet) {
    QList<QByteArray> echoed;
    {
        auto log = Open(false);
        log->SetEcho([&](const QByteArray& line) { echoed.append(line); });
        log->WriteLine("ComThread", "Conexión al registrador A", 1);
    }
    EXPECT_EQ(echoed, QList<QByteArray>({"17/05/2024 09:08:07 [ComThread] ATENCION : Conexión al "
                                         "registrador A",
                                         "17/05/2024 09:08:07 [LogFile] Fin de sesión", ""}));
    echoed.clear();
    auto idle = Open(false, 0);
    idle->SetEcho([&](const QByteArray& line) { echoed.append(line); });
    idle->WriteLine("Main", "nada", 2);
    idle.reset();
    EXPECT_TRUE(echoed.isEmpty());
    // Error and attention lines reach the echo also while the log is off, or
    // when a writer keeps them out of the file.
    auto off = Open(false, 0);
    off->SetEcho([&](const QByteArray& line) { echoed.append(line); });
    off->WriteLine("Main", "falla", 0);
    off->EchoLine("ComThread", "atencion", 1);
    off->EchoLine("ComThread", "info", 2);
    auto on = Open(false, 1);
    on->SetEcho([&](const QByteArray& line) { echoed.append(line); });
    on->EchoLine("ComThread", "solo eco", 0);
    EXPECT_EQ(echoed, QList<QByteArray>({"17/05/2024 09:08:07 [Main] ERROR : falla",
                                         "17/05/2024 09:08:07 [ComThread] ATENCION : atencion",
                                         "17/05/2024 09:08:07 [ComThread] ERROR : solo eco"}));
    EXPECT_FALSE(ReadAll(fixed).contains("solo eco"));
}

// The cut keeps a line to its bound and shows that it was cut; shorter texts
// pass as they are.
TEST(TextLimitsTest, CappedKeepsTheBoundAndMarksTheCut) {
    const QString mark = " [... cortado: 60 caracteres en total]";
    struct Case {
        QString text;
        qsizetype max;
        QString expected;
    };
    const QList<Case> cases = {
        {"", 10, ""},
        {"abc", 3, "abc"},
        {QString(60, u'x'), 60, QString(60, u'x')},
        {QString(60, u'x'), 20, mark},  // no room for any text: the mark alone
        {QString(60, u'x'), mark.size() + 4, "xxxx" + mark},
        // A pair of surrogates is never split.
        {QString(3, u'a') + QString::fromUtf8("\xF0\x9F\x98\x80") + QString(55, u'b'),
         mark.size() + 4, "aaa" + mark},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.left(30).toStdString());
        EXPECT_EQ(TextLimits::Capped(c.text, c.max), c.expected);
    }
    const QString big(20 * 1024 * 1024, u'z');
    const QString cut = TextLimits::Capped(big);
    EXPECT_EQ(cut.size(), TextLimits::kLine);
    EXPECT_TRUE(cut.endsWith(" [... cortado: 20971520 caracteres en total]"));
}

// A message of megabytes is one line of the bound in the file and the echo;
// the echo's note follows the line there and never reaches the file.
TEST_F(TLogFileTest, ALongMessageIsCutAndTheEchoAloneGetsItsNote) {
    QList<QByteArray> echoed;
    {
        auto log = Open(false);
        log->SetEcho([&](const QByteArray& line) { echoed.append(line); });
        log->WriteLine("ComThread", QString(5 * 1024 * 1024, u'9') + "\nfin", 0);
        log->WriteLine("ComThread", "Error", 0, "registrador C1, comando 7 BAJA");
    }
    const QList<QByteArray> lines = ReadAll(fixed).split('\n');
    ASSERT_GE(lines.size(), 5);
    const QByteArray prefix = "17/05/2024 09:08:07 [ComThread] ERROR : ";
    EXPECT_EQ(lines[3].size(), prefix.size() + TextLimits::kLine + 1);  // and the CR
    EXPECT_TRUE(lines[3].endsWith(" [... cortado: 5242884 caracteres en total]\r"));
    EXPECT_EQ(lines[4], prefix + "Error\r");
    ASSERT_EQ(echoed.size(), 4);
    EXPECT_EQ(echoed[0], lines[3].chopped(1));
    EXPECT_EQ(echoed[1], prefix + "Error [registrador C1, comando 7 BAJA]");
    // With the log off the note reaches the echo the same way.
    echoed.clear();
    auto off = Open(false, 0);
    off->SetEcho([&](const QByteArray& line) { echoed.append(line); });
    off->EchoLine("ComThread", "TimeOut", 0, "registrador B1");
    off->WriteLine("ComThread", "Info", 2, "registrador B1");
    EXPECT_EQ(echoed, QList<QByteArray>({prefix + "TimeOut [registrador B1]"}));
}

}  // namespace

namespace {

// The paused log's retry waits on the monotonic clock: the computer's clock
// set back an hour (or forward) neither delays nor hastens it; the lines
// keep the wall-clock stamp.
TEST_F(TLogFileTest, TheRetryWaitsOnTheMonotonicClockNotTheWallClock) {
    const struct {
        const char* name;
        qint64 wallStepSecs;
        qint64 monotonicStepMs;
        bool resumed;
    } cases[] = {
        {"clock set back an hour, a minute passes", -3600, 61000, true},
        {"clock set forward an hour, a second passes", 3600, 1000, false},
        {"nothing done to the clock, 59 s pass", 59, 59000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir scratch;
        const QString folder = scratch.File("falta");  // not there yet: paused at once
        QDateTime now = kNow;
        qint64 ticks = 0;
        TLogFile log(
            folder, false, 1, kTitle, kPrefix, {}, [&] { return now; }, [&] { return ticks; });
        ASSERT_TRUE(log.Paused());
        ASSERT_TRUE(QDir().mkpath(folder));
        now = now.addSecs(c.wallStepSecs);
        ticks += c.monotonicStepMs;
        log.WriteLine("Main", "linea", 2);
        EXPECT_EQ(log.Paused(), !c.resumed);
        const QString file = FromWindows1252(ReadAll(folder + "/AGKelvorI.log"));
        EXPECT_EQ(file.contains(LogStamp(now) + " [Main] linea"), c.resumed) << file.toStdString();
    }
}

}  // namespace
// Per-run files are kept to the bound, the newest kept: this run's file is
// one of them, and nothing that is not a per-run file of this log is touched
// (the fixed file, another program's file of a like name, a link).
TEST_F(TLogFileTest, PerRunFilesAreKeptToTheirBoundNewestFirst) {
    const QDateTime base = QDateTime::currentDateTime().addDays(-10);
    QStringList old;
    for (int i = 0; i < 5; ++i) {
        const QString name = dir.File(QStringLiteral("AGK00000%1").arg(i));
        ASSERT_TRUE(WriteAll(name, kStart + kEnd));
        QFile f(name);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(base.addSecs(i * 3600), QFileDevice::FileModificationTime));
        old << QFileInfo(name).fileName();
    }
    ASSERT_TRUE(WriteAll(dir.File("AGKzzzzzz"), "otro programa\r\n"));
    ASSERT_TRUE(WriteAll(fixed, kStart + kEnd));
    ASSERT_TRUE(QFile::link(dir.File("AGK000000"), dir.File("AGKlink00")));

    auto log = Open(true);
    log->KeepRunFiles(0);  // no bound
    EXPECT_EQ(Entries().size(), 9) << Entries().join(",").toStdString();
    log->KeepRunFiles(3);
    const QString own = QFileInfo(log->FileName()).fileName();
    QStringList expected = {own, "AGK000003", "AGK000004", "AGKzzzzzz", "AGKelvorI.log"};
    expected.sort();
    QStringList entries = Entries();
    entries.removeAll("AGKlink00");  // listed only while its target is there
    entries.sort();
    EXPECT_EQ(entries, expected);
    EXPECT_TRUE(QFileInfo(dir.File("AGKlink00")).isSymLink());
    log->WriteLine("Main", "sigue", 2);  // this run's file is still written
    log.reset();
    EXPECT_TRUE(ReadAll(fixed).contains("sigue"));

    // A bound of one leaves this run's file alone.
    auto next = Open(true);
    next->KeepRunFiles(1);
    EXPECT_TRUE(QFileInfo::exists(next->FileName()));
    EXPECT_FALSE(QFileInfo::exists(dir.File(own)));
    EXPECT_FALSE(QFileInfo::exists(dir.File("AGK000004")));
}
