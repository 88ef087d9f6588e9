#pragma once

// The frame of one import run, free of widgets and threads: logon, the program's body, the summary.
// ExJob runs it in its worker thread; tests can run it directly.

#include "crmlogon.h"
#include "crmoperations.h"
#include "exjournal.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

struct ExFOLDER;
struct ExImporterTable;
class ExRun;
namespace xmapi {
class Table;
struct PropValue;
}

// The program-specific part of a run. Called in the worker thread after a successful logon.
using ExRunBody = std::function<void(ExRun& run)>;

// Logs on, on the program's transport, writing the exchange into httpLog. The outcome's base URL is the
// address that later exchanges of the run use.
using ExLogonFunction = std::function<CrmLogonOutcome(CrmTransport& transport, const QString& httpLog)>;

// The summary text of a run, shared between the GUI thread (stop note) and the worker (counter lines).
// The note is accepted only while the run is still working; once the worker has closed the summary the
// run can no longer be interrupted, so the note can never land behind the counter lines.
class ExSummary {
public:
    // The note with its line break, so that the next line of the summary starts on a line of its own.
    static QString interruptNote();

    // GUI thread: adds the interrupt note unless the run has already finished its work. Returns whether the
    // note was added (the first call only).
    bool addInterruptNote();
    // Worker: ends the interruptible phase and appends the run's own lines after any note.
    void close(const QString& lines);
    // The note and the lines, inside the frame when one is set.
    [[nodiscard]] QString text() const;

    // Set before the run starts: a program whose summaries carry no interrupt note, and the frame
    // its completion dialog expects around the whole text.
    void setInterruptNote(bool enabled)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_noteEnabled = enabled;
    }
    void setFrame(std::function<QString(const QString&)> frame)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_frame = std::move(frame);
    }

private:
    mutable std::mutex m_mutex;
    QString m_text;
    bool m_noteAdded = false;
    bool m_closed = false;
    bool m_noteEnabled = true;
    std::function<QString(const QString&)> m_frame;
};

// What a run body sees. Lives in the worker thread; only requestStop() may be called from elsewhere.
class ExRun {
public:
    using StatusSink = std::function<void(int code, const QString& text)>;

    ExRun(QList<ExFOLDER*> allFolders, QList<ExFOLDER*> selectedFolders, int total, bool mode, StatusSink sink);
    Q_DISABLE_COPY_MOVE(ExRun)

    // Any thread: asks the run to stop at its next check; adds the interrupt note to the summary.
    void requestStop();
    // Any thread: true after a stop request and after the run gave up on a lost connection.
    [[nodiscard]] bool stopRequested() const { return m_stop.load(std::memory_order_acquire); }

    // How the transport of one item exchange went, in the order the items were read. After
    // lostConnectionLimit transport failures in a row the run gives up: stopRequested() turns true
    // without an interrupt note and connectionLost() tells why. An aborted exchange is no transport
    // failure of its own (the stop that aborted it is already known).
    enum class Transport { Ok, Failed, Aborted };
    void exchangeDone(Transport transport);
    static constexpr int lostConnectionLimit = 5;
    [[nodiscard]] bool connectionLost() const { return m_connectionLost; }

    // The bodies' reading of one item exchange: feeds exchangeDone() and tells whether the item was
    // tried at all. False when the exchange was aborted before any byte of the request left: the item
    // then counts as not tried. A tried item that got no answer counts as failed by its value (-2), but
    // the CRM may have stored it: such items are counted in mayBeStored().
    [[nodiscard]] bool itemTried(const CrmItemTransport& transport);
    [[nodiscard]] int mayBeStored() const { return m_mayBeStored; }

    // Requests a body may keep in flight at once (the CRM_INFLIGHT setting, read when the run starts;
    // 1, one after another, unless set).
    [[nodiscard]] int inflight() const { return m_inflight; }
    // Called while the run waits for answers (ExJob sends pending progress from here).
    void setIdle(std::function<void()> idle) { m_idle = std::move(idle); }
    void idle()
    {
        if (m_idle)
            m_idle();
    }

