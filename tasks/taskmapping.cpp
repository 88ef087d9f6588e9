#include "taskmapping.h"

#include "bytes.h"
#include "exfolder.h"
#include "propaccess.h"

#include <QDebug>

namespace
{

using xmapi::PropTag;
using xmapi::Row;

// Positions in namedTags (the order in which the names are resolved).
enum Named : std::size_t {
    TaskMode = 0,
    CommonEnd = 1,
    CommonStart = 2,
    ReminderTime = 3,
    ReminderSet = 4,
    Private = 5,
    Contacts = 6,
    ContactLinkEntry = 7,
    TaskStatus = 8,
    PercentComplete = 9,
    TaskState = 10,
    TaskRecurrence = 11,
    TaskDeadOccurrence = 12,
    TaskOwner = 13,
    TaskFRecurring = 14,
    TaskOwnership = 15,
    TaskAcceptanceState = 16,
    TaskFFixOffline = 17,
    TaskDueDate = 18,
    TaskComplete = 19,
    TaskStartDate = 20,
    TaskActualEffort = 21,
    TaskEstimatedEffort = 22,
    TaskAccepted = 23,
    NamedCount = 24,
};

// Positions in the row: six fixed columns, then the named ones in this order.
constexpr std::size_t kNamedColumns[] = {
    TaskMode,           CommonEnd,      CommonStart,         ReminderSet,         Private,
    ReminderTime,       TaskStatus,     PercentComplete,     TaskState,           TaskDueDate,
    TaskComplete,       TaskStartDate,  TaskActualEffort,    TaskEstimatedEffort, TaskRecurrence,
    TaskDeadOccurrence, TaskFRecurring, TaskAcceptanceState, TaskAccepted,        Contacts,
    ContactLinkEntry,
};
constexpr int kFixedColumns = 6;
constexpr int ColSubject = 0;
constexpr int ColBody = 1;
constexpr int ColEntryId = 2;
constexpr int ColPriority = 3;
constexpr int ColSensitivity = 4;

int columnOf(std::size_t named)
{
    for (std::size_t i = 0; i < std::size(kNamedColumns); ++i) {
        if (kNamedColumns[i] == named)
            return kFixedColumns + static_cast<int>(i);
    }
    return -1;
}

PropTag namedTag(const std::vector<PropTag>& tags, std::size_t named)
{
    // A name that could not be resolved reads as id 0 of its type, which no column carries.
    return named < tags.size() ? tags[named] : PROP_TAG(TaskNamedTypes()[named], 0);
}

// The value of a named column when the row carries it with exactly the expected tag.
const xmapi::PropValue* namedValue(const std::vector<PropTag>& tags, const Row& row, std::size_t named)
{
    const PropTag tag = namedTag(tags, named);
    if (PROP_ID(tag) == 0)
        return nullptr;
    const int col = columnOf(named);
    return HasColumn(row, col, tag) ? &row[static_cast<std::size_t>(col)] : nullptr;
}

const xmapi::PropValue* fixedValue(const Row& row, int col, PropTag tag)
{
    return HasColumn(row, col, tag) ? &row[static_cast<std::size_t>(col)] : nullptr;
}

// CRM time of a task date; Outlook's "no date" (year 4501) and anything else outside 32-bit
// seconds comes back as -1, which the request leaves out.
qint32 taskTime(const xmapi::PropValue& v, qint32 hourOffset)
{
    return static_cast<qint32>(ToUnixTime(v.ft, hourOffset));
}

QString stringOf(const std::string& s)
{
    const auto nul = s.find('\0');
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(nul == std::string::npos ? s.size() : nul));
}

void readCategories(TaskEntry& entry)
{
    __LPSPropValue keywords;
    std::vector<PropTag> ids;
    const xmapi::HResult hr =
        entry.message->GetIDsFromNames({xmapi::NamedProp::byName(xmapi::PS_PUBLIC_STRINGS(), "Keywords")}, 0, ids);
    // A store that never saw a category does not know the name: it comes back unresolved (id 0).
    if (xmapi::failed(hr) || ids.empty() || PROP_ID(ids.front()) == 0 || PROP_TYPE(ids.front()) == PT_ERROR) {
        qWarning("Can't get categories property id");
        return;
    }
    const PropTag tag = CHANGE_PROP_TYPE(ids.front(), PT_MV_STRING8);
    if (xmapi::failed(HrGetOneProp(*entry.message, tag, keywords)) || !keywords)
        return;
    // Some writers store "Keywords" with another type; only a list of strings is a category list.
    if (keywords->type() != PT_MV_STRING8 && keywords->type() != PT_MV_UNICODE)
        return;
    QString joined;
    for (const std::string& k : keywords->mvStr)
        joined += stringOf(k) + QStringLiteral("; ");
    entry.item.category += joined.trimmed();
    qDebug() << "TASK CATEGORY: " << entry.item.category;
}

} // namespace

