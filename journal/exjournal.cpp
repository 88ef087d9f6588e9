#include "exjournal.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

namespace {

// SQLite's primary result codes that decide how the journal failed.
constexpr int kSqliteBusy = 5;
constexpr int kSqliteLocked = 6;
constexpr int kSqliteCorrupt = 11;
constexpr int kSqliteFull = 13;
constexpr int kSqliteCantOpen = 14;
constexpr int kSqliteNotADb = 26;

int sqliteCode(const QSqlError& error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? (code & 0xff) : -1;
}

QString nextConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("kelvor-journal-%1").arg(counter.fetchAndAddRelaxed(1));
}

const QString kSchema[] = {
    QStringLiteral("CREATE TABLE IF NOT EXISTS items ("
                   " crm_url TEXT NOT NULL, crm_login TEXT NOT NULL, store BLOB NOT NULL, kind TEXT NOT NULL,"
                   " entry BLOB NOT NULL, folder BLOB NOT NULL, modified INTEGER NOT NULL, outcome INTEGER NOT NULL,"
                   " crm_id INTEGER NOT NULL, store_hint TEXT NOT NULL, recorded INTEGER NOT NULL,"
                   " PRIMARY KEY (crm_url, crm_login, store, kind, entry))"),
    QStringLiteral("CREATE INDEX IF NOT EXISTS items_by_folder ON items (crm_url, crm_login, store, kind, folder)"),
    QStringLiteral("CREATE TABLE IF NOT EXISTS folders ("
                   " crm_url TEXT NOT NULL, crm_login TEXT NOT NULL, store BLOB NOT NULL, folder BLOB NOT NULL,"
                   " crm_folder INTEGER NOT NULL, recorded INTEGER NOT NULL,"
                   " PRIMARY KEY (crm_url, crm_login, store, folder))"),
};

} // namespace

QString ExJournal::defaultPath()
{
    // The data folder of organisation "Kelvor GmbH", application "Outlook Importer", whatever names
    // the running program gave itself.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Kelvor GmbH/Outlook Importer/imports.sqlite");
}

ExJournal::ExJournal(const QString& path) : m_connection(nextConnectionName()), m_path(path)
{
    open(path);
}

ExJournal::~ExJournal()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

void ExJournal::open(const QString& path)
{
    const QFileInfo info(path);
    // Owner-only: the folder, and the file before SQLite first writes to it (its -wal and -shm
    // files take the database file's mode).
    if (!QDir().mkpath(info.absolutePath())) {
        fail(kSqliteCantOpen, QStringLiteral("no folder ") + info.absolutePath());
        return;
    }
    QFile::setPermissions(info.absolutePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite)) {
            fail(kSqliteCantOpen, file.errorString());
            return;
        }
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    if (!db.isValid()) {
        fail(kSqliteCantOpen, QStringLiteral("the QSQLITE driver is not available"));
        return;
    }
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(lockWaitMs));
    if (!db.open()) {
        fail(sqliteCode(db.lastError()), db.lastError().text());
        return;
    }
    // WAL lets one importer read while another writes; FULL makes every commit survive a power loss.
    QSqlQuery mode(db);
    if (!mode.exec(QStringLiteral("PRAGMA journal_mode=WAL"))) {
        fail(sqliteCode(mode.lastError()), mode.lastError().text());
    } else if (exec(QStringLiteral("PRAGMA synchronous=FULL"))) {
        for (const QString& sql : kSchema) {
            if (!exec(sql))
                break;
        }
    }
    if (m_problem == Problem::Damaged) {
        // Kept for whoever wants to look at it; the next import starts afresh.
        mode = QSqlQuery();
        db.close();
        for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
            QFile::remove(path + suffix + QStringLiteral(".damaged"));
            QFile::rename(path + suffix, path + suffix + QStringLiteral(".damaged"));
        }
    }
}

bool ExJournal::exec(const QString& sql)
{
    if (!usable())
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (query.exec(sql))
        return true;
    fail(sqliteCode(query.lastError()), query.lastError().text());
    return false;
}

void ExJournal::fail(int code, const QString& what)
{
    if (m_problem != Problem::None)
        return;
    switch (code) {
    case kSqliteBusy:
    case kSqliteLocked:
        m_problem = Problem::Locked;
        break;
    case kSqliteCorrupt:
    case kSqliteNotADb:
        m_problem = Problem::Damaged;
        break;
    case kSqliteFull:
        m_problem = Problem::DiskFull;
        break;
    case kSqliteCantOpen:
        m_problem = Problem::CannotOpen;
        break;
    default:
        m_problem = Problem::CannotWrite;
        break;
    }
    qWarning().noquote() << QStringLiteral("Import journal %1 not usable (SQLite %2): %3").arg(m_path).arg(code).arg(what);
}

