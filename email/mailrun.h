// The e-mail import run on the importers' shared run frame (ExRun, ExJob): logs on with the stored
// settings, maps the selected folders to CRM mail folders, converts every message of those folders
// to its MIME source and uploads it with crmImportMailSource, and builds the summary. The body runs
// in the job's worker thread; up to CRM_INFLIGHT uploads travel at once while the next messages are
// read and converted. Free of widgets: the window and the progress dialog are ExMailImport's.
#pragma once

#include "crmexchange.h"
#include "eximportertable.h"
#include "mailjournal.h"
#include "mailreader.h"
#include "xmapi.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

class CrmTransport;
class ExRun;
class MailFolderCrm;
struct CrmSession;
struct CrmLogonOutcome;
struct ExFOLDER;

// What became of one message row, reported in reading order (the order of the failure list).
struct MailOutcome {
    enum class Result {
        Imported, // the CRM answered with an id
        Failed,   // counted as failed; reason says why
        NotSent,  // the run ended before any byte of it left: not counted
        Passed,   // the row is no message (or has no entry id): not counted
        Skipped   // an earlier run imported it (import journal): not sent, not counted
    };
    Result result = Result::Failed;
    const ExFOLDER* folder = nullptr;
    qint64 target = 0;   // the CRM folder id it was sent to
    int row = 0;         // 1-based row of the folder's contents table
    QByteArray entryId;  // the message's entry id (empty when the row has none)
    QString subject;
    int crmValue = -1;   // the CRM's answer (Imported, and Failed with an answer)
    bool mayBeStored = false; // failed without an answer after the request had left
    QString reason;      // the failure's reason as the summary shows it
};

class ExMailRun {
public:
    // Turns one opened message into its MIME source (output cleared first); >= 0 converted. Called in
    // the thread that reads the store.
    using Converter = MailConverter;
    // One upload exchange on the run's transport (the shape of crmExchange()). Called by the thread that
    // carries the upload; with CRM_INFLIGHT above 1 by several threads at once.
    using Exchange = std::function<CrmExchangeResult(CrmTransport& transport, const QString& baseUrl,
                                                     const QString& service, const QString& soapAction,
                                                     const QByteArray& httpLogPath, const QByteArray& request)>;
    // The folder exchanges of a run; a hook may wrap them (e.g. to reuse a CRM folder instead of
    // creating one). Called in the run's thread.
    using FolderCrmFactory =
        std::function<std::unique_ptr<MailFolderCrm>(const CrmSession& session, const QByteArray& httpLogPath)>;

    ExMailRun();
    ~ExMailRun();
    ExMailRun(const ExMailRun&) = delete;
    ExMailRun& operator=(const ExMailRun&) = delete;

    // Set before a run starts. The defaults are the MIME converter, the real transport and the
    // folder operations of the CRM client.
    void setConverter(Converter converter) { m_convert = std::move(converter); }
    void setExchange(Exchange exchange) { m_exchange = std::move(exchange); }
    void setFolderCrm(FolderCrmFactory factory) { m_folderCrm = std::move(factory); }
    // Called for every message row in reading order, in the run's thread.
    void setOutcomeHook(std::function<void(const MailOutcome&)> hook) { m_outcomeHook = std::move(hook); }
    // Where the transport log goes (default: current folder + "/kelvor_exhttp.log").
    void setHttpLogPath(const QByteArray& path) { m_httpLogPath = path; }
    // The import journal (exjournal.h); empty (the default) runs without one.
    void setJournalPath(const QString& path) { m_journalPath = path; }

    // GUI thread, before a run: reads the stored settings at the first run of the program start that
    // finds an address. False when no run can start (no address, or a login name shorter than 2
    // characters); the run then ends without a word, as it always did.
    [[nodiscard]] bool prepare();
    // GUI thread, after prepare() and before the run: when the import journal knows the selected
    // folders for this CRM, ask(imported, total) ("Bereits importiert") decides whether the run
    // resumes into the earlier CRM folders or imports all again. False: the user chose no import.
    [[nodiscard]] bool askResume(const QList<ExFOLDER*>& selected,
                                 const std::function<MailResumeChoice(int imported, int total)>& ask);

    // What the run frame needs: the logon with the settings prepare() read, the body, the texts and
    // the summary's frame. The table refers to this object, which must outlive every run made with it.
    [[nodiscard]] ExImporterTable table();

    // The folders of the run in the order the scan found them (store root, then its folders depth
    // first): the run frame's folder list.
    [[nodiscard]] static QList<ExFOLDER*> treeOrder(const QList<ExFOLDER*>& stores);

    // Of the last run (each run starts from 0). Read them between runs.
    [[nodiscard]] qint32 importedCount() const { return m_importedCount; }
    [[nodiscard]] qint32 failedCount() const { return m_failedCount; }
    [[nodiscard]] const QString& errorReport() const { return m_errorReport; }
    // The most bytes of MIME sources and request bodies the last run held at once.
    [[nodiscard]] qint64 peakHeldBytes() const { return m_peakHeldBytes; }

    // The description of one message in the failure report.
    [[nodiscard]] static QString mailInfo(const QString& subject, const QString& sender, const QString& to,
                                          const QString& dateText, qint32 size);

    // Messages of this size (PR_MESSAGE_SIZE) or more are not sent.
    static constexpr qint32 sizeLimit = MailFolderRows::sizeLimit;

private:
    class Body;

    CrmLogonOutcome logon(CrmTransport& transport);
    void body(ExRun& run);
    void logonFailed(ExRun& run);

    Converter m_convert;
    Exchange m_exchange;
    FolderCrmFactory m_folderCrm;
    std::function<void(const MailOutcome&)> m_outcomeHook;
    QByteArray m_httpLogPath;
    QString m_journalPath;
    MailJournal::Mode m_journalMode = MailJournal::Mode::New; // of the next run

    bool m_settingsRead = false;
    QString m_crmUrl;
    QString m_crmLoginName;
    QString m_crmPassword;
    qint32 m_importedCount = 0;
    qint32 m_failedCount = 0;
    QString m_errorReport;
    qint64 m_peakHeldBytes = 0;
};
