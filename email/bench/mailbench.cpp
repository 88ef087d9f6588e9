// Throughput of the e-mail import against a running test CRM, next to a bare libcurl loop that
// replays the very requests the import sent (logon, inbox, folders, messages) to the same server,
// and the longest pause of the event loop while a large message is uploaded over a slow link.
// Not a test: prints figures.
//
//   tools/testcrm/testcrm start /tmp/benchcrm
//   KELVOR_TESTCRM_STATE=/tmp/benchcrm QT_QPA_PLATFORM=offscreen build/bin/kelvor_mail_bench ../shared/testdata/pst/mail/Outlook.pst [rounds] [--large MiB KiB/s] [--rtt ms] [--https] [--inflight N]
//   tools/testcrm/testcrm stop /tmp/benchcrm
//
// The file argument may list several .pst/.ost files separated by ':' (one store each), or be
// --generated=N: the mailbox of N messages that --scale generates.
// --rtt: import and replay both go through kelvor_delayproxy (built beside this program), which
// adds that round-trip time, as a CRM on a real network would.
// --https: both talk to the test CRM's HTTPS port (testcrm start --https); the import's transport
// knows the self-signed certificate already, as after the wizard's connection check.
// --inflight: CRM_INFLIGHT in the settings of the import.
//
//   KELVOR_TESTCRM_STATE=... kelvor_mail_bench --scale 1000,20000 [--https] [--inflight N] [--rtt ms]
// Scale: generated mailboxes of those sizes (memory back-end; 50 folders; messages of a few KiB up
// to 1 MiB, the same mix for every size) imported one after another, each by a process of its own,
// with the time per message and the peak resident memory during the import.
// Settings and logs go to a temporary folder, never the user's. The last line is machine-readable:
// "RESULT messages=... import_s=... bare_s=... rate=... bare_rate=... ratio=... cpu_ms=..." with the
// sums over the rounds and the import's CPU milliseconds per message.
// --large: one message with an attachment of that many MiB goes through a local throttling relay
// that passes at most that many KiB/s in each direction.
#include "crmlogon.h"
#include "crmsettings.h"
#include "crmtransport.h"
#include "crmtruststore.h"
#include "exfolder.h"
#include "exhttpn.h"
#include "exjob.h"
#include "exmessagelog.h"
#include "exoutlook.h"
#include "mailrun.h"
#include "testcrm.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <curl/curl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>
#include <malloc.h>
#include <sys/resource.h>

namespace
{

// The longest gap between two ticks of a 10 ms timer of the event loop while a run goes on.
class PauseMeter
{
public:
    PauseMeter()
    {
        m_ticker.setInterval(10);
        QObject::connect(&m_ticker, &QTimer::timeout, [this] { longestPause = qMax(longestPause, m_since.restart()); });
    }
    void start()
    {
        longestPause = 0;
        m_since.start();
        m_ticker.start();
    }
    void stop() { m_ticker.stop(); }
    qint64 longestPause = 0;

private:
    QTimer m_ticker;
    QElapsedTimer m_since;
};

// One run of the e-mail import over every folder below the store roots, as the program makes it: in
// the job's worker thread while this thread runs the event loop.
QString runImport(ExMailRun& mail, CrmTransport& transport, const QList<ExFOLDER*>& stores)
{
    if (!mail.prepare())
        return QString();
    const ExImporterTable table = mail.table();
    const QList<ExFOLDER*> all = ExMailRun::treeOrder(stores);
    QList<ExFOLDER*> selected;
    int total = 0;
    for (ExFOLDER* folder : all) {
        if (!folder->isStoreRoot) {
            selected.append(folder);
            total += folder->itemCount;
        }
    }
    ExJob job(table, transport, all, selected, total, false);
    QEventLoop loop;
    QString summary;
    QObject::connect(&job, &ExJob::done, &loop, [&](const QString& s) {
        summary = s;
        loop.quit();
    });
    job.start();
    loop.exec();
    return summary;
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

size_t collect(char* data, size_t size, size_t n, void* out)
{
    static_cast<QByteArray*>(out)->append(data, qsizetype(size * n));
    return size * n;
}

// One POST on a reused handle (the best a bare loop can do); the answer's "return" text.
QByteArray post(CURL* curl, const QByteArray& url, const QByteArray& soapAction, const QByteArray& body)
{
    QByteArray response;
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "content-type: text/xml; charset=utf-8");
    headers = curl_slist_append(headers, soapAction.constData());
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L); // the test server's certificate is self-signed
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    const CURLcode rc = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    if (rc != CURLE_OK)
        return QByteArray();
    static const QRegularExpression ret(QStringLiteral("<return[^>]*>([^<]*)</return>"));
    return ret.match(QString::fromUtf8(response)).captured(1).toUtf8();
}

