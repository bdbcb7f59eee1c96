-- A database as an installation's front end makes it, for SQLite: the
-- tables and fields the agent uses, in the front end's own case and types,
-- with columns of its own, and no table of the agent's.
create table estacion (id integer primary key, nombre varchar(40), puerto varchar(20),
  ubicacion varchar(80));
create table REG (ID varchar(10) primary key, IDESTACION integer, NOMBRE varchar(40),
  VELOCIDAD integer, CtrlActivo smallint, Virtual smallint, Hta smallint, Modelo varchar(20));
create table Registra (Id integer primary key, FechaHora datetime, IdRegistrador varchar(10),
  NroLlave integer, IdIngresante integer, Modificado datetime, Responsable varchar(40),
  Ack smallint, CodEstado varchar(10), Observaciones varchar(200));
create table regexp (id integer primary key, fechahora datetime, idregistrador varchar(10),
  nrollave integer, idingresante integer, modificado datetime, responsable varchar(40),
  ack smallint, codestado varchar(10), exportado smallint default 0);
create table RegSim (FechaHora datetime, IdRegistrador varchar(10), NroLlave integer,
  IdIngresante integer, Responsable varchar(40), CodEstado varchar(10));
create table VisAct (Id integer primary key autoincrement, FechaHora datetime,
  IdRegistrador varchar(10), NroLlave integer, IdIngresante integer, Modificado datetime,
  Ack smallint, CodEstado varchar(10), Presente smallint, FHSalida datetime, RegSal varchar(10));
create table Ingresan (Id integer primary key, Nombre varchar(60), Tipo varchar(20),
  NroLlave integer, UltimaAsignacion datetime, Documento varchar(20));
create table Llave (NroLlave integer not null, FechaAsignacion datetime not null,
  IdIngresante integer, Devolucion datetime, Motivo varchar(40),
  primary key (NroLlave, FechaAsignacion));
create table IngReg (IdRegistrador varchar(10) not null, IdIngresante integer not null,
  IdHorario varchar(10), IdHorario2 varchar(10), primary key (IdRegistrador, IdIngresante));
create table zonas (idzona varchar(10) not null, idreg varchar(10) not null, tipo varchar(10),
  primary key (idzona, idreg));
create table Comando (Id integer primary key autoincrement, IdEstacion integer,
  IdRegistrador varchar(10), CodComando varchar(10), Texto varchar(80), FechaHora datetime,
  Usuario varchar(40));
create table Codigo (Tipo varchar(10) not null, Codigo varchar(20) not null,
  Descripcion varchar(40), primary key (Tipo, Codigo));
create table usuario (nombre varchar(40), clave varchar(40), administrador smallint);
