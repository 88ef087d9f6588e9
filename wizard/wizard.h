// The wizard's window: shows and edits the stored connection settings, checks the login and
// starts the importers. The work is done by CrmSettings (crmclient), ExChecker and
// ImporterLauncher; the window only shows and forwards.
#pragma once

#include "importerlauncher.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

namespace Ui
{
class WizardClass;
}
class CrmTransport;
class ExChecker;
class QPushButton;

class Wizard : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Wizard)
public:
    static constexpr const char* checkingText = "<b>Verbinde mit CRM ...</b>";
    static constexpr const char* successText = "<font color=\"green\"><b>Login erfolgreich</b></font>";
    static constexpr const char* failureText = "<font color=\"red\"><b>Login Fehlgeschlagen</b></font>";
    // Below the outcome: how the server's certificate was taken, and how to accept a new one.
    static constexpr const char* rememberedText = "Zertifikat nicht verifiziert, wurde gespeichert";
    static constexpr const char* knownText = "Zertifikat nicht verifiziert, wie gespeichert";
    static constexpr const char* replaceText = "Erneut \"Prüfen\" übernimmt das neue Zertifikat";
    // A check stopped with "Abbrechen": no outcome to tell.
    static constexpr const char* abortedText = "<b>Prüfung abgebrochen</b>";
    // An address the check does not try: the CRM is reached over HTTP or HTTPS only.
    static constexpr const char* schemeText = "Die Adresse muss mit http:// oder https:// beginnen";

    // transport: the program's, for the login check (it outlives the window); programDir: where the
    // importers are looked for first (default: the wizard's own folder).
    explicit Wizard(CrmTransport& transport, QWidget* parent = nullptr, const QString& programDir = {});
    ~Wizard() override;

    [[nodiscard]] const ImporterLauncher& launcher() const { return *m_launcher; }
    [[nodiscard]] bool isChecking() const { return !m_checker.isNull(); }

    // "Importverlauf vergessen" asks before it deletes: entries is how many the CRM entered has. The
    // default shows a question box; tests answer in advance.
    using ForgetConfirm = std::function<bool(int entries)>;
    void setForgetConfirm(ForgetConfirm confirm) { m_confirmForget = std::move(confirm); }
    // The import journal the button clears (default: the user's own).
    void setJournalPath(const QString& path) { m_journalPath = path; }
    [[nodiscard]] QPushButton* forgetButton() const { return m_forgetButton; }

signals:
    void MakeLogin();

public slots:
    // Starts a check; while one runs, the same button ("Abbrechen" then) stops it.
    void StartCheck();
    void CheckDone(bool ok);
    void emailClicked();
    void consClicked();
    void appsClicked();
    void taskClicked();
    // Clears the journal entries of the CRM entered (address and login name), after confirmation.
    void forgetHistory();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void fitHeading();
    void loadSettings();
    // The address as it will be used: without surrounding blanks, which the field loses as well.
    QString trimmedUrl();
    void saveSettings();
    void launch(Importer importer);

    CrmTransport& m_transport;
    std::unique_ptr<Ui::WizardClass> m_ui;
    QPushButton* m_forgetButton = nullptr;
    ForgetConfirm m_confirmForget;
    QString m_journalPath;
    QPointer<ExChecker> m_checker;
    // The address whose certificate was refused by the last check: the next check of the same
    // address replaces the remembered certificate.
    QString m_refusedCertificateUrl;
    // Declared last so that it is destroyed first: the latest importers end before the window goes.
    std::unique_ptr<ImporterLauncher> m_launcher;
};