QByteArray replace(const QByteArray& body, const char* element, const QByteArray& value)
{
    const QByteArray open = QByteArray("<") + element;
    const qsizetype start = body.indexOf('>', body.indexOf(open)) + 1;
    const qsizetype end = body.indexOf(QByteArray("</") + element + '>', start);
    if (start <= 0 || end < 0)
        return body;
    QByteArray out = body;
    out.replace(start, end - start, value);
    return out;
}

// Replays the raw requests of one tenant to another: the same bodies, with the session id and the
// folder ids of the target tenant put in. Returns the seconds the requests took, -1 on failure.
// sourceFolders: the ids the source tenant answered to crmgetInboxFolder and crmaddTreeEntry, in order.
double replay(const QJsonArray& requests, const QList<QByteArray>& sourceFolders, const QString& targetUrl, int* stored)
{
    CURL* curl = curl_easy_init();
    const QByteArray base = targetUrl.toUtf8();
    QHash<QByteArray, QByteArray> folderIds; // source id -> target id
    QByteArray session;
    QElapsedTimer timer;
    timer.start();
    *stored = 0;
    for (const auto& r : requests) {
        const QJsonObject request = r.toObject();
        const QString operation = request.value(QStringLiteral("operation")).toString();
        QByteArray body = request.value(QStringLiteral("body")).toString().toUtf8();
        const QByteArray url = base + "soap/index.php?op=" + request.value(QStringLiteral("op")).toString().toUtf8();
        const QByteArray action = "SOAPAction: " + request.value(QStringLiteral("soapaction")).toString().toUtf8();
        if (operation != QLatin1String("crmLogin"))
            body = replace(body, "session_id", session);
        if (operation == QLatin1String("crmaddTreeEntry"))
            body = replace(body, "parent",
                           folderIds.value(QRegularExpression(QStringLiteral("<parent[^>]*>(\\d+)<"))
                                               .match(QString::fromUtf8(body))
                                               .captured(1)
                                               .toUtf8()));
        if (operation == QLatin1String("crmImportMailSource")) {
            const QByteArray id = QRegularExpression(QStringLiteral("<tree_id[^>]*>(\\d+)<"))
                                      .match(QString::fromUtf8(body))
                                      .captured(1)
                                      .toUtf8();
            body = replace(body, "tree_id", folderIds.value(id));
        }
        const QByteArray answer = post(curl, url, action, body);
        if (operation == QLatin1String("crmLogin"))
            session = answer;
        else if (operation == QLatin1String("crmImportMailSource") && answer.toInt() > 0)
            ++*stored;
        if (operation == QLatin1String("crmgetInboxFolder") || operation == QLatin1String("crmaddTreeEntry"))
            folderIds.insert(sourceFolders.value(folderIds.size()), answer);
    }
    curl_easy_cleanup(curl);
    return timer.elapsed() / 1000.0;
}

