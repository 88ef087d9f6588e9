// One measurement of the network benchmark (tools/bench-network.sh runs it several times):
//
//   kelvor_network_bench import <base URL> <count> [in flight]
//       a personal-mode contacts import of <count> generated contacts through the real dialog,
//       worker thread, transport and log; [in flight] is stored as CRM_INFLIGHT (default: unset)
//   kelvor_network_bench bare <base URL> <count> [connections]
//       the same requests from a bare libcurl loop: one easy handle per connection, reused
//       (keep-alive, TLS session reuse), <connections> requests in flight (default 1)
//
// <base URL> is a server address such as https://127.0.0.1:PORT/ (a tenant is added). Prints one
// line "RESULT mode=... items=... answered=... seconds=... rate=... cpu_ms=..." where cpu_ms is
// the process's user + system CPU time per item during the timed part.
#include "contactstable.h"
#include "crmoperations.h"
#include "crmsettings.h"
#include "exfolder.h"
#include "crmlogon.h"
#include "crmtransport.h"
#include "eximporter.h"
#include "exmessagelog.h"
#include "exoutlook.h"
#include "exsoapcall.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <curl/curl.h>

#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace
{

double cpuSeconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

PContactItem contact(const QString& tag, int i)
{
    PContactItem item;
    item.firstname = QStringLiteral("Vorname%1").arg(i);
    item.lastname = QStringLiteral("Nachname-%1-%2").arg(tag).arg(i);
    item.emailadr1 = QStringLiteral("kontakt%1@example.com").arg(i);
    item.phone_work = QStringLiteral("+49 228 %1").arg(100000 + i);
    item.work_organisation = QStringLiteral("Firma %1").arg(i % 50);
    item.work_city = QStringLiteral("Bonn");
    item.notes = QStringLiteral("Notiz \u00e4\u00f6\u00fc %1").arg(i);
    return item;
}

QByteArray fixture(int count, const QString& tag)
{
    QJsonArray items;
    for (int i = 0; i < count; ++i) {
        const PContactItem c = contact(tag, i);
        QJsonObject props;
        props.insert(QStringLiteral("0x001A001F"), QStringLiteral("IPM.Contact"));
        props.insert(QStringLiteral("0x3A06001F"), c.firstname);
        props.insert(QStringLiteral("0x3A11001F"), c.lastname);
        props.insert(QStringLiteral("0x3A16001F"), c.work_organisation);
        props.insert(QStringLiteral("0x3A08001F"), c.phone_work);
        props.insert(QStringLiteral("0x3A27001F"), c.work_city);
        props.insert(QStringLiteral("0x1000001F"), c.notes);
        QJsonObject mail{{QStringLiteral("guid"), QStringLiteral("{00062004-0000-0000-C000-000000000046}")},
                         {QStringLiteral("id"), QStringLiteral("0x8083")},
                         {QStringLiteral("type"), QStringLiteral("PT_STRING8")},
                         {QStringLiteral("value"), c.emailadr1}};
        items.append(QJsonObject{{QStringLiteral("props"), props}, {QStringLiteral("named"), QJsonArray{mail}}});
    }
    const QJsonObject folder{{QStringLiteral("name"), QStringLiteral("Kontakte")},
                             {QStringLiteral("class"), QStringLiteral("IPF.Contact")},
                             {QStringLiteral("items"), items}};
    const QJsonObject store{{QStringLiteral("name"), QStringLiteral("Bench")},
                            {QStringLiteral("folders"), QJsonArray{folder}}};
    return QJsonDocument(QJsonObject{{QStringLiteral("stores"), QJsonArray{store}}}).toJson(QJsonDocument::Compact);
}

void report(const char* mode, int parallel, int items, int answered, double seconds, double cpu)
{
    std::printf("RESULT mode=%s parallel=%d items=%d answered=%d seconds=%.3f rate=%.2f cpu_ms=%.3f\n", mode, parallel,
                items, answered, seconds, items / seconds, 1000.0 * cpu / items);
    std::fflush(stdout);
}

int runImport(CrmTransport& transport, const QString& baseUrl, int count, int inflight, const QString& tag)
{
    QTemporaryDir work;
    QFile fix(work.filePath(QStringLiteral("bench.json")));
    if (!fix.open(QIODevice::WriteOnly))
        return 1;
    fix.write(fixture(count, tag));
    fix.close();
    qputenv("KELVOR_STORE", QFile::encodeName(fix.fileName()));
    ExOutlook outlook(0, ExScanProfile::contacts());
    if (!outlook.status())
        return 1;
    outlook.ScanFolders();

    writeCrmSettings({baseUrl, QStringLiteral("demo"), QStringLiteral("demo")});
    if (inflight > 0) {
        openCrmSettings()->setValue(QStringLiteral("CRM_INFLIGHT"), inflight);
        qputenv("CRM_INFLIGHT", QByteArray::number(inflight));
    }

    const ExImporterTable table = contactsTable();
    QCheckBox personal;
    personal.setChecked(true);
    ExImporter dialog(
        table, transport, outlook.folders(), &personal, [](const ExFOLDER*) { return true; }, nullptr);
    QSignalSpy finished(&dialog, &ExImporter::UpdateStatusInfo);

    const double cpu0 = cpuSeconds();
    QElapsedTimer run;
    run.start();
    dialog.Import();
    while (finished.isEmpty())
        finished.wait(60000);
    const double seconds = run.elapsed() / 1000.0;
    const double cpu = cpuSeconds() - cpu0;

    QString summary = finished.first().first().toString();
    summary.remove(QRegularExpression(QStringLiteral("<[^>]*>")));
    const QRegularExpressionMatch number =
        QRegularExpression(QStringLiteral("(\\d+)\\s+Kontakte sind erfolgreich importiert")).match(summary);
    const int imported = number.hasMatch() ? number.captured(1).toInt() : -1;
    std::printf("summary: %s\n", qPrintable(summary.simplified().left(300)));
    report("import", inflight > 0 ? inflight : 1, count, imported, seconds, cpu);
    return imported == count ? 0 : 1;
}

size_t collect(char* data, size_t size, size_t n, void* out)
{
    static_cast<QByteArray*>(out)->append(data, qsizetype(size * n));
    return size * n;
}

struct Easy {
    CURL* curl = nullptr;
    curl_slist* headers = nullptr;
    QByteArray body;
    QByteArray response;
    ~Easy()
    {
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
    }
};

void prepare(Easy& e, const QByteArray& url, QByteArray body)
{
    e.body = std::move(body);
    e.response.clear();
    curl_easy_setopt(e.curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(e.curl, CURLOPT_POST, 1L);
    curl_easy_setopt(e.curl, CURLOPT_POSTFIELDS, e.body.constData());
    curl_easy_setopt(e.curl, CURLOPT_POSTFIELDSIZE, long(e.body.size()));
}

// The bare loop: no mapping, no log, no signals; handles reused, so connections and TLS sessions
// are kept. With several connections the requests are spread over them through a multi handle.
int runBare(CrmTransport& transport, const QString& baseUrl, int count, int connections, const QString& tag)
{
    const QString sessionId = crmLogon(transport, baseUrl, QStringLiteral("demo"), QStringLiteral("demo"), "bench_bare.log");
    if (!isSessionId(sessionId)) {
        std::fprintf(stderr, "logon failed at %s\n", qPrintable(baseUrl));
        return 1;
    }
    const QByteArray url = (baseUrl + QStringLiteral("soap/index.php?op=email")).toUtf8();
    const auto request = [&](int i) {
        const PContactItem item = contact(tag, i);
        ExSoapCall call;
        call.setArgument(QStringList{sessionId});
        call.setPContact(&item);
        return call.requestBytes(CrmOp::crmAddPContact);
    };

    std::vector<std::unique_ptr<Easy>> handles;
    for (int c = 0; c < connections; ++c) {
        auto e = std::make_unique<Easy>();
        e->curl = curl_easy_init();
        e->headers = curl_slist_append(e->headers, "content-type: text/xml; charset=utf-8");
        e->headers = curl_slist_append(e->headers, "SOAPAction: urn:crmemail");
        e->headers = curl_slist_append(e->headers, "Expect:");
        curl_easy_setopt(e->curl, CURLOPT_HTTPHEADER, e->headers);
        curl_easy_setopt(e->curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(e->curl, CURLOPT_WRITEDATA, &e->response);
        curl_easy_setopt(e->curl, CURLOPT_SSL_VERIFYPEER, 0L); // the test server's certificate is self-signed
        curl_easy_setopt(e->curl, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(e->curl, CURLOPT_PRIVATE, e.get());
        handles.push_back(std::move(e));
    }

    int answered = 0;
    const double cpu0 = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    if (connections == 1) {
        Easy& e = *handles.front();
        for (int i = 0; i < count; ++i) {
            prepare(e, url, request(i));
            if (curl_easy_perform(e.curl) == CURLE_OK && e.response.contains("crmAddPContactResponse"))
                ++answered;
        }
    } else {
        CURLM* multi = curl_multi_init();
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(connections));
        int next = 0;
        int running = 0;
        for (auto& e : handles) {
            if (next >= count)
                break;
            prepare(*e, url, request(next++));
            curl_multi_add_handle(multi, e->curl);
        }
        do {
            curl_multi_perform(multi, &running);
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
                if (msg->msg != CURLMSG_DONE)
                    continue;
                Easy* e = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &e);
                if (msg->data.result == CURLE_OK && e->response.contains("crmAddPContactResponse"))
                    ++answered;
                curl_multi_remove_handle(multi, e->curl);
                if (next < count) {
                    prepare(*e, url, request(next++));
                    curl_multi_add_handle(multi, e->curl);
                    ++running;
                }
            }
            if (running > 0)
                curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        } while (running > 0 || next < count);
        curl_multi_cleanup(multi);
    }
    const double seconds = timer.elapsed() / 1000.0;
    const double cpu = cpuSeconds() - cpu0;
    report("bare", connections, count, answered, seconds, cpu);
    return answered == count ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s import|bare <server URL> <count> [in flight | connections]\n", argv[0]);
        return 2;
    }
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    // Settings of their own (a fresh store per measurement, as on a first start), never the user's.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(work.path()));
    installMessageLog(QStringLiteral("kelvor_contacts.log"));
    QApplication app(argc, argv);
    const CurlGlobal curl;
    CrmMemoryTrustStore trust;
    CrmTransport transport(trust);

    const QString mode = QString::fromLocal8Bit(argv[1]);
    QString server = QString::fromLocal8Bit(argv[2]);
    if (!server.endsWith(QLatin1Char('/')))
        server += QLatin1Char('/');
    const int count = QByteArray(argv[3]).toInt();
    const int parallel = argc > 4 ? QByteArray(argv[4]).toInt() : 0;
    if (count <= 0)
        return 2;
    // A tenant of its own per measurement, so that no contact is a duplicate of an earlier run's.
    const QString tag = mode + QString::number(QCoreApplication::applicationPid());
    const QString baseUrl = server + QStringLiteral("netbench_") + tag + QLatin1Char('/');
    if (mode == QLatin1String("import"))
        return runImport(transport, baseUrl, count, parallel, tag);
    if (mode == QLatin1String("bare"))
        return runBare(transport, baseUrl, count, qMax(1, parallel), tag);
    return 2;
}
