// The e-mail import run: reads the stored settings (first run only), logs on, maps the selected
// folders to CRM mail folders, converts every message of those folders to its MIME source and
// uploads it with crmImportMailSource, and builds the summary. Runs in the GUI thread; the user
// interface stays alive because the run lets the event loop work at fixed points and while every
// transfer moves its bytes. Free of widgets: the dialogs are behind ExMailRunView.
#pragma once

#include "crmexchange.h"
#include "mailjournal.h"
#include "xmapi.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class CrmTransport;
struct ExFOLDER;

// What the run needs from the user interface (the progress dialog, the summary dialog, the tree's
// selection and the event loop).
class ExMailRunView {
public:
    ExMailRunView() = default;
    ExMailRunView(const ExMailRunView&) = delete;
    ExMailRunView& operator=(const ExMailRunView&) = delete;
    virtual ~ExMailRunView() = default;

    // The progress dialog appears (import button disabled) / goes away.
    virtual void showProgress() = 0;
    virtual void closeProgress() = 0;
    virtual void setStatus(const QString& text) = 0;  // first status line
    virtual void setStatus2(const QString& text) = 0; // second status line
    virtual void setProgressRange(int maximum) = 0;   // progress bar from 0 to maximum
    virtual void setProgressValue(int value) = 0;
    // The completion dialog with the summary of all runs so far.
    virtual void showSummary(const QString& html) = 0;
    // Lets the event loop handle what is pending (repaints, "Abbrechen"), once.
    virtual void processEvents() = 0;
    [[nodiscard]] virtual bool isSelected(const ExFOLDER* folder) const = 0;
    // Asked before a run whose selected folders the import journal knows for this CRM: imported of
    // total messages are recorded as imported. The default takes the dialog's default answer.
    [[nodiscard]] virtual MailResumeChoice askResume(int imported, int total)
    {
        (void)imported;
        (void)total;
        return MailResumeChoice::Missing;
    }
};

class ExMailRun {
public:
    // Turns one opened message into its MIME source (output cleared first); >= 0 converted.
    using Converter = std::function<xmapi::HResult(xmapi::Message& message, QByteArray& mime)>;
    // One CRM exchange (the shape of crmExchange() on the run's transport).
    using Exchange = std::function<CrmExchangeResult(const QString& baseUrl, const QString& service,
                                                     const QString& soapAction, const QByteArray& httpLogPath,
                                                     const QByteArray& request)>;

    // transport: the program's, which outlives the run.
    ExMailRun(ExMailRunView& view, CrmTransport& transport);
    ExMailRun(const ExMailRun&) = delete;
    ExMailRun& operator=(const ExMailRun&) = delete;

    // Tests replace the converter and the exchange; the defaults are the MIME converter and the
    // real transport.
    void setConverter(Converter converter) { m_convert = std::move(converter); }
    void setExchange(Exchange exchange) { m_exchange = std::move(exchange); }
    // Where the transport log goes (default: current folder + "/kelvor_exhttp.log").
    void setHttpLogPath(const QByteArray& path) { m_httpLogPath = path; }
    // The import journal (exjournal.h); empty (the default) runs without one.
    void setJournalPath(const QString& path) { m_journalPath = path; }

    // The run over the store trees; returns when it is over (summary shown, or logon failed).
    void ImportFolders(const QList<ExFOLDER*>& stores);

    // "Abbrechen": the run ends after the message in hand; remaining folders are skipped.
    void StopJob() { m_stopRequested = true; }
    [[nodiscard]] bool stopRequested() const { return m_stopRequested; }
    [[nodiscard]] bool running() const { return m_running; }

    // Over all runs of this program start.
    [[nodiscard]] qint32 importedCount() const { return m_importedCount; }
    [[nodiscard]] qint32 failedCount() const { return m_failedCount; }
    [[nodiscard]] const QString& errorReport() const { return m_errorReport; }
    [[nodiscard]] QString summary() const;

    // The description of one message in the failure report.
    [[nodiscard]] static QString mailInfo(const QString& subject, const QString& sender, const QString& to,
                                          const QString& dateText, qint32 size);

    // Messages of this size (PR_MESSAGE_SIZE) or more are not sent.
    static constexpr qint32 sizeLimit = 0x1000000;

private:
    bool readSettings();
    void ImportFolderMails(ExFOLDER* folder, qint64 target);
    // The upload's answer (-1 when none was read) and whether the request may have reached the CRM
    // without an answer.
    struct Upload {
        int result = -1;
        bool mayHaveArrived = false;
    };
    Upload ImportMail(QByteArray& mime, qint64 target);
    void AddMailInfo(const QString& subject, const QString& sender, const QString& to, const QString& dateText,
                     qint32 size);
    void AddFailure(const QString& reason);

    ExMailRunView& m_view;
    CrmTransport& m_transport;
    Converter m_convert;
    Exchange m_exchange;
    QByteArray m_httpLogPath;
    QString m_journalPath;
    MailJournal* m_journal = nullptr; // the current run's
    QString m_journalLines;           // the last run's

    bool m_stopRequested = false;
    bool m_running = false;
    bool m_settingsRead = false;
    QString m_crmUrl;
    QString m_crmLoginName;
    QString m_crmPassword;
    QString m_sessionId;
    qint32 m_importedCount = 0;
    qint32 m_failedCount = 0;
    QString m_errorReport;
    QString m_currentMailInfo;
};
