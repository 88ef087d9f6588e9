// Walking a session through the store interface, for the back-end tests.
#pragma once

#include "xmapi.h"

#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <vector>

struct OpenStore {
    QString name;
    std::unique_ptr<xmapi::MsgStore> store;
    std::unique_ptr<xmapi::Folder> top;
};

struct FolderInfo {
    QString path; // below the top folder, "/"-separated
    QString containerClass; // "-" when the folder has none
    int contentCount = -1;
    int rows = 0;
};

inline QString qs(const std::string& s) { return QString::fromStdString(s); }

// Every store whose top folder opens.
inline std::vector<OpenStore> openStores(xmapi::Session& session)
{
    std::vector<OpenStore> out;
    std::unique_ptr<xmapi::Table> table;
    if (xmapi::failed(session.GetMsgStoresTable(0, table)))
        return out;
    xmapi::RowSet rows;
    if (xmapi::HrQueryAllRows(*table, {PR_DISPLAY_NAME_W, PR_ENTRYID}, rows) != S_OK)
        return out;
    for (const auto& r : rows) {
        OpenStore s;
        s.name = qs(r[0].str);
        if (xmapi::failed(session.OpenMsgStore(0, r[1].bin, MAPI_BEST_ACCESS, s.store)))
            continue;
        xmapi::PropValue top;
        if (xmapi::failed(xmapi::HrGetOneProp(*s.store, PR_IPM_SUBTREE_ENTRYID, top)))
            continue;
        std::uint32_t type = 0;
        std::unique_ptr<xmapi::MapiProp> obj;
        if (xmapi::failed(s.store->OpenEntry(top.bin, 0, type, obj)))
            continue;
        s.top = xmapi::objectCast<xmapi::Folder>(std::move(obj));
        if (s.top)
            out.push_back(std::move(s));
    }
    return out;
}

inline xmapi::RowSet allRows(xmapi::Folder& folder, const std::vector<xmapi::PropTag>& columns, bool hierarchy = false)
{
    std::unique_ptr<xmapi::Table> t;
    xmapi::RowSet rows;
    const xmapi::HResult hr = hierarchy ? folder.GetHierarchyTable(MAPI_UNICODE, t) : folder.GetContentsTable(MAPI_UNICODE, t);
    if (xmapi::failed(hr) || !t)
        return rows;
    if (xmapi::HrQueryAllRows(*t, columns, rows) != S_OK)
        rows.clear();
    return rows;
}

inline std::unique_ptr<xmapi::Folder> openFolder(xmapi::Folder& parent, const xmapi::EntryId& id)
{
    std::uint32_t type = 0;
    std::unique_ptr<xmapi::MapiProp> obj;
    if (xmapi::failed(parent.OpenEntry(id, 0, type, obj)))
        return nullptr;
    return xmapi::objectCast<xmapi::Folder>(std::move(obj));
}

// With exportNames, a folder whose name a previous sibling already has is called
// "Folder<5-digit position>", as pffexport names its directory.
inline void walkFolders(xmapi::Folder& folder, const QString& prefix, std::vector<FolderInfo>& out,
                        bool exportNames = false)
{
    QStringList seen;
    int position = 0;
    for (const auto& r : allRows(folder, {PR_DISPLAY_NAME_W, PR_ENTRYID, PR_CONTAINER_CLASS_W, PR_CONTENT_COUNT}, true)) {
        ++position;
        QString name = qs(r[0].str);
        if (exportNames && seen.contains(name))
            name = QStringLiteral("Folder%1").arg(position, 5, 10, QLatin1Char('0'));
        seen << qs(r[0].str);
        auto child = openFolder(folder, r[1].bin);
        if (!child)
            continue;
        FolderInfo info;
        info.path = prefix.isEmpty() ? name : prefix + QLatin1Char('/') + name;
        info.containerClass = r[2].tag == PR_CONTAINER_CLASS_W ? qs(r[2].str) : QStringLiteral("-");
        info.contentCount = r[3].tag == PR_CONTENT_COUNT ? r[3].l : -1;
        info.rows = static_cast<int>(allRows(*child, {PR_ENTRYID}).size());
        out.push_back(info);
        walkFolders(*child, info.path, out, exportNames);
    }
}

// The named folder directly below `folder` (first one of that name).
inline std::unique_ptr<xmapi::Folder> childNamed(xmapi::Folder& folder, const QString& name)
{
    for (const auto& r : allRows(folder, {PR_DISPLAY_NAME_W, PR_ENTRYID}, true))
        if (qs(r[0].str) == name)
            return openFolder(folder, r[1].bin);
    return nullptr;
}
