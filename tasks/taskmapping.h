// Reading the tasks of one Outlook task folder into crmTaskItem records. Runs in the import
// worker thread, once per selected folder; nothing is written back to Outlook.
#pragma once

#include "crmitems.h"
#include "xmapi.h"

#include <QString>
#include <QtGlobal>

#include <memory>
#include <vector>

struct ExFOLDER;

// One task read from a folder.
struct TaskEntry {
    // Every numeric field of the record starts at 0 (not at the record's "not set" values), so a
    // task without a priority, status or effort still sends 0 for them.
    TaskEntry();
    TaskEntry(const TaskEntry&) = delete;
    TaskEntry& operator=(const TaskEntry&) = delete;

    QString url;
    QString sessionId;
    qint32 hourOffset = 0;
    // The opened task; an entry is kept only when this could be opened.
    std::unique_ptr<xmapi::Message> message;
    crmTaskItem item;
};

// The tasks of one folder, with the named-property tags resolved for it.
struct TaskFolderBatch {
    QString url;
    QString sessionId;
    std::vector<std::unique_ptr<TaskEntry>> entries; // contents-table order
    ExFOLDER* source = nullptr;                      // not owned; its folder handle is read
    // The 24 resolved named tags (with their expected types); empty until resolved.
    std::vector<xmapi::PropTag> namedTags;
    qint32 hourOffset = 0; // hours added to every converted date
};

// The 24 named properties of a task, in the order of namedTags, and the type each is read as.
[[nodiscard]] const std::vector<xmapi::NamedProp>& TaskNamedProps();
[[nodiscard]] const std::vector<xmapi::PropType>& TaskNamedTypes();
// The 27 contents-table columns, built from the resolved named tags (missing ones never match).
[[nodiscard]] std::vector<xmapi::PropTag> TaskColumns(const std::vector<xmapi::PropTag>& namedTags);

// Resolves the named properties (creating unknown names), reads the folder's contents table and
// appends one entry per task whose message could be opened. False when the folder could not be
// read at all (critical log line), true otherwise, also for an empty folder.
[[nodiscard]] bool CollectTasks(TaskFolderBatch& batch);

// Fills one entry from one row of the 27 columns. Opens the task through `folder` (needed for the
// categories); when that fails, entry.message stays null and the rest of the row is not read.
void ReadTaskRow(const std::vector<xmapi::PropTag>& namedTags, TaskEntry& entry, const xmapi::Row& row,
                 xmapi::Folder& folder);
