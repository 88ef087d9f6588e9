#include "exraise.h"

#include <QApplication>
#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>

ExRaiseServer::ExRaiseServer(QObject* parent) : QObject(parent)
{
    const QString name = qEnvironmentVariable(environmentVariable);
    if (name.isEmpty())
        return;
    m_server = new QLocalServer(this);
    // Only this user's programs may ask.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket file left by a program that ended without cleaning up would block the name.
    QLocalServer::removeServer(name);
    if (!m_server->listen(name)) {
        qWarning().noquote() << "Raise server not listening:" << m_server->errorString();
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            // The request carries no data that matters: the connection itself is the request.
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromServer();
            raiseWindows();
            emit raised();
        }
    });
}

ExRaiseServer::~ExRaiseServer() = default;

bool ExRaiseServer::isListening() const
{
    return m_server && m_server->isListening();
}

void ExRaiseServer::raiseWindows()
{
    QWidget* main = nullptr;
    const QList<QWidget*> windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        if (!window->isVisible() && !window->isMinimized())
            continue;
        if (window->isMinimized())
            window->showNormal();
        window->raise();
        if (!main && !window->parentWidget())
            main = window;
    }
    QWidget* modal = QApplication::activeModalWidget();
    // The progress dialog of a run is not modal, but belongs in front of its window.
    for (QWidget* window : windows) {
        if (!modal && window->isVisible() && window->inherits("ExImporter"))
            modal = window;
    }
    if (modal) {
        modal->raise();
        modal->activateWindow();
    } else if (main) {
        main->activateWindow();
    }
}
