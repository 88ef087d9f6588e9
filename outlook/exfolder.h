// ExFOLDER: one Outlook folder found by the folder scan.
#pragma once

#include "xmapi.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <vector>

class QTreeWidgetItem; // set and read by the window that shows the folder; never touched here

struct ExFOLDER {
    ExFOLDER() = default;
    ExFOLDER(const ExFOLDER&) = delete;
    ExFOLDER& operator=(const ExFOLDER&) = delete;
    // Destroys the subfolders (recursively), then releases the folder handle.
    ~ExFOLDER();

    QString name;          // folder name; for a store root the store's display name
    qint32 itemCount = 0;  // PR_CONTENT_COUNT, 0 when missing
    bool isStoreRoot = false;
    // Store roots: the Outlook data file the store was read from (PR_PST_PATH); empty for a
    // store that is no file.
    QString storeFile;
    // Store roots: the store's record key (PR_RECORD_KEY), the same in every program start; empty
    // when the store has none.
    QByteArray storeKey;
    // The open folder. Stays open as long as the record lives: the import run opens contents
    // tables through it, as many times as it needs (one run after another).
    std::unique_ptr<xmapi::Folder> folder;
    ExFOLDER* parent = nullptr; // null for a store root
    std::vector<std::unique_ptr<ExFOLDER>> subFolders; // openable direct children, hierarchy order
    QTreeWidgetItem* treeItem = nullptr;

    // The root record of the store this folder belongs to (itself for a root).
    const ExFOLDER* storeRoot() const;
    // How a folder list names the store of this folder: the file name of the store's data file,
    // else the store's display name.
    QString storeLabel() const;
};