    [[nodiscard]] const QString& sessionId() const { return m_session.sessionId; }
    [[nodiscard]] const QString& baseUrl() const { return m_session.baseUrl; }
    // What the body's exchanges go with: address, session id and the program's transport.
    [[nodiscard]] const CrmSession& session() const { return m_session; }
    // How the run's logon went (complete once execute() has logged on).
    [[nodiscard]] const CrmLogonOutcome& logonOutcome() const { return m_logon; }
    // State of the mode check box when the run was started (contacts: true = personal address book).
    [[nodiscard]] bool mode() const { return m_mode; }
    // Sum of the item counts of the folders selected when the run was started.
    [[nodiscard]] int total() const { return m_total; }
    // Every folder the scan found, selected or not, in scan order.
    [[nodiscard]] const QList<ExFOLDER*>& allFolders() const { return m_all; }
    // The folders selected when the run was started, in scan order.
    [[nodiscard]] const QList<ExFOLDER*>& selectedFolders() const { return m_selected; }

    // Folder walk: the next folder that was selected when the run started, or null when none is left.
    // The walk runs over the run's own copy, so the scan's list stays whole for later runs.
    [[nodiscard]] ExFOLDER* nextSelectedFolder();

    // Progress codes: 1 first status line, 2 second status line, 3 progress value, 4 progress maximum,
    // 5 busy: work without a count (the logon, creating folders) named on the second line over a busy
    // bar; an empty text ends it and the bar counts again.
    void status(int code, const QString& text);
    void busy(const QString& text) { status(5, text); }
    static QString logonBusyText() { return QStringLiteral("Anmeldung am CRM ..."); }
    // After an item: code 2 "%d von %d" with items done and total, code 3 with items done.
    void itemDone(int itemsDone);
    // Pause between folders.
    void folderDone();

    // Items of the selected folders after the current one, for the count of items not tried after the
    // connection was lost: the rows each folder's contents table lists (its item count when the table
    // cannot be had). The walk does not move.
    [[nodiscard]] int itemsInRemainingFolders() const;

    // Lines for the summary, collected by the body and added after the interrupt note when the run ends.
    void appendSummary(const QString& html) { m_lines += html; }

    // Whether a stop adds the interrupt note, and the frame of the summary (ExSummary). Set before
    // the run can be stopped.
    void setSummaryStyle(bool interruptNote, std::function<QString(const QString&)> frame)
    {
        m_summary.setInterruptNote(interruptNote);
        m_summary.setFrame(std::move(frame));
    }
    // The import journal. Set before execute(): the journal file; empty (the default) runs without one.
    // execute() opens it in the worker thread after the logon, for the stored CRM address and login.
    void setJournalPath(const QString& path) { m_journalPath = path; }
    // True (and counted for the summary) when the item is recorded for this CRM as imported or present
    // with the same modification time: it is not sent again (the CRM would answer that it has it).
    [[nodiscard]] bool unchangedSinceImport(const QString& kind, const ExJournalItem& item);
    // Records how an item ended; the bodies call it before the item counts as done. A journal that
    // fails here is dropped for the rest of the run (everything after is sent).
    void recordOutcome(const QString& kind, const ExJournalItem& item, ExJournal::Outcome outcome, qint64 crmId = 0);
    [[nodiscard]] int unchangedCount() const { return m_unchanged; }
    // The journal's outcome of an answered item: imported, present, or failed (which may still have
    // reached the CRM when the request left without an answer).
    [[nodiscard]] static ExJournal::Outcome journalOutcome(bool imported, bool present, const CrmItemTransport& transport);
    // The item's place in the journal: its store (through the folder), its folder, entry id and last
    // modification (null or error values: unknown).
    [[nodiscard]] static ExJournalItem journalItem(const ExFOLDER* folder, const QByteArray& folderEntryId,
                                                   const xmapi::PropValue* entryId, const xmapi::PropValue* modified);
    // The entry id of a folder (empty when it cannot be had).
    [[nodiscard]] static QByteArray folderEntryId(const ExFOLDER* folder);
    // The summary line of the items passed over unchanged.
    [[nodiscard]] static QString unchangedLine(int count);

