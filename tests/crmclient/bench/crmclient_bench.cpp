// Throughput of the CRM client:
//  (a) complete crmAddPContact requests (every field filled) built, and their answers parsed, per second;
//  (b) logon exchanges per second through CExHTTPn against the test CRM, compared with a bare libcurl
//      loop that posts the same bytes to the same address (a fresh handle per request, like CExHTTPn);
//  (c) the same comparison against an in-process listener with a canned answer, where the server
//      costs little and the client's own work (HTTP log, URL dump) shows.
#include "crmtruststore.h"
#include "exhttpn.h"
#include "exsoapcall.h"
#include "localserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <curl/curl.h>

#include <cstdio>

namespace
{

PContactItem fullContact(int n)
{
    PContactItem p;
    QString* texts[] = {&p.firstname,       &p.lastname,          &p.emailadr1,     &p.emailadr2,      &p.emailadr3,
                        &p.phone_work,      &p.phone_work2,       &p.phone_home,    &p.phone_home2,    &p.phone_fax,
                        &p.phone_fax_work,  &p.phone_pager,       &p.phone_mobil,   &p.home_address1,  &p.home_address2,
                        &p.home_city,       &p.home_region,       &p.home_postcode, &p.home_country,   &p.work_title,
                        &p.work_department, &p.work_organisation, &p.work_address1, &p.work_address2,  &p.work_city,
                        &p.work_region,     &p.work_postcode,     &p.work_country,  &p.work_location,  &p.work_website,
                        &p.other_address1,  &p.other_city,        &p.other_region,  &p.other_postcode, &p.other_country,
                        &p.picture,         &p.screen_name,       &p.nickname,      &p.spousename,     &p.managername,
                        &p.assistantname,   &p.customer_id,       &p.gov_id,        &p.accountname,    &p.custom1,
                        &p.custom2,         &p.custom3,           &p.custom4,       &p.displayname};
    int i = 0;
    for (QString* text : texts)
        *text = QStringLiteral("Wert %1 für Feld %2 & <Co>").arg(n).arg(++i);
    p.notes = QStringLiteral("Notiz mit Umlauten äöü, Sonderzeichen \"&<>\" und\vweicher Zeile. ").repeated(8);
    p.birthday = 500000000;
    p.anniversary = 600000000;
    return p;
}

const QByteArray pcontactAnswer =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope "
    "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:ns1=\"urn:crmemail\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
    "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><SOAP-ENV:Body>"
    "<ns1:crmAddPContactResponse><return xsi:type=\"xsd:int\">4711</return></ns1:crmAddPContactResponse>"
    "</SOAP-ENV:Body></SOAP-ENV:Envelope>\n";

double codecRate(qint64 ms)
{
    QElapsedTimer timer;
    timer.start();
    qint64 count = 0;
    qint64 bytes = 0;
    while (timer.elapsed() < ms) {
        PContactItem p = fullContact(int(count));
        ExSoapCall call;
        call.setArgument(QStringList{QStringLiteral("0123456789abcdef0123456789abcdef")});
        call.setPContact(&p);
        bytes += call.requestBytes(CrmOp::crmAddPContact).size();
        ExSoapCall reader;
        reader.feedResponse(pcontactAnswer);
        if (reader.parseResponse(CrmOp::crmAddPContact).toInt() != 4711)
            qFatal("wrong answer");
        ++count;
    }
    std::printf("  request size %lld bytes\n", count ? bytes / count : 0);
    return count * 1000.0 / timer.elapsed();
}

size_t discard(char* data, size_t size, size_t count, void* target)
{
    static_cast<QByteArray*>(target)->append(data, qsizetype(size * count));
    return size * count;
}

bool bareExchange(const QByteArray& url, const QByteArray& body)
{
    CURL* h = curl_easy_init();
    QByteArray response;
    curl_slist* headers = nullptr;
    for (const char* line : {"content-type: text/xml; charset=utf-8", "Accept: text/xml", "Cache-Control: no-cache",
                             "Pragma: no-cache", "Expect:", "SOAPAction: urn:logonAction"})
        headers = curl_slist_append(headers, line);
    curl_easy_setopt(h, CURLOPT_URL, url.constData());
    curl_easy_setopt(h, CURLOPT_USERAGENT, "Kelvor Outlook Importer 2.0.32");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &discard);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
    const bool ok = curl_easy_perform(h) == CURLE_OK && response.contains("crmLoginResponse");
    curl_slist_free_all(headers);
    curl_easy_cleanup(h);
    return ok;
}

