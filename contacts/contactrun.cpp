#include "contactrun.h"

#include "contactmapping.h"
#include "crmoperations.h"
#include "exfolder.h"
#include "propaccess.h"

#include <QDebug>
#include <QList>
#include <QPair>

#include <memory>

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

QString personalSummary(const ContactRunCounts& c)
{
    QString text;
    if (c.personalExist > 0)
        text += QStringLiteral("<font color=\"blue\"><b>%1  Kontakte existieren bereits</font></b><br>")
                    .arg(c.personalExist);
    if (c.personalFailed > 0)
        text += QStringLiteral("<font color=\"red\"><b>%1  Kontakte k\u00f6nnten nicht importiert werden</font></b><br>")
                    .arg(c.personalFailed);
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

void sendPersonal(const ContactMapping& mapping, const xmapi::Row& row, const CrmSession& session,
                  ContactRunCounts& c)
{
    const PContactItem item = mapping.personalContact(row);
    const int result = crmAddPContact(session, item);
    count(readPContactResult(result), c.personalImported, c.personalExist, c.personalFailed);
}

void sendCompanyAndPerson(const ContactMapping& mapping, const xmapi::Row& row, const CrmSession& session,
                          CompanyCache& cache, ContactRunCounts& c)
{
    const QString name = mapping.companyName(row);
    int companyId = cache.find(name);
    if (companyId <= 0) {
        const crmContactItem company = mapping.company(row);
        const int result = crmaddContact(session, company);
        const AddOutcome outcome = readCompanyOrPersonResult(result);
        count(outcome, c.contactsImported, c.contactsExist, c.contactsFailed);
        if (outcome == AddOutcome::Imported)
            cache.add(name, result);
        // A company that exists, failed, or came back with a negative id gets no person.
        if (result <= 0)
            return;
        companyId = result;
    }
    crmPersonItem person = mapping.person(row);
    person.cid = companyId;
    const int result = crmaddPerson(session, person);
    count(readCompanyOrPersonResult(result), c.personsImported, c.personsExist, c.personsFailed);
}

} // namespace

void contactsRunBody(ExRun& run, ContactRunCounts* counts)
{
    ContactRunCounts c;
    const bool personal = run.mode();
    qDebug() << "MODE: " << personal;
    const CrmSession session{run.baseUrl(), run.sessionId()};

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
            std::unique_ptr<xmapi::Table> table;
            if (xmapi::failed(folder->folder->GetContentsTable(MAPI_UNICODE, table)) || !table)
                break;
            const xmapi::HResult hr = table->SetColumns(mapping.columns(), 0);
            if (xmapi::failed(hr)) {
                // The same text as the other importers: the signed result in base 16.
                qCritical().noquote() << QStringLiteral("SetColumns Failed: ") + QString::number(hr, 16);
                break;
            }
            while (!run.stopRequested()) {
                xmapi::RowSet rows;
                if (table->QueryRows(1, 0, rows) != 0 || rows.empty())
                    break;
                const xmapi::Row& row = rows.front();
                if (personal)
                    sendPersonal(mapping, row, session, c);
                else
                    sendCompanyAndPerson(mapping, row, session, cache, c);
                ++c.itemsDone;
                run.itemDone(c.itemsDone);
            }
            table.reset();
            run.folderDone();
        }
    }

    run.appendSummary(personal ? personalSummary(c) : companySummary(c));
    if (counts)
        *counts = c;
}
