#pragma once
// The floor of the storing figure: what storing one reader's pass costs a
// plain program that talks to SQLite through its C API, with each statement
// prepared once, on the same schema and with the journal settings of the
// agent's connection (WAL, BEGIN IMMEDIATE, the whole pass in one
// transaction). Once per pass it reads the id counter (CODIGO
// "ID"/"FICHADAS") and writes it advanced by the pass's size (the agent does
// that step in a short transaction of its own); per registration it does what
// the agent's storing does on a reader without visitor control and without
// anti-passback:
//
//   look up the key's holder (INGRESAN by NroLlave),
//   insert the REGISTRA row and its RegExp twin with the same values;
//
// and once per pass, in the same transaction, what the agent does to store a
// pass exactly once: read the reader's note of its last stored pass
// (AGPENDIENTE) and replace it with the pass's raw records in hexadecimal.
//
// Failures throw Exception with SQLite's message. One thread.

#include <sqlite3.h>

#include <string>
#include <vector>

struct FloorRegistration {
    int key = 0;
    std::string fechaHora;  // "YYYY-MM-DD HH:MM:SS.SSS", as the agent stores it
    std::string estado;     // the reader's two-character state
};

// The local time now, as the agent writes Modificado ("YYYY-MM-DD
// HH:MM:SS.SSS"); both floors stamp their rows with it.
std::string FloorNowText();

class StoreFloor {
public:
    explicit StoreFloor(const std::string& file);
    ~StoreFloor();
    StoreFloor(const StoreFloor&) = delete;
    StoreFloor& operator=(const StoreFloor&) = delete;

    // May be called again for the next pass (statements are prepared before
    // the timing starts).

    // Stores the pass for the reader: the registrations decoded from the
    // pass's raw records (18 bytes each). Returns the seconds from BEGIN to
    // the end of COMMIT.
    double Store(const std::string& readerId, const std::vector<FloorRegistration>& list,
                 const std::vector<std::string>& records);

private:
    sqlite3_stmt* Prepare(const char* sql);
    void Run(const char* sql);
    [[noreturn]] void Fail(const char* what) const;

    sqlite3* m_db = nullptr;
    std::vector<sqlite3_stmt*> m_statements;
};