    // Runs the frame on transport: logon, then body (logged on) or the logon failure text with its cause
    // and onLogonFailed. Returns the final summary.
    QString execute(CrmTransport& transport, const ExLogonFunction& logon, const QString& logonHttpLog,
                    const ExRunBody& body, const ExRunBody& onLogonFailed);
    // The same with everything a program's table says about its runs: logon (the stored settings
    // unless the table has its own), body, logon failure, journal, interrupt note and summary frame.
    QString execute(CrmTransport& transport, const ExImporterTable& table);

    [[nodiscard]] QString summary() const { return m_summary.text(); }

    // The failed logon's line, followed by its cause in red when one is known.
    static QString logonFailedText(CrmLogonFailure failure = CrmLogonFailure::None);

    // Summary lines shared by the item importers; `what` is the plural of the program's items
    // ("Kontakte", "Aufgaben", "Termine").
    static QString connectionLostText();
    static QString skippedLine(int count, const QString& what);
    static QString notTriedLine(int count, const QString& what);
    static QString mayBeStoredLine(int count, const QString& what);
    // The three lines above, each only when its count is above 0, in the order the summaries show them.
    static QString accountingLines(int mayBeStored, int skipped, int notTried, const QString& what);
    // After a lost connection: the rows of a contents table that the run did not read (0 when the table
    // cannot count them).
    static int unreadRows(xmapi::Table& table, int rowsRead);

private:
    const QList<ExFOLDER*> m_all;
    const QList<ExFOLDER*> m_selected;
    qsizetype m_next = 0;
    const int m_total;
    const bool m_mode;
    StatusSink m_sink;
    std::atomic<bool> m_stop{false};
    int m_failuresInRow = 0;
    bool m_connectionLost = false;
    int m_mayBeStored = 0;
    int m_inflight = 1;
    std::function<void()> m_idle;
    CrmLogonOutcome m_logon;
    CrmSession m_session;
    QString m_lines;
    ExSummary m_summary;
    QString m_journalPath;
    std::unique_ptr<ExJournal> m_journal;
    ExJournalCrm m_journalCrm;
    int m_unchanged = 0;
};

// Whether an item's message class is the importer's own kind: the class itself ("IPM.Contact") or one
// derived from it ("IPM.Contact.Lieferant"), without regard to case as Outlook compares them. An item
// without a class is of no kind.
[[nodiscard]] bool exIsOwnKind(const QString& messageClass, const QString& kind);

// Passes the progress codes of a run on, at most once per interval for the status lines and the
// progress value (codes 1 to 3): a fast run would otherwise spend its time repainting the dialog. A
// code that arrives within the interval is kept and goes out with the next one after it, or with
// poll() or flush(); every other code goes out at once, after what is pending. Interval 0 passes
// every code on as it comes. Used by one thread.
class ExStatusThrottle {
public:
    ExStatusThrottle(ExRun::StatusSink out, int intervalMs);
    Q_DISABLE_COPY_MOVE(ExStatusThrottle)

    void post(int code, const QString& text);
    // Sends what is pending when the interval has passed.
    void poll();
    // Sends what is pending now (the end of a run: the last figures are exact).
    void flush();

    static constexpr int defaultIntervalMs = 200;

private:
    ExRun::StatusSink m_out;
    const int m_intervalMs;
    QElapsedTimer m_sinceLast;
    QString m_pending[3];
    bool m_hasPending[3] = {false, false, false};
};

// The CRM_INFLIGHT setting, bounded to 1..16; 1 when missing or not a number.
[[nodiscard]] int exInflightSetting();

// The logon of an import run: reads CRM_URL, CRM_LGN and CRM_KNW from the stored settings and logs on.
CrmLogonOutcome exStoredSettingsLogon(CrmTransport& transport, const QString& httpLog);
