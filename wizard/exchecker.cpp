#include "exchecker.h"

#include "crmtransfer.h"
#include "crmtransport.h"

#include <QThread>

#include <memory>

ExChecker::ExChecker(CrmTransport& transport, const QString& login, const QString& password, const QString& url,
                     QObject* parent)
    : QObject(parent), m_transport(transport), m_login(login), m_password(password), m_url(url)
{
}

ExChecker::~ExChecker()
{
    if (m_thread) {
        *m_abort = true;
        m_thread->disconnect(this);
        m_thread->wait();
        delete m_thread;
    }
}

void ExChecker::CRMLogin()
{
    if (m_thread)
        return;
    if (m_url.size() < 7 || m_login.size() < 2) {
        m_outcome = CrmLogonOutcome();
        m_outcome.failure = CrmLogonFailure::Incomplete;
        emit CheckDone(false);
        return;
    }
    auto outcome = std::make_shared<CrmLogonOutcome>();
    m_thread = QThread::create([outcome, abort = m_abort, replace = m_replaceCertificate, url = m_url,
                                login = m_login, password = m_password, transport = &m_transport] {
        // Closing the window ends a pending exchange at once.
        CrmTransferGuard guard([abort] { return !*abort; });
        if (replace)
            transport->forgetCertificate(url);
        *outcome = crmLogonOutcome(*transport, url, login, password, QByteArray(httpLogFile));
    });
    connect(m_thread, &QThread::finished, this, [this, outcome] {
        // finished() is sent just before the thread ends: wait for the end before deleting it.
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
        // The session id is not kept: the check only tells whether one came back.
        m_outcome = *outcome;
        m_outcome.sessionId.clear();
        emit CheckDone(m_outcome.failure == CrmLogonFailure::None);
    });
    m_thread->start();
}
