#include "bench/StoreFloor.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "shell/Errors.h"

namespace {

const char* StateCode(const std::string& estado, bool* numeric) {
    *numeric = estado.size() == 2 && estado[0] >= '0' && estado[0] <= '9' && estado[1] >= '0' &&
               estado[1] <= '9';
    if (!*numeric)
        return nullptr;
    switch ((estado[0] - '0') * 10 + (estado[1] - '0')) {
        case 11:
            return "ENTHAB";
        case 12:
            return "ENTINHAB";
        case 13:
            return "PABIERTA";
        case 14:
            return "PFORZADA";
        case 15:
            return "PSINUSO";
        case 21:
            return "SALHAB";
        case 22:
            return "SALINHAB";
        default:
            return nullptr;
    }
}

}  // namespace

StoreFloor::StoreFloor(const std::string& file) {
    if (sqlite3_open_v2(file.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        Fail("abrir");
    sqlite3_busy_timeout(m_db, 10000);
    Run("PRAGMA journal_mode=WAL");
}

StoreFloor::~StoreFloor() {
    for (sqlite3_stmt* s : m_statements) sqlite3_finalize(s);
    sqlite3_close(m_db);
}

sqlite3_stmt* StoreFloor::Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(m_db, sql, -1, &s, nullptr) != SQLITE_OK)
        Fail(sql);
    m_statements.push_back(s);
    return s;
}

void StoreFloor::Run(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const QString text = QString::fromUtf8(error ? error : "");
        sqlite3_free(error);
        throw Exception(QStringLiteral("SQLite (%1): %2").arg(QString::fromUtf8(sql), text));
    }
}

void StoreFloor::Fail(const char* what) const {
    throw Exception(QStringLiteral("SQLite (%1): %2")
                        .arg(QString::fromUtf8(what), QString::fromUtf8(sqlite3_errmsg(m_db))));
}

double StoreFloor::Store(const std::string& readerId, const std::vector<FloorRegistration>& list,
                         const std::vector<std::string>& records) {
    sqlite3_stmt* readId =
        Prepare("SELECT DESCRIPCION FROM CODIGO WHERE TIPO='ID' AND CODIGO='FICHADAS'");
    sqlite3_stmt* writeId =
        Prepare("UPDATE CODIGO SET DESCRIPCION=? WHERE CODIGO='FICHADAS' AND TIPO='ID'");
    sqlite3_stmt* holder = Prepare("SELECT Id, Tipo FROM INGRESAN WHERE NroLlave = ?");
    const char* columns =
        " (Id, FechaHora, IdRegistrador, NroLlave, IdIngresante, Modificado, Responsable, ACK, "
        "CodEstado) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";
    sqlite3_stmt* inserts[] = {Prepare(("INSERT INTO REGISTRA" + std::string(columns)).c_str()),
                               Prepare(("INSERT INTO RegExp" + std::string(columns)).c_str())};

    sqlite3_stmt* readNote = Prepare("SELECT Registros FROM AGPENDIENTE WHERE IdRegistrador = ?");
    sqlite3_stmt* deleteNote = Prepare("DELETE FROM AGPENDIENTE WHERE IdRegistrador = ?");
    sqlite3_stmt* writeNote =
        Prepare("INSERT INTO AGPENDIENTE (IdRegistrador, Registros, FechaHora) VALUES (?, ?, ?)");

    const auto start = std::chrono::steady_clock::now();
    Run("BEGIN IMMEDIATE");
    sqlite3_bind_text(readNote, 1, readerId.c_str(), -1, SQLITE_STATIC);
    std::string note;
    if (sqlite3_step(readNote) == SQLITE_ROW) {
        if (const unsigned char* t = sqlite3_column_text(readNote, 0))
            note = reinterpret_cast<const char*>(t);
    }
    sqlite3_reset(readNote);
    // One counter step for the pass: read v, write v + n.
    if (sqlite3_step(readId) != SQLITE_ROW)
        Fail("contador FICHADAS");
    long long id = std::atoll(reinterpret_cast<const char*>(
        sqlite3_column_text(readId, 0) ? sqlite3_column_text(readId, 0)
                                       : reinterpret_cast<const unsigned char*>("0")));
    sqlite3_reset(readId);
    if (id == 0)
        Fail("contador FICHADAS en 0");
    const std::string next = std::to_string(id + (long long)list.size());
    sqlite3_bind_text(writeId, 1, next.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(writeId) != SQLITE_DONE)
        Fail("avance del contador");
    sqlite3_reset(writeId);
    --id;
    for (const FloorRegistration& r : list) {
        ++id;
        sqlite3_bind_int(holder, 1, r.key);
        long long holderId = -1;
        std::string tipo;
        if (sqlite3_step(holder) == SQLITE_ROW) {
            holderId = sqlite3_column_int64(holder, 0);
            if (const unsigned char* t = sqlite3_column_text(holder, 1))
                tipo = reinterpret_cast<const char*>(t);
        }
        sqlite3_reset(holder);

        bool numeric = false;
        const char* code = StateCode(r.estado, &numeric);
        const std::string codEstado =
            numeric && r.key == 99999 ? "REQEX" : (code ? code : r.estado);
        for (sqlite3_stmt* insert : inserts) {
            const std::string modificado = FloorNowText();
            sqlite3_bind_int64(insert, 1, id);
            sqlite3_bind_text(insert, 2, r.fechaHora.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_text(insert, 3, readerId.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_int(insert, 4, r.key == 99999 ? -1 : r.key);
            sqlite3_bind_int64(insert, 5, holderId);
            sqlite3_bind_text(insert, 6, modificado.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 7, "Agente", -1, SQLITE_STATIC);
            sqlite3_bind_int(insert, 8, 0);
            sqlite3_bind_text(insert, 9, codEstado.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(insert) != SQLITE_DONE)
                Fail("INSERT");
            sqlite3_reset(insert);
        }
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(records.size() * 36);
    for (const std::string& r : records) {
        for (unsigned char b : r) {
            hex += kHex[b >> 4];
            hex += kHex[b & 15];
        }
    }
    sqlite3_bind_text(deleteNote, 1, readerId.c_str(), -1, SQLITE_STATIC);
    if (sqlite3_step(deleteNote) != SQLITE_DONE)
        Fail("DELETE AGPENDIENTE");
    sqlite3_reset(deleteNote);
    const std::string now = FloorNowText();
    sqlite3_bind_text(writeNote, 1, readerId.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(writeNote, 2, hex.c_str(), int(hex.size()), SQLITE_STATIC);
    sqlite3_bind_text(writeNote, 3, now.c_str(), -1, SQLITE_STATIC);
    if (sqlite3_step(writeNote) != SQLITE_DONE)
        Fail("INSERT AGPENDIENTE");
    sqlite3_reset(writeNote);
    Run("COMMIT");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string FloorNowText() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char text[32];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03ld", ts.tv_nsec / 1000000);
    return text;
}
