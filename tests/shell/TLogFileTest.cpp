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

TEST_F(TLogFileTest, WithoutAQuestionAFailureCountsAsNo) {
    auto log = Open(false, 1, {}, dir.File("falta"));
    EXPECT_EQ(log->Enabled(), 0);
    EXPECT_TRUE(log->OpenError().startsWith("Se ha producido el error: 2 <"));
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

TEST_F(TLogFileTest, WriteFailureOnAnOpenLogReachesTheWriter) {
    auto log = Open(false);
    const auto size = rlim_t(QFileInfo(fixed).size());
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = previous;
    limit.rlim_cur = size;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    int code = 0;
    try {
        log->WriteLine("Main", "no entra", 2);
    } catch (const EWin32Error& e) {
        code = e.ErrorCode();
        EXPECT_TRUE(e.Message().contains(fixed));
    }
    log.reset();  // the end lines cannot be written either: ignored
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(code, EFBIG);
    EXPECT_EQ(ReadAll(fixed), kStart);
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
}

}  // namespace
