// The body of a task import run: reads the selected task folders and sends every task with
// crmaddTask, naming each task that the CRM already had or did not store in the summary.
#pragma once

#include "exrun.h"

#include <QString>

struct TaskRunCounts {
    int imported = 0; // stored by the CRM
    int existing = 0; // the CRM already had them (answer -1)
    int failed = 0;   // not stored (answer 0, or no usable answer)
    int skipped = 0;     // items of another kind in the folder: not sent
    int notTried = 0;    // after the connection to the CRM was lost
    int mayBeStored = 0; // failed without an answer after the request had left: the CRM may hold them
};

enum class TaskOutcome { Imported, Exists, Failed };
// The CRM answers a new id, -1 for a task it already holds, 0 when it stored nothing; -2 stands for
// no usable answer at all.
[[nodiscard]] TaskOutcome readTaskResult(int result);

// The lines that name one task (blue: already there, red: not stored); empty for an imported task.
[[nodiscard]] QString taskLine(TaskOutcome outcome, const QString& subject);
// The counter lines at the end of a run; the green line is always there.
[[nodiscard]] QString taskSummary(const TaskRunCounts& counts);

// The body registered in the task importer's table. counts, when given, receives the counters.
void tasksRunBody(ExRun& run, TaskRunCounts* counts = nullptr);
// After a failed logon: the green line with 0.
void tasksLogonFailed(ExRun& run);
