// The dialect step, and every statement of the data module run on both engines.

#include <gtest/gtest.h>

#include "db/Statements.h"
#include "db/TCommandTable.h"
#include "db/TSqlDialect.h"
#include "db/TSqlStatement.h"
#include "shell/Errors.h"
#include "tests/db/DbTest.h"

TEST(Dialect, FileNamesBecomeTablesAndQuotedTextsBecomeLiterals) {
    const TAdaptedSql ap = TSqlDialect::Adapt(Sql::kQryAntiPassBack);
    EXPECT_TRUE(ap.text.contains("FROM INGREG IR \n")) << ap.text.toStdString();
    EXPECT_TRUE(ap.text.contains("\tLEFT OUTER JOIN Ingresan Ing\n"));
    EXPECT_TRUE(ap.text.contains("\tLEFT OUTER JOIN Zonas ZO\n"));
    EXPECT_TRUE(ap.text.contains("\tLEFT OUTER JOIN Reg Reg\n"));
    EXPECT_TRUE(ap.text.contains("WHERE IR.IdIngresante=? AND ZO.IdZona=?\n"));
    EXPECT_FALSE(ap.text.contains('"'));
    EXPECT_EQ(ap.parameters, QStringList({"Ingresante", "Zona"}));

    const TAdaptedSql id = TSqlDialect::Adapt(Sql::kQryId);
    EXPECT_EQ(id.text, "SELECT DESCRIPCION FROM CODIGO \nWHERE TIPO='ID' AND CODIGO=?");
    EXPECT_EQ(id.parameters, QStringList({"Tabla"}));

    const TAdaptedSql upd = TSqlDialect::Adapt(Sql::kQryUpdateId);
    EXPECT_EQ(upd.text, "UPDATE CODIGO\nSET DESCRIPCION=?\nWHERE \nCODIGO=? and\nTIPO='ID'");
    EXPECT_EQ(upd.parameters, QStringList({"Valor", "Tabla"}));

    const TAdaptedSql ins = TSqlDialect::Adapt(Sql::kVisactInsert);
    EXPECT_EQ(ins.parameters,
              QStringList({"pFechaHora", "pIdRegistrador", "pNroLlave", "pIdIngresante",
                           "pModificado", "pACK", "pCodEstado", "pPRES"}));
    EXPECT_EQ(ins.text.count('?'), 8);
}

TEST(Dialect, LeavesLiteralsAndCastsAloneAndEscapesQuotes) {
    const TAdaptedSql a =
        TSqlDialect::Adapt("SELECT ':x', 'a''b', c::text, \"it's\" FROM t WHERE d=:D AND e = :e_2");
    EXPECT_EQ(a.text, "SELECT ':x', 'a''b', c::text, 'it''s' FROM t WHERE d=? AND e = ?");
    EXPECT_EQ(a.parameters, QStringList({"D", "e_2"}));
}

TEST(Dialect, UnterminatedQuoteIsAnError) {
    EXPECT_THROW(TSqlDialect::Adapt("SELECT \"abc FROM t"), EDatabaseError);
    EXPECT_THROW(TSqlDialect::Adapt("SELECT 'abc FROM t"), EDatabaseError);
}

class Statements : public DbTest {};
KELVOR_ON_BOTH_ENGINES(Statements);

