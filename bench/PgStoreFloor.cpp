#include "bench/PgStoreFloor.h"

#include <libpq-fe.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include <QString>

#include "shell/Errors.h"

namespace {

std::string StateCode(const std::string& estado, int key) {
    static const struct {
        const char* code;
        const char* state;
    } codes[] = {{"11", "ENTHAB"},  {"12", "ENTINHAB"}, {"13", "PABIERTA"}, {"14", "PFORZADA"},
                 {"15", "PSINUSO"}, {"21", "SALHAB"},   {"22", "SALINHAB"}};
    const bool numeric = estado.size() == 2 && isdigit(static_cast<unsigned char>(estado[0])) &&
                         isdigit(static_cast<unsigned char>(estado[1]));
    if (numeric && key == 99999)
        return "REQEX";
    for (const auto& c : codes) {
        if (estado == c.code)
            return c.state;
    }
    return estado;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

}  // namespace

PgStoreFloor::PgStoreFloor(const std::string& conninfo) {
    m_conn = PQconnectdb(conninfo.c_str());
    if (PQstatus(m_conn) != CONNECTION_OK)
        throw Exception(QStringLiteral("libpq: %1").arg(QString::fromUtf8(PQerrorMessage(m_conn))));
    Prepare("read_id",
            "SELECT DESCRIPCION FROM CODIGO WHERE TIPO='ID' AND CODIGO='FICHADAS' FOR UPDATE");
    Prepare("write_id", "UPDATE CODIGO SET DESCRIPCION=$1 WHERE CODIGO='FICHADAS' AND TIPO='ID'");
    Prepare("holder", "SELECT Id, Tipo FROM INGRESAN WHERE NroLlave = $1");
    const std::string columns =
        " (Id, FechaHora, IdRegistrador, NroLlave, IdIngresante, Modificado, Responsable, ACK, "
        "CodEstado) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)";
    Prepare("registra", ("INSERT INTO REGISTRA" + columns).c_str());
    Prepare("regexp", ("INSERT INTO RegExp" + columns).c_str());
    Prepare("read_note", "SELECT Registros FROM AGPENDIENTE WHERE IdRegistrador = $1");
    Prepare("delete_note", "DELETE FROM AGPENDIENTE WHERE IdRegistrador = $1");
    Prepare("write_note",
            "INSERT INTO AGPENDIENTE (IdRegistrador, Registros, FechaHora) VALUES ($1, $2, $3)");
}

PgStoreFloor::~PgStoreFloor() {
    PQfinish(m_conn);
}

void PgStoreFloor::Prepare(const char* name, const char* sql) {
    PGresult* r = PQprepare(m_conn, name, sql, 0, nullptr);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    if (!ok)
        throw Exception(
            QStringLiteral("libpq (%1): %2")
                .arg(QString::fromUtf8(sql), QString::fromUtf8(PQerrorMessage(m_conn))));
}

std::string PgStoreFloor::Run(const char* name, const std::vector<std::string>& values) {
    std::vector<const char*> v;
    for (const std::string& s : values) v.push_back(s.c_str());
    PGresult* r = PQexecPrepared(m_conn, name, int(v.size()), v.data(), nullptr, nullptr, 0);
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const QString text = QString::fromUtf8(PQerrorMessage(m_conn));
        PQclear(r);
        throw Exception(QStringLiteral("libpq (%1): %2").arg(QString::fromLatin1(name), text));
    }
    std::string out = PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    return out;
}

void PgStoreFloor::Exec(const char* sql) {
    PGresult* r = PQexec(m_conn, sql);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    if (!ok)
        throw Exception(
            QStringLiteral("libpq (%1): %2")
                .arg(QString::fromUtf8(sql), QString::fromUtf8(PQerrorMessage(m_conn))));
}

double PgStoreFloor::Store(const std::string& readerId, const std::vector<FloorRegistration>& list,
                           const std::vector<std::string>& records) {
    const auto start = std::chrono::steady_clock::now();
    Exec("BEGIN");
    long long id = std::atoll(Run("read_id", {}).c_str());
    if (id == 0)
        throw Exception(QStringLiteral("contador FICHADAS en 0"));
    Run("write_id", {std::to_string(id + (long long)list.size())});
    Exec("COMMIT");
    Exec("BEGIN");
    Run("read_note", {readerId});
    --id;
    for (const FloorRegistration& r : list) {
        ++id;
        PGresult* h = nullptr;
        const std::string key = std::to_string(r.key);
        const char* keyValue = key.c_str();
        h = PQexecPrepared(m_conn, "holder", 1, &keyValue, nullptr, nullptr, 0);
        const std::string holder = PQntuples(h) > 0 ? PQgetvalue(h, 0, 0) : "-1";
        PQclear(h);
        const std::string codEstado = StateCode(r.estado, r.key);
        for (const char* insert : {"registra", "regexp"}) {
            Run(insert, {std::to_string(id), r.fechaHora, readerId,
                         std::to_string(r.key == 99999 ? -1 : r.key), holder, FloorNowText(), "Agente",
                         "false", codEstado});
        }
    }
    std::string note;
    for (const std::string& record : records) note += Hex(record);
    Run("delete_note", {readerId});
    Run("write_note", {readerId, note, FloorNowText()});
    Exec("COMMIT");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
