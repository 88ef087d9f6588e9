// Throughput of a personal-mode contacts import against a running test CRM, next to a bare libcurl loop
// that posts the same requests to the same server. Not a test: prints figures.
//
//   tools/testcrm/testcrm start /tmp/crmstate
//   QT_QPA_PLATFORM=offscreen build/bin/kelvor_contacts_bench "$(tools/testcrm/testcrm status /tmp/crmstate)" 5000
#include "contactstable.h"
#include "crmoperations.h"
#include "crmsettings.h"
#include "exfolder.h"
#include "eximporter.h"
#include "exoutlook.h"
#include "exsoapcall.h"
#include "exmessagelog.h"
#include "crmlogon.h"
#include "crmtransport.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <curl/curl.h>

#include <cstdio>
#include <memory>

namespace {

QString firstName(int i) { return QStringLiteral("Vorname%1").arg(i); }
QString lastName(const QString& tag, int i) { return QStringLiteral("Nachname-%1-%2").arg(tag).arg(i); }

QByteArray fixture(int count, const QString& tag)
{
    QJsonArray items;
    for (int i = 0; i < count; ++i) {
        QJsonObject props;
        props.insert(QStringLiteral("0x001A001F"), QStringLiteral("IPM.Contact"));
        props.insert(QStringLiteral("0x3A06001F"), firstName(i));
        props.insert(QStringLiteral("0x3A11001F"), lastName(tag, i));
        props.insert(QStringLiteral("0x3A16001F"), QStringLiteral("Firma %1").arg(i % 50));
        props.insert(QStringLiteral("0x3A08001F"), QStringLiteral("+49 228 %1").arg(100000 + i));
        props.insert(QStringLiteral("0x3A27001F"), QStringLiteral("Bonn"));
        props.insert(QStringLiteral("0x1000001F"), QStringLiteral("Notiz \u00e4\u00f6\u00fc %1").arg(i));
        QJsonObject mail{{QStringLiteral("guid"), QStringLiteral("{00062004-0000-0000-C000-000000000046}")},
                         {QStringLiteral("id"), QStringLiteral("0x8083")},
                         {QStringLiteral("type"), QStringLiteral("PT_STRING8")},
                         {QStringLiteral("value"), QStringLiteral("kontakt%1@example.com").arg(i)}};
        items.append(QJsonObject{{QStringLiteral("props"), props}, {QStringLiteral("named"), QJsonArray{mail}}});
    }
    const QJsonObject folder{{QStringLiteral("name"), QStringLiteral("Kontakte")},
                             {QStringLiteral("class"), QStringLiteral("IPF.Contact")},
                             {QStringLiteral("items"), items}};
    const QJsonObject store{{QStringLiteral("name"), QStringLiteral("Bench")},
                            {QStringLiteral("folders"), QJsonArray{folder}}};
    return QJsonDocument(QJsonObject{{QStringLiteral("stores"), QJsonArray{store}}}).toJson(QJsonDocument::Compact);
}

size_t collect(char* data, size_t size, size_t n, void* out)
{
    static_cast<QByteArray*>(out)->append(data, static_cast<qsizetype>(size * n));
    return size * n;
}

// The same requests as the import sends, posted with a fresh easy handle each (the importer opens a
// connection per request too), without mapping, logging or signalling.
double bareRate(CrmTransport& transport, const QString& baseUrl, int count)
{
    const QString sessionId = crmLogon(transport, baseUrl, QStringLiteral("demo"), QStringLiteral("demo"), QByteArray("bench_bare.log"));
    if (sessionId.size() != 32)
        return -1;
    const QByteArray url = (baseUrl + QStringLiteral("soap/index.php?op=email")).toUtf8();
    QElapsedTimer timer;
    timer.start();
    int ok = 0;
    QString firstFailure;
    for (int i = 0; i < count; ++i) {
        PContactItem item;
        item.firstname = firstName(i);
        item.lastname = lastName(QStringLiteral("bare"), i);
        item.emailadr1 = QStringLiteral("kontakt%1@example.com").arg(i);
        item.phone_work = QStringLiteral("+49 228 %1").arg(100000 + i);
        item.work_organisation = QStringLiteral("Firma %1").arg(i % 50);
        item.work_city = QStringLiteral("Bonn");
        item.notes = QStringLiteral("Notiz \u00e4\u00f6\u00fc %1").arg(i);
        ExSoapCall call;
        call.setArgument(QStringList{sessionId});
        call.setPContact(&item);
        const QByteArray body = call.requestBytes(CrmOp::crmAddPContact);

        CURL* curl = curl_easy_init();
        curl_slist* headers = nullptr;
        headers = curl_slist_append(headers, "content-type: text/xml; charset=utf-8");
        headers = curl_slist_append(headers, "SOAPAction: urn:crmemail");
        headers = curl_slist_append(headers, "Expect:");
        QByteArray response;
        curl_easy_setopt(curl, CURLOPT_URL, url.constData());
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
        const CURLcode rc = curl_easy_perform(curl);
        if (rc == CURLE_OK && response.contains("crmAddPContactResponse"))
            ++ok;
        else if (firstFailure.isEmpty())
            firstFailure = QStringLiteral("curl %1: %2").arg(int(rc)).arg(QString::fromUtf8(response.left(300)));
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
    }
    const double seconds = timer.elapsed() / 1000.0;
    std::printf("bare libcurl loop: %d requests (%d answered) in %.2f s\n", count, ok, seconds);
    if (!firstFailure.isEmpty())
        std::printf("first unanswered request: %s\n", qPrintable(firstFailure));
    return count / seconds;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <test CRM server URL, e.g. http://127.0.0.1:PORT/> [count]\n", argv[0]);
        return 2;
    }
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    QStandardPaths::setTestModeEnabled(true);  // settings of the bench stay out of the user's
    installMessageLog(QStringLiteral("kelvor_contacts.log"));
    QApplication app(argc, argv);
    const CurlGlobal curl;
    CrmMemoryTrustStore trust;
    CrmTransport transport(trust);
    QString server = QString::fromLocal8Bit(argv[1]);
    if (!server.endsWith(QLatin1Char('/')))
        server += QLatin1Char('/');
    const int count = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 5000;
    const QString tag = QString::number(QCoreApplication::applicationPid());

