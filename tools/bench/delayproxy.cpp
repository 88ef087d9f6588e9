// A TCP relay on the loopback interface that makes a local server look far away: every chunk of
// bytes is handed on half a round-trip time after it arrived, in order, in both directions.
// Connection set-up and the TLS handshake pay the round trips a real network would charge.
//
//   kelvor_delayproxy <listen port> <target port> <round trip ms> [max seconds]
//
// Listens on 127.0.0.1:<listen port> (0: any free port) and relays to 127.0.0.1:<target port>.
// Prints "listening <port>" once ready. Ends by itself after max seconds (default 3600).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <deque>

namespace
{

// One direction of a relayed connection: bytes read from `from` are written to `to` after the delay.
class Lane : public QObject
{
public:
    Lane(QTcpSocket* from, QTcpSocket* to, int delayMs, QObject* parent)
        : QObject(parent), m_from(from), m_to(to), m_delay(delayMs)
    {
        m_clock.start();
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &Lane::deliver);
        connect(from, &QTcpSocket::readyRead, this, &Lane::take);
        connect(from, &QTcpSocket::disconnected, this, [this] {
            take();
            m_closing = true;
            schedule();
        });
    }

private:
    struct Chunk {
        qint64 due;
        QByteArray bytes;
    };

    void take()
    {
        if (!m_from)
            return;
        const QByteArray bytes = m_from->readAll();
        if (bytes.isEmpty())
            return;
        m_queue.push_back({m_clock.elapsed() + m_delay, bytes});
        schedule();
    }

    void schedule()
    {
        if (m_timer.isActive())
            return;
        if (m_queue.empty()) {
            if (m_closing && m_to) {
                // The other side sees the close after the same delay as the last bytes.
                m_to->disconnectFromHost();
                m_closing = false;
            }
            return;
        }
        m_timer.start(int(qMax<qint64>(0, m_queue.front().due - m_clock.elapsed())));
    }

    void deliver()
    {
        const qint64 now = m_clock.elapsed();
        while (!m_queue.empty() && m_queue.front().due <= now) {
            if (m_to && m_to->state() != QAbstractSocket::UnconnectedState)
                m_to->write(m_queue.front().bytes);
            m_queue.pop_front();
        }
        schedule();
    }

    QPointer<QTcpSocket> m_from;
    QPointer<QTcpSocket> m_to;
    const int m_delay;
    QElapsedTimer m_clock;
    QTimer m_timer;
    std::deque<Chunk> m_queue;
    bool m_closing = false;
};

// A client connection and its upstream connection; ends when both sides are closed.
class Relay : public QObject
{
public:
    Relay(QTcpSocket* client, quint16 targetPort, int oneWayMs, QObject* parent) : QObject(parent)
    {
        client->setParent(this);
        auto* upstream = new QTcpSocket(this);
        for (QTcpSocket* s : {client, upstream}) {
            connect(s, &QTcpSocket::disconnected, this, &Relay::maybeEnd);
            connect(s, &QTcpSocket::errorOccurred, this, &Relay::maybeEnd);
        }
        new Lane(client, upstream, oneWayMs, this);
        new Lane(upstream, client, oneWayMs, this);
        // Bytes the client sends before the upstream is connected are queued by the lane and
        // written once it is (QTcpSocket buffers writes made while connecting).
        upstream->connectToHost(QHostAddress::LocalHost, targetPort);
        upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_client = client;
        m_upstream = upstream;
    }

private:
    void maybeEnd()
    {
        const auto closed = [](QTcpSocket* s) { return !s || s->state() == QAbstractSocket::UnconnectedState; };
        if (closed(m_client) && closed(m_upstream))
            deleteLater();
    }

    QPointer<QTcpSocket> m_client;
    QPointer<QTcpSocket> m_upstream;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <listen port> <target port> <round trip ms> [max seconds]\n", argv[0]);
        return 2;
    }
    const quint16 listenPort = quint16(QByteArray(argv[1]).toUInt());
    const quint16 targetPort = quint16(QByteArray(argv[2]).toUInt());
    const int roundTrip = QByteArray(argv[3]).toInt();
    const int maxSeconds = argc > 4 ? QByteArray(argv[4]).toInt() : 3600;
    if (targetPort == 0 || roundTrip < 0 || maxSeconds <= 0) {
        std::fprintf(stderr, "bad arguments\n");
        return 2;
    }

    QTcpServer server;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* client = server.nextPendingConnection())
            new Relay(client, targetPort, roundTrip / 2, &server);
    });
    if (!server.listen(QHostAddress::LocalHost, listenPort)) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%u: %s\n", unsigned(listenPort),
                     qPrintable(server.errorString()));
        return 1;
    }
    std::printf("listening %u\n", unsigned(server.serverPort()));
    std::fflush(stdout);
    QTimer::singleShot(maxSeconds * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}
