#include "db/TDM.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSqlQuery>
#include <QThread>
#include <atomic>
#include <limits>

#include "db/Statements.h"
#include "db/TCommandTable.h"
#include "db/TSqlStatement.h"
#include "db/TTransaction.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "shell/TConfig.h"

namespace {

const QString kConnectionName = QStringLiteral("LocalAgKelvor");
std::atomic<TDM*> g_dm{nullptr};
std::atomic<int> g_connectionSerial{0};

bool FileIdentity(const QString& path, quint64* device, quint64* inode) {
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    *device = st.st_dev;
    *inode = st.st_ino;
    return true;
}

// Commits the counter step on SQLite without a disk sync of its own. The WAL
// is one file written in order, so the sync of the next commit made after it
// (the pass that uses the ids, or any other station's, as every writer appends
// to the same file) makes the step durable before anything built on its ids;
// a step lost with the power had been used by nobody. The registrations keep
// the connection's own setting: they are synced at their commit, before a
// reader is erased.
class UnsyncedStep {
public:
    UnsyncedStep(const QSqlDatabase& db, bool on) : m_db(db) {
        if (!on)
            return;
        QSqlQuery q(m_db);
        // Only in WAL: in a rollback journal (a file the agent could not
        // switch yet) a commit without its sync is not ordered before the
        // next one, and the step keeps its full sync.
        if (!q.exec(QStringLiteral("PRAGMA journal_mode")) || !q.next() ||
            q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
            return;
        q.finish();
        if (q.exec(QStringLiteral("PRAGMA synchronous")) && q.next() && q.value(0).toInt() > 1) {
            m_level = q.value(0).toInt();
            q.finish();
            if (!q.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
                m_level = -1;
        }
    }
    ~UnsyncedStep() {
        if (m_level < 0)
            return;
        QSqlQuery q(m_db);
        q.exec(QStringLiteral("PRAGMA synchronous=%1").arg(m_level));
    }
    UnsyncedStep(const UnsyncedStep&) = delete;
    UnsyncedStep& operator=(const UnsyncedStep&) = delete;

private:
    QSqlDatabase m_db;
    int m_level = -1;  // the setting to restore
};

}  // namespace

TDM::TDM(ClockFn clock) : m_clock(std::move(clock)), m_config(&Config()) {
    TDM* none = nullptr;
    g_dm.compare_exchange_strong(none, this);
}

TDM::~TDM() {
    QList<QThread*> threads;
    {
        QMutexLocker lock(&m_mutex);
        for (const auto& [thread, c] : m_connections) threads << thread;
    }
    for (QThread* t : threads) Close(t);
    TDM* self = this;
    g_dm.compare_exchange_strong(self, nullptr);
}

TDM& DM() {
    TDM* dm = g_dm.load();
    if (!dm)
        throw Exception(QStringLiteral("El módulo de datos no fue creado"));
    return *dm;
}

// ---- Connection -----------------------------------------------------------------

TAlias TDM::Alias() const {
    QMutexLocker lock(&m_mutex);
    if (!m_alias) {
        m_alias = TAlias::Load(RegistryFile::Process());
        // Loaded once per data module, so said once per run: a value that
        // is misspelt ("SSLmode " or "Sslmodo") would otherwise leave the
        // connection without what the installer meant it to have.
        for (const QString& name : m_alias->UnknownValues())
            m_notices << QStringLiteral("El alias \"Kelvor\" tiene el valor \"%1\", que el agente "
                                        "no conoce y no usa (%2)")
                             .arg(name, m_alias->SettingsFile());
    }
    return *m_alias;
}

TDM::ThreadConnection* TDM::FindCurrent() {
    QMutexLocker lock(&m_mutex);
    auto it = m_connections.find(QThread::currentThread());
    return it == m_connections.end() ? nullptr : &it->second;
}

TDM::ThreadConnection& TDM::Current() {
    if (ThreadConnection* c = FindCurrent())
        return *c;
    const TAlias alias = Alias();
    QThread* thread = QThread::currentThread();
    QThread* uiThread =
        QCoreApplication::instance() ? QCoreApplication::instance()->thread() : nullptr;
    bool first;
    {
        QMutexLocker lock(&m_mutex);
        first = m_connections.empty();
    }
    const bool primary = uiThread ? thread == uiThread : first;
    ThreadConnection c;
    c.name = primary && !QSqlDatabase::contains(kConnectionName)
                 ? kConnectionName
                 : QStringLiteral("%1-%2").arg(kConnectionName).arg(++g_connectionSerial);
    alias.Connect(c.name, m_busyTimeoutMs);
    c.statements = std::make_shared<TStatementCache>(c.name);
    if (alias.Driver() == TSqlDriver::SQLite) {
        c.file = alias.Database();
        FileIdentity(c.file, &c.device, &c.inode);
    }
    EnsurePendingTable(c);
    EnsureStateTables(c);
    if (thread != uiThread) {
        // A QThread that ends without CloseThreadConnection still gives its
        // connection back, from its own thread as Qt requires.
        c.finished = QObject::connect(
            thread, &QThread::finished, thread, [this, thread] { Close(thread); },
            Qt::DirectConnection);
    }
    QMutexLocker lock(&m_mutex);
    auto carried = m_carried.find(thread);
    if (carried != m_carried.end()) {
        c.commands = carried->second;
        m_carried.erase(carried);
    }
    return m_connections[thread] = c;
}

QSqlDatabase TDM::Db() {
    return QSqlDatabase::database(Current().name, false);
}

TStatementCache::Handle TDM::Statement(const QString& statement, const QString& subject) {
    return Current().statements->Get(statement, subject);
}

void TDM::Open() {
    Current();
}

void TDM::Close(QThread* thread) {
    QString name;
    {
        QMutexLocker lock(&m_mutex);
        auto it = m_connections.find(thread);
        if (it == m_connections.end())
            return;
        name = it->second.name;
        if (!it->second.commands.isEmpty())
            m_carried[thread] = it->second.commands;
        QObject::disconnect(it->second.finished);
        m_connections.erase(it);
    }
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

void TDM::CloseThreadConnection() {
    Close(QThread::currentThread());
}

bool TDM::IsBroken(ThreadConnection& c, bool probe) {
    QSqlDatabase db = QSqlDatabase::database(c.name, false);
    if (!db.isOpen())
        return true;
    if (!c.file.isEmpty()) {
        quint64 device = 0, inode = 0;
        if (!FileIdentity(c.file, &device, &inode) || device != c.device || inode != c.inode)
            return true;
    }
    // A probe of a SQLite file costs the server nothing: always asked.
    if (!probe && c.file.isEmpty())
        return false;
    QSqlQuery probeQuery(db);
    return !probeQuery.exec(QStringLiteral("SELECT 1"));
}

bool TDM::ReconnectIfBroken(bool probe) {
    ThreadConnection* c = FindCurrent();
    if (c && !IsBroken(*c, probe))
        return false;
    CloseThreadConnection();
    Open();
    return true;
}

QString TDM::DatabaseDirectory() const {
    return Alias().Directory();
}

QString TDM::StatusText() const {
    return Alias().StatusText();
}

TSqlDriver TDM::Driver() const {
    return Alias().Driver();
}

// ---- Settings -------------------------------------------------------------------

void TDM::SetConfig(const TConfig* config) {
    m_config = config ? config : &Config();
}
void TDM::SetCommandPause(std::chrono::milliseconds pause) {
    m_pause = pause;
}
void TDM::SetBusyTimeout(int milliseconds) {
    m_busyTimeoutMs = milliseconds;
}
void TDM::SetAfterVirtualCopyHook(std::function<void()> hook) {
    m_afterVirtualCopy = std::move(hook);
}

qint32 TDM::Station() const {
    return m_config->Estacion;
}
bool TDM::DisableOnExit() const {
    return m_config->IV;
}
bool TDM::IsMasterKey(qint32 nroLlave) const {
    return nroLlave == m_config->MASTER1 || nroLlave == m_config->MASTER2 ||
           nroLlave == m_config->MASTER3;
}

void TDM::Pause() const {
    if (m_pause.count() > 0)
        QThread::msleep(quint64(m_pause.count()));
}

// ---- Readers --------------------------------------------------------------------

QList<TDM::ReaderRow> TDM::QueryReaders(qint32 estacion) {
    TSqlStatement q(Db(), Sql::kQryRegistradores, QStringLiteral("Reg, Estacion"));
    q.Bind(QStringLiteral("Estacion"), estacion);
    q.Exec();
    QList<ReaderRow> rows;
    while (q.Next()) {
        ReaderRow r;
        r.Id = q.OptStr(QStringLiteral("Id"));
        r.Puerto = q.OptStr(QStringLiteral("Puerto"));
        r.Velocidad = q.OptInt(QStringLiteral("Velocidad"));
        r.CtrlActivo = q.OptBool(QStringLiteral("CTRLACTIVO"));
        r.Virtual = q.OptBool(QStringLiteral("VIRTUAL"));
        r.Hta = q.OptBool(QStringLiteral("HTA"));
        rows << r;
    }
    return rows;
}

TDM::ReaderKind TDM::QueryReaderKind(const QString& idRegistrador) {
    TStatementCache::Handle q =
        Statement(QString::fromLatin1(Sql::kQryRegistrador), QStringLiteral("Reg, Estacion"));
    q->Bind(QStringLiteral("Registrador"), idRegistrador);
    q->Exec();
    ReaderKind kind;
    if (q->Next()) {
        kind.Hta = q->OptBool(QStringLiteral("HTA"));
        kind.Virtual = q->OptBool(QStringLiteral("VIRTUAL"));
    }
    return kind;
}

void TDM::LoadReader(TTR& reader) {
    TSqlStatement q(Db(), Sql::kQryRegistrador, QStringLiteral("Reg, Estacion"));
    q.Bind(QStringLiteral("Registrador"), reader.Id);
    q.Exec();
    if (!q.Next())
        return;
    reader.Velocidad = q.OptInt(QStringLiteral("Velocidad")).value_or(9600);
    reader.Puerto = q.OptStr(QStringLiteral("Puerto")).value_or(QStringLiteral("COM1"));
}

bool TDM::IsAdministrator(const QString& password) {
    TSqlStatement q(Db(), Sql::kQryUsuario, QStringLiteral("Usuario"));
    q.Bind(QStringLiteral("xpsw"), password);
    q.Exec();
    bool administrator = false;
    while (q.Next()) administrator = q.Bool(QStringLiteral("Administrador"));
    return administrator;
}

std::unique_ptr<TCommandTable> TDM::OpenCommands() {
    return std::unique_ptr<TCommandTable>(new TCommandTable(*this));
}

std::unique_ptr<TCommandTable> TDM::OpenCommands(qint32 estacion, qint64 rows, qint64 countUpTo) {
    return std::unique_ptr<TCommandTable>(
        new TCommandTable(*this, TCommandTable::Scope{estacion, rows, countUpTo}));
}

// ---- Ids ------------------------------------------------------------------------

qint32 TDM::GetNewId(const QString& tabla) {
    return GetNewIds(tabla, 1, false);
}

qint32 TDM::GetNewIds(const QString& tabla, qint32 n, bool pastUsed) {
    ThreadConnection& c = Current();
    const QSqlDatabase db = QSqlDatabase::database(c.name, false);
    const TSqlDriver driver = Driver();
    // Outside a pass this is a transaction of its own: the counter row is
    // locked from the read to the commit of the update, a few statements.
    const UnsyncedStep unsynced(db, driver == TSqlDriver::SQLite && c.transactionDepth == 0);
    TTransaction t(db, driver, c.transactionDepth, QStringLiteral("CODIGO"), true);
    QVariant raw;
    {
        TStatementCache::Handle read =
            c.statements->Get(QString::fromLatin1(Sql::kQryId) + TSqlDialect::RowLockClause(driver),
                              QStringLiteral("CODIGO"));
        read->Bind(QStringLiteral("Tabla"), tabla);
        read->Exec();
        if (!read->Next()) {
            t.Commit();
            return 0;
        }
        raw = read->Value(QStringLiteral("DESCRIPCION"));
    }
    const QString what = QStringLiteral("contador %1 de la tabla CODIGO").arg(tabla);
    const std::optional<qint32> found = TSqlStatement::ToInt(raw, what);
    if (!found)
        throw EConvertError(QStringLiteral("El %1 está vacío").arg(what));
    qint64 v = *found;
    // A counter at 0 hands out no id and moves on to 1, whatever the block.
    qint64 next = v == 0 ? 1 : v + n;
    if (v != 0 && pastUsed) {
        for (const char* statement : {Sql::kMaxIdRegistra, Sql::kMaxIdRegExp}) {
            TSqlStatement max(db, statement, QStringLiteral("REGISTRA"));
            max.Exec();
            if (max.Next()) {
                const std::optional<qint32> used =
                    TSqlStatement::ToInt(max.Value(QStringLiteral("M")), QStringLiteral("Id"));
                if (used && *used >= v)
                    v = qint64(*used) + 1;
            }
        }
        next = v + n;
    }
    if (next > std::numeric_limits<qint32>::max())
        throw EDatabaseError(QStringLiteral("El %1 llegó al máximo (%2)").arg(what).arg(v));
    {
        TStatementCache::Handle update =
            c.statements->Get(QString::fromLatin1(Sql::kQryUpdateId), QStringLiteral("CODIGO"));
        update->Bind(QStringLiteral("Valor"), QString::number(next));
        update->Bind(QStringLiteral("Tabla"), tabla);
        update->Exec();
    }
    t.Commit();
    return qint32(v);
}

// ---- Texts ----------------------------------------------------------------------

QString TDM::KeyText(qint32 nroLlave) {
    return QString::asprintf("%5.5d", nroLlave);
}

QString TDM::ClockSyncText(const QDateTime& at) {
    // Qt counts Monday as 1 and Sunday as 7; the readers count Sunday as 1.
    const int weekday = at.date().dayOfWeek() % 7 + 1;
    return '1' + at.toString(QStringLiteral("yyMMdd")) + QString::number(weekday) +
           at.toString(QStringLiteral("hhmm"));
}