    QFile fix(work.filePath(QStringLiteral("bench.json")));
    if (!fix.open(QIODevice::WriteOnly))
        return 1;
    fix.write(fixture(count, tag));
    fix.close();
    qputenv("KELVOR_STORE", fix.fileName().toLocal8Bit());
    ExOutlook outlook(0, ExScanProfile::contacts());
    if (!outlook.status())
        return 1;
    outlook.ScanFolders();

    const QString importUrl = server + QStringLiteral("bench_import_") + tag + QLatin1Char('/');
    const QString bareUrl = server + QStringLiteral("bench_bare_") + tag + QLatin1Char('/');
    writeCrmSettings({importUrl, QStringLiteral("demo"), QStringLiteral("demo")});

    const ExImporterTable table = contactsTable();
    QCheckBox personal;
    personal.setChecked(true);
    ExImporter dialog(table, transport, outlook.folders(), &personal, [](const ExFOLDER*) { return true; }, nullptr);
    QSignalSpy finished(&dialog, &ExImporter::UpdateStatusInfo);

    // The GUI thread's responsiveness: the longest gap between ticks of a 10 ms timer during the run.
    QElapsedTimer tick;
    qint64 longestGap = 0;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        longestGap = qMax(longestGap, tick.restart());
    });

    QElapsedTimer run;
    run.start();
    tick.start();
    timer.start();
    dialog.Import();
    while (finished.isEmpty())
        finished.wait(60000);
    timer.stop();
    const double seconds = run.elapsed() / 1000.0;
    const QString summary = finished.first().first().toString();
    std::printf("import: %d contacts in %.2f s, summary: %s\n", count, seconds, qPrintable(summary));
    std::printf("longest pause of the GUI thread's event loop during the run: %lld ms\n", longestGap);
    const double importRate = count / seconds;

    const double bare = bareRate(transport, bareUrl, count);
    std::printf("contacts/s: import %.1f, bare %.1f, ratio %.1f %%\n", importRate, bare, 100.0 * importRate / bare);
    return 0;
}