// A TCP relay on 127.0.0.1 that passes at most `rate` bytes per second in each direction, in
// its own thread, to make a fast local server look like one behind a slow line.
class Throttle : public QThread
{
public:
    Throttle(quint16 targetPort, qint64 rate) : m_targetPort(targetPort), m_rate(rate) {}
    quint16 port() const { return m_port.loadAcquire(); }

protected:
    void run() override
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        m_port.storeRelease(server.serverPort());
        QList<QPair<QTcpSocket*, QTcpSocket*>> pairs;
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            while (QTcpSocket* in = server.nextPendingConnection()) {
                auto* out = new QTcpSocket(in);
                out->connectToHost(QHostAddress::LocalHost, m_targetPort);
                pairs.append(qMakePair(in, out));
            }
        });
        QTimer pump;
        pump.setInterval(10);
        const qint64 perTick = qMax<qint64>(1, m_rate / 100);
        QObject::connect(&pump, &QTimer::timeout, [&] {
            for (auto& p : pairs) {
                QTcpSocket* in = p.first;
                QTcpSocket* out = p.second;
                if (out->state() == QAbstractSocket::ConnectedState) {
                    out->setProperty("seen", true);
                    if (in->bytesAvailable() > 0)
                        out->write(in->read(perTick));
                }
                // The server closes after its answer: what it sent still goes out at the same pace.
                if (out->bytesAvailable() > 0)
                    in->write(out->read(perTick));
                else if (out->property("seen").toBool() && out->state() == QAbstractSocket::UnconnectedState &&
                         in->bytesToWrite() == 0 && in->state() == QAbstractSocket::ConnectedState)
                    in->disconnectFromHost();
            }
        });
        pump.start();
        exec();
    }

private:
    quint16 m_targetPort;
    qint64 m_rate;
    QAtomicInteger<quint16> m_port{0};
};

QByteArray largeFixture(int mebibytes)
{
    QByteArray data(qsizetype(mebibytes) * 1024 * 1024, '\0');
    for (qsizetype i = 0; i < data.size(); ++i)
        data[i] = char((i * 7919) >> 5);
    const QJsonObject item{
        {QStringLiteral("props"), QJsonObject{{QStringLiteral("0x0037001F"), QStringLiteral("Gro\u00dfe Anlage")},
                                              {QStringLiteral("0x1000001F"), QStringLiteral("Anbei die Daten.")},
                                              {QStringLiteral("0x0E080003"), int(data.size() + 2000)}}},
        {QStringLiteral("attachments"),
         QJsonArray{QJsonObject{{QStringLiteral("fileName"), QStringLiteral("daten.bin")},
                                {QStringLiteral("mimeType"), QStringLiteral("application/octet-stream")},
                                {QStringLiteral("base64"), QString::fromLatin1(data.toBase64())}}}}};
    const QJsonObject folder{{QStringLiteral("name"), QStringLiteral("Gro\u00df")},
                             {QStringLiteral("class"), QStringLiteral("IPF.Note")},
                             {QStringLiteral("items"), QJsonArray{item}}};
    const QJsonObject store{{QStringLiteral("name"), QStringLiteral("Bench")},
                            {QStringLiteral("folders"), QJsonArray{folder}}};
    return QJsonDocument(QJsonObject{{QStringLiteral("stores"), QJsonArray{store}}}).toJson(QJsonDocument::Compact);
}

// ---- scale ------------------------------------------------------------------------------------

// Attachment bytes of message i: most messages small, some large, none above 1 MiB in all; the
// same mix for every mailbox size (a function of i alone).
int generatedBytes(int i)
{
    const quint32 h = quint32(i) * 2654435761u;
    switch (i % 100) {
    case 0: // 1 %: 512 KiB to 1 MiB - 16 KiB
        return 512 * 1024 + int(h % (496 * 1024));
    case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8: case 9: // 9 %: 128 to 512 KiB
        return 128 * 1024 + int(h % (384 * 1024));
    default:
        if (i % 100 < 40) // 30 %: 8 to 128 KiB
            return 8 * 1024 + int(h % (120 * 1024));
        return 0; // 60 %: text only
    }
}

