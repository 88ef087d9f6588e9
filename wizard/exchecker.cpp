#include "exchecker.h"

#include "crmsettings.h"

#include <QThread>

#include <memory>

ExChecker::ExChecker(const QString& login, const QString& password, const QString& url, QObject* parent)
    : QObject(parent), m_login(login), m_password(password), m_url(url)
{
}

ExChecker::~ExChecker()
{
    if (m_thread) {
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
        emit CheckDone(false);
        return;
    }
    auto sessionId = std::make_shared<QString>();
    m_thread = QThread::create([sessionId, url = m_url, login = m_login, password = m_password] {
        *sessionId = crmLogon(url, login, password, QByteArray(httpLogFile));
    });
    connect(m_thread, &QThread::finished, this, [this, sessionId] {
        // finished() is sent just before the thread ends: wait for the end before deleting it.
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
        // The session id is not kept: the check only tells whether one came back.
        emit CheckDone(isSessionId(*sessionId));
    });
    m_thread->start();
}
