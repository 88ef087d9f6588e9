#include "mailfolders.h"

#include "exfolder.h"

#include <QDebug>

namespace {

// The CRM folder for a selected Outlook folder: the one an earlier run made, or a new one.
qint64 crmFolderFor(ExFOLDER* folder, qint64 parent, MailFolderCrm& crm, const MailFolderWalk& walk)
{
    if (walk.knownFolder) {
        const qint64 known = walk.knownFolder(folder);
        if (known > 0) {
            qDebug() << "Folder " << folder->name << " reused " << known;
            return known;
        }
    }
    const qint64 created = crm.CreateCRMFolder(folder->name, parent);
    if (walk.folderCreated)
        walk.folderCreated(folder, created);
    return created;
}

} // namespace

void importMailFolders(const QList<ExFOLDER*>& stores, MailFolderCrm& crm, const MailFolderWalk& walk)
{
    qint64 inbox = crm.GetCRMInbox();
    if (inbox > 0) {
        qDebug() << "CRM Inbox folder ID: " << inbox;
    } else {
        qCritical() << "Can't get CRM inbox folder! " << inbox;
        inbox = 0;
    }
    for (ExFOLDER* store : stores) {
        if (walk.stopRequested())
            break;
        if (!store)
            continue;
        qint64 id = inbox;
        if (walk.isSelected(store)) {
            qDebug() << "Folder will be imported: " << store->name;
            const qint64 created = crmFolderFor(store, inbox, crm, walk);
            // A store's folder that the server answered 0 for is still used as 0; only a failed
            // exchange falls back to the inbox.
            id = created >= 0 ? created : inbox;
        }
        ImportFolderTree(store, id, crm, walk);
    }
}

void ImportFolderTree(ExFOLDER* record, qint64 target, MailFolderCrm& crm, const MailFolderWalk& walk)
{
    for (const auto& child : record->subFolders) {
        if (walk.stopRequested())
            return;
        qint64 id = target;
        if (walk.isSelected(child.get())) {
            qDebug() << "Folder will be imported: " << child->name;
            const qint64 created = crmFolderFor(child.get(), target, crm, walk);
            id = created >= 1 ? created : 0;
        }
        ImportFolderTree(child.get(), id, crm, walk);
    }
    if (!record->isStoreRoot && walk.isSelected(record) && !walk.stopRequested())
        walk.importFolderMails(record, target);
}

namespace {

void collectInImportOrder(ExFOLDER* record, const std::function<bool(const ExFOLDER*)>& isSelected,
                          QList<ExFOLDER*>& out)
{
    for (const auto& child : record->subFolders)
        collectInImportOrder(child.get(), isSelected, out);
    if (!record->isStoreRoot && isSelected(record))
        out.append(record);
}

} // namespace

QList<ExFOLDER*> mailFoldersInImportOrder(const QList<ExFOLDER*>& stores,
                                          const std::function<bool(const ExFOLDER*)>& isSelected)
{
    QList<ExFOLDER*> out;
    for (ExFOLDER* store : stores) {
        if (store)
            collectInImportOrder(store, isSelected, out);
    }
    return out;
}
