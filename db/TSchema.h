#pragma once
// The schema of the access database (db/schema/*.sql), compiled into the
// library so that the database tool and the tests work from the build tree.
//
// Create refuses to touch a database that holds any of the tables already.
// Thread: the connection's thread. Throws EDatabaseError.

#include <QSqlDatabase>
#include <QStringList>

#include "db/TSqlDialect.h"

class TSchema {
public:
    // The script for a driver, as installed under share/kelvor/schema.
    static QString Script(TSqlDriver driver);
    // The script split into single statements, comments removed.
    static QStringList Statements(TSqlDriver driver);
    // Every table of the schema, as named in the script.
    static QStringList Tables();
    // Whether the engine finds a table (or view) of that name as the agent's
    // unquoted statements would: PostgreSQL through the session's
    // search_path (any schema; the name folds to lower case), SQLite in the
    // main database, without regard to case.
    static bool HasTable(const QSqlDatabase& db, const QString& table);
    // The tables of the schema that exist in the database (see HasTable).
    static QStringList ExistingTables(const QSqlDatabase& db);
    // Creates every table and index in one transaction.
    static void Create(const QSqlDatabase& db, TSqlDriver driver);
    // The tables that the agent itself keeps (AGPENDIENTE, and the station's
    // state in AGESTACION and AGESTADO); a database made
    // before one of them existed is brought up to date by Upgrade.
    static QStringList AgentTables();
    // Creates the agent's tables (and their indexes) that are missing, in one
    // transaction; touches nothing else. Returns the tables it created.
    static QStringList Upgrade(const QSqlDatabase& db, TSqlDriver driver);
    // Creates those of `tables` (and their indexes) that are missing, in one
    // transaction, as the schema has them; existing tables are not touched.
    // Returns the tables it created.
    static QStringList CreateMissing(const QSqlDatabase& db, TSqlDriver driver,
                                     const QStringList& tables);
    // Creates the indexes the agent's statements rely on for speed where a
    // database (a front end's) lacks them: today COMANDO_Orden on COMANDO
    // (IdEstacion, FechaHora, Id), the command pass's order. Returns the
    // indexes it created. Run by "kelvordb upgrade", never by the agent: an
    // index on the installation's tables is the installer's choice.
    static QStringList AddIndexes(const QSqlDatabase& db, TSqlDriver driver);
};