// Every statement prepares and runs on the engine with values of the kinds
// the data module binds.
TEST_P(Statements, EveryStatementRunsOnTheEngine) {
    const QString rowId = TSqlDialect::RowIdColumn(db->Alias().Driver());
    const QString lock = TSqlDialect::RowLockClause(db->Alias().Driver());
    struct Case {
        QString text;
        QVariantList values;
    };
    const QDateTime t(QDate(2026, 3, 1), QTime(8, 30));
    const QList<Case> cases = {
        {Sql::kQryRegistradores, {1}},
        {Sql::kQryRegistrador, {"A1"}},
        {Sql::kQryIngresante, {123}},
        {Sql::kQryId, {"FICHADAS"}},
        {QString(Sql::kQryId) + lock, {"FICHADAS"}},
        {Sql::kQryUpdateId, {"5", "FICHADAS"}},
        {Sql::kQryZona, {"A1"}},
        {Sql::kQryAntiPassBack, {7, "1"}},
        {Sql::kQryUsuario, {"admin"}},
        {Sql::kVisactEndEarlier, {123}},
        {Sql::kVisactInsert, {t, "A1", 123, 7, t, false, "ENTHAB", true}},
        {Sql::kVisactExit, {t, false, "A1", 123}},
        {Sql::kQryIngregHolder, {7}},
        {Sql::kInsertRegistra, {1, t, "A1", 123, 7, t, "Agente", false, "ENTHAB"}},
        {Sql::kInsertRegExp, {1, t, "A1", 123, 7, t, "Agente", false, "ENTHAB"}},
        {QString(Sql::kSelectRegSim).arg(rowId, lock), {}},
        {QString(Sql::kDeleteRegSimRow).arg(rowId),
         {db->backend() == Backend::SQLite ? QVariant(1) : QVariant("(0,1)")}},
        {Sql::kInsertComando, {1, "A1", "BAJA", "00123", t}},
        {TCommandTable::SelectStatement(), {}},
        {TCommandTable::PassStatement(), {11, 5, 11}},
        {Sql::kDeleteComando, {99}},
        {Sql::kRestampComando, {t, 99}},
        {Sql::kLocateIngresante, {7}},
        {Sql::kClearIngresanteKey, {7, 123}},
        {Sql::kSelectLlave, {123}},
        {Sql::kStampLlave, {t, 123, t}},
        {Sql::kInsertPendiente, {"A1", "3131", t}},
        {Sql::kSelectPendiente, {"A1"}},
        {Sql::kDeletePendiente, {"B1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        try {
            TSqlStatement s(db->Check(), c.text, "test");
            const TAdaptedSql adapted = TSqlDialect::Adapt(c.text);
            ASSERT_EQ(adapted.parameters.size(), c.values.size());
            for (int i = 0; i < c.values.size(); ++i) s.Bind(adapted.parameters[i], c.values[i]);
            s.Exec();
        } catch (const Exception& e) {
            ADD_FAILURE() << e.Message().toStdString();
        }
    }
    // The statements wrote what they say: one command, one visit, one
    // registration, the counter untouched (no row).
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM COMANDO"), "1");
    EXPECT_EQ(db->Scalar("SELECT CodEstado FROM VISACT"), "ENTHAB");
    EXPECT_EQ(db->Scalar("SELECT FechaHora FROM REGISTRA"), "2026-03-01 08:30:00.000");
    EXPECT_EQ(db->Scalar("SELECT Registros FROM AGPENDIENTE WHERE IdRegistrador = 'A1'"), "3131");
}

TEST_P(Statements, ParameterNamesMatchWithoutRegardToCase) {
    Holder(7, "EMPLEADO", 123);
    db->Exec("INSERT INTO Usuario (Clave, Administrador) VALUES ('s3cret', " + db->True() + ")");
    Enrol("A1", 7);

    TSqlStatement holder(db->Check(), Sql::kQryIngresante, "INGRESAN");
    holder.Bind("NroLlave", 123);  // written :NroLLave
    holder.Exec();
    ASSERT_TRUE(holder.Next());
    EXPECT_EQ(holder.OptInt("id"), 7);

    TSqlStatement user(db->Check(), Sql::kQryUsuario, "Usuario");
    user.Bind("xPsw", "s3cret");  // written :xpsw
    user.Exec();
    ASSERT_TRUE(user.Next());
    EXPECT_EQ(user.OptBool("ADMINISTRADOR"), true);

    TSqlStatement enrolled(db->Check(), Sql::kQryIngregHolder, "INGREG");
    enrolled.Bind("xI", 7);  // written :xi
    enrolled.Exec();
    ASSERT_TRUE(enrolled.Next());
    EXPECT_EQ(enrolled.Str("IdRegistrador"), "A1");
}

TEST_P(Statements, UnknownOrUnboundParameterFailsLoudly) {
    TSqlStatement s(db->Check(), Sql::kQryUpdateId, "CODIGO");
    try {
        s.Bind("Valr", "1");
        FAIL() << "a parameter the statement does not have was accepted";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.Message().contains("Valr")) << e.Message().toStdString();
        EXPECT_TRUE(e.Message().contains("CODIGO"));
    }
    s.Bind("valor", "1");
    try {
        s.Exec();
        FAIL() << "a statement ran with a parameter left unset";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.Message().contains("Tabla")) << e.Message().toStdString();
    }
}

