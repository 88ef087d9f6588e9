// The CRM side of the e-mail import's folders: the CRM inbox, one new CRM mail folder per selected
// Outlook folder (keeping the nesting of the selected folders), and which CRM folder the messages
// of each selected Outlook folder go to.
#pragma once

#include <QList>
#include <QString>

#include <functional>

struct ExFOLDER;

// The two folder exchanges of the mapping. Ids above 0 are CRM folders; 0 and below are failures
// (-1 nothing came back from the transport, -2 an answer without the expected element, 0 the
// server stored nothing).
class MailFolderCrm {
public:
    MailFolderCrm() = default;
    MailFolderCrm(const MailFolderCrm&) = delete;
    MailFolderCrm& operator=(const MailFolderCrm&) = delete;
    virtual ~MailFolderCrm() = default;

    [[nodiscard]] virtual qint64 GetCRMInbox() = 0;
    [[nodiscard]] virtual qint64 CreateCRMFolder(const QString& name, qint64 parent) = 0;
};

// What the walk needs from the run: which rows are selected, whether the user asked to stop, and
// the import of one folder's messages into a CRM folder.
struct MailFolderWalk {
    std::function<bool(const ExFOLDER*)> isSelected;
    std::function<bool()> stopRequested;
    std::function<void(ExFOLDER* folder, qint64 target)> importFolderMails;
    // Optional: a CRM folder an earlier run created for this Outlook folder, used instead of a new
    // one (0: none, create it); and the CRM's answer when a folder was created.
    std::function<qint64(const ExFOLDER* folder)> knownFolder;
    std::function<void(const ExFOLDER* folder, qint64 created)> folderCreated;
};

// The whole mapping: asks for the inbox (0 stands in when none is had), then walks every store in
// order. A selected store root gets a CRM folder below the inbox, but its own messages are never
// imported. Stops creating and importing as soon as stopRequested() says so.
void importMailFolders(const QList<ExFOLDER*>& stores, MailFolderCrm& crm, const MailFolderWalk& walk);

// One record's subtree: a selected child gets a new CRM folder below target (id 0 when that
// fails), an unselected child passes target down to its own children. The children's messages go
// before the record's own, which are imported when the record is a selected folder (not a store).
void ImportFolderTree(ExFOLDER* record, qint64 target, MailFolderCrm& crm, const MailFolderWalk& walk);

// The folders whose messages importMailFolders() imports, in the order it imports them (a folder's
// selected descendants before the folder itself; store roots never), without any CRM exchange.
[[nodiscard]] QList<ExFOLDER*> mailFoldersInImportOrder(const QList<ExFOLDER*>& stores,
                                                        const std::function<bool(const ExFOLDER*)>& isSelected);
