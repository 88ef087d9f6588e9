// A TLS front (stunnel) on a loopback port in front of a plain HTTP server, with a self-signed
// certificate made for it. Stopping one front and starting another with a new key on the same port
// is how a test replaces a server's certificate.
#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QThread>

class TlsFront
{
public:
    // Makes a key and a self-signed certificate for CN name in dir/<tag>.pem; false when openssl fails.
    // altName: a subjectAltName such as "IP:127.0.0.1", for a certificate that can verify.
    static bool makeCertificate(const QString& dir, const QString& tag, const QString& name = QStringLiteral("crm.test"),
                                const QString& altName = QString())
    {
        QStringList args{QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                         QStringLiteral("-nodes"), QStringLiteral("-keyout"), dir + QLatin1Char('/') + tag + QStringLiteral(".key"),
                         QStringLiteral("-out"), dir + QLatin1Char('/') + tag + QStringLiteral(".pem"), QStringLiteral("-days"),
                         QStringLiteral("1"), QStringLiteral("-subj"), QStringLiteral("/CN=") + name};
        if (!altName.isEmpty())
            args << QStringLiteral("-addext") << QStringLiteral("subjectAltName=") + altName;
        QProcess gen;
        gen.start(QStringLiteral("openssl"), args);
        return gen.waitForFinished(30000) && gen.exitCode() == 0;
    }

    // Starts stunnel on 127.0.0.1:port forwarding to 127.0.0.1:backend with dir/<tag>.pem.
    TlsFront(const QString& dir, const QString& tag, quint16 port, quint16 backend)
    {
        const QString stunnel = QStandardPaths::findExecutable(QStringLiteral("stunnel4"));
        if (stunnel.isEmpty())
            return;
        QFile conf(dir + QLatin1Char('/') + tag + QStringLiteral(".conf"));
        if (!conf.open(QIODevice::WriteOnly))
            return;
        conf.write(QStringLiteral("foreground = yes\npid =\noutput = %1/%2.log\n[crm]\naccept = 127.0.0.1:%3\n"
                                  "connect = 127.0.0.1:%4\ncert = %1/%2.pem\nkey = %1/%2.key\n")
                       .arg(dir, tag)
                       .arg(port)
                       .arg(backend)
                       .toUtf8());
        conf.close();
        m_process.start(stunnel, {conf.fileName()});
        if (!m_process.waitForStarted())
            return;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 10000) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(200)) {
                m_up = true;
                return;
            }
            QThread::msleep(50);
        }
    }
    ~TlsFront()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;

    [[nodiscard]] bool isUp() const { return m_up; }

private:
    QProcess m_process;
    bool m_up = false;
};
