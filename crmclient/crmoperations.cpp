#include "crmoperations.h"

#include "exsoapcall.h"
#include "privatefiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <mutex>

namespace
{

// Debug line of a request or response: the text in double quotes, as it went over the wire.
void debugText(const QByteArray& bytes)
{
    // Formatted without a QDebug stream (and its text stream and locale): once per request and
    // response, the same line.
    qDebug("\"%s\"", bytes.constData());
}

// The exchange on the session's transport; a session without one sends nothing.
CrmExchangeResult sessionExchange(const CrmSession& session, const QString& service, const QString& soapAction,
                                  const QByteArray& httpLogPath, const QByteArray& request)
{
    if (!session.transport) {
        CrmExchangeResult result;
        result.failure = CrmTransportFailure::NotReady;
        return result;
    }
    return crmExchange(*session.transport, session.baseUrl, service, soapAction, httpLogPath, request);
}

// How the response goes into the diagnostic log.
enum class ResponseLog { None, Quoted, Labelled };

// Builds the request for op with the argument and the record in its slot (done by prepare), logs
// it, runs the exchange and reads the result. *ready tells whether anything was sent.
template <typename Prepare>
QVariant runItemExchange(const CrmSession& session, CrmOp op, const QVariant& argument, Prepare prepare,
                         const char* service, const char* soapAction, const QByteArray& httpLogPath, bool* ready,
                         ResponseLog responseLog, CrmItemTransport* transport, QByteArray* requestOut = nullptr)
{
    QByteArray request;
    {
        ExSoapCall call;
        call.setArgument(argument);
        prepare(call);
        request = call.requestBytes(op);
    }
    if (requestOut)
        *requestOut = request;
    debugText(request);
    const CrmExchangeResult exchange =
        sessionExchange(session, QLatin1String(service), QLatin1String(soapAction), httpLogPath, request);
    *ready = exchange.ready;
    if (transport) {
        transport->failure = exchange.failure;
        transport->requestMayHaveArrived = exchange.requestMayHaveArrived;
    }
    if (!exchange.ready)
        return QVariant();
    if (responseLog == ResponseLog::Labelled)
        qDebug() << "RESPONSE: " << QString::fromUtf8(exchange.response);
    else if (responseLog == ResponseLog::Quoted)
        debugText(exchange.response);
    ExSoapCall reader;
    reader.feedResponse(exchange.response);
    return reader.parseResponse(op);
}

CrmMailResult runMailExchange(const CrmSession& session, CrmOp op, const QStringList& argument,
                              const QByteArray& httpLogPath)
{
    ExSoapCall call;
    call.setArgument(argument);
    const QByteArray request = call.requestBytes(op);
    CrmMailResult result;
    result.exchange = sessionExchange(session, QStringLiteral("email"),
                                      QStringLiteral("SOAPAction: urn:crmemailAction\r\n"), httpLogPath, request);
    if (!result.exchange.ready || !result.exchange.sent)
        return result;
    qDebug() << result.exchange.response.size();
    ExSoapCall reader;
    reader.feedResponse(result.exchange.response);
    result.value = reader.parseResponse(op).toLongLong();
    return result;
}

} // namespace

QByteArray mailHttpLogPath()
{
    return QFile::encodeName(QDir::currentPath() + QStringLiteral("/kelvor_exhttp.log"));
}

QString defaultPContactDumpPath()
{
    return QDir::currentPath() + QStringLiteral("/pcontact.xml");
}

QByteArray withoutSessionId(QByteArray request)
{
    static const QByteArray open = "<session_id xsi:type=\"xsd:string\">";
    static const QByteArray close = "</session_id>";
    const qsizetype start = request.indexOf(open);
    if (start < 0)
        return request;
    const qsizetype from = start + open.size();
    const qsizetype end = request.indexOf(close, from);
    if (end < 0)
        return request;
    return request.replace(from, end - from, "***");
}

int crmAddPContact(const CrmSession& session, const PContactItem& item, const QByteArray& httpLogPath,
                   const QString& dumpPath, CrmItemTransport* transport)
{
    bool ready = false;
    QByteArray request;
    const QVariant result = runItemExchange(
        session, CrmOp::crmAddPContact, QStringList{session.sessionId}, [&](ExSoapCall& c) { c.setPContact(&item); },
        "email", "SOAPAction: urn:crmemail\r\n", httpLogPath, &ready, ResponseLog::Labelled, transport, &request);
    // The last personal-contact request is kept for inspection: personal data, so owner-only, and
    // without the live session id.
    if (!dumpPath.isEmpty()) {
        // Requests in flight finish in several threads at once: one whole request per dump.
        static std::mutex dumpMutex;
        const std::lock_guard<std::mutex> lock(dumpMutex);
        (void)writePrivateFile(dumpPath, withoutSessionId(request));
    }
    return ready ? result.toInt() : -2;
}

