-- The tables of the access database that the station agent reads and writes,
-- for SQLite. Identifiers are unquoted. Booleans are 0 or 1; date-times are
-- local wall-clock texts "YYYY-MM-DD HH:MM:SS.SSS". A front end may add columns.

CREATE TABLE Estacion (
  Id INTEGER NOT NULL PRIMARY KEY,
  Nombre TEXT,
  Puerto TEXT
);

CREATE TABLE Reg (
  Id TEXT NOT NULL PRIMARY KEY,
  IdEstacion INTEGER,
  Nombre TEXT,
  Velocidad INTEGER,
  CTRLACTIVO BOOLEAN,
  VIRTUAL BOOLEAN,
  HTA BOOLEAN
);
CREATE INDEX Reg_IdEstacion ON Reg (IdEstacion);

CREATE TABLE REGISTRA (
  Id INTEGER NOT NULL PRIMARY KEY,
  FechaHora TEXT,
  IdRegistrador TEXT,
  NroLlave INTEGER,
  IdIngresante INTEGER,
  Modificado TEXT,
  Responsable TEXT,
  ACK BOOLEAN,
  CodEstado TEXT
);

CREATE TABLE RegExp (
  Id INTEGER NOT NULL PRIMARY KEY,
  FechaHora TEXT,
  IdRegistrador TEXT,
  NroLlave INTEGER,
  IdIngresante INTEGER,
  Modificado TEXT,
  Responsable TEXT,
  ACK BOOLEAN,
  CodEstado TEXT
);

CREATE TABLE REGSIM (
  FechaHora TEXT,
  IdRegistrador TEXT,
  NroLlave INTEGER,
  IdIngresante INTEGER,
  Responsable TEXT,
  CodEstado TEXT
);

CREATE TABLE VISACT (
  Id INTEGER PRIMARY KEY AUTOINCREMENT,
  FechaHora TEXT,
  IdRegistrador TEXT,
  NroLlave INTEGER,
  IdIngresante INTEGER,
  Modificado TEXT,
  ACK BOOLEAN,
  CodEstado TEXT,
  Presente BOOLEAN,
  FHSalida TEXT,
  RegSal TEXT
);
CREATE INDEX VISACT_NroLlave ON VISACT (NroLlave);

CREATE TABLE INGRESAN (
  Id INTEGER NOT NULL PRIMARY KEY,
  Nombre TEXT,
  Tipo TEXT,
  NroLlave INTEGER,
  UltimaAsignacion TEXT
);
CREATE INDEX INGRESAN_NroLlave ON INGRESAN (NroLlave);

CREATE TABLE LLAVE (
  NroLlave INTEGER NOT NULL,
  FechaAsignacion TEXT NOT NULL,
  IdIngresante INTEGER,
  Devolucion TEXT,
  PRIMARY KEY (NroLlave, FechaAsignacion)
);

CREATE TABLE INGREG (
  IdRegistrador TEXT NOT NULL,
  IdIngresante INTEGER NOT NULL,
  IdHorario TEXT,
  IdHorario2 TEXT,
  PRIMARY KEY (IdRegistrador, IdIngresante)
);
CREATE INDEX INGREG_IdIngresante ON INGREG (IdIngresante);

CREATE TABLE Zonas (
  IdZona TEXT NOT NULL,
  IdReg TEXT NOT NULL,
  Tipo TEXT,
  PRIMARY KEY (IdZona, IdReg)
);
CREATE INDEX Zonas_IdReg ON Zonas (IdReg);

CREATE TABLE COMANDO (
  Id INTEGER PRIMARY KEY AUTOINCREMENT,
  IdEstacion INTEGER,
  IdRegistrador TEXT,
  CodComando TEXT,
  Texto TEXT,
  FechaHora TEXT
);
CREATE INDEX COMANDO_Orden ON COMANDO (IdEstacion, FechaHora, Id);

CREATE TABLE CODIGO (
  TIPO TEXT NOT NULL,
  CODIGO TEXT NOT NULL,
  DESCRIPCION TEXT,
  PRIMARY KEY (TIPO, CODIGO)
);

CREATE TABLE Usuario (
  Nombre TEXT,
  Clave TEXT,
  Administrador BOOLEAN
);
CREATE INDEX Usuario_Clave ON Usuario (Clave);

-- Owned by the agent: the raw records of each reader's last stored pass,
-- kept until the reader acknowledges their erase, so that a pass read again
-- after a lost erase is not stored twice. Registros: the 18-byte records in
-- the order read, each as 36 hexadecimal digits, one after the other.
CREATE TABLE AGPENDIENTE (
  IdRegistrador TEXT NOT NULL PRIMARY KEY,
  Registros TEXT NOT NULL,
  FechaHora TEXT
);

-- Owned by the agent: what each station's agent last said of itself and of
-- its readers, so that one person sees every station from the shared
-- database (kelvordb estado). One row per station in AGESTACION; one row per
-- reader of the station's last collection in AGESTADO. Written when a
-- reader's state changes and at most once a minute otherwise, so the times
-- may lag the last cycle by up to a minute. Times are the agent's local wall
-- clock.
CREATE TABLE AGESTACION (
  IdEstacion INTEGER NOT NULL PRIMARY KEY,
  Equipo TEXT,
  Proceso INTEGER,
  Version TEXT,
  Ciclo INTEGER,
  FinCiclo TEXT,
  Respondieron INTEGER,
  ConLinea INTEGER
);

CREATE TABLE AGESTADO (
  IdEstacion INTEGER NOT NULL,
  IdRegistrador TEXT NOT NULL,
  Virtual BOOLEAN,
  Respondio BOOLEAN,
  UltimoContacto TEXT,
  UltimoResultado TEXT,
  FechaResultado TEXT,
  DiferenciaReloj INTEGER,
  Almacenadas INTEGER,
  ComandosEnviados INTEGER,
  ComandosFallidos INTEGER,
  FechaHora TEXT,
  PRIMARY KEY (IdEstacion, IdRegistrador)
);
