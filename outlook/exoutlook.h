// ExOutlook: the program's access to Outlook. Initialises the store access and logs on to the
// profile when constructed, scans every store for the folders of the program's item class, and
// hands them to the main window with Ready().
//
// Threads: construction, ScanFolders() and destruction run in the GUI thread. The folder records
// (and their open folder handles) are then read by the import worker; the owner must stop and
// wait for the worker before destroying this object.
#pragma once

#include "exfolder.h"
#include "xmapi.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

// What a program scans for.
struct ExScanProfile {
    enum class Mode {
        ItemClass, // flat list of the folders whose trimmed class equals folderClass
        MailTree,  // e-mail importer: keep folders without class or of a mail class, as a tree only
    };
    Mode mode = Mode::ItemClass;
    QString folderClass;   // ItemClass: "IPF.Contact", "IPF.Task", "IPF.Appointment"
    QString summaryLabel;  // ItemClass: label of the summary log line

    static ExScanProfile contacts();     // "IPF.Contact", "Contacts Folders in Account: "
    static ExScanProfile tasks();        // "IPF.Task", "TASK Folders in Account: "
    static ExScanProfile appointments(); // "IPF.Appointment", "Appointments Folders in Account: "
    static ExScanProfile email();        // "IPF.Note" or "IPF.Imap" or no class, tree only
};

class ExOutlook : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ExOutlook)

public:
    // Initialises the store access and logs on (a profile dialog may appear). Never throws; the
    // outcome is status().
    ExOutlook(quintptr uiParam, const ExScanProfile& profile, QObject* parent = nullptr);
    // Destroys the folder records (releasing their handles), logs off, uninitialises.
    ~ExOutlook() override;

    // True once initialisation and profile logon both succeeded.
    bool status() const { return m_status; }

    // Walks every store and folder (synchronously), fills folders() and stores(), computes
    // totalItems(), writes the summary log lines, then emits Ready(&folders). Call once.
    void ScanFolders();

    // Sum of itemCount over folders(), after the scan.
    qint64 totalItems() const { return m_totalItems; } // 64 bits: folder counts may add up past 2^31

    // The matching folders in discovery order (ItemClass mode). The records belong to the store
    // trees; the list only refers to them. Callers may walk it as often as they like.
    QList<ExFOLDER*>* folders() { return &m_folders; }
    const QList<ExFOLDER*>& folderList() const { return m_folders; }

    // One root record per store whose top folder could be opened, each owning its folder tree.
    QList<ExFOLDER*> stores() const;

    const ExScanProfile& profile() const { return m_profile; }
    xmapi::Session* session() const { return m_session.get(); }
    quintptr uiParam() const { return m_uiParam; }

Q_SIGNALS:
    void Ready(QList<ExFOLDER*>* folders);

private:
    void EnumStores();
    void EnumStore(xmapi::MsgStore& store, const QString& name);
    void EnumFolder(ExFOLDER* record);
    void EnumMailFolder(ExFOLDER* record);
    void EnumChildren(ExFOLDER* record, bool mailTree);

    ExScanProfile m_profile;
    quintptr m_uiParam = 0;
    bool m_initialized = false;
    bool m_status = false;
    qint64 m_totalItems = 0;
    std::unique_ptr<xmapi::Session> m_session;
    std::vector<std::unique_ptr<ExFOLDER>> m_stores;
    QList<ExFOLDER*> m_folders;
};
