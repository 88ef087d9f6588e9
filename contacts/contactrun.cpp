#include "contactrun.h"

#include "bytes.h"
#include "contactmapping.h"
#include "crmoperations.h"
#include "exfolder.h"
#include "exinflight.h"
#include "propaccess.h"

#include <QDebug>
#include <QList>
#include <QPair>

#include <memory>
#include <optional>

AddOutcome readPContactResult(int result)
{
    if (result == -1)
        return AddOutcome::Exists;
    if (result == -2 || result == 0)
        return AddOutcome::Failed;
    return AddOutcome::Imported;
}

AddOutcome readCompanyOrPersonResult(int result)
{
    // The server answers -1 (and some versions -3) for an entry it already holds.
    if (result == -1 || result == -3)
        return AddOutcome::Exists;
    if (result == -2 || result == 0)
        return AddOutcome::Failed;
    return AddOutcome::Imported;
}

static QString accountingLines(const ContactRunCounts& c)
{
    return ExRun::accountingLines(c.mayBeStored, c.skipped, c.notTried, QStringLiteral("Kontakte"));
}

QString personalSummary(const ContactRunCounts& c)
{
    QString text;
    if (c.personalExist > 0)
        text += QStringLiteral("<font color=\"blue\"><b>%1  Kontakte existieren bereits</font></b><br>")
                    .arg(c.personalExist);
    if (c.personalFailed > 0)
        text += QStringLiteral("<font color=\"red\"><b>%1  Kontakte k\u00f6nnten nicht importiert werden</font></b><br>")
                    .arg(c.personalFailed);
    text += accountingLines(c);
    text += QStringLiteral("<br><font color=\"green\"><b>%1  Kontakte sind erfolgreich importiert.</b></font><br>")
                .arg(c.personalImported);
    return text;
}

QString companySummary(const ContactRunCounts& c)
{
    QString text;
    if (c.contactsExist > 0)
        text += QStringLiteral("<font color=\"blue\"><i>%1</i>  Kontakte existieren bereits</font><br>")
                    .arg(c.contactsExist);
    if (c.contactsFailed > 0)
        text += QStringLiteral("<font color=\"red\"><i>%1</i>  Kontakte k\u00f6nnten nicht importiert werden</font><br>")
                    .arg(c.contactsFailed);
    if (c.personsExist > 0)
        text += QStringLiteral("<font color=\"blue\"><i>%1</i>  Personen existieren bereits</font><br>")
                    .arg(c.personsExist);
    if (c.personsFailed > 0)
        text += QStringLiteral("<font color=\"red\"><i>%1</i>  Personen k\u00f6nnten nicht importiert werden</font><br>")
                    .arg(c.personsFailed);
    text += accountingLines(c);
    text += QStringLiteral("<br><font color=\"green\"><b>%1  Kontakte sind erfolgreich importiert.</b></font><br>")
                .arg(c.contactsImported);
    text += QStringLiteral("<br><font color=\"green\"><b>%1  Personen sind erfolgreich importiert.</b></font><br>")
                .arg(c.personsImported);
    return text;
}

namespace {

void count(AddOutcome outcome, int& imported, int& exist, int& failed)
{
    switch (outcome) {
    case AddOutcome::Imported:
        ++imported;
        break;
    case AddOutcome::Exists:
        ++exist;
        break;
    case AddOutcome::Failed:
        ++failed;
        break;
    }
}

// Companies created in this run: (name, CRM id) in creation order.
class CompanyCache {
public:
    // A positive id of an earlier company of exactly this name; 0 when none. An empty name never matches.
    [[nodiscard]] int find(const QString& name) const
    {
        if (name.isEmpty())
            return 0;
        for (const auto& entry : m_entries) {
            if (entry.first == name)
                return entry.second;
        }
        return 0;
    }
    void add(const QString& name, int id)
    {
        if (!name.isEmpty())
            m_entries.append({name, id});
    }

private:
    QList<QPair<QString, int>> m_entries;
};

const QString contactKind = QStringLiteral("IPM.Contact");

// Sends the row's company (unless this run created it already) and then its person. False when the row
// was not tried at all (its first exchange was aborted before anything was sent). *outcome receives how
// the row ended for the journal: its person's outcome, or its company's when no person was sent.
bool sendCompanyAndPerson(ExRun& run, const ContactMapping& mapping, const xmapi::Row& row,
                          const CrmSession& session, CompanyCache& cache, ContactRunCounts& c,
                          std::optional<ExJournal::Outcome>& outcome)
{
    const QString name = mapping.companyName(row);
    int companyId = cache.find(name);
    if (companyId <= 0) {
        const crmContactItem company = mapping.company(row);
        CrmItemTransport transport;
        const int result = crmaddContact(session, company, contactsHttpLog, &transport);
        if (!run.itemTried(transport))
            return false;
        const AddOutcome answer = readCompanyOrPersonResult(result);
        count(answer, c.contactsImported, c.contactsExist, c.contactsFailed);
        if (answer == AddOutcome::Imported)
            cache.add(name, result);
        // A company that exists, failed, or came back with a negative id gets no person.
        if (result <= 0 || run.stopRequested()) {
            // A company the CRM already had gets no person on any later run either: the row is present.
            outcome = ExRun::journalOutcome(false, answer == AddOutcome::Exists, transport);
            return true;
        }
        companyId = result;
    }
    crmPersonItem person = mapping.person(row);
    person.cid = companyId;
    CrmItemTransport transport;
    const int result = crmaddPerson(session, person, contactsHttpLog, &transport);
    // A person whose request never left is not counted; its company is.
    if (run.itemTried(transport)) {
        const AddOutcome added = readCompanyOrPersonResult(result);
        count(added, c.personsImported, c.personsExist, c.personsFailed);
        outcome = ExRun::journalOutcome(added == AddOutcome::Imported, added == AddOutcome::Exists, transport);
    }
    return true;
}

} // namespace