QString ExJournal::problemText() const
{
    switch (m_problem) {
    case Problem::None:
        break;
    case Problem::CannotOpen:
        return QStringLiteral("kann nicht ge\u00f6ffnet werden");
    case Problem::Damaged:
        return QStringLiteral("ist besch\u00e4digt (beiseitegelegt, der n\u00e4chste Import legt ihn neu an)");
    case Problem::Locked:
        return QStringLiteral("ist von einem anderen Programm gesperrt");
    case Problem::DiskFull:
        return QStringLiteral("kann nicht geschrieben werden: Datentr\u00e4ger voll");
    case Problem::CannotWrite:
        return QStringLiteral("kann nicht gelesen oder geschrieben werden");
    }
    return QString();
}

QString ExJournal::summaryLine() const
{
    if (usable())
        return QString();
    return QStringLiteral("<font color=\"red\">Der Importverlauf %1: es wurde ohne ihn importiert</font><br>")
        .arg(problemText());
}

namespace {

// A prepared statement with the CRM's two columns bound first.
QSqlQuery prepared(const QString& connection, const QString& sql, const ExJournalCrm& crm)
{
    QSqlQuery query(QSqlDatabase::database(connection, false));
    query.prepare(sql);
    query.addBindValue(crm.url);
    query.addBindValue(crm.login);
    return query;
}

} // namespace

std::optional<ExJournal::Entry> ExJournal::find(const ExJournalCrm& crm, const QString& kind, const ExJournalItem& item)
{
    if (!usable() || !item.valid())
        return std::nullopt;
    QSqlQuery query = prepared(m_connection,
                               QStringLiteral("SELECT outcome, crm_id, modified FROM items WHERE crm_url = ? AND "
                                              "crm_login = ? AND store = ? AND kind = ? AND entry = ?"),
                               crm);
    query.addBindValue(item.store);
    query.addBindValue(kind);
    query.addBindValue(item.entryId);
    if (!query.exec()) {
        fail(sqliteCode(query.lastError()), query.lastError().text());
        return std::nullopt;
    }
    if (!query.next())
        return std::nullopt;
    Entry entry;
    entry.outcome = static_cast<Outcome>(query.value(0).toInt());
    entry.crmId = query.value(1).toLongLong();
    entry.modified = query.value(2).toLongLong();
    return entry;
}

bool ExJournal::unchanged(const ExJournalCrm& crm, const QString& kind, const ExJournalItem& item)
{
    // Without a modification time a change could not be seen: such an item is always sent.
    if (item.modified == 0)
        return false;
    const std::optional<Entry> entry = find(crm, kind, item);
    return entry && (entry->outcome == Outcome::Stored || entry->outcome == Outcome::Present) &&
           entry->modified == item.modified;
}