TaskEntry::TaskEntry()
{
    item.start = 0;
    item.stop = 0;
    item.privat = 0;
    item.priority = 0;
    item.done = 0;
    item.status = 0;
    item.confirmed = 0;
    item.serie = 0;
    item.intrval = 0;
    item.serieend = 0;
    item.rem = 0;
    item.remember = 0;
    item.achieved = 0.0;
    item.planned = 0.0;
}

const std::vector<xmapi::NamedProp>& TaskNamedProps()
{
    static const std::vector<xmapi::NamedProp> names = [] {
        const xmapi::Guid common = xmapi::PSETID_Common();
        const xmapi::Guid task = xmapi::PSETID_Task();
        return std::vector<xmapi::NamedProp>{
            xmapi::NamedProp::byId(common, 0x8518), // PidLidTaskMode
            xmapi::NamedProp::byId(common, 0x8517), // PidLidCommonEnd
            xmapi::NamedProp::byId(common, 0x8516), // PidLidCommonStart
            xmapi::NamedProp::byId(common, 0x8502), // PidLidReminderTime
            xmapi::NamedProp::byId(common, 0x8503), // PidLidReminderSet
            xmapi::NamedProp::byId(common, 0x8506), // PidLidPrivate
            xmapi::NamedProp::byId(common, 0x853A), // PidLidContacts
            xmapi::NamedProp::byId(common, 0x8585), // PidLidContactLinkEntry
            xmapi::NamedProp::byId(task, 0x8101),   // PidLidTaskStatus
            xmapi::NamedProp::byId(task, 0x8102),   // PidLidPercentComplete
            xmapi::NamedProp::byId(task, 0x8113),   // PidLidTaskState
            xmapi::NamedProp::byId(task, 0x8116),   // PidLidTaskRecurrence
            xmapi::NamedProp::byId(task, 0x8109),   // PidLidTaskDeadOccurrence
            xmapi::NamedProp::byId(task, 0x811F),   // PidLidTaskOwner
            xmapi::NamedProp::byId(task, 0x8126),   // PidLidTaskFRecurring
            xmapi::NamedProp::byId(task, 0x8129),   // PidLidTaskOwnership
            xmapi::NamedProp::byId(task, 0x812A),   // PidLidTaskAcceptanceState
            xmapi::NamedProp::byId(task, 0x812C),   // PidLidTaskFFixOffline
            xmapi::NamedProp::byId(task, 0x8105),   // PidLidTaskDueDate
            xmapi::NamedProp::byId(task, 0x811C),   // PidLidTaskComplete
            xmapi::NamedProp::byId(task, 0x8104),   // PidLidTaskStartDate
            xmapi::NamedProp::byId(task, 0x8110),   // PidLidTaskActualEffort (minutes)
            xmapi::NamedProp::byId(task, 0x8111),   // PidLidTaskEstimatedEffort (minutes)
            xmapi::NamedProp::byId(task, 0x8108),   // PidLidTaskAccepted
        };
    }();
    return names;
}

const std::vector<xmapi::PropType>& TaskNamedTypes()
{
    // Owner, ownership and "fix offline" are resolved with the others but never read.
    static const std::vector<xmapi::PropType> types = {
        PT_LONG, PT_SYSTIME, PT_SYSTIME, PT_SYSTIME, PT_BOOLEAN, PT_BOOLEAN, PT_MV_UNICODE, PT_BINARY,
        PT_LONG, PT_DOUBLE,  PT_LONG,    PT_BINARY,  PT_BOOLEAN, PT_UNICODE, PT_BOOLEAN,    PT_LONG,
        PT_LONG, PT_BOOLEAN, PT_SYSTIME, PT_BOOLEAN, PT_SYSTIME, PT_LONG,    PT_LONG,       PT_BOOLEAN,
    };
    return types;
}

std::vector<xmapi::PropTag> TaskColumns(const std::vector<xmapi::PropTag>& namedTags)
{
    std::vector<PropTag> columns = {PR_SUBJECT_W, PR_BODY_W, PR_ENTRYID, PR_PRIORITY, PR_SENSITIVITY, PR_MESSAGE_FLAGS};
    for (std::size_t named : kNamedColumns)
        columns.push_back(namedTag(namedTags, named));
    return columns;
}

bool CollectTasks(TaskFolderBatch& batch)
{
    if (!batch.source || !batch.source->folder)
        return false;
    xmapi::Folder& folder = *batch.source->folder;

    if (batch.namedTags.empty()) {
        std::vector<PropTag> tags;
        const xmapi::HResult hr =
            ResolveNamedTags(folder, TaskNamedProps(), TaskNamedTypes(), MAPI_CREATE, tags, false);
        if (xmapi::failed(hr)) {
            qCritical("CAN'T get NAMED Properties for tasks. aborting");
            return false;
        }
        // A warning with some names unresolved is accepted: their columns never match.
        batch.namedTags = tags;
    }

    std::unique_ptr<xmapi::Table> table;
    if (xmapi::failed(folder.GetContentsTable(0, table)) || !table) {
        qCritical("CAN'T get task contents table. aborting");
        return false;
    }
    const xmapi::HResult hr = table->SetColumns(TaskColumns(batch.namedTags), 0);
    if (xmapi::failed(hr)) {
        qCritical().noquote() << QStringLiteral("SetColumns Failed: ") + xmapi::bytes::hexOf(hr);
        return false;
    }

    for (;;) {
        xmapi::RowSet rows;
        if (table->QueryRows(1, 0, rows) != S_OK || rows.empty())
            break;
        for (const Row& row : rows) {
            auto entry = std::make_unique<TaskEntry>();
            entry->url = batch.url;
            entry->sessionId = batch.sessionId;
            entry->hourOffset = batch.hourOffset;
            ReadTaskRow(batch.namedTags, *entry, row, folder);
            if (entry->message)
                batch.entries.push_back(std::move(entry));
        }
    }
    return true;
}

