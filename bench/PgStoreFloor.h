#pragma once
// The floor of the PostgreSQL storing figure: what storing a reader's pass
// costs a plain program that talks to the server through libpq, each
// statement prepared once and run with PQexecPrepared, one statement per
// round trip (no pipeline), on the same schema. Per pass: the id counter step
// in a transaction of its own (SELECT ... FOR UPDATE, UPDATE), then in one
// transaction the reader's note read, per registration the holder look-up
// and the REGISTRA and RegExp rows, and the note replaced by the pass's raw
// records in hexadecimal. The same statements the agent's storing runs on a
// reader without visitor control or anti-passback.
//
// Failures throw Exception with the server's message. One thread.

#include <string>
#include <vector>

#include "bench/StoreFloor.h"

struct pg_conn;

class PgStoreFloor {
public:
    // `conninfo`: a libpq connection string.
    explicit PgStoreFloor(const std::string& conninfo);
    ~PgStoreFloor();
    PgStoreFloor(const PgStoreFloor&) = delete;
    PgStoreFloor& operator=(const PgStoreFloor&) = delete;

    // Stores one pass; returns the seconds it took.
    double Store(const std::string& readerId, const std::vector<FloorRegistration>& list,
                 const std::vector<std::string>& records);

private:
    void Prepare(const char* name, const char* sql);
    // Runs a prepared statement; returns the first column of the first row
    // ("" without one).
    std::string Run(const char* name, const std::vector<std::string>& values);
    void Exec(const char* sql);

    pg_conn* m_conn = nullptr;
};
