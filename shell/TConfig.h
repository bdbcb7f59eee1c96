#pragma once
// The agent's settings: one field per value of the settings key
// "\Software\Dalmor\Kelvor\Agente\1.0", named like the value.
//
// Contract:
// - Load: when the key cannot be opened every field takes its default for a
//   missing key; otherwise the values are read in table order and each one that
//   is absent or not a 32-bit integer takes its default for a missing value.
//   The two defaults differ only for Retrys (2 without the key, 1 without the
//   value). Booleans read as true when not 0. No range is applied. A settings
//   file that exists but cannot be read is read as a missing key, and
//   LoadError() says why (empty when the file was read or does not exist).
// - Save: opens the key for writing (creating it) and writes every value but
//   the master keys and Eco; booleans as 0 or 1. False when it could not be written.
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
    bool Save(const RegistryFile& registry) const;
    // Why the settings file could not be read at the last Load; empty if it could.
    QString LoadError() const { return m_loadError; }
    // The line that tells the operator (session log, at attention level, and a
    // row of the window) that LoadError() is set and the defaults are in use.
    QString LoadErrorReport() const;

    // "Name=value" per setting in table order, integers in decimal and
    // booleans as 0 or 1 (the output of agente --print-config).
    QStringList Describe() const;

private:
    QString m_loadError;
};

// The shared instance.
TConfig& Config();