// A mailbox of `count` messages in 50 folders (10 with 4 subfolders each), messages dealt out in
// turn; the attachments' data is made up when read, so the store itself stays small.
QByteArray scaleFixture(int count)
{
    constexpr int kTop = 10, kSub = 4, kFolders = kTop * (1 + kSub);
    std::vector<QByteArray> items(kFolders);
    for (int i = 0; i < count; ++i) {
        const int bytes = generatedBytes(i);
        QByteArray body = "Nachricht " + QByteArray::number(i) + " \u00fcber die Skalierung.";
        for (int k = 0; k < 4 + i % 12; ++k)
            body += " Zeile " + QByteArray::number(k) + " mit etwas Text.";
        QByteArray item = "{\"props\":{\"0x0037001F\":\"Skalierung " + QByteArray::number(i) +
                          "\",\"0x0E080003\":" + QByteArray::number(bytes + body.size() + 600) +
                          ",\"0x0E060040\":\"2024-03-" + QByteArray::number(1 + i % 28).rightJustified(2, '0') +
                          "T10:" + QByteArray::number(i % 60).rightJustified(2, '0') +
                          ":00Z\",\"0x0C1A001F\":\"Absender " + QByteArray::number(i % 97) +
                          "\",\"0x0C1F001F\":\"absender" + QByteArray::number(i % 97) +
                          "@example.com\",\"0x0C1E001F\":\"SMTP\",\"0x0E04001F\":\"Empf\u00e4nger\",\"0x1000001F\":\"" + body +
                          "\"},\"recipients\":[{\"type\":\"To\",\"name\":\"Empf\u00e4nger\",\"address\":\"an@example.org\"}]";
        if (bytes > 0)
            item += ",\"attachments\":[{\"fileName\":\"anlage" + QByteArray::number(i) +
                    ".bin\",\"mimeType\":\"application/octet-stream\",\"generated\":" + QByteArray::number(bytes) + "}]";
        item += "}";
        QByteArray& folder = items[std::size_t(i % kFolders)];
        if (!folder.isEmpty())
            folder += ',';
        folder += item;
    }
    QByteArray folders;
    for (int t = 0; t < kTop; ++t) {
        QByteArray subs;
        for (int k = 0; k < kSub; ++k)
            subs += QByteArray(k ? "," : "") + "{\"name\":\"Unterordner " + QByteArray::number(t) + "." +
                    QByteArray::number(k) + "\",\"class\":\"IPF.Note\",\"items\":[" +
                    items[std::size_t(kTop + t * kSub + k)] + "]}";
        folders += QByteArray(t ? "," : "") + "{\"name\":\"Ordner " + QByteArray::number(t) +
                   "\",\"class\":\"IPF.Note\",\"items\":[" + items[std::size_t(t)] + "],\"folders\":[" + subs + "]}";
    }
    return "{\"stores\":[{\"name\":\"Skalierung\",\"folders\":[" + folders + "]}]}";
}

// A line of /proc/self/status in KiB ("VmRSS", "VmHWM").
long statusKiB(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key) && line.size() > qsizetype(std::strlen(key)) && line.at(qsizetype(std::strlen(key))) == ':')
            return line.mid(qsizetype(std::strlen(key)) + 1).trimmed().split(' ').value(0).toLong();
    return -1;
}

// One mailbox size, in this process: prints "RESULT scale=... imported=... failed=... seconds=...
// cpu_s=... loaded_kib=... heap_kib=... peak_kib=...": the resident memory once the store is loaded, the
// heap its objects take (mallinfo2: in use, not what the allocator keeps free), and the peak during the
// import (the peak is reset before it starts).
int scaleOne(int count, CrmTransport& transport, const std::function<QString(const QString&)>& url)
{
    QTemporaryFile fixture;
    if (!fixture.open())
        return 1;
    fixture.write(scaleFixture(count));
    fixture.flush();
    qputenv("KELVOR_STORE", QFile::encodeName(fixture.fileName()));
    ExOutlook outlook(0, ExScanProfile::email());
    qunsetenv("KELVOR_STORE");
    if (!outlook.status())
        return 1;
    outlook.ScanFolders();
    TestCrm crm(QStringLiteral("mailscale_%1_%2").arg(count).arg(QCoreApplication::applicationPid()));
    writeCrmSettings({url(crm.baseUrl()), QStringLiteral("demo"), QStringLiteral("demo")});
    // What the allocator kept from parsing the fixture is not the store's: give it back first.
    malloc_trim(0);
    const long loaded = statusKiB("VmRSS");
    const std::size_t heap = mallinfo2().uordblks; // what the store's objects take, without the allocator's free space
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5"); // resets the peak to the present size
    clear.close();
    ExMailRun run;
    QElapsedTimer timer;
    timer.start();
    const double cpu0 = cpuSeconds();
    runImport(run, transport, outlook.stores());
    const double seconds = timer.elapsed() / 1000.0;
    const double cpu = cpuSeconds() - cpu0;
    std::printf("RESULT scale=%d imported=%d failed=%d seconds=%.3f cpu_s=%.3f loaded_kib=%ld heap_kib=%zu "
                "peak_kib=%ld\n",
                count, run.importedCount(), run.failedCount(), seconds, cpu, loaded, heap / 1024, statusKiB("VmHWM"));
    return run.importedCount() == count ? 0 : 1;
}

