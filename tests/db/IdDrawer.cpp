// Test helper: draws ids from the counter "FICHADAS" of the alias in the
// given settings file, the way one program sharing the database does.
//
//   id_drawer SETTINGS COUNT                 GetNewId, one at a time; prints each id
//   id_drawer SETTINGS COUNT --passes SIZE   stores COUNT registrations of reader A<pid>
//                                            in passes of SIZE, as an agent; a failed
//                                            pass is repeated (at most 100 times);
//                                            prints the reader's id
//   id_drawer SETTINGS COUNT --unlocked      reads the counter and writes it back
//                                            advanced as two separate statements,
//                                            nothing holding the row, and inserts a
//                                            REGISTRA row with the id (reader "OTRO");
//                                            prints the ids of the rows it inserted

#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>
#include <cstdio>

#include "db/TDM.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"

namespace {

int Unlocked(int count) {
    QSqlDatabase db = TAlias::Load(RegistryFile::Process()).Connect("unlocked", 30000);
    for (int i = 0; i < count; ++i) {
        QSqlQuery read(db);
        if (!read.exec(
                "SELECT DESCRIPCION FROM CODIGO WHERE TIPO = 'ID' AND CODIGO = 'FICHADAS'") ||
            !read.next())
            throw Exception(read.lastError().text());
        const int id = read.value(0).toString().toInt();
        read.finish();
        QSqlQuery update(db);
        update.prepare(
            "UPDATE CODIGO SET DESCRIPCION = ? WHERE TIPO = 'ID' AND CODIGO = 'FICHADAS'");
        update.addBindValue(QString::number(id + 1));
        if (!update.exec())
            throw Exception(update.lastError().text());
        QSqlQuery insert(db);
        insert.prepare("INSERT INTO REGISTRA (Id, IdRegistrador, NroLlave) VALUES (?, 'OTRO', 0)");
        insert.addBindValue(id);
        if (insert.exec())  // an id another program already used is this program's failure
            std::printf("%d\n", id);
    }
    return 0;
}

int Passes(TDM& dm, int count, int size) {
    TTR reader;
    reader.Id = QStringLiteral("A%1").arg(QCoreApplication::applicationPid());
    const QDateTime at(QDate(2026, 3, 1), QTime(8, 0));
    int failures = 0;
    for (int done = 0; done < count;) {
        TListaFichadas list;
        for (int i = 0; i < size && done + i < count; ++i)
            list.Add(TFichada(500 + done + i, at.addSecs(done + i), "11"));
        try {
            dm.StoreRegistrations(reader, list);
            done += int(list.Count());
        } catch (const EDatabaseError& e) {
            if (++failures > 100)
                throw;
        }
    }
    std::printf("%s\n", reader.Id.toLocal8Bit().constData());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: id_drawer SETTINGS COUNT [--passes SIZE | --unlocked]\n");
        return 2;
    }
    RegistryFile::SetProcessPath(QString::fromLocal8Bit(argv[1]));
    const int count = QString::fromLocal8Bit(argv[2]).toInt();
    const QString mode = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
    try {
        if (mode == QLatin1String("--unlocked"))
            return Unlocked(count);
        TDM dm;
        dm.SetBusyTimeout(30000);
        dm.Open();
        if (mode == QLatin1String("--passes"))
            return Passes(dm, count, argc > 4 ? QString::fromLocal8Bit(argv[4]).toInt() : 10);
        for (int i = 0; i < count; ++i) std::printf("%d\n", dm.GetNewId("FICHADAS"));
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", e.Message().toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
