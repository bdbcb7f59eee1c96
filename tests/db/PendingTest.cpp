// The note of a reader's stored records (AGPENDIENTE): written in the pass
// that stores the registrations, honoured only for the same records in the
// same order, removed on request; the agent's tables added by an upgrade.

#include <QSqlQuery>

#include "db/TSchema.h"
#include "shell/Errors.h"
#include "tests/db/DbTest.h"

namespace {

// Raw records as a reader would give them (only their identity matters here).
QByteArray Raw(int n) {
    return QByteArray("x110301083") + QByteArray::number(10000 + n) + "xZ!";
}

}  // namespace

class Pending : public DbTest {
protected:
    // Entries decoded from the first `count` records of a pass; the record
    // numbers in `undecodable` gave no entry.
    static TListaFichadas List(int count, const QList<int>& undecodable, const QDateTime& at) {
        TListaFichadas l;
        for (int i = 0; i < count; ++i)
            if (!undecodable.contains(i))
                l.Add(TFichada(500 + i, at.addSecs(60 * i), "11"), i);
        return l;
    }
    static QList<QByteArray> Records(int count) {
        QList<QByteArray> out;
        for (int i = 0; i < count; ++i) out << Raw(i);
        return out;
    }
    QStringList Keys() const {
        QStringList out;
        for (const QStringList& r : db->Rows("SELECT NroLlave FROM REGISTRA ORDER BY Id"))
            out << r[0];
        return out;
    }
    QDateTime at{QDate(2026, 3, 1), QTime(8, 30)};
};
KELVOR_ON_BOTH_ENGINES(Pending);

TEST_P(Pending, TheNoteSkipsExactlyTheRecordsItNames) {
    Counter("100");
    // Record 1 does not decode: it is counted as a record all the same.
    EXPECT_EQ(dm->StoreRegistrations(Tr("A1"), List(3, {1}, at), Records(3)), 0);
    EXPECT_EQ(Keys(), QStringList({"500", "502"}));
    EXPECT_EQ(dm->PendingRecords("A1"), Records(3));
    EXPECT_EQ(db->Scalar("SELECT Registros FROM AGPENDIENTE"),
              QString::fromLatin1((Raw(0) + Raw(1) + Raw(2)).toHex()));
    EXPECT_EQ(db->Scalar("SELECT FechaHora FROM AGPENDIENTE"), "2026-12-09 14:05:00.000");

    // Read again with two more: only those are stored; the note grows.
    EXPECT_EQ(dm->StoreRegistrations(Tr("A1"), List(5, {1}, at), Records(5)), 3);
    EXPECT_EQ(Keys(), QStringList({"500", "502", "503", "504"}));
    EXPECT_EQ(dm->PendingRecords("A1"), Records(5));

    // The same records in another order are other content: stored in full.
    QList<QByteArray> swapped = Records(5);
    swapped.swapItemsAt(0, 1);
    EXPECT_EQ(dm->StoreRegistrations(Tr("A1"), List(5, {}, at), swapped), 0);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA"), "9");
    EXPECT_EQ(dm->PendingRecords("A1"), swapped);

    // Another reader's note is its own.
    EXPECT_EQ(dm->StoreRegistrations(Tr("B1"), List(2, {}, at), Records(2)), 0);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA WHERE IdRegistrador = 'B1'"), "2");

    dm->ClearPending("A1");
    EXPECT_TRUE(dm->PendingRecords("A1").isEmpty());
    EXPECT_EQ(dm->PendingRecords("B1"), Records(2));
    dm->ClearPending("A1");  // nothing left to remove: no error
    // Without a note everything is stored again.
    EXPECT_EQ(dm->StoreRegistrations(Tr("A1"), List(2, {}, at), Records(2)), 0);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA WHERE IdRegistrador = 'A1'"), "11");
}

