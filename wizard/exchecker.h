// The wizard's login check: one crmLogin with the texts of the input fields, outside the stored
// settings. An ExChecker serves one check; the window creates it per press of "Prüfen" and
// releases it when CheckDone has arrived.
#pragma once

#include "crmlogon.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class CrmTransport;
class QThread;

class ExChecker : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ExChecker)
public:
    // The HTTP log of the check, relative to the current folder.
    static constexpr const char* httpLogFile = "kelvor_wizard.log";

    // transport: the wizard's, which outlives the checker.
    ExChecker(CrmTransport& transport, const QString& login, const QString& password, const QString& url,
              QObject* parent = nullptr);
    // Aborts an exchange still under way and waits for its thread (a matter of milliseconds).
    ~ExChecker() override;

    [[nodiscard]] bool isRunning() const { return m_thread != nullptr; }
    // Ends the exchange under way at once; CheckDone(false) follows with the outcome Aborted (unless
    // the answer was already in). Any thread.
    void abort() { *m_abort = true; }
    // The check's outcome, complete once CheckDone has been emitted.
    [[nodiscard]] const CrmLogonOutcome& outcome() const { return m_outcome; }
    // The user has confirmed that the server's certificate was replaced on purpose: the check first
    // forgets the certificate remembered for the address, so the one the server shows now is taken.
    void setReplaceCertificate(bool replace) { m_replaceCertificate = replace; }

signals:
    // true: the CRM answered with a session id (logged on).
    void CheckDone(bool ok);

public slots:
    // Too short an address (< 7 characters) or login name (< 2) fails at once, without any
    // network activity. Otherwise the logon runs in a worker thread so that the window keeps
    // painting; CheckDone follows in the checker's thread. A second call while one runs is ignored.
    void CRMLogin();

private:
    CrmTransport& m_transport;
    QString m_login;
    QString m_password;
    QString m_url;
    QThread* m_thread = nullptr;
    CrmLogonOutcome m_outcome;
    bool m_replaceCertificate = false;
    std::shared_ptr<std::atomic<bool>> m_abort = std::make_shared<std::atomic<bool>>(false);
};