void ReadTaskRow(const std::vector<xmapi::PropTag>& namedTags, TaskEntry& entry, const xmapi::Row& row,
                 xmapi::Folder& folder)
{
    crmTaskItem& item = entry.item;
    auto named = [&](std::size_t n) { return namedValue(namedTags, row, n); };

    if (const auto* v = fixedValue(row, ColSubject, PR_SUBJECT_W))
        item.subject = TextOf(*v);
    // The body keeps its white space; the request leaves out a body of white space only.
    if (const auto* v = fixedValue(row, ColBody, PR_BODY_W))
        item.body += stringOf(v->str);

    const auto* entryId = fixedValue(row, ColEntryId, PR_ENTRYID);
    if (!entryId)
        return;
    {
        std::uint32_t objType = 0;
        std::unique_ptr<xmapi::MapiProp> object;
        const xmapi::HResult hr = folder.OpenEntry(entryId->bin, MAPI_MODIFY | MAPI_BEST_ACCESS, objType, object);
        if (xmapi::succeeded(hr))
            entry.message = xmapi::objectCast<xmapi::Message>(std::move(object));
        if (!entry.message) {
            qCritical("Can't open task object");
            return;
        }
    }

    // Outlook stores -1 low, 0 normal, 1 high; the CRM uses the same values.
    if (const auto* v = fixedValue(row, ColPriority, PR_PRIORITY))
        item.priority = v->l;
    if (const auto* v = fixedValue(row, ColSensitivity, PR_SENSITIVITY); v && v->l != 0)
        item.privat = 1;
    // Task modes 0 (not assigned) and 3 (assigned to someone) need no confirmation.
    if (const auto* v = named(TaskMode); v && v->l != 0 && v->l != 3)
        item.confirmed = 1;
    if (const auto* v = named(CommonEnd))
        item.stop = taskTime(*v, entry.hourOffset);
    if (const auto* v = named(CommonStart))
        item.start = taskTime(*v, entry.hourOffset);
    if (const auto* v = named(ReminderSet))
        item.rem = v->l == 1 ? 1 : 0;
    if (const auto* v = named(Private))
        item.privat = v->l != 0 ? 1 : 0;
    // Outlook counts the status from 0 (not started), the CRM from 1.
    if (const auto* v = named(TaskStatus))
        item.status = v->l + 1;
    if (const auto* v = named(PercentComplete))
        item.done = static_cast<qint32>(v->dbl * 100.0);
    // The task's own dates are read after the common ones and win.
    if (const auto* v = named(TaskDueDate))
        item.stop = taskTime(*v, entry.hourOffset);
    if (const auto* v = named(TaskComplete); v && v->l == 1)
        item.done = 100;
    if (const auto* v = named(TaskStartDate))
        item.start = taskTime(*v, entry.hourOffset);
    if (const auto* v = named(TaskActualEffort))
        item.achieved = v->l / 60.0;
    if (const auto* v = named(TaskEstimatedEffort))
        item.planned = v->l / 60.0;
    if (const auto* v = named(TaskAcceptanceState); v && v->l == 2)
        item.confirmed = 1;
    if (const auto* v = named(TaskAccepted))
        item.confirmed = v->l != 0 ? 1 : 0;
    // Seconds from the reminder to the due moment; the CRM ignores it unless it is positive. A
    // reminder time without a date ("no date" in Outlook) gives no offset at all.
    if (const auto* v = named(ReminderTime)) {
        const qint32 reminder = taskTime(*v, entry.hourOffset);
        if (reminder != -1)
            item.remember = static_cast<qint32>(static_cast<quint32>(item.stop) - static_cast<quint32>(reminder));
    }
    // Contact names as Outlook shows them: "First Last". Anything else cannot be split safely.
    if (const auto* v = named(Contacts)) {
        for (const std::string& s : v->mvStr) {
            const QStringList parts = stringOf(s).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            if (parts.size() == 2)
                item.contacts.append(crmTaskItemContact{parts.at(0), parts.at(1)});
        }
        for (const crmTaskItemContact& c : std::as_const(item.contacts)) {
            qDebug() << "TASK " << item.subject << " Contacts: " << c.firstname << " " << c.lastname;
        }
    }
    readCategories(entry);
}