bool clientExchange(CrmTransport& transport, const QString& base, const QByteArray& body, const QByteArray& log)
{
    CExHTTPn http(transport, base, QStringLiteral("logon"), log);
    if (!http.isReady())
        return false;
    http.sendRequest(QStringLiteral("SOAPAction: urn:logonAction\r\n"), body);
    QByteArray response(int(http.dataAvailable()), '\0');
    response.truncate(qMax(0, http.readdata(response.data(), quint32(response.size()))));
    return response.contains("crmLoginResponse"); // the same check as the bare loop
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const CurlGlobal curl;
    CrmMemoryTrustStore trust;
    CrmTransport transport(trust);
    QTemporaryDir dir;
    QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const bool ownServer = base.isEmpty();
    const QString command = QStringLiteral(KELVOR_TESTCRM_COMMAND);
    if (ownServer) {
        const QString state = dir.filePath(QStringLiteral("testcrm-state"));
        QProcess start;
        start.start(command, {QStringLiteral("start"), state});
        start.waitForFinished(60000);
        QProcess url;
        url.start(command, {QStringLiteral("url"), state, QStringLiteral("bench")});
        url.waitForFinished(10000);
        base = QString::fromUtf8(url.readAllStandardOutput()).trimmed();
        if (start.exitCode() != 0 || base.isEmpty()) {
            std::fprintf(stderr, "cannot start the test CRM: %s\n", start.readAllStandardError().constData());
            return 1;
        }
    }
    std::printf("CRM: %s\n", qPrintable(base));

    std::printf("(a) crmAddPContact, all fields: build request + parse answer\n");
    std::printf("  %.0f per second\n", codecRate(3000));

    std::printf("(b) logon exchanges against the CRM (fresh connection each)\n");
    ExSoapCall call;
    call.setArgument(QStringList{QStringLiteral("demo"), QStringLiteral("demo")});
    const QByteArray body = call.requestBytes(CrmOp::crmLogin);
    const QByteArray log = QFile::encodeName(dir.filePath(QStringLiteral("kelvor_bench_http.log")));
    int failures = 0;
    // Alternating rounds of both loops, so that load changes on the machine hit both alike.
    auto compare = [&](const QString& target, int rounds, int perRound) {
        const QByteArray targetUrl = CExHTTPn::composeUrl(target, QStringLiteral("logon")).toUtf8();
        qint64 clientMs = 0, bareMs = 0;
        for (int i = 0; i < 5; ++i) // warm up both paths
            failures += !clientExchange(transport, target, body, log) + !bareExchange(targetUrl, body);
        for (int r = 0; r < rounds; ++r) {
            QElapsedTimer timer;
            timer.start();
            for (int i = 0; i < perRound; ++i)
                failures += !bareExchange(targetUrl, body);
            bareMs += timer.restart();
            for (int i = 0; i < perRound; ++i)
                failures += !clientExchange(transport, target, body, log);
            clientMs += timer.elapsed();
        }
        const double clientRate = rounds * perRound * 1000.0 / qMax<qint64>(clientMs, 1);
        const double bareRate = rounds * perRound * 1000.0 / qMax<qint64>(bareMs, 1);
        std::printf("  CExHTTPn:     %.1f per second\n", clientRate);
        std::printf("  bare libcurl: %.1f per second\n", bareRate);
        std::printf("  ratio:        %.1f %%\n", 100.0 * clientRate / bareRate);
    };
    compare(base, 5, 40);

    // The same against a canned-answer listener, where the client's own cost is not hidden
    // behind the server's.
    std::printf("(c) the same against a local listener with a canned answer\n");
    {
        LocalServer canned(LocalServer::response(
            "200 OK", "<?xml version=\"1.0\"?><e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                      "xmlns:n=\"urn:crmlogon\"><e:Body><n:crmLoginResponse><return>0123456789abcdef0123456789abcdef"
                      "</return></n:crmLoginResponse></e:Body></e:Envelope>"));
        compare(QStringLiteral("http://127.0.0.1:%1/").arg(canned.port()), 5, 200);
    }
    std::printf("  %d failed exchanges\n", failures);

    if (ownServer) {
        QProcess stop;
        stop.start(command, {QStringLiteral("stop"), dir.filePath(QStringLiteral("testcrm-state"))});
        stop.waitForFinished(30000);
    }
    return failures == 0 ? 0 : 2;
}
