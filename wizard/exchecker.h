// The wizard's login check: one crmLogin with the texts of the input fields, outside the stored
// settings. An ExChecker serves one check; the window creates it per press of "Prüfen" and
// releases it when CheckDone has arrived.
#pragma once

#include <QObject>
#include <QString>

class QThread;

class ExChecker : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ExChecker)
public:
    // The HTTP log of the check, relative to the current folder.
    static constexpr const char* httpLogFile = "kelvor_wizard.log";

    ExChecker(const QString& login, const QString& password, const QString& url, QObject* parent = nullptr);
    // Waits for an exchange still under way (the transport's own time limits bound the wait).
    ~ExChecker() override;

    [[nodiscard]] bool isRunning() const { return m_thread != nullptr; }

signals:
    // true: the CRM answered with a session id (logged on).
    void CheckDone(bool ok);

public slots:
    // Too short an address (< 7 characters) or login name (< 2) fails at once, without any
    // network activity. Otherwise the logon runs in a worker thread so that the window keeps
    // painting; CheckDone follows in the checker's thread. A second call while one runs is ignored.
    void CRMLogin();

private:
    QString m_login;
    QString m_password;
    QString m_url;
    QThread* m_thread = nullptr;
};