bool ExJournal::record(const ExJournalCrm& crm, const QString& kind, const ExJournalItem& item, Outcome outcome,
                       qint64 crmId)
{
    if (!usable() || !item.valid())
        return false;
    QSqlQuery query = prepared(m_connection,
                               QStringLiteral("INSERT OR REPLACE INTO items (crm_url, crm_login, store, kind, entry, "
                                              "folder, modified, outcome, crm_id, store_hint, recorded) "
                                              "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                               crm);
    query.addBindValue(item.store);
    query.addBindValue(kind);
    query.addBindValue(item.entryId);
    query.addBindValue(item.folder.isNull() ? QByteArray("") : item.folder);
    query.addBindValue(item.modified);
    query.addBindValue(static_cast<int>(outcome));
    query.addBindValue(crmId);
    query.addBindValue(item.storeHint.isNull() ? QStringLiteral("") : item.storeHint);
    query.addBindValue(QDateTime::currentSecsSinceEpoch());
    if (query.exec())
        return true;
    fail(sqliteCode(query.lastError()), query.lastError().text());
    return false;
}

QHash<QByteArray, ExJournal::Outcome> ExJournal::outcomes(const ExJournalCrm& crm, const QString& kind,
                                                          const QByteArray& store)
{
    QHash<QByteArray, Outcome> out;
    if (!usable() || store.isEmpty())
        return out;
    QSqlQuery query = prepared(m_connection,
                               QStringLiteral("SELECT entry, outcome FROM items WHERE crm_url = ? AND crm_login = ? AND "
                                              "store = ? AND kind = ?"),
                               crm);
    query.addBindValue(store);
    query.addBindValue(kind);
    if (!query.exec()) {
        fail(sqliteCode(query.lastError()), query.lastError().text());
        return out;
    }
    while (query.next())
        out.insert(query.value(0).toByteArray(), static_cast<Outcome>(query.value(1).toInt()));
    return out;
}

int ExJournal::countImported(const ExJournalCrm& crm, const QString& kind, const QByteArray& store,
                             const QByteArray& folder)
{
    if (!usable())
        return 0;
    QSqlQuery query = prepared(m_connection,
                               QStringLiteral("SELECT count(*) FROM items WHERE crm_url = ? AND crm_login = ? AND "
                                              "store = ? AND kind = ? AND folder = ? AND outcome IN (1, 2)"),
                               crm);
    query.addBindValue(store);
    query.addBindValue(kind);
    query.addBindValue(folder);
    if (!query.exec() || !query.next()) {
        fail(sqliteCode(query.lastError()), query.lastError().text());
        return 0;
    }
    return query.value(0).toInt();
}

bool ExJournal::hasFolderEntries(const ExJournalCrm& crm, const QString& kind, const QByteArray& store,
                                 const QByteArray& folder)
{
    if (!usable())
        return false;
    QSqlQuery query = prepared(m_connection,
                               QStringLiteral("SELECT 1 FROM items WHERE crm_url = ? AND crm_login = ? AND store = ? "
                                              "AND kind = ? AND folder = ? LIMIT 1"),
                               crm);
    query.addBindValue(store);
    query.addBindValue(kind);
    query.addBindValue(folder);
    if (!query.exec()) {
        fail(sqliteCode(query.lastError()), query.lastError().text());
        return false;
    }
    return query.next();
}

qint64 ExJournal::crmFolder(const ExJournalCrm& crm, const QByteArray& store, const QByteArray& folder)
{
    if (!usable() || store.isEmpty() || folder.isEmpty())
        return 0;
    QSqlQuery query = prepared(m_connection,
                               QStringLiteral("SELECT crm_folder FROM folders WHERE crm_url = ? AND crm_login = ? AND "
                                              "store = ? AND folder = ?"),
                               crm);
    query.addBindValue(store);
    query.addBindValue(folder);
    if (!query.exec()) {
        fail(sqliteCode(query.lastError()), query.lastError().text());
        return 0;
    }
    return query.next() ? query.value(0).toLongLong() : 0;
}

bool ExJournal::recordCrmFolder(const ExJournalCrm& crm, const QByteArray& store, const QByteArray& folder,
                                qint64 crmFolderId)
{
    if (!usable() || store.isEmpty() || folder.isEmpty())
        return false;
    QSqlQuery query = prepared(m_connection,
                               QStringLiteral("INSERT OR REPLACE INTO folders (crm_url, crm_login, store, folder, "
                                              "crm_folder, recorded) VALUES (?, ?, ?, ?, ?, ?)"),
                               crm);
    query.addBindValue(store);
    query.addBindValue(folder);
    query.addBindValue(crmFolderId);
    query.addBindValue(QDateTime::currentSecsSinceEpoch());
    if (query.exec())
        return true;
    fail(sqliteCode(query.lastError()), query.lastError().text());
    return false;
}

bool ExJournal::deleteAll(const QStringList& statements, const ExJournalCrm& crm, const QList<QByteArray>& keys)
{
    if (!usable())
        return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction()) {
        fail(sqliteCode(db.lastError()), db.lastError().text());
        return false;
    }
    for (const QString& sql : statements) {
        QSqlQuery query = prepared(m_connection, sql, crm);
        for (const QByteArray& key : keys)
            query.addBindValue(key);
        if (!query.exec()) {
            fail(sqliteCode(query.lastError()), query.lastError().text());
            db.rollback();
            return false;
        }
    }
    if (db.commit())
        return true;
    fail(sqliteCode(db.lastError()), db.lastError().text());
    db.rollback();
    return false;
}

bool ExJournal::forgetFolder(const ExJournalCrm& crm, const QByteArray& store, const QByteArray& folder)
{
    return deleteAll({QStringLiteral("DELETE FROM folders WHERE crm_url = ? AND crm_login = ? AND store = ? AND folder = ?"),
                      QStringLiteral("DELETE FROM items WHERE crm_url = ? AND crm_login = ? AND store = ? AND folder = ? "
                                     "AND kind = 'mail'")},
                     crm, {store, folder});
}

int ExJournal::countEntries(const ExJournalCrm& crm)
{
    if (!usable())
        return 0;
    QSqlQuery query = prepared(m_connection,
                               QStringLiteral("SELECT (SELECT count(*) FROM items WHERE crm_url = ? AND crm_login = ?)"
                                              " + (SELECT count(*) FROM folders WHERE crm_url = ? AND crm_login = ?)"),
                               crm);
    query.addBindValue(crm.url);
    query.addBindValue(crm.login);
    if (!query.exec() || !query.next()) {
        fail(sqliteCode(query.lastError()), query.lastError().text());
        return 0;
    }
    return query.value(0).toInt();
}

bool ExJournal::forget(const ExJournalCrm& crm)
{
    return deleteAll({QStringLiteral("DELETE FROM items WHERE crm_url = ? AND crm_login = ?"),
                      QStringLiteral("DELETE FROM folders WHERE crm_url = ? AND crm_login = ?")},
                     crm, {});
}