void contactsRunBody(ExRun& run, ContactRunCounts* counts)
{
    ContactRunCounts c;
    const bool personal = run.mode();
    qDebug() << "MODE: " << personal;
    const CrmSession& session = run.session();

    run.status(1, QStringLiteral("Verbunden"));

    std::vector<xmapi::PropTag> named;
    bool canRead = false;
    const QList<ExFOLDER*>& all = run.allFolders();
    if (!all.isEmpty()) {
        // A first entry without a folder handle cannot resolve the names either.
        const bool resolved = all.first() && all.first()->folder
            && !xmapi::failed(GetContactsProps(*all.first()->folder, named));
        if (resolved)
            canRead = true;
        else
            qCritical() << "CAN'T get NAMED Properties";
    }

    if (canRead) {
        run.status(1, QStringLiteral("Importiere Kontakte:"));
        CompanyCache cache;
        const QString dumpPath = defaultPContactDumpPath(); // the run's folder, looked up once
        // Personal contacts are independent of each other and may travel several at once; a person
        // needs its company's id, so that mode sends one request after another.
        ExInflight inflight(
            personal ? run.inflight() : 1, [&run] { return !run.stopRequested(); }, [&run] { run.idle(); });
        // A contact sent to the address book and the same contact sent as a person are two things in the CRM.
        const QString journalKind = personal ? QStringLiteral("pcontact") : QStringLiteral("person");
        const auto itemDone = [&] {
            ++c.itemsDone;
            run.itemDone(c.itemsDone);
        };

        while (!run.stopRequested()) {
            ExFOLDER* folder = run.nextSelectedFolder();
            if (!folder || !folder->folder)
                break;
            // Every .pst/.ost file has its own name-to-id map: the e-mail columns of a folder are
            // the ones its own store resolves, not those of the first folder's store.
            std::vector<xmapi::PropTag> folderNamed = named;
            if (folder != all.first() && xmapi::failed(GetContactsProps(*folder->folder, folderNamed))) {
                qCritical() << "CAN'T get NAMED Properties";
                run.folderDone();
                continue;
            }
            const ContactMapping mapping(folderNamed);
            // The message class rides along after the mapping's columns: items of another kind are not sent.
            std::vector<xmapi::PropTag> columns = mapping.columns();
            const std::size_t classColumn = columns.size();
            columns.push_back(PR_MESSAGE_CLASS_W);
            // So do the journal's: a contact unchanged since it was imported is not sent again.
            const std::size_t entryIdColumn = columns.size();
            columns.push_back(PR_ENTRYID);
            columns.push_back(PR_LAST_MODIFICATION_TIME);
            const QByteArray folderId = ExRun::folderEntryId(folder);
            std::unique_ptr<xmapi::Table> table;
            if (xmapi::failed(folder->folder->GetContentsTable(MAPI_UNICODE, table)) || !table)
                break;
            const xmapi::HResult hr = table->SetColumns(columns, 0);
            if (xmapi::failed(hr)) {
                // The same text as the other importers: the signed result in base 16.
                qCritical().noquote() << QStringLiteral("SetColumns Failed: ") + xmapi::bytes::hexOf(hr);
                break;
            }
            int rowsRead = 0;
            while (!run.stopRequested()) {
                xmapi::RowSet rows;
                if (table->QueryRows(1, 0, rows) != 0 || rows.empty())
                    break;
                ++rowsRead;
                const xmapi::Row& row = rows.front();
                const ExJournalItem journaled =
                    ExRun::journalItem(folder, folderId, &row[entryIdColumn], &row[entryIdColumn + 1]);
                if (!exIsOwnKind(TextOf(row[classColumn]), contactKind)) {
                    inflight.submit({}, [&](const ExItemResult&) {
                        ++c.skipped;
                        itemDone();
                    });
                } else if (run.unchangedSinceImport(journalKind, journaled)) {
                    inflight.submit({}, [&](const ExItemResult&) { itemDone(); });
                } else if (personal) {
                    inflight.submit(
                        [item = mapping.personalContact(row), session, &dumpPath] {
                            ExItemResult r;
                            r.value = crmAddPContact(session, item, contactsHttpLog, dumpPath, &r.transport);
                            return r;
                        },
                        [&, journaled](const ExItemResult& r) {
                            if (run.itemTried(r.transport)) {
                                const AddOutcome added = readPContactResult(r.value);
                                count(added, c.personalImported, c.personalExist, c.personalFailed);
                                run.recordOutcome(journalKind, journaled,
                                                  ExRun::journalOutcome(added == AddOutcome::Imported,
                                                                        added == AddOutcome::Exists, r.transport),
                                                  r.value);
                            } else {
                                ++c.notTried;
                            }
                            itemDone();
                        });
                } else {
                    std::optional<ExJournal::Outcome> outcome;
                    if (!sendCompanyAndPerson(run, mapping, row, session, cache, c, outcome))
                        ++c.notTried;
                    if (outcome)
                        run.recordOutcome(journalKind, journaled, *outcome);
                    itemDone();
                }
            }
            inflight.drain();
            if (run.connectionLost())
                c.notTried += ExRun::unreadRows(*table, rowsRead);
            table.reset();
            run.folderDone();
        }
        if (run.connectionLost())
            c.notTried += run.itemsInRemainingFolders();
        else
            c.notTried = 0; // a stop by the user leaves the rest unread, as it always did
    }
    c.mayBeStored = run.mayBeStored();

    run.appendSummary(personal ? personalSummary(c) : companySummary(c));
    if (counts)
        *counts = c;
}