int crmaddContact(const CrmSession& session, const crmContactItem& item, const QByteArray& httpLogPath,
                  CrmItemTransport* transport)
{
    bool ready = false;
    const QVariant result = runItemExchange(
        session, CrmOp::crmaddContact, session.sessionId, [&](ExSoapCall& c) { c.setContact(&item); }, "contacts",
        "SOAPAction: urn:crmcontacts\r\n", httpLogPath, &ready, ResponseLog::Quoted, transport);
    return ready ? result.toInt() : -2;
}

int crmaddPerson(const CrmSession& session, const crmPersonItem& item, const QByteArray& httpLogPath,
                 CrmItemTransport* transport)
{
    bool ready = false;
    const QVariant result = runItemExchange(
        session, CrmOp::crmaddPerson, session.sessionId, [&](ExSoapCall& c) { c.setPerson(&item); }, "contacts",
        "SOAPAction: urn:crmcontacts\r\n", httpLogPath, &ready, ResponseLog::Quoted, transport);
    return ready ? result.toInt() : -2;
}

int crmaddTask(const CrmSession& session, crmTaskItem& item, const QByteArray& httpLogPath,
               CrmItemTransport* transport)
{
    bool ready = false;
    const QVariant result = runItemExchange(
        session, CrmOp::crmaddTask, QStringList{session.sessionId}, [&](ExSoapCall& c) { c.setTask(&item); }, "tasks",
        "SOAPAction: urn:crmtasksAction\r\n", httpLogPath, &ready, ResponseLog::None, transport);
    return ready ? result.toInt() : -2;
}

int crmaddAppointment(const CrmSession& session, const crmAppointmentItem& item, const QByteArray& httpLogPath,
                      CrmItemTransport* transport)
{
    bool ready = false;
    const QVariant result = runItemExchange(
        session, CrmOp::crmaddAppointment, QStringList{session.sessionId},
        [&](ExSoapCall& c) { c.setAppointment(&item); }, "dates", "SOAPAction: urn:crmdates\r\n", httpLogPath, &ready,
        ResponseLog::None, transport);
    return ready ? result.toInt() : -2;
}

CrmMailResult crmgetInboxFolder(const CrmSession& session, const QByteArray& httpLogPath)
{
    CrmMailResult result = runMailExchange(session, CrmOp::crmgetInboxFolder, {session.sessionId}, httpLogPath);
    if (result.exchange.sent)
        debugText(result.exchange.response);
    return result;
}

CrmMailResult crmaddTreeEntry(const CrmSession& session, qint64 parent, const QString& name,
                              const QByteArray& httpLogPath)
{
    return runMailExchange(session, CrmOp::crmaddTreeEntry, {session.sessionId, QString::number(parent), name},
                           httpLogPath);
}

QByteArray buildImportMailSourceRequest(const QString& sessionId, qint64 treeId, const QByteArray& mimeSource)
{
    QByteArray request = ExSoapCall::envelopeHead().toUtf8();
    request += "<NS1:crmImportMailSource xmlns:NS1=\"urn:crmemail\"><session_id xsi:type=\"xsd:string\">";
    request += ExSoapCall::xmlEscape(sessionId).toUtf8();
    request += "</session_id><tree_id xsi:type=\"xsd:string\">";
    request += QByteArray::number(treeId);
    request += "</tree_id><source xsi:type=\"xsd:string\">";
    const QByteArray tail = "</source></NS1:crmImportMailSource>" + ExSoapCall::envelopeTail().toUtf8();
    // Messages run up to 16 MiB: the body is sized once and the source encoded piece by piece into
    // it, so that no second copy of the encoded source is ever held. Pieces of a multiple of three
    // bytes encode to exactly the base64 text of the whole.
    request.reserve(request.size() + (mimeSource.size() + 2) / 3 * 4 + tail.size());
    constexpr qsizetype piece = 3 * 16384;
    for (qsizetype at = 0; at < mimeSource.size(); at += piece)
        request += QByteArray::fromRawData(mimeSource.constData() + at, qMin(piece, mimeSource.size() - at)).toBase64();
    request += tail;
    return request;
}

CrmMailResult crmImportMailSource(const CrmSession& session, qint64 treeId, const QByteArray& mimeSource,
                                  const QByteArray& httpLogPath)
{
    CrmMailResult result;
    result.exchange = sessionExchange(session, QStringLiteral("email"),
                                      QStringLiteral("SOAPAction: urn:crmemailAction\r\n"), httpLogPath,
                                      buildImportMailSourceRequest(session.sessionId, treeId, mimeSource));
    if (!result.exchange.ready || !result.exchange.sent)
        return result;
    ExSoapCall reader;
    reader.feedResponse(result.exchange.response);
    result.value = reader.parseResponse(CrmOp::crmImportMailSource).toInt();
    return result;
}