TEST_P(Pending, AFailedPassLeavesNeitherRowsNorNote) {
    Counter("100");
    ASSERT_EQ(dm->StoreRegistrations(Tr("A1"), List(2, {}, at), Records(2)), 0);
    dm->SetAfterPendingHook([] { throw EDatabaseError("fallo provocado"); });
    EXPECT_THROW(dm->StoreRegistrations(Tr("A1"), List(4, {}, at), Records(4)), EDatabaseError);
    EXPECT_EQ(Keys(), QStringList({"500", "501"}));
    EXPECT_EQ(dm->PendingRecords("A1"), Records(2));
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM RegExp"), "2");

    // No id: the same, and the note of the earlier pass still decides.
    dm->SetAfterPendingHook({});
    db->Exec("DELETE FROM CODIGO");
    EXPECT_THROW(dm->StoreRegistrations(Tr("A1"), List(4, {}, at), Records(4)), EIdError);
    EXPECT_EQ(dm->PendingRecords("A1"), Records(2));
    Counter("200");
    EXPECT_EQ(dm->StoreRegistrations(Tr("A1"), List(4, {}, at), Records(4)), 2);
    EXPECT_EQ(Keys(), QStringList({"500", "501", "502", "503"}));
}

// A database whose front end never made the agent's table: the agent makes it
// when it connects and keeps its note from the first pass; nothing to tell.
TEST_P(Pending, WithoutTheTableTheAgentCreatesItWhenItConnects) {
    Counter("100");
    dm.reset();
    db->Exec("DROP TABLE AGPENDIENTE");
    dm = MakeDm();
    EXPECT_EQ(dm->StoreRegistrations(Tr("A1"), List(1, {}, at), Records(1)), 0);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA"), "1");
    EXPECT_EQ(dm->PendingRecords("A1"), Records(1));
    EXPECT_TRUE(dm->PendingNoteOn());
    EXPECT_TRUE(dm->TakeNotices().isEmpty());
    EXPECT_TRUE(TSchema::Upgrade(db->Check(), db->Alias().Driver()).isEmpty());
}

// A note edited by hand or cut short is set aside, never holds its reader
// back; records that do not begin with the note are stored and said.
TEST_P(Pending, AnUnreadableOrUnmatchedNoteIsSetAsideAndSaid) {
    Counter("100");
    ASSERT_EQ(dm->StoreRegistrations(Tr("A1"), List(2, {}, at), Records(2)), 0);
    for (const QString& broken : {QString("zz"), QString::fromLatin1(Raw(0).toHex()).left(20)}) {
        db->Exec("UPDATE AGPENDIENTE SET Registros = ?", {broken});
        EXPECT_EQ(dm->StoreRegistrations(Tr("A1"), List(2, {}, at), Records(2)), 0);
        const QStringList notices = dm->TakeNotices();
        ASSERT_EQ(notices.size(), 1);
        EXPECT_TRUE(notices[0].contains("AGPENDIENTE.Registros de A1")) << notices[0].toStdString();
        EXPECT_EQ(dm->PendingRecords("A1"), Records(2));
    }
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA"), "6");

    QList<QByteArray> other = Records(3).mid(1);
    EXPECT_EQ(dm->StoreRegistrations(Tr("A1"), List(2, {}, at), other), 0);
    const QStringList notices = dm->TakeNotices();
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].contains("no comienzan con las 2 ya almacenadas"))
        << notices[0].toStdString();
    EXPECT_EQ(dm->PendingRecords("A1"), other);
    // Read again as noted: skipped, nothing to say.
    EXPECT_EQ(dm->StoreRegistrations(Tr("A1"), List(2, {}, at), other), 2);
    EXPECT_TRUE(dm->TakeNotices().isEmpty());
}

// A long store is progress to its caller: one call after each registration
// written (inside the pass's transaction), none for the records the note says
// are stored already nor for a record that gave no entry.
TEST_P(Pending, EachRegistrationWrittenIsReportedAsItIsStored) {
    Counter("100");
    int calls = 0;
    const auto count = [&] { ++calls; };
    EXPECT_EQ(dm->StoreRegistrations(Tr("A1"), List(3, {1}, at), Records(3), count), 0);
    EXPECT_EQ(calls, 2);
    calls = 0;
    EXPECT_EQ(dm->StoreRegistrations(Tr("A1"), List(5, {1}, at), Records(5), count), 3);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(Keys(), QStringList({"500", "502", "503", "504"}));
}
