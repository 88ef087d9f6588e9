// The e-mail import's use of the import journal: which CRM mail folder stands for each Outlook
// folder, and which messages the CRM already holds, so that a repeated or broken import can resume
// into the CRM folders of the earlier run with only the missing messages. Free of widgets; used by
// the thread that runs the import.
#pragma once

#include "exjournal.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

struct ExFOLDER;

// The user's answer to "Bereits importiert" (resumedialog.h).
enum class MailResumeChoice {
    Missing, // "Nur fehlende importieren": into the earlier CRM folders, only what the CRM lacks
    All,     // "Alle erneut importieren": new CRM folders, every message again
    Cancel,  // no import
};

class MailJournal {
public:
    // New: nothing is recorded for the selected folders yet (folders are created, messages sent and
    // recorded). Resume ("Nur fehlende importieren"): recorded CRM folders are used again and messages
    // recorded as imported are not sent. All ("Alle erneut importieren"): new CRM folders and every
    // message again, the earlier records of those folders replaced.
    enum class Mode { New, Resume, All };
    // How a message is handled.
    enum class Plan {
        Send,      // not imported yet
        Skip,      // the CRM has it: not sent
        SendAgain, // an earlier upload got no answer: sent again, and named as possibly duplicate
    };

    // journal may be null or unusable: then every answer is that of an empty journal.
    MailJournal(std::unique_ptr<ExJournal> journal, ExJournalCrm crm);
    ~MailJournal();
    MailJournal(const MailJournal&) = delete;
    MailJournal& operator=(const MailJournal&) = delete;

    // Over the selected folders: messages recorded as imported, the messages the folders hold, and
    // whether anything at all (a folder or a message) is recorded for them.
    struct Tally {
        int imported = 0;
        int total = 0;
        bool recorded = false;
    };
    [[nodiscard]] Tally tally(const QList<const ExFOLDER*>& selected);

    void setMode(Mode mode) { m_mode = mode; }
    [[nodiscard]] Mode mode() const { return m_mode; }

    // Before the run reads any message, in the run's thread while no other thread uses the store:
    // learns the entry ids of the run's folders and, when resuming, what is recorded of the messages
    // of the folders whose CRM folder is used again. plan() then answers from that alone.
    void load(const QList<ExFOLDER*>& folders);

    // Resume: the recorded CRM folder of this Outlook folder; 0 when it has to be created.
    [[nodiscard]] qint64 reuseFolder(const ExFOLDER* folder);
    // A CRM folder was created for the Outlook folder: recorded, and what was recorded for the folder's
    // messages before belongs to the old CRM folder and is forgotten.
    void folderCreated(const ExFOLDER* folder, qint64 crmFolderId);

    // Whether to send a message. Reads neither the store nor the journal, so the thread that reads
    // the messages ahead may ask it while the run goes on (after load()).
    [[nodiscard]] Plan plan(const ExFOLDER* folder, const QByteArray& entryId) const;
    // A message passed over because the CRM has it.
    void skippedOne() { ++m_skipped; }
    // Right before the upload: the message is recorded as possibly arrived, so that a crash during the
    // upload leaves a record that the next resume names.
    void uploading(const ExFOLDER* folder, const QByteArray& entryId);
    // The CRM's answer (or none): result > 0 stored, anything else not stored (the CRM gives no
    // reading of its own to a mail it already has); mayHaveArrived: no answer, but the request left.
    void uploaded(const ExFOLDER* folder, const QByteArray& entryId, int result, bool mayHaveArrived);
    // A message sent again whose earlier upload had no answer: named in the summary.
    void sentAgain(const QString& subject) { m_sentAgain << subject; }

    [[nodiscard]] int skipped() const { return m_skipped; }
    // The journal's lines for the summary: messages passed over, messages that may now be in the CRM
    // twice, and a journal that could not be used.
    [[nodiscard]] QString summaryLines() const;
    [[nodiscard]] static QString skippedLine(int count);

private:
    [[nodiscard]] ExJournalItem itemOf(const ExFOLDER* folder, const QByteArray& entryId);
    [[nodiscard]] const QByteArray& folderId(const ExFOLDER* folder);
    [[nodiscard]] bool usable() const { return m_journal && m_journal->usable(); }

    std::unique_ptr<ExJournal> m_journal;
    ExJournalCrm m_crm;
    Mode m_mode = Mode::New;
    QHash<const ExFOLDER*, QByteArray> m_folderIds;
    // Resume: the folders whose CRM folder is used again, and the recorded messages of their stores.
    QSet<const ExFOLDER*> m_resumed;
    QHash<QByteArray, QHash<QByteArray, ExJournal::Outcome>> m_outcomes;
    int m_skipped = 0;
    QStringList m_sentAgain;
};
