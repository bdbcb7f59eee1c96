-- A database as an installation's front end makes it, for PostgreSQL (in
-- the session's first schema): the tables and fields the agent uses, in the
-- front end's own case and types (fractions of a second to the
-- microsecond), with columns of its own, and no table of the agent's.
create table estacion (id integer primary key, nombre varchar(40), puerto varchar(20),
  ubicacion varchar(80));
create table REG (ID varchar(10) primary key, IDESTACION integer, NOMBRE varchar(40),
  VELOCIDAD integer, CtrlActivo boolean, Virtual boolean, Hta boolean, Modelo varchar(20));
create table Registra (Id integer primary key, FechaHora timestamp, IdRegistrador varchar(10),
  NroLlave integer, IdIngresante integer, Modificado timestamp, Responsable varchar(40),
  Ack boolean, CodEstado varchar(10), Observaciones varchar(200));
create table regexp (id integer primary key, fechahora timestamp, idregistrador varchar(10),
  nrollave integer, idingresante integer, modificado timestamp, responsable varchar(40),
  ack boolean, codestado varchar(10), exportado boolean default false);
create table RegSim (FechaHora timestamp, IdRegistrador varchar(10), NroLlave integer,
  IdIngresante integer, Responsable varchar(40), CodEstado varchar(10));
create table VisAct (Id serial primary key, FechaHora timestamp, IdRegistrador varchar(10),
  NroLlave integer, IdIngresante integer, Modificado timestamp, Ack boolean,
  CodEstado varchar(10), Presente boolean, FHSalida timestamp, RegSal varchar(10));
create table Ingresan (Id integer primary key, Nombre varchar(60), Tipo varchar(20),
  NroLlave integer, UltimaAsignacion timestamp, Documento varchar(20));
create table Llave (NroLlave integer not null, FechaAsignacion timestamp not null,
  IdIngresante integer, Devolucion timestamp, Motivo varchar(40),
  primary key (NroLlave, FechaAsignacion));
create table IngReg (IdRegistrador varchar(10) not null, IdIngresante integer not null,
  IdHorario varchar(10), IdHorario2 varchar(10), primary key (IdRegistrador, IdIngresante));
create table zonas (idzona varchar(10) not null, idreg varchar(10) not null, tipo varchar(10),
  primary key (idzona, idreg));
create table Comando (Id serial primary key, IdEstacion integer, IdRegistrador varchar(10),
  CodComando varchar(10), Texto varchar(80), FechaHora timestamp, Usuario varchar(40));
create table Codigo (Tipo varchar(10) not null, Codigo varchar(20) not null,
  Descripcion varchar(40), primary key (Tipo, Codigo));
create table usuario (nombre varchar(40), clave varchar(40), administrador boolean);
