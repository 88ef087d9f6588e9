#include "exoutlook.h"

#include "bytes.h"
#include "propaccess.h"

#include <QDebug>

namespace {

using xmapi::bytes::hexOf;

void qtLogSink(xmapi::LogLevel level, const std::string& text)
{
    const QString line = QString::fromStdString(text);
    switch (level) {
    case xmapi::LogLevel::Debug:
        qDebug().noquote() << line;
        break;
    case xmapi::LogLevel::Warning:
        qWarning().noquote() << line;
        break;
    case xmapi::LogLevel::Critical:
        qCritical().noquote() << line;
        break;
    }
}

QString textOf(const xmapi::PropValue& v) { return QString::fromStdString(v.str); }

} // namespace

ExScanProfile ExScanProfile::contacts()
{
    return {Mode::ItemClass, QStringLiteral("IPF.Contact"), QStringLiteral("Contacts Folders in Account: ")};
}

ExScanProfile ExScanProfile::tasks()
{
    return {Mode::ItemClass, QStringLiteral("IPF.Task"), QStringLiteral("TASK Folders in Account: ")};
}

ExScanProfile ExScanProfile::appointments()
{
    return {Mode::ItemClass, QStringLiteral("IPF.Appointment"), QStringLiteral("Appointments Folders in Account: ")};
}

ExScanProfile ExScanProfile::email()
{
    return {Mode::MailTree, QString(), QString()};
}

ExOutlook::ExOutlook(quintptr uiParam, const ExScanProfile& profile, QObject* parent)
    : QObject(parent), m_profile(profile)
{
    xmapi::setLogSink(&qtLogSink);
    const xmapi::HResult init = xmapi::MAPIInitialize();
    if (xmapi::failed(init)) {
        qCritical().noquote() << QStringLiteral("Error initializing MAPI. hRes = ") + hexOf(init);
        qCritical("MAPI is not initialized! stop");
    } else {
        m_initialized = true;
        m_uiParam = uiParam;
        const xmapi::HResult hr =
            xmapi::MAPILogonEx(m_uiParam, MAPI_LOGON_UI | MAPI_NEW_SESSION | MAPI_EXTENDED, m_session);
        if (xmapi::failed(hr) || !m_session) {
            m_session.reset();
            qCritical().noquote() << QStringLiteral("Error logging on. hRes = ") + hexOf(hr);
            qCritical("Can't open MAPI Profile! stop");
        } else {
            m_status = true;
        }
    }
    qDebug().noquote() << QStringLiteral("Status: ") + (m_status ? QStringLiteral("true") : QStringLiteral("false"));
}

ExOutlook::~ExOutlook()
{
    // The folder handles go before the session that opened them.
    m_folders.clear();
    m_stores.clear();
    if (m_session) {
        const xmapi::HResult hr = m_session->Logoff(0, 0, 0);
        if (xmapi::failed(hr))
            qCritical().noquote() << QStringLiteral("Error logging off. hRes = ") + hexOf(hr);
        m_session.reset();
    }
    xmapi::MAPIUninitialize();
}

QList<ExFOLDER*> ExOutlook::stores() const
{
    QList<ExFOLDER*> out;
    for (const auto& s : m_stores)
        out.append(s.get());
    return out;
}

void ExOutlook::ScanFolders()
{
    m_folders.clear();
    m_stores.clear();
    if (m_session)
        EnumStores();

    if (m_profile.mode == ExScanProfile::Mode::ItemClass) {
        m_totalItems = 0;
        qDebug().noquote() << m_profile.summaryLabel + QString::number(m_folders.size());
        int n = 1;
        for (ExFOLDER* f : std::as_const(m_folders)) {
            m_totalItems += f->itemCount;
            qDebug().noquote() << QString::number(n++) + QLatin1Char(' ') + f->name + QLatin1Char(' ') +
                                      QString::number(f->itemCount);
        }
    }
    Q_EMIT Ready(&m_folders);
}

void ExOutlook::EnumStores()
{
    std::unique_ptr<xmapi::Table> table;
    const xmapi::HResult hr = m_session->GetMsgStoresTable(0, table);
    if (xmapi::failed(hr))
        qCritical().noquote() << QStringLiteral("Can't get Message store. stop. hr = ") + hexOf(hr);
    if (!table)
        return;
    xmapi::RowSet rows;
    if (xmapi::HrQueryAllRows(*table, {PR_DISPLAY_NAME_W, PR_ENTRYID}, rows) != S_OK)
        return;
    for (const xmapi::Row& row : rows) {
        QString name;
        if (HasColumn(row, 0, PR_DISPLAY_NAME_W)) {
            name = textOf(row[0]);
            qDebug().noquote() << name;
        }
        if (!HasColumn(row, 1, PR_ENTRYID))
            continue;
        std::unique_ptr<xmapi::MsgStore> store;
        const xmapi::HResult open = m_session->OpenMsgStore(m_uiParam, row[1].bin, MAPI_BEST_ACCESS, store);
        if (xmapi::failed(open) || !store) {
            qCritical("Can't open MAPI Store.");
            continue;
        }
        EnumStore(*store, name);
    }
}

