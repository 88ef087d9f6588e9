#include "testcrm.h"

#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

namespace
{

constexpr int timeoutMs = 30000;

QString envString(const char* name)
{
    return qEnvironmentVariableIsSet(name) ? qEnvironmentVariable(name) : QString();
}

struct HttpResult {
    int status = 0;
    QByteArray body;
    QString error;
};

// One blocking HTTP/1.0 exchange with the test CRM on the loopback interface. Plain socket calls,
// so the caller's event loop is not entered while the helper waits.
HttpResult httpExchange(quint16 port, const QByteArray& method, const QByteArray& path, const QByteArray& body)
{
    HttpResult result;
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(timeoutMs)) {
        result.error =
            QStringLiteral("cannot reach the test CRM on 127.0.0.1:%1: %2").arg(port).arg(socket.errorString());
        return result;
    }
    QByteArray request = method + ' ' + path + " HTTP/1.0\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                         "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
                         "\r\nConnection: close\r\n\r\n" + body;
    socket.write(request);
    QByteArray response;
    while (socket.state() == QAbstractSocket::ConnectedState) {
        if (!socket.waitForReadyRead(timeoutMs)) {
            if (socket.state() == QAbstractSocket::ConnectedState) {
                result.error = QStringLiteral("the test CRM did not answer within %1 s").arg(timeoutMs / 1000);
                return result;
            }
            break;
        }
        response += socket.readAll();
    }
    response += socket.readAll();
    const int headerEnd = response.indexOf("\r\n\r\n");
    const QList<QByteArray> statusLine = response.left(response.indexOf("\r\n")).split(' ');
    if (headerEnd < 0 || statusLine.size() < 2) {
        result.error =
            QStringLiteral("unreadable answer of the test CRM: %1").arg(QString::fromUtf8(response.left(200)));
        return result;
    }
    result.status = statusLine.at(1).toInt();
    result.body = response.mid(headerEnd + 4);
    return result;
}

} // namespace

TestCrm::TestCrm(const QString& tenant) : m_tenant(tenant), m_stateDir(envString("KELVOR_TESTCRM_STATE"))
{
    static const QRegularExpression validTenant(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9_.\\-]{0,127}$"));
    if (!validTenant.match(m_tenant).hasMatch() || m_tenant.contains(QStringLiteral(".."))) {
        m_error = QStringLiteral("invalid tenant name '%1' (use letters, digits, '_', '-', '.')").arg(m_tenant);
        return;
    }
    if (m_stateDir.isEmpty()) {
        m_error = QStringLiteral("KELVOR_TESTCRM_STATE is not set: register the test with the CRM option");
        return;
    }
    QFile portFile(m_stateDir + QStringLiteral("/port"));
    if (!portFile.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("test CRM not started: no port file in %1 (ctest starts it with the test "
                                 "testcrm_start; by hand: tools/testcrm/testcrm start %1)")
                      .arg(m_stateDir);
        return;
    }
    bool ok = false;
    m_port = QString::fromLatin1(portFile.readAll()).trimmed().toUShort(&ok);
    if (!ok || m_port == 0) {
        m_error = QStringLiteral("bad port file in %1").arg(m_stateDir);
        return;
    }
    m_baseUrl = QStringLiteral("http://127.0.0.1:%1/%2/").arg(m_port).arg(m_tenant);
    m_resetOk = control(QStringLiteral("reset"), {});
}

bool TestCrm::control(const QString& command, const QStringList& args, QByteArray* output) const
{
    if (m_port == 0)
        return false;
    const QJsonObject request{{QStringLiteral("command"), command},
                              {QStringLiteral("tenant"), m_tenant},
                              {QStringLiteral("args"), QJsonArray::fromStringList(args)}};
    const HttpResult result =
        httpExchange(m_port, "POST", "/_testcrm/control", QJsonDocument(request).toJson(QJsonDocument::Compact));
    if (!result.error.isEmpty()) {
        m_error = result.error;
        return false;
    }
    if (result.status != 200) {
        m_error = QStringLiteral("control command %1 failed (HTTP %2): %3")
                      .arg(command)
                      .arg(result.status)
                      .arg(QString::fromUtf8(result.body).trimmed());
        return false;
    }
    if (output)
        *output = result.body;
    return true;
}

void TestCrm::fail(const QString& message) const
{
    QTest::qFail(qPrintable(QStringLiteral("TestCrm(%1): %2").arg(m_tenant, message)), __FILE__, __LINE__);
}

bool TestCrm::isUp() const
{
    if (m_baseUrl.isEmpty() || !m_resetOk)
        return false;
    const HttpResult ping = httpExchange(m_port, "GET", "/_testcrm/ping", QByteArray());
    if (!ping.error.isEmpty()) {
        m_error = ping.error;
        return false;
    }
    if (ping.status != 200 || !ping.body.startsWith("ok ")) {
        m_error = QStringLiteral("127.0.0.1:%1 is not the test CRM (HTTP %2)").arg(m_port).arg(ping.status);
        return false;
    }
    return true;
}

QString TestCrm::errorString() const
{
    return m_error;
}

QString TestCrm::baseUrl() const
{
    return m_baseUrl;
}

void TestCrm::addUser(const QString& login, const QString& password)
{
    if (!control(QStringLiteral("adduser"), {login, password}))
        fail(m_error);
}

void TestCrm::setFault(const QString& fault)
{
    if (!control(QStringLiteral("fault"), {fault}))
        fail(m_error);
}

QJsonObject TestCrm::stored() const
{
    QByteArray out;
    if (!control(QStringLiteral("dump"), {}, &out)) {
        fail(m_error);
        return {};
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(out, &error);
    if (!doc.isObject()) {
        fail(QStringLiteral("dump is no JSON object: %1").arg(error.errorString()));
        return {};
    }
    return doc.object();
}

QJsonArray TestCrm::requests() const
{
    QByteArray out;
    if (!control(QStringLiteral("requests"), {}, &out)) {
        fail(m_error);
        return {};
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(out, &error);
    if (!doc.isArray()) {
        fail(QStringLiteral("request log is no JSON array: %1").arg(error.errorString()));
        return {};
    }
    return doc.array();
}

QString TestCrm::sessionId() const
{
    QByteArray out;
    if (!control(QStringLiteral("session"), {}, &out)) {
        fail(m_error);
        return {};
    }
    return QString::fromUtf8(out).trimmed();
}
