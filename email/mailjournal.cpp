#include "mailjournal.h"

#include "exfolder.h"

namespace {

const QString kMail = QStringLiteral("mail");

QByteArray bytesOf(const xmapi::Bytes& bin)
{
    return QByteArray(reinterpret_cast<const char*>(bin.data()), static_cast<qsizetype>(bin.size()));
}

} // namespace

MailJournal::MailJournal(std::unique_ptr<ExJournal> journal, ExJournalCrm crm)
    : m_journal(std::move(journal)), m_crm(std::move(crm))
{
}

MailJournal::~MailJournal() = default;

const QByteArray& MailJournal::folderId(const ExFOLDER* folder)
{
    auto it = m_folderIds.find(folder);
    if (it == m_folderIds.end()) {
        QByteArray id;
        std::vector<xmapi::PropValue> values;
        if (folder && folder->folder && !xmapi::failed(folder->folder->GetProps({PR_ENTRYID}, 0, values)) &&
            !values.empty() && values.front().type() == PT_BINARY)
            id = bytesOf(values.front().bin);
        it = m_folderIds.insert(folder, id);
    }
    return it.value();
}

ExJournalItem MailJournal::itemOf(const ExFOLDER* folder, const QByteArray& entryId)
{
    ExJournalItem item;
    if (const ExFOLDER* root = folder ? folder->storeRoot() : nullptr) {
        item.store = root->storeKey;
        item.storeHint = root->storeFile;
    }
    item.folder = folderId(folder);
    item.entryId = entryId;
    return item;
}

MailJournal::Tally MailJournal::tally(const QList<const ExFOLDER*>& selected)
{
    Tally t;
    for (const ExFOLDER* folder : selected) {
        if (!folder)
            continue;
        // A store's own messages are never imported; its CRM folder still counts as recorded.
        if (!folder->isStoreRoot)
            t.total += qMax(0, folder->itemCount);
        if (!usable())
            continue;
        const ExJournalItem item = itemOf(folder, {});
        if (item.store.isEmpty() || item.folder.isEmpty())
            continue;
        if (m_journal->crmFolder(m_crm, item.store, item.folder) > 0 ||
            m_journal->hasFolderEntries(m_crm, kMail, item.store, item.folder))
            t.recorded = true;
        if (!folder->isStoreRoot)
            t.imported += m_journal->countImported(m_crm, kMail, item.store, item.folder);
    }
    return t;
}

qint64 MailJournal::reuseFolder(const ExFOLDER* folder)
{
    if (m_mode != Mode::Resume || !usable())
        return 0;
    const ExJournalItem item = itemOf(folder, {});
    return m_journal->crmFolder(m_crm, item.store, item.folder);
}

void MailJournal::folderCreated(const ExFOLDER* folder, qint64 crmFolderId)
{
    if (!usable() || crmFolderId <= 0)
        return;
    const ExJournalItem item = itemOf(folder, {});
    if (item.store.isEmpty() || item.folder.isEmpty())
        return;
    m_journal->forgetFolder(m_crm, item.store, item.folder);
    m_journal->recordCrmFolder(m_crm, item.store, item.folder, crmFolderId);
}

void MailJournal::load(const QList<ExFOLDER*>& folders)
{
    for (const ExFOLDER* folder : folders)
        (void)folderId(folder);
    if (m_mode != Mode::Resume || !usable())
        return;
    for (const ExFOLDER* folder : folders) {
        const ExJournalItem item = itemOf(folder, {});
        // A folder whose CRM folder is made anew gets all its messages again.
        if (item.store.isEmpty() || item.folder.isEmpty() || m_journal->crmFolder(m_crm, item.store, item.folder) <= 0)
            continue;
        m_resumed.insert(folder);
        if (!m_outcomes.contains(item.store))
            m_outcomes.insert(item.store, m_journal->outcomes(m_crm, kMail, item.store));
    }
}

MailJournal::Plan MailJournal::plan(const ExFOLDER* folder, const QByteArray& entryId) const
{
    if (entryId.isEmpty() || !m_resumed.contains(folder))
        return Plan::Send;
    const auto store = m_outcomes.constFind(folder->storeRoot()->storeKey);
    if (store == m_outcomes.constEnd())
        return Plan::Send;
    const auto entry = store->constFind(entryId);
    if (entry == store->constEnd())
        return Plan::Send;
    switch (entry.value()) {
    case ExJournal::Outcome::Stored:
    case ExJournal::Outcome::Present:
        return Plan::Skip;
    case ExJournal::Outcome::MayHaveArrived:
        return Plan::SendAgain;
    case ExJournal::Outcome::Failed:
        break;
    }
    return Plan::Send;
}

void MailJournal::uploading(const ExFOLDER* folder, const QByteArray& entryId)
{
    if (usable())
        m_journal->record(m_crm, kMail, itemOf(folder, entryId), ExJournal::Outcome::MayHaveArrived);
}

void MailJournal::uploaded(const ExFOLDER* folder, const QByteArray& entryId, int result, bool mayHaveArrived)
{
    if (!usable())
        return;
    ExJournal::Outcome outcome = ExJournal::Outcome::Failed;
    if (result > 0)
        outcome = ExJournal::Outcome::Stored;
    else if (mayHaveArrived)
        outcome = ExJournal::Outcome::MayHaveArrived;
    m_journal->record(m_crm, kMail, itemOf(folder, entryId), outcome, result > 0 ? result : 0);
}

QString MailJournal::skippedLine(int count)
{
    return QStringLiteral("<font color=\"blue\">%1 E-Mails waren schon importiert und wurden \u00fcbersprungen</font><br>")
        .arg(count);
}

QString MailJournal::summaryLines() const
{
    QString text;
    if (m_skipped > 0)
        text += skippedLine(m_skipped);
    if (!m_sentAgain.isEmpty()) {
        text += QStringLiteral("<font color=\"red\">%1 E-Mails erneut gesendet, deren fr\u00fchere \u00dcbertragung ohne "
                               "Antwort blieb: vielleicht doppelt im CRM</font><br>")
                    .arg(m_sentAgain.size());
        for (const QString& subject : m_sentAgain)
            text += QStringLiteral("<font color=\"red\">E-Mail: <i>%1</i></font><br>").arg(subject.toHtmlEscaped());
    }
    if (m_journal)
        text += m_journal->summaryLine();
    return text;
}
