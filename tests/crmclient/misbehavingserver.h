// A small HTTP server on 127.0.0.1 that keeps connections alive and can misbehave in the ways a
// broken network or a hostile server does. It runs in its own thread, serves any number of
// connections at once, and counts connections and requests.
#pragma once

#include <QByteArray>
#include <QList>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

class MisbehavingServer
{
public:
    enum class Mode {
        Answer,         // answers every request, keeps the connection
        NeverAnswer,    // reads the request, then says nothing
        Trickle,        // answers 1 byte every 100 ms, endlessly
        EndlessBody,    // an answer body that never ends, as fast as the client takes it
        CloseMidAnswer, // half of the answer, then the connection is closed
        CloseAfterRequest, // reads the request, closes without a byte of answer
        DieAfterFirst,  // answers the first request, then closes everything and stops listening
        DropAfterAnswer // answers, then closes the connection as an idle keep-alive timeout does
    };

    explicit MisbehavingServer(Mode mode, QByteArray body = QByteArray()) : m_mode(mode), m_body(std::move(body))
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 16);
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { loop(); });
    }
    ~MisbehavingServer()
    {
        m_stop = true;
        m_thread.join();
        for (Connection& c : m_connections)
            ::close(c.fd);
        if (m_listener >= 0)
            ::close(m_listener);
    }
    MisbehavingServer(const MisbehavingServer&) = delete;
    MisbehavingServer& operator=(const MisbehavingServer&) = delete;

    quint16 port() const { return m_port; }
    int connections() const { return m_accepted; }
    QList<QByteArray> requests() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }
    // The behaviour for the requests that arrive from now on.
    void setMode(Mode mode) { m_mode = mode; }

private:
    struct Connection {
        int fd = -1;
        QByteArray in;
        QByteArray out;
        bool closeWhenWritten = false;
        bool trickling = false;
        bool endless = false;
        std::chrono::steady_clock::time_point nextTrickle;
    };

    QByteArray head(qint64 length) const
    {
        return "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
               QByteArray::number(length) + "\r\n\r\n";
    }

    // Takes complete requests off the connection's input and reacts to each.
    bool handle(Connection& c)
    {
        for (;;) {
            const qsizetype end = c.in.indexOf("\r\n\r\n");
            if (end < 0)
                return true;
            qint64 length = 0;
            for (const QByteArray& line : c.in.left(end).split('\n')) {
                if (line.toLower().startsWith("content-length:"))
                    length = line.mid(15).trimmed().toLongLong();
            }
            if (c.in.size() < end + 4 + length)
                return true;
            const QByteArray request = c.in.left(end + 4 + length);
            c.in.remove(0, request.size());
            int count = 0;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.append(request);
                count = int(m_requests.size());
            }
            switch (m_mode.load()) {
            case Mode::Answer:
                c.out += head(m_body.size()) + m_body;
                break;
            case Mode::NeverAnswer:
                break;
            case Mode::Trickle:
                c.out += head(1000000);
                c.trickling = true;
                c.nextTrickle = std::chrono::steady_clock::now();
                break;
            case Mode::EndlessBody:
                c.out += head(Q_INT64_C(1) << 40);
                c.endless = true;
                break;
            case Mode::CloseMidAnswer:
                c.out += head(m_body.size()) + m_body.left(m_body.size() / 2);
                c.closeWhenWritten = true;
                break;
            case Mode::CloseAfterRequest:
                return false;
            case Mode::DieAfterFirst:
                c.out += head(m_body.size()) + m_body;
                c.closeWhenWritten = true;
                if (count == 1)
                    m_dying = true;
                break;
            case Mode::DropAfterAnswer:
                c.out += head(m_body.size()) + m_body;
                c.closeWhenWritten = true;
                break;
            }
        }
    }

    void loop()
    {
        ::fcntl(m_listener, F_SETFL, O_NONBLOCK);
        const QByteArray filler(64 * 1024, 'x');
        while (!m_stop) {
            std::vector<pollfd> fds;
            if (m_listener >= 0)
                fds.push_back({m_listener, POLLIN, 0});
            for (const Connection& c : m_connections)
                fds.push_back({c.fd, short(POLLIN | (c.out.isEmpty() && !c.endless ? 0 : POLLOUT)), 0});
            ::poll(fds.data(), nfds_t(fds.size()), 20);
            if (m_listener >= 0) {
                for (int fd; (fd = ::accept(m_listener, nullptr, nullptr)) >= 0;) {
                    ::fcntl(fd, F_SETFL, O_NONBLOCK);
                    Connection c;
                    c.fd = fd;
                    m_connections.push_back(c);
                    ++m_accepted;
                }
            }
            const auto now = std::chrono::steady_clock::now();
            for (auto it = m_connections.begin(); it != m_connections.end();) {
                Connection& c = *it;
                bool keep = true;
                char buffer[16384];
                const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
                if (n == 0)
                    keep = false;
                else if (n > 0) {
                    c.in.append(buffer, n);
                    keep = handle(c);
                }
                if (keep && c.trickling && now >= c.nextTrickle) {
                    c.out += 'x';
                    c.nextTrickle = now + std::chrono::milliseconds(100);
                }
                if (keep && c.endless && c.out.size() < filler.size())
                    c.out += filler;
                if (keep && !c.out.isEmpty()) {
                    const ssize_t sent = ::send(c.fd, c.out.constData(), size_t(c.out.size()), MSG_NOSIGNAL);
                    if (sent > 0)
                        c.out.remove(0, sent);
                    else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                        keep = false;
                }
                if (keep && c.closeWhenWritten && c.out.isEmpty())
                    keep = false;
                if (!keep) {
                    ::close(c.fd);
                    it = m_connections.erase(it);
                } else {
                    ++it;
                }
            }
            if (m_dying && m_listener >= 0 && m_connections.empty()) {
                ::close(m_listener);
                m_listener = -1;
            }
        }
    }

    std::atomic<Mode> m_mode;
    const QByteArray m_body;
    int m_listener = -1;
    quint16 m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_dying{false};
    std::atomic<int> m_accepted{0};
    std::vector<Connection> m_connections;
    mutable std::mutex m_mutex;
    QList<QByteArray> m_requests;
};
