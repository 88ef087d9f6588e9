// A tiny HTTP listener on 127.0.0.1 in its own thread, for what the test CRM cannot show: the raw
// request bytes, proxy use, redirects, answers with a large prefix. Each accepted connection gets
// the canned answer; the raw requests are kept in order.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>

#include <atomic>
#include <memory>
#include <thread>

class LocalServer
{
public:
    explicit LocalServer(QByteArray answer) : m_answer(std::move(answer))
    {
        // Listen in the worker thread; wait until the port is known.
        std::atomic<bool> ready{false};
        m_thread = std::thread([this, &ready] {
            QTcpServer server;
            server.listen(QHostAddress::LocalHost, 0);
            m_port = server.serverPort();
            ready = true;
            while (!m_stop) {
                if (!server.waitForNewConnection(50))
                    continue;
                std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
                serve(*socket);
            }
        });
        while (!ready)
            std::this_thread::yield();
    }
    ~LocalServer()
    {
        m_stop = true;
        m_thread.join();
    }
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    quint16 port() const { return m_port; }
    QList<QByteArray> requests() const
    {
        QMutexLocker lock(&m_mutex);
        return m_requests;
    }

    // A complete HTTP response with the given status line and body.
    static QByteArray response(const QByteArray& status, const QByteArray& body, const QByteArray& extraHeaders = {})
    {
        return "HTTP/1.1 " + status +
               "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " + QByteArray::number(body.size()) +
               "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
    }

private:
    void serve(QTcpSocket& socket)
    {
        QByteArray data;
        qsizetype headerEnd = -1;
        qint64 length = 0;
        while (socket.waitForReadyRead(5000)) {
            data += socket.readAll();
            if (headerEnd < 0 && (headerEnd = data.indexOf("\r\n\r\n")) >= 0) {
                for (const QByteArray& line : data.left(headerEnd).split('\n')) {
                    if (line.toLower().startsWith("content-length:"))
                        length = line.mid(15).trimmed().toLongLong();
                }
            }
            if (headerEnd >= 0 && data.size() >= headerEnd + 4 + length)
                break;
        }
        {
            QMutexLocker lock(&m_mutex);
            m_requests.append(data);
        }
        socket.write(m_answer);
        socket.waitForBytesWritten(5000);
        socket.disconnectFromHost();
        if (socket.state() != QAbstractSocket::UnconnectedState)
            socket.waitForDisconnected(1000);
    }

    const QByteArray m_answer;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<quint16> m_port{0};
    mutable QMutex m_mutex;
    QList<QByteArray> m_requests;
};