TEST_P(Statements, EngineErrorsCarryTheSubjectAndTheDriverText) {
    db->Exec("DROP TABLE Zonas");
    try {
        TSqlStatement s(db->Check(), Sql::kQryZona, "Zonas");
        s.Bind("Registrador", "A1");
        s.Exec();
        FAIL() << "a missing table went unnoticed";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.Message().contains("(Zonas)")) << e.Message().toStdString();
        EXPECT_TRUE(e.Message().contains("zonas", Qt::CaseInsensitive));
    }
}

// Values travel as data, whatever their characters (on PostgreSQL they are
// written into the statement as literals).
TEST_P(Statements, TextValuesRoundTripUnchanged) {
    const QString awkward = "it's a \\'test\\' \"quoted\" ; DROP TABLE COMANDO; -- ?:x ñ";
    TSqlStatement insert(db->Check(), Sql::kInsertComando, "COMANDO");
    insert.Bind("IdEstacion", 1);
    insert.Bind("IdRegistrador", "A1");
    insert.Bind("CodComando", awkward);
    insert.Bind("Texto", QString());  // an unset text is stored as an empty one
    insert.Bind("FechaHora", QDateTime(QDate(2026, 3, 1), QTime(8, 30, 5, 250)));
    insert.Exec();
    EXPECT_EQ(db->Rows("SELECT CodComando, Texto, FechaHora, " + DbTest::B("Texto IS NULL") +
                       " FROM COMANDO"),
              QList<QStringList>({{awkward, "", "2026-03-01 08:30:05.250", "F"}}));
}

// One prepared statement run again and again, as the storing path runs it:
// each run stores its own values (a shorter text after a longer one, a NULL
// after a number), a name written twice takes the value at both places, and
// results are read by name without regard to case.
TEST_P(Statements, AReusedStatementStoresEachRunsOwnValues) {
    db->Exec("CREATE TABLE Prueba (N BIGINT, T VARCHAR(100), R DOUBLE PRECISION, K BIGINT)");
    TSqlStatement insert(db->Check(), "INSERT INTO Prueba (N, T, R, K) VALUES (:N, :T, :R, :n)",
                         "Prueba");
    const QList<QVariantList> runs = {
        {qlonglong(5000000000), "una llave más larga, ñandú", 2.5},
        {-1, "ab", QVariant()},
        {1, "", 0.25},
    };
    for (const QVariantList& run : runs) {
        insert.Bind("N", run[0]);
        insert.Bind("T", run[1]);
        insert.Bind("R", run[2]);
        insert.Exec();
        EXPECT_EQ(insert.RowsAffected(), 1);
        insert.Reset();
    }
    TSqlStatement select(db->Check(), "SELECT N, T AS Texto, R, K FROM Prueba ORDER BY K",
                         "Prueba");
    select.Exec();
    QList<QStringList> rows;
    while (select.Next())
        rows << QStringList{select.Value("n").toString(), select.Str("texto"),
                            select.IsNull("R") ? "NULL" : select.Value("r").toString(),
                            select.Value("K").toString()};
    EXPECT_EQ(rows, QList<QStringList>(
                        {{"-1", "ab", "NULL", "-1"},
                         {"1", "", "0.25", "1"},
                         {"5000000000", "una llave más larga, ñandú", "2.5", "5000000000"}}));
    EXPECT_THROW(select.Value("Falta"), EDatabaseError);
}