// Every size in a process of its own; a table of the results.
int scaleCompare(const QStringList& counts, const QStringList& passOn)
{
    std::printf("| messages | imported | seconds | messages/s | ms per message | CPU ms per message | resident once "
                "loaded | heap in use once loaded | peak during the import | peak - loaded |\n"
                "|---|---|---|---|---|---|---|---|---|---|\n");
    for (const QString& c : counts) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--scale-one"), c} + passOn);
        child.waitForFinished(-1);
        QByteArray line;
        for (const QByteArray& l : child.readAllStandardOutput().split('\n'))
            if (l.startsWith("RESULT "))
                line = l;
        QHash<QByteArray, QByteArray> v;
        for (const QByteArray& kv : line.mid(7).split(' '))
            v.insert(kv.left(kv.indexOf('=')), kv.mid(kv.indexOf('=') + 1));
        const double n = v.value("scale").toDouble(), s = v.value("seconds").toDouble();
        const double loaded = v.value("loaded_kib").toDouble() / 1024, peak = v.value("peak_kib").toDouble() / 1024;
        if (line.isEmpty() || n <= 0 || s <= 0) {
            std::printf("| %s | failed (exit %d) | | | | | | | | |\n", qPrintable(c), child.exitCode());
            continue;
        }
        std::printf("| %.0f | %s (%s failed) | %.1f | %.1f | %.2f | %.2f | %.1f MiB | %.1f MiB | %.1f MiB | %.1f MiB |\n",
                    n, v.value("imported").constData(), v.value("failed").constData(), s, n / s, 1000 * s / n,
                    1000 * v.value("cpu_s").toDouble() / n, loaded, v.value("heap_kib").toDouble() / 1024, peak,
                    peak - loaded);
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    // Settings of their own (a fresh store, as on a first start) and the logs beside them, never the
    // user's; the file arguments are taken as given, so make them absolute first.
    QStringList given;
    for (int i = 0; i < argc; ++i)
        given << QString::fromLocal8Bit(argv[i]);
    QString files;
    if (given.size() > 1 && !given.at(1).startsWith(QLatin1String("--")))
        for (const QString& f : given.at(1).split(QLatin1Char(':'), Qt::SkipEmptyParts))
            files += (files.isEmpty() ? QString() : QStringLiteral(":")) + QFileInfo(f).absoluteFilePath();
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(work.path()));
    // The diagnostic log goes where the program writes it: a file in the current folder.
    installMessageLog(QStringLiteral("kelvor_email.log"));
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2 || qEnvironmentVariableIsEmpty("KELVOR_TESTCRM_STATE")) {
        std::fprintf(stderr, "usage: KELVOR_TESTCRM_STATE=<state> kelvor_mail_bench file.pst[:file.pst...]|--generated=N [rounds] "
                             "[--large MiB KiB/s] [--rtt ms] [--https] [--inflight N]\n");
        return 2;
    }
    // With --https the CRM is reached on the state's HTTPS port (directly or through the relay).
    const bool https = args.contains(QStringLiteral("--https"));
    quint16 httpsPort = 0;
    if (https) {
        QFile portFile(qEnvironmentVariable("KELVOR_TESTCRM_STATE") + QStringLiteral("/https_port"));
        if (portFile.open(QIODevice::ReadOnly))
            httpsPort = quint16(QString::fromLatin1(portFile.readAll()).trimmed().toUInt());
        if (httpsPort == 0) {
            std::fprintf(stderr, "no HTTPS port: start the test CRM with testcrm start --https\n");
            return 2;
        }
    }
    const int inflightAt = int(args.indexOf(QStringLiteral("--inflight")));
    const int inflight = inflightAt > 0 && args.size() > inflightAt + 1 ? args.at(inflightAt + 1).toInt() : 0;
    // With --rtt every exchange of the import and of the replay goes through a delaying relay.
    const int rttAt = int(args.indexOf(QStringLiteral("--rtt")));
    QProcess relay;
    quint16 relayPort = 0;
    if (rttAt > 0 && args.size() > rttAt + 1) {
        const QUrl server(TestCrm(QStringLiteral("mailbench_probe")).baseUrl());
        relay.start(QCoreApplication::applicationDirPath() + QStringLiteral("/kelvor_delayproxy"),
                    {QStringLiteral("0"), QString::number(https ? httpsPort : server.port()), args.at(rttAt + 1),
                     QStringLiteral("3600")});
        while (relay.waitForReadyRead(5000)) {
            const QByteArray line = relay.readLine().trimmed();
            if (line.startsWith("listening ")) {
                relayPort = quint16(line.mid(10).toUInt());
                break;
            }
        }
        if (relayPort == 0) {
            std::fprintf(stderr, "kelvor_delayproxy did not start (build it: target kelvor_delayproxy)\n");
            return 1;
        }
    }
    const auto viaRelay = [relayPort, https, httpsPort](const QString& baseUrl) {
        QUrl url(baseUrl);
        if (https) {
            url.setScheme(QStringLiteral("https"));
            url.setPort(httpsPort);
        }
        if (relayPort != 0)
            url.setPort(relayPort);
        return url.toString();
    };
    const CurlGlobal curl;
    CrmMemoryTrustStore trust;
    CrmTransport transport(trust);
    if (inflight > 0)
        openCrmSettings()->setValue(QStringLiteral("CRM_INFLIGHT"), inflight);
    if (https) {
        // The certificate is known before the runs, as the wizard's connection check leaves it for the
        // importers: no run pays the first-use probe (a bare loop never does). A transport of its own,
        // so that no connection of this logon is left for the runs.
        CrmTransport first(trust);
        (void)crmLogon(first, viaRelay(TestCrm(QStringLiteral("mailbench_probe")).baseUrl()), QStringLiteral("demo"),
                       QStringLiteral("demo"), QByteArray());
    }
    if (args.at(1) == QLatin1String("--scale-one") && args.size() > 2)
        return scaleOne(args.at(2).toInt(), transport, viaRelay);
    if (args.at(1) == QLatin1String("--scale") && args.size() > 2) {
        QStringList passOn;
        for (const QString& flag : {QStringLiteral("--rtt"), QStringLiteral("--inflight")})
            if (args.indexOf(flag) > 0 && args.size() > args.indexOf(flag) + 1)
                passOn << flag << args.at(args.indexOf(flag) + 1);
        if (https)
            passOn << QStringLiteral("--https");
        return scaleCompare(args.at(2).split(QLatin1Char(','), Qt::SkipEmptyParts), passOn);
    }
    const int rounds = args.size() > 2 && !args.at(2).startsWith(QLatin1String("--")) ? args.at(2).toInt() : 3;
    const int largeAt = int(args.indexOf(QStringLiteral("--large")));

    // --generated=N in place of the files: the scale generator's mailbox of N messages.
    QTemporaryFile generated;
    const char* storeVariable = "KELVOR_PST";
    QByteArray storeValue = QFile::encodeName(files);
    if (args.at(1).startsWith(QLatin1String("--generated="))) {
        const int count = args.at(1).mid(12).toInt();
        if (count <= 0 || !generated.open())
            return 2;
        generated.write(scaleFixture(count));
        generated.flush();
        storeVariable = "KELVOR_STORE";
        storeValue = QFile::encodeName(generated.fileName());
    }
    qputenv(storeVariable, storeValue);
    ExOutlook outlook(0, ExScanProfile::email());
    qunsetenv(storeVariable);
    if (!outlook.status())
        return 1;
    outlook.ScanFolders();

    double importSeconds = 0, bareSeconds = 0, importCpu = 0;
    qint64 messages = 0, bytes = 0, bareStored = 0;
    for (int round = 0; round < rounds; ++round) {
        TestCrm crm(QStringLiteral("mailbench_import_%1").arg(round));
        TestCrm bare(QStringLiteral("mailbench_bare_%1").arg(round));
        writeCrmSettings({viaRelay(crm.baseUrl()), QStringLiteral("demo"), QStringLiteral("demo")});
        ExMailRun run;
        std::atomic<qint64> roundBytes{0};
        run.setExchange([&](CrmTransport& transport, const QString& url, const QString& service, const QString& action,
                            const QByteArray& log, const QByteArray& request) {
            roundBytes += request.size();
            return crmExchange(transport, url, service, action, log, request);
        });
        QElapsedTimer timer;
        timer.start();
        const double cpu0 = cpuSeconds();
        runImport(run, transport, outlook.stores());
        importSeconds += timer.elapsed() / 1000.0;
        importCpu += cpuSeconds() - cpu0;
        messages += run.importedCount();
        bytes += roundBytes.load();
        if (run.failedCount() != 0)
            std::fprintf(stderr, "round %d: %d messages failed\n", round, run.failedCount());

        int stored = 0;
        QList<QByteArray> sourceFolders;
        for (const auto& f : crm.stored().value(QStringLiteral("mailfolders")).toArray())
            sourceFolders << QByteArray::number(f.toObject().value(QStringLiteral("id")).toInt());
        const double s = replay(crm.requests(), sourceFolders, viaRelay(bare.baseUrl()), &stored);
        if (s < 0)
            return 1;
        bareSeconds += s;
        bareStored += stored;
    }
    const double mib = bytes / 1048576.0;
    if (rounds > 0) {
        std::printf("import: %lld messages, %.2f MiB of requests in %.3f s = %.1f messages/s, %.2f MiB/s\n",
                    static_cast<long long>(messages), mib, importSeconds, messages / importSeconds,
                    mib / importSeconds);
        std::printf("bare libcurl replay of the same requests: %lld stored in %.3f s = %.1f messages/s, %.2f MiB/s\n",
                    static_cast<long long>(bareStored), bareSeconds, bareStored / bareSeconds, mib / bareSeconds);
        std::printf("ratio import/bare: %.0f %%\n", 100.0 * bareSeconds / importSeconds);
        std::printf("RESULT messages=%lld bare_stored=%lld import_s=%.3f bare_s=%.3f rate=%.2f bare_rate=%.2f "
                    "ratio=%.3f cpu_ms=%.3f inflight=%d\n",
                    static_cast<long long>(messages), static_cast<long long>(bareStored), importSeconds, bareSeconds,
                    messages / importSeconds, bareStored / bareSeconds, bareSeconds / importSeconds,
                    messages > 0 ? 1000.0 * importCpu / double(messages) : 0.0, inflight > 0 ? inflight : 1);
    }

    if (largeAt > 0 && args.size() > largeAt + 2) {
        const int mebibytes = args.at(largeAt + 1).toInt();
        const qint64 rate = args.at(largeAt + 2).toLongLong() * 1024;
        TestCrm crm(QStringLiteral("mailbench_large"));
        const QUrl target(crm.baseUrl());
        Throttle throttle(quint16(target.port()), rate);
        throttle.start();
        while (throttle.port() == 0)
            QThread::msleep(5);
        QUrl relayed = target;
        relayed.setPort(throttle.port());
        writeCrmSettings({relayed.toString(), QStringLiteral("demo"), QStringLiteral("demo")});
        QTemporaryFile fixture;
        fixture.open();
        fixture.write(largeFixture(mebibytes));
        fixture.flush();
        qputenv("KELVOR_STORE", fixture.fileName().toLocal8Bit());
        ExOutlook large(0, ExScanProfile::email());
        qunsetenv("KELVOR_STORE");
        large.ScanFolders();
        PauseMeter view;
        ExMailRun run;
        std::atomic<qint64> uploaded{0};
        run.setExchange([&](CrmTransport& transport, const QString& url, const QString& service, const QString& action,
                            const QByteArray& log, const QByteArray& request) {
            uploaded = qMax<qint64>(uploaded, request.size());
            return crmExchange(transport, url, service, action, log, request);
        });
        QElapsedTimer timer;
        timer.start();
        view.start();
        runImport(run, transport, large.stores());
        view.stop();
        std::printf("large message: %.1f MiB request through a %lld KiB/s relay in %.1f s, stored: %d; "
                    "longest event-loop pause: %lld ms\n",
                    uploaded.load() / 1048576.0, static_cast<long long>(rate / 1024), timer.elapsed() / 1000.0,
                    run.importedCount(), static_cast<long long>(view.longestPause));
        throttle.quit();
        throttle.wait();
    }
    return 0;
}
