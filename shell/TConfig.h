#pragma once
// The agent's settings: one field per value of the settings key
// "\Software\Dalmor\Kelvor\Agente\1.0", named like the value.
//
// Contract:
// - Load: when the key cannot be opened every field takes its default for a
//   missing key; otherwise the values are read in table order and each one that
//   is absent or not a 32-bit integer takes its default for a missing value.
//   The two defaults differ only for Retrys (2 without the key, 1 without the
//   value). Booleans read as true when not 0. No range is applied.
//   What Load found wrong is kept for the agent to say:
//   - Problems(): one line per value that is there but is not a 32-bit
//     integer (its default is used; the line is never rewritten);
//   - StationProblem(): the station cannot be known ("Estacion" unreadable,
//     or a file that exists but cannot be read): the agent must not start;
//   - LoadError(): why an existing file could not be read (empty otherwise);
//   - FileMissing(): the file does not exist (defaults, as a missing key).
// - Save: writes only the values changed since the last Load or Save (the
//   options dialog's changes), creating the file and key when missing, and
//   never a value whose line could not be read (said in `error`, false). A
//   TConfig never loaded writes every value but the master keys (a new
//   settings file). Booleans as 0 or 1. False, with `error`, when it could
//   not be written; true with nothing changed writes nothing.
//
// Thread safety: there is one shared instance (Config()); it is changed only on
// the user-interface thread. The communication thread copies what it needs
// through the user-interface thread and reads DifHora directly.

#include <QStringList>

class RegistryFile;

class TConfig {
public:
    qint32 Estacion = 1;
    qint32 Comandos = 10;
    qint32 Prioridad = 3;
    qint32 Filas = 100;
    qint32 DifHora = 5;
    qint32 LogFileActivado = 0;
    qint32 LogFileAppend = 0;
    // Most per-run session log files kept in the log folder ("LogFileAppend"
    // 0), this run's among them; older ones are removed at the start. 0 or
    // less: all are kept. Read only: never written by Save.
    qint32 LogFileMax = 30;
    qint32 Retrys = 2;
    qint32 TimeOut = 3;
    qint32 Espera = 3;
    bool Kelvor1Compat = false;
    bool ActHora = false;
    bool IV = true;
    qint32 MASTER1 = 0;
    qint32 MASTER2 = 0;
    qint32 MASTER3 = 0;
    bool PSW = false;
    // How the link treats the line's echo of the agent's own bytes: 0 off,
    // 1 on, 2 automatic (any other value is taken as automatic). Set by the
    // installer in the settings file; the options dialog neither shows nor
    // saves it, so Save leaves the file's value as it is.
    qint32 Eco = 2;

    void Load(const RegistryFile& registry);
    bool Save(const RegistryFile& registry, QString* error = nullptr);
    // Why the settings file could not be read at the last Load; empty if it could.
    QString LoadError() const { return m_loadError; }
    // The values that are there but could not be read, one sentence each.
    const QStringList& Problems() const { return m_problems; }
    // Non-empty when the station cannot be known: the agent does not start.
    const QString& StationProblem() const { return m_stationProblem; }
    bool FileMissing() const { return m_fileMissing; }
    // The attention line for a missing settings file; empty when it exists.
    QString MissingFileReport(const QString& path) const;

    // "Name=value" per setting in table order, integers in decimal and
    // booleans as 0 or 1 (the output of agente --print-config).
    QStringList Describe() const;

private:
    qint32 Value(int index) const;  // the setting of the table's row, booleans as 0/1

    QString m_loadError;
    QStringList m_problems;
    QString m_stationProblem;
    bool m_fileMissing = false;
    bool m_loaded = false;
    QList<qint32> m_baseline;  // per table row: the value as read or last saved
    QStringList m_unreadable;  // per table row: the raw text of an unreadable value
};

// The shared instance.
TConfig& Config();
