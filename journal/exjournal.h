// The import journal: what each import stored in which CRM, so that a repeated or interrupted import
// sends only what the CRM does not have yet. One SQLite file per user (imports.sqlite in the user's
// data folder), shared by every importer; rows are keyed by the CRM (its address as stored and the
// login name) and the Outlook store (its record key).
//
// Every write is committed before it returns (WAL, synchronous), so a crash or power loss loses at
// most the outcome of what was in flight. Nothing here throws or ends the program: a journal that
// cannot be opened, is damaged, stays locked by another program for longer than lockWaitMs or cannot
// be written (full disk) turns unusable; from then on lookups find nothing and writes do nothing, and
// problemText() says why, for one line in the summary. Importers then send everything, as they
// would without a journal.
//
// Threads: one object is used by the thread that created it (Qt's SQL connections are per thread).
// Several objects, in one process or in several, may use the same file at once.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The CRM a row belongs to.
struct ExJournalCrm {
    QString url;   // CRM_URL exactly as stored
    QString login; // CRM_LGN
};

// One Outlook item (or message) as the journal knows it.
struct ExJournalItem {
    QByteArray store;   // record key of its store; empty: the item cannot be journaled
    QString storeHint;  // the store's file, for whoever reads the journal by hand
    QByteArray folder;  // entry id of its Outlook folder
    QByteArray entryId; // its entry id; empty: the item cannot be journaled
    qint64 modified = 0; // PR_LAST_MODIFICATION_TIME in 100-ns ticks since 1601; 0 unknown

    [[nodiscard]] bool valid() const { return !store.isEmpty() && !entryId.isEmpty(); }
};

class ExJournal {
public:
    // How an item ended. The numbers are stored: never renumber.
    enum class Outcome {
        Stored = 1,         // the CRM answered with its new id
        Present = 2,        // the CRM answered that it has it already
        Failed = 3,         // the CRM stored nothing
        MayHaveArrived = 4, // the request left but no answer came: the CRM may hold it
    };
    enum class Problem { None, CannotOpen, Damaged, Locked, DiskFull, CannotWrite };

    struct Entry {
        Outcome outcome = Outcome::Failed;
        qint64 crmId = 0;
        qint64 modified = 0;
    };

    // Opens (creating when missing) the journal at path, owner-only. A damaged file is moved aside
    // to path + ".damaged" so that the next import starts a fresh journal; this one stays unusable.
    explicit ExJournal(const QString& path = defaultPath());
    ~ExJournal();
    ExJournal(const ExJournal&) = delete;
    ExJournal& operator=(const ExJournal&) = delete;

    // <data folder of "Kelvor GmbH"/"Outlook Importer">/imports.sqlite
    [[nodiscard]] static QString defaultPath();
    static constexpr int lockWaitMs = 5000;

    [[nodiscard]] bool usable() const { return m_problem == Problem::None; }
    [[nodiscard]] Problem problem() const { return m_problem; }
    // German, for the summary: what went wrong ("ist beschädigt", ...); empty while usable.
    [[nodiscard]] QString problemText() const;
    // The summary line of an import that could not use the journal; empty while usable.
    [[nodiscard]] QString summaryLine() const;

    // Items. kind tells apart what one Outlook item may become in the CRM ("task", "pcontact", "person",
    // "appointment", "mail").
    [[nodiscard]] std::optional<Entry> find(const ExJournalCrm& crm, const QString& kind, const ExJournalItem& item);
    // True when the item is recorded as stored or present with this very modification time (a known one).
    [[nodiscard]] bool unchanged(const ExJournalCrm& crm, const QString& kind, const ExJournalItem& item);
    // Records the item's outcome (replacing an earlier one); true once it is committed.
    bool record(const ExJournalCrm& crm, const QString& kind, const ExJournalItem& item, Outcome outcome,
                qint64 crmId = 0);
    // Every item of this kind recorded for one store, by entry id.
    [[nodiscard]] QHash<QByteArray, Outcome> outcomes(const ExJournalCrm& crm, const QString& kind,
                                                      const QByteArray& store);
    // Items of one Outlook folder recorded as stored or present.
    [[nodiscard]] int countImported(const ExJournalCrm& crm, const QString& kind, const QByteArray& store,
                                    const QByteArray& folder);
    // Whether anything of this kind from this folder is recorded at all.
    [[nodiscard]] bool hasFolderEntries(const ExJournalCrm& crm, const QString& kind, const QByteArray& store,
                                        const QByteArray& folder);

    // The CRM mail folder created for an Outlook folder; 0 when none is recorded.
    [[nodiscard]] qint64 crmFolder(const ExJournalCrm& crm, const QByteArray& store, const QByteArray& folder);
    bool recordCrmFolder(const ExJournalCrm& crm, const QByteArray& store, const QByteArray& folder, qint64 crmFolderId);
    // Forgets the CRM folders (and the messages in them) of these Outlook folders: "Alle erneut importieren"
    // starts a new folder set.
    bool forgetFolder(const ExJournalCrm& crm, const QByteArray& store, const QByteArray& folder);

    // Everything recorded for one CRM (items and folders).
    [[nodiscard]] int countEntries(const ExJournalCrm& crm);
    bool forget(const ExJournalCrm& crm);

private:
    void open(const QString& path);
    bool exec(const QString& sql);
    // Runs the statements (the CRM's two columns bound first, then keys) in one transaction.
    bool deleteAll(const QStringList& statements, const ExJournalCrm& crm, const QList<QByteArray>& keys);
    void fail(int sqliteCode, const QString& what);

    QString m_connection;
    QString m_path;
    Problem m_problem = Problem::None;
};
