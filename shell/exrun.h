#pragma once

// The frame of one import run, free of widgets and threads: logon, the program's body, the summary.
// ExJob runs it in its worker thread; tests can run it directly.

#include "crmsettings.h"

#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <mutex>

struct ExFOLDER;
class ExRun;

// The program-specific part of a run. Called in the worker thread after a successful logon.
using ExRunBody = std::function<void(ExRun& run)>;

// Logs on with the stored settings. Returns the session id (empty when no request was made) and sets
// *baseUrl to the stored CRM address that later exchanges of the run use.
using ExLogonFunction = std::function<QString(const QString& httpLog, QString* baseUrl)>;

// The summary text of a run, shared between the GUI thread (stop note) and the worker (counter lines).
// The note is accepted only while the run is still working; once the worker has closed the summary the
// run can no longer be interrupted, so the note can never land behind the counter lines.
class ExSummary {
public:
    static QString interruptNote();

    // GUI thread: adds the interrupt note unless the run has already finished its work. Returns whether the
    // note was added (the first call only).
    bool addInterruptNote();
    // Worker: ends the interruptible phase and appends the run's own lines after any note.
    void close(const QString& lines);
    [[nodiscard]] QString text() const;

private:
    mutable std::mutex m_mutex;
    QString m_text;
    bool m_noteAdded = false;
    bool m_closed = false;
};

// What a run body sees. Lives in the worker thread; only requestStop() may be called from elsewhere.
class ExRun {
public:
    using StatusSink = std::function<void(int code, const QString& text)>;

    ExRun(QList<ExFOLDER*> allFolders, QList<ExFOLDER*> selectedFolders, int total, bool mode, StatusSink sink);
    Q_DISABLE_COPY_MOVE(ExRun)

    // Any thread: asks the run to stop at its next check; adds the interrupt note to the summary.
    void requestStop();
    [[nodiscard]] bool stopRequested() const { return m_stop.load(std::memory_order_acquire); }

    [[nodiscard]] const QString& sessionId() const { return m_sessionId; }
    [[nodiscard]] const QString& baseUrl() const { return m_baseUrl; }
    // State of the mode check box when the run was started (contacts: true = personal address book).
    [[nodiscard]] bool mode() const { return m_mode; }
    // Sum of the item counts of the folders selected when the run was started.
    [[nodiscard]] int total() const { return m_total; }
    // Every folder the scan found, selected or not, in scan order.
    [[nodiscard]] const QList<ExFOLDER*>& allFolders() const { return m_all; }

    // Folder walk: the next folder that was selected when the run started, or null when none is left.
    // The walk runs over the run's own copy, so the scan's list stays whole for later runs.
    [[nodiscard]] ExFOLDER* nextSelectedFolder();

    // Progress codes: 1 first status line, 2 second status line, 3 progress value, 4 progress maximum.
    void status(int code, const QString& text);
    // After an item: code 2 "%d von %d" with items done and total, code 3 with items done.
    void itemDone(int itemsDone);
    // Pause between folders.
    void folderDone();

    // Lines for the summary, collected by the body and added after the interrupt note when the run ends.
    void appendSummary(const QString& html) { m_lines += html; }

    // Runs the frame: logon, then body (session id of 32 characters) or the logon failure text and
    // onLogonFailed. Returns the final summary.
    QString execute(const ExLogonFunction& logon, const QString& logonHttpLog, const ExRunBody& body,
                    const ExRunBody& onLogonFailed);

    [[nodiscard]] QString summary() const { return m_summary.text(); }

    // The failed logon's line, followed by its cause in red when one is known.
    static QString logonFailedText(CrmLogonFailure failure = CrmLogonFailure::None);

private:
    const QList<ExFOLDER*> m_all;
    const QList<ExFOLDER*> m_selected;
    qsizetype m_next = 0;
    const int m_total;
    const bool m_mode;
    StatusSink m_sink;
    std::atomic<bool> m_stop{false};
    QString m_sessionId;
    QString m_baseUrl;
    QString m_lines;
    ExSummary m_summary;
};

// The logon of an import run: reads CRM_URL, CRM_LGN and CRM_KNW from the stored settings and logs on.
QString exStoredSettingsLogon(const QString& httpLog, QString* baseUrl);