void ExOutlook::EnumStore(xmapi::MsgStore& store, const QString& name)
{
    qDebug().noquote() << QStringLiteral("Enum store: ") + name;
    auto record = std::make_unique<ExFOLDER>();
    record->name = name;
    record->isStoreRoot = true;

    __LPSPropValue topId;
    if (xmapi::failed(HrGetOneProp(store, PR_IPM_SUBTREE_ENTRYID, topId))) {
        qCritical("Can't open SUBTREE folder ID");
        return;
    }
    std::uint32_t objType = 0;
    std::unique_ptr<xmapi::MapiProp> object;
    if (xmapi::failed(store.OpenEntry(topId->bin, 0, objType, object)) || !object) {
        qCritical("Can't open SUBTREE folder");
        return;
    }
    if (objType != MAPI_FOLDER)
        return;
    record->folder = xmapi::objectCast<xmapi::Folder>(std::move(object));
    if (!record->folder)
        return;
    xmapi::PropValue path;
    if (xmapi::succeeded(xmapi::HrGetOneProp(store, PR_PST_PATH_W, path)))
        record->storeFile = textOf(path);
    xmapi::PropValue key;
    if (xmapi::succeeded(xmapi::HrGetOneProp(store, PR_RECORD_KEY, key)) && !key.bin.empty())
        record->storeKey = QByteArray(reinterpret_cast<const char*>(key.bin.data()), static_cast<qsizetype>(key.bin.size()));
    if (m_profile.mode == ExScanProfile::Mode::MailTree)
        EnumMailFolder(record.get());
    else
        EnumFolder(record.get());
    m_stores.push_back(std::move(record));
}

namespace {

// One hierarchy-table row turned into a child record; the folder is opened through the parent.
struct ChildRow {
    std::unique_ptr<ExFOLDER> record;
    bool hasClass = false;
    QString containerClass;
};

ChildRow readChild(ExFOLDER* parent, const xmapi::Row& row)
{
    ChildRow c;
    c.record = std::make_unique<ExFOLDER>();
    c.record->parent = parent;
    if (HasColumn(row, 0, PR_DISPLAY_NAME_W))
        c.record->name = textOf(row[0]);
    if (HasColumn(row, 1, PR_ENTRYID)) {
        std::uint32_t objType = 0;
        std::unique_ptr<xmapi::MapiProp> object;
        const xmapi::HResult hr = parent->folder->OpenEntry(row[1].bin, 0, objType, object);
        if (xmapi::failed(hr))
            qCritical().noquote() << hexOf(hr);
        else
            c.record->folder = xmapi::objectCast<xmapi::Folder>(std::move(object));
    }
    if (HasColumn(row, 2, PR_CONTAINER_CLASS_W)) {
        c.hasClass = true;
        c.containerClass = textOf(row[2]);
    }
    if (HasColumn(row, 3, PR_CONTENT_COUNT))
        c.record->itemCount = row[3].l;
    return c;
}

const std::vector<xmapi::PropTag> kHierarchyColumns = {PR_DISPLAY_NAME_W, PR_ENTRYID, PR_CONTAINER_CLASS_W,
                                                       PR_CONTENT_COUNT};

} // namespace

void ExOutlook::EnumFolder(ExFOLDER* record)
{
    EnumChildren(record, false);
}

void ExOutlook::EnumMailFolder(ExFOLDER* record)
{
    EnumChildren(record, true);
}

// One walk serves both scans. The item scan keeps every child it can open and lists those of the
// profile's class; the e-mail scan keeps only mail folders (no class, IPF.Note or IPF.Imap) and
// lists none here, since its tree is shown whole.
void ExOutlook::EnumChildren(ExFOLDER* record, bool mailTree)
{
    qDebug().noquote() << (mailTree ? QStringLiteral("245 Enum Folder: ") : QStringLiteral("153 Enum Folder: ")) +
                              record->name;
    std::unique_ptr<xmapi::Table> table;
    xmapi::HResult hr = record->folder->GetHierarchyTable(MAPI_UNICODE, table);
    if (xmapi::failed(hr) || !table) {
        qCritical().noquote() << (mailTree ? QStringLiteral("GetHierarchyTable failed: ")
                                           : QStringLiteral("GetHierarchyTable: ")) +
                                     hexOf(hr);
        return;
    }
    hr = table->SetColumns(kHierarchyColumns, 0);
    if (xmapi::failed(hr)) {
        qCritical().noquote() << QStringLiteral("SetColumns Failed: ") + hexOf(hr);
        return;
    }
    for (;;) {
        xmapi::RowSet rows;
        if (table->QueryRows(1, 0, rows) != S_OK || rows.empty())
            break;
        ChildRow c = readChild(record, rows.front());
        if (mailTree) {
            const QString cls = c.containerClass.trimmed();
            const bool mailClass =
                !c.hasClass || cls == QLatin1String("IPF.Note") || cls == QLatin1String("IPF.Imap");
            if (!c.record->folder || !mailClass)
                continue;
        } else {
            bool matches = false;
            if (c.hasClass) {
                matches = c.containerClass.trimmed() == m_profile.folderClass;
                qDebug().noquote() << c.record->name + QStringLiteral("  ") + c.containerClass;
            }
            if (!c.record->folder)
                continue;
            if (matches) {
                qDebug().noquote() << c.record->name;
                m_folders.append(c.record.get());
            }
        }
        record->subFolders.push_back(std::move(c.record));
    }
    qDebug().noquote() << QStringLiteral("SubFolders: ") + record->name + QLatin1Char(' ') +
                              QString::number(record->subFolders.size()) + QLatin1Char('\n');
    for (const auto& child : record->subFolders)
        EnumChildren(child.get(), mailTree);
}
