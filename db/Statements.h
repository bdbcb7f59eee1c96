#pragma once
// Every statement the data module issues, as one named constant each.
//
// The texts in the first group are the installation's own statements, kept
// exactly as the other programs of the installation know them (file names in
// double quotes, "ID" as a quoted text, parameter names in mixed case). They
// are never run as they stand: TSqlDialect adapts each one for the driver when
// it is prepared. The second group holds the table operations (append, locate,
// edit, delete) written as plain statements.
//
// Parameters are written with a leading colon and matched by name without
// regard to case.

namespace Sql {

// ---- The installation's statements -------------------------------------------

// Readers of a station. Parameter Estacion (integer).
inline constexpr const char* kQryRegistradores =
    "Select Reg.Id, Estacion.Puerto, Reg.Velocidad,Reg.CTRLACTIVO,REG.VIRTUAL, REG.HTA from "
    "Estacion, Reg where\n"
    "Estacion.Id = :Estacion and\n"
    "Estacion.Id = Reg.IdEstacion";

// One reader. Parameter Registrador (text).
inline constexpr const char* kQryRegistrador =
    "Select Estacion.Puerto, Reg.Velocidad, Reg.Virtual, Reg.Hta from Estacion, Reg where\n"
    "Reg.Id = :Registrador and\n"
    "Estacion.Id = Reg.IdEstacion";

// Holder of a key. Parameter NroLLave (integer).
inline constexpr const char* kQryIngresante =
    "Select Id,Tipo from Ingresan where NroLlave = :NroLLave";

// Read an id counter. Parameter Tabla (text).
inline constexpr const char* kQryId =
    "SELECT DESCRIPCION FROM CODIGO \n"
    "WHERE TIPO=\"ID\" AND CODIGO=:Tabla";

// Write an id counter. Parameters Valor and Tabla (text).
inline constexpr const char* kQryUpdateId =
    "UPDATE CODIGO\n"
    "SET DESCRIPCION=:Valor\n"
    "WHERE \n"
    "CODIGO=:Tabla and\n"
    "TIPO=\"ID\"";

// Zones of a reader. Parameter Registrador (text).
inline constexpr const char* kQryZona =
    "Select IdReg, IdZona, Tipo from Zonas where\n"
    "IdReg = :Registrador\n"
    "Order By IdZona";

// Enrolments of a holder on the readers of a zone. Parameters Ingresante
// (integer) and Zona (text).
inline constexpr const char* kQryAntiPassBack =
    "SELECT IR.IdRegistrador,IR.IdIngresante, IR.IdHorario, IR.IdHorario2, ZO.IdZona, ZO.Tipo, "
    "Ing.NroLlave,Reg.IdEstacion\n"
    "FROM \"INGREG.db\" IR \n"
    "\tLEFT OUTER JOIN \"Ingresan.DB\" Ing\n"
    "\tON  (IR.IdIngresante=Ing.Id)\n"
    "\tLEFT OUTER JOIN \"Zonas.DB\" ZO\n"
    "\tON  (IR.IdRegistrador = ZO.IdReg)  \n"
    "\tLEFT OUTER JOIN \"Reg.DB\" Reg\n"
    "\tON  (IR.IdRegistrador = Reg.Id)  \n"
    "WHERE IR.IdIngresante=:Ingresante AND ZO.IdZona=:Zona\n"
    "ORDER BY ZO.IdZona";

// User by password. Parameter xpsw (text).
inline constexpr const char* kQryUsuario = "Select *  from Usuario where Clave=:xpsw";

// Visit bookkeeping: an entry ends every earlier visit of the key ...
inline constexpr const char* kVisactEndEarlier =
    "UPDATE VISACT SET Presente=FALSE WHERE NROLLAVE=:PLLAVE";

// ... and opens a new one.
inline constexpr const char* kVisactInsert =
    "INSERT INTO VISACT(FechaHora,IdRegistrador,NroLlave,\n"
    "IdIngresante,Modificado,ACK,CodEstado,Presente)\n"
    " VALUES(:pFechaHora,:pIdRegistrador,:pNroLlave,\n"
    ":pIdIngresante,:pModificado,:pACK,:pCodEstado,:pPRES)";

// An exit closes the present visit of the key.
inline constexpr const char* kVisactExit =
    "UPDATE VISACT SET FHSalida=:pFH,Presente=:pPRES, RegSal=:pRegSal WHERE NROLLAVE=:PLLAVE AND "
    "PRESENTE=TRUE";

// Readers a holder is enrolled on. Parameter xi (integer).
inline constexpr const char* kQryIngregHolder =
    "SELECT IdRegistrador FROM INGREG WHERE IdIngresante=:xi";

// ---- Table operations ---------------------------------------------------------

// A registration row; the same statement shape serves REGISTRA and RegExp.
inline constexpr const char* kInsertRegistra =
    "INSERT INTO REGISTRA (Id, FechaHora, IdRegistrador, NroLlave, IdIngresante, Modificado, "
    "Responsable, ACK, CodEstado) VALUES (:Id, :FechaHora, :IdRegistrador, :NroLlave, "
    ":IdIngresante, :Modificado, :Responsable, :ACK, :CodEstado)";
inline constexpr const char* kInsertRegExp =
    "INSERT INTO RegExp (Id, FechaHora, IdRegistrador, NroLlave, IdIngresante, Modificado, "
    "Responsable, ACK, CodEstado) VALUES (:Id, :FechaHora, :IdRegistrador, :NroLlave, "
    ":IdIngresante, :Modificado, :Responsable, :ACK, :CodEstado)";

// The highest ids in use by the tables the counter "FICHADAS" numbers; a draw
// after a failed pass starts past them (a counter set back heals).
inline constexpr const char* kMaxIdRegistra = "SELECT MAX(Id) AS M FROM REGISTRA";
inline constexpr const char* kMaxIdRegExp = "SELECT MAX(Id) AS M FROM RegExp";
// How many REGSIM rows a virtual pass may find (the size of its id block).
inline constexpr const char* kCountRegSim = "SELECT COUNT(*) AS N FROM REGSIM";

// The rows of REGSIM with their row identity (%1: rowid or ctid), oldest first;
// %2 locks the rows where the engine locks rows. The moment is read as text:
// PostgreSQL's driver would hand a timestamp over as a local date-time, invalid
// in the hour a daylight-saving zone skips, and the row would lose its wall
// clock (SQLite keeps it as text anyway).
inline constexpr const char* kSelectRegSim =
    "SELECT %1 AS Fila, CAST(FechaHora AS TEXT) AS FechaHora, IdRegistrador, NroLlave, "
    "IdIngresante, Responsable, CodEstado "
    "FROM REGSIM ORDER BY %1%2";
// Deletes one copied REGSIM row by its row identity.
inline constexpr const char* kDeleteRegSimRow = "DELETE FROM REGSIM WHERE %1 = :Fila";

// The note of a reader's last stored pass (AGPENDIENTE): read, remove, write.
inline constexpr const char* kSelectPendiente =
    "SELECT Registros FROM AGPENDIENTE WHERE IdRegistrador = :IdRegistrador";
inline constexpr const char* kDeletePendiente =
    "DELETE FROM AGPENDIENTE WHERE IdRegistrador = :IdRegistrador";
inline constexpr const char* kInsertPendiente =
    "INSERT INTO AGPENDIENTE (IdRegistrador, Registros, FechaHora) "
    "VALUES (:IdRegistrador, :Registros, :FechaHora)";

// The station's state (AGESTACION, AGESTADO): the agent's row and one row
// per reader, each written over the one before (an upsert that SQLite and
// PostgreSQL both take). A write stamps every reader row with the same
// FechaHora, and the rows of the station that did not get it (readers no
// longer in the collection) are removed in the same transaction.
inline constexpr const char* kUpsertAgEstacion =
    "INSERT INTO AGESTACION (IdEstacion, Equipo, Proceso, Version, Ciclo, FinCiclo, "
    "Respondieron, ConLinea) VALUES (:IdEstacion, :Equipo, :Proceso, :Version, :Ciclo, "
    ":FinCiclo, :Respondieron, :ConLinea) ON CONFLICT (IdEstacion) DO UPDATE SET "
    "Equipo = excluded.Equipo, Proceso = excluded.Proceso, Version = excluded.Version, "
    "Ciclo = excluded.Ciclo, FinCiclo = excluded.FinCiclo, Respondieron = excluded.Respondieron, "
    "ConLinea = excluded.ConLinea";
inline constexpr const char* kUpsertAgEstado =
    "INSERT INTO AGESTADO (IdEstacion, IdRegistrador, Virtual, Respondio, UltimoContacto, "
    "UltimoResultado, FechaResultado, DiferenciaReloj, Almacenadas, ComandosEnviados, "
    "ComandosFallidos, FechaHora) VALUES (:IdEstacion, :IdRegistrador, :Virtual, :Respondio, "
    ":UltimoContacto, :UltimoResultado, :FechaResultado, :DiferenciaReloj, :Almacenadas, "
    ":ComandosEnviados, :ComandosFallidos, :FechaHora) ON CONFLICT (IdEstacion, IdRegistrador) "
    "DO UPDATE SET Virtual = excluded.Virtual, Respondio = excluded.Respondio, "
    "UltimoContacto = excluded.UltimoContacto, UltimoResultado = excluded.UltimoResultado, "
    "FechaResultado = excluded.FechaResultado, DiferenciaReloj = excluded.DiferenciaReloj, "
    "Almacenadas = excluded.Almacenadas, ComandosEnviados = excluded.ComandosEnviados, "
    "ComandosFallidos = excluded.ComandosFallidos, FechaHora = excluded.FechaHora";
inline constexpr const char* kDeleteAgEstadoOthers =
    "DELETE FROM AGESTADO WHERE IdEstacion = :IdEstacion AND "
    "(FechaHora IS NULL OR FechaHora <> :FechaHora)";
// Every station's state, for kelvordb estado.
inline constexpr const char* kSelectAgEstacion =
    "SELECT IdEstacion, Equipo, Proceso, Version, Ciclo, FinCiclo, Respondieron, ConLinea "
    "FROM AGESTACION ORDER BY IdEstacion";
inline constexpr const char* kSelectAgEstado =
    "SELECT IdEstacion, IdRegistrador, Virtual, Respondio, UltimoContacto, UltimoResultado, "
    "FechaResultado, DiferenciaReloj, Almacenadas, ComandosEnviados, ComandosFallidos "
    "FROM AGESTADO ORDER BY IdEstacion, IdRegistrador";

// A command row, fields in the order the agent sets them.
inline constexpr const char* kInsertComando =
    "INSERT INTO COMANDO (IdEstacion, IdRegistrador, CodComando, Texto, FechaHora) "
    "VALUES (:IdEstacion, :IdRegistrador, :CodComando, :Texto, :FechaHora)";
// The texts are read cut to a bound (%1: the command text's, %2: the other
// fields'), with their whole lengths beside them: a text that another
// program made megabytes long is refused by its length and never read whole.
inline constexpr const char* kSelectComandos =
    "SELECT Id, IdEstacion, substr(IdRegistrador, 1, %2) AS IdRegistrador, "
    "length(IdRegistrador) AS LargoIdRegistrador, substr(CodComando, 1, %2) AS CodComando, "
    "length(CodComando) AS LargoCodComando, substr(Texto, 1, %1) AS Texto, "
    "length(Texto) AS LargoTexto, FechaHora FROM COMANDO "
    "ORDER BY IdEstacion, FechaHora, Id";
// What one command pass may use, in one statement: how many rows the table
// holds, counted up to :Hasta only, and the rows from station :Desde on in the
// pass's order, at most :Filas of them. The count comes on every row, and on
// a row of its own (all other fields NULL) when no command is found. The
// texts are bounded as in kSelectComandos (%1, %2).
inline constexpr const char* kSelectComandosPass =
    "SELECT k.Total, c.Id, c.IdEstacion, c.IdRegistrador, c.LargoIdRegistrador, c.CodComando, "
    "c.LargoCodComando, c.Texto, c.LargoTexto, c.FechaHora "
    "FROM (SELECT COUNT(*) AS Total FROM (SELECT 1 AS Uno FROM COMANDO LIMIT :Hasta) t) k "
    "LEFT JOIN (SELECT Id, IdEstacion, substr(IdRegistrador, 1, %2) AS IdRegistrador, "
    "length(IdRegistrador) AS LargoIdRegistrador, substr(CodComando, 1, %2) AS CodComando, "
    "length(CodComando) AS LargoCodComando, substr(Texto, 1, %1) AS Texto, "
    "length(Texto) AS LargoTexto, FechaHora FROM COMANDO "
    "WHERE IdEstacion >= :Desde ORDER BY IdEstacion, FechaHora, Id LIMIT :Filas) c ON 1 = 1 "
    "ORDER BY c.IdEstacion, c.FechaHora, c.Id";
inline constexpr const char* kDeleteComando = "DELETE FROM COMANDO WHERE Id = :Id";
inline constexpr const char* kRestampComando =
    "UPDATE COMANDO SET FechaHora = :FechaHora WHERE Id = :Id";

// Key return: locate the holder, clear its key, stamp the assignment. The
// clear names the key it takes back, so a key the front end assigned
// meanwhile is never cleared.
inline constexpr const char* kLocateIngresante =
    "SELECT Id, NroLlave, UltimaAsignacion FROM INGRESAN WHERE Id = :Id";
inline constexpr const char* kClearIngresanteKey =
    "UPDATE INGRESAN SET NroLlave = NULL WHERE Id = :Id AND NroLlave = :NroLlave";
inline constexpr const char* kSelectLlave =
    "SELECT NroLlave, FechaAsignacion FROM LLAVE WHERE NroLlave = :NroLlave";
// The same by row identity (%1: rowid or ctid).
inline constexpr const char* kSelectLlaveRows =
    "SELECT %1 AS Fila, FechaAsignacion FROM LLAVE WHERE NroLlave = :NroLlave";
inline constexpr const char* kStampLlaveRow =
    "UPDATE LLAVE SET Devolucion = :Devolucion WHERE %1 = :Fila";
inline constexpr const char* kStampLlave =
    "UPDATE LLAVE SET Devolucion = :Devolucion WHERE NroLlave = :NroLlave AND "
    "FechaAsignacion = :FechaAsignacion";

}  // namespace Sql
