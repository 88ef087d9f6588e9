// Converts every message of .pst/.ost files to MIME and reports the speed (not a test).
//
//   mimebench [-o DIR] [-r N] FILE...
//     -o DIR  also write each source as DIR/<n>.eml (inspection)
//     -r N    repeat the conversion N times (default 1); the figures are of the fastest round
//   mimebench -big MIB
//     converts one made-up message with a MIB MiB attachment and prints the growth of the peak
//     resident memory during the conversion, as a multiple of the message size
// Prints one line per file and a total: messages, MIME MiB, CPU seconds, messages/s and MiB/s (input
// file size per CPU second; wall time is printed too) and the peak resident memory of the process.
// CPU time is the measure: on a shared machine wall time depends on the other load.
#include "mimeconverter.h"
#include "xmapi.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <sys/resource.h>

#include <cstdio>
#include <ctime>
#include <memory>

namespace {

struct Counts {
    long messages = 0;
    long failed = 0;
    double mimeBytes = 0;
    long maxMime = 0;
};

// Opens every entry of the folder's contents table (contents) or hierarchy table and hands it to use.
template <typename Use>
void forEachEntry(xmapi::Folder& folder, bool contents, Use use)
{
    std::unique_ptr<xmapi::Table> t;
    xmapi::RowSet rows;
    const xmapi::HResult hr =
        contents ? folder.GetContentsTable(MAPI_UNICODE, t) : folder.GetHierarchyTable(MAPI_UNICODE, t);
    if (xmapi::failed(hr) || !t || xmapi::HrQueryAllRows(*t, {PR_ENTRYID}, rows) != S_OK)
        return;
    for (const auto& r : rows) {
        std::uint32_t type = 0;
        std::unique_ptr<xmapi::MapiProp> obj;
        if (xmapi::succeeded(folder.OpenEntry(r[0].bin, 0, type, obj)))
            use(std::move(obj));
    }
}

void walk(xmapi::Folder& folder, Counts& c, const QString& outDir)
{
    forEachEntry(folder, true, [&](std::unique_ptr<xmapi::MapiProp> obj) {
        auto msg = xmapi::objectCast<xmapi::Message>(std::move(obj));
        if (!msg)
            return;
        QByteArray mime;
        if (xmapi::failed(ConvertMessageToMime(*msg, mime))) {
            ++c.failed;
            return;
        }
        ++c.messages;
        c.mimeBytes += static_cast<double>(mime.size());
        c.maxMime = std::max<long>(c.maxMime, static_cast<long>(mime.size()));
        if (!outDir.isEmpty()) {
            QFile f(QStringLiteral("%1/%2.eml").arg(outDir).arg(c.messages));
            if (f.open(QIODevice::WriteOnly))
                f.write(mime);
        }
    });
    forEachEntry(folder, false, [&](std::unique_ptr<xmapi::MapiProp> obj) {
        if (auto sub = xmapi::objectCast<xmapi::Folder>(std::move(obj)))
            walk(*sub, c, outDir);
    });
}

bool convertFile(const QString& path, Counts& c, const QString& outDir)
{
    std::unique_ptr<xmapi::Session> session;
    if (xmapi::failed(xmapi::logonPstFiles({path.toStdString()}, session)))
        return false;
    std::unique_ptr<xmapi::Table> stores;
    xmapi::RowSet rows;
    if (xmapi::failed(session->GetMsgStoresTable(0, stores)) ||
        xmapi::HrQueryAllRows(*stores, {PR_ENTRYID}, rows) != S_OK)
        return false;
    for (const auto& r : rows) {
        std::unique_ptr<xmapi::MsgStore> store;
        if (xmapi::failed(session->OpenMsgStore(0, r[0].bin, MAPI_BEST_ACCESS, store)))
            continue;
        xmapi::PropValue top;
        if (xmapi::failed(xmapi::HrGetOneProp(*store, PR_IPM_SUBTREE_ENTRYID, top)))
            continue;
        std::uint32_t type = 0;
        std::unique_ptr<xmapi::MapiProp> obj;
        if (xmapi::failed(store->OpenEntry(top.bin, 0, type, obj)))
            continue;
        if (auto folder = xmapi::objectCast<xmapi::Folder>(std::move(obj)))
            walk(*folder, c, outDir);
    }
    return true;
}

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long peakRssKiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// A message with one large attachment, handed out as a back-end would (data read on request).
class BigMessage : public xmapi::Message {
public:
    explicit BigMessage(std::size_t size) : m_size(size) {}
    xmapi::HResult GetProps(const std::vector<xmapi::PropTag>& tags, std::uint32_t,
                            std::vector<xmapi::PropValue>& values) override
    {
        values.clear();
        for (auto t : tags) {
            if (t == PR_SUBJECT_W) {
                xmapi::PropValue v;
                v.tag = t;
                v.str = "Large attachment";
                values.push_back(v);
            } else {
                values.push_back(xmapi::PropValue::error(t, MAPI_E_NOT_FOUND));
            }
        }
        return MAPI_W_ERRORS_RETURNED;
    }
    xmapi::HResult GetIDsFromNames(const std::vector<xmapi::NamedProp>&, std::uint32_t,
                                   std::vector<xmapi::PropTag>&) override
    {
        return MAPI_E_NO_SUPPORT;
    }
    xmapi::HResult GetRecipients(std::vector<xmapi::Recipient>& r) override
    {
        r.assign(1, xmapi::Recipient{MAPI_TO, "Empfänger", "SMTP", "to@example.org", {}});
        return S_OK;
    }
    xmapi::HResult GetBodies(xmapi::MessageBodies& b) override
    {
        b = xmapi::MessageBodies();
        b.hasPlain = true;
        b.plain = "Anbei die Datei.";
        return S_OK;
    }
    xmapi::HResult GetAttachments(std::vector<xmapi::AttachmentInfo>& atts) override
    {
        xmapi::AttachmentInfo a;
        a.fileName = "daten.bin";
        a.hasData = true;
        a.data.resize(m_size);
        std::uint32_t x = 12345;
        for (auto& byte : a.data) { // incompressible, as a real file would be
            x = x * 1103515245u + 12345u;
            byte = static_cast<std::uint8_t>(x >> 24);
        }
        atts.clear();
        atts.push_back(std::move(a));
        return S_OK;
    }
    xmapi::HResult OpenEmbeddedMessage(std::size_t, std::unique_ptr<xmapi::Message>&) override
    {
        return MAPI_E_NOT_FOUND;
    }

private:
    std::size_t m_size;
};

int bigMessage(double mib)
{
    const auto size = static_cast<std::size_t>(mib * 1048576.0);
    BigMessage msg(size);
    QByteArray warmup;
    BigMessage small(1024);
    (void)ConvertMessageToMime(small, warmup); // library set-up outside the measurement
    const long before = peakRssKiB();
    const double cpu0 = cpuSeconds();
    QByteArray mime;
    const std::int32_t hr = ConvertMessageToMime(msg, mime);
    const double cpu = cpuSeconds() - cpu0;
    const long after = peakRssKiB();
    std::printf("message of %.2f MiB: result %d, MIME %.2f MiB, %.4f s cpu, peak RSS %ld -> %ld KiB: grew by %.2f x "
                "the message size\n",
                static_cast<double>(size) / 1048576.0, hr, static_cast<double>(mime.size()) / 1048576.0, cpu, before,
                after, static_cast<double>(after - before) * 1024.0 / static_cast<double>(size));
    return xmapi::failed(hr) ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() == 2 && args.first() == QLatin1String("-big"))
        return bigMessage(args.last().toDouble());
    QString outDir;
    int rounds = 1;
    while (!args.isEmpty() && args.first().startsWith(QLatin1Char('-'))) {
        const QString opt = args.takeFirst();
        if (opt == QLatin1String("-o") && !args.isEmpty())
            outDir = args.takeFirst();
        else if (opt == QLatin1String("-r") && !args.isEmpty())
            rounds = std::max(1, args.takeFirst().toInt());
        else {
            std::fprintf(stderr, "usage: mimebench [-o DIR] [-r N] FILE...\n");
            return 2;
        }
    }
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: mimebench [-o DIR] [-r N] FILE...\n");
        return 2;
    }
    if (!outDir.isEmpty())
        QDir().mkpath(outDir);
    if (xmapi::failed(xmapi::MAPIInitialize()))
        return 1;
    xmapi::setLogSink([](xmapi::LogLevel, const std::string&) {});
    Counts total;
    double totalSeconds = 0, totalInput = 0;
    for (const QString& path : args) {
        Counts best;
        double bestSeconds = -1, bestWall = 0;
        for (int round = 0; round < rounds; ++round) {
            Counts c;
            QElapsedTimer timer;
            timer.start();
            const double cpu0 = cpuSeconds();
            if (!convertFile(path, c, round == 0 ? outDir : QString())) {
                std::fprintf(stderr, "%s: cannot be opened\n", qPrintable(path));
                break;
            }
            const double s = cpuSeconds() - cpu0;
            const double wall = static_cast<double>(timer.nsecsElapsed()) / 1e9;
            if (bestSeconds < 0 || s < bestSeconds) {
                bestSeconds = s;
                bestWall = wall;
                best = c;
            }
        }
        if (bestSeconds < 0)
            continue;
        const double input = static_cast<double>(QFileInfo(path).size());
        std::printf("%-32s %5ld msgs %3ld failed %8.2f MiB mime %8.4f s cpu (%.4f s wall) %9.1f msgs/s %8.1f MiB/s "
                    "(largest %.2f MiB)\n",
                    qPrintable(QFileInfo(path).fileName()), best.messages, best.failed, best.mimeBytes / 1048576.0,
                    bestSeconds, bestWall, best.messages / bestSeconds, input / 1048576.0 / bestSeconds,
                    static_cast<double>(best.maxMime) / 1048576.0);
        total.messages += best.messages;
        total.failed += best.failed;
        total.mimeBytes += best.mimeBytes;
        totalSeconds += bestSeconds;
        totalInput += input;
    }
    std::printf("%-32s %5ld msgs %3ld failed %8.2f MiB mime %8.4f s cpu %9.1f msgs/s %8.1f MiB/s peak RSS %ld KiB\n",
                "total",
                total.messages, total.failed, total.mimeBytes / 1048576.0, totalSeconds,
                totalSeconds > 0 ? total.messages / totalSeconds : 0.0,
                totalSeconds > 0 ? totalInput / 1048576.0 / totalSeconds : 0.0, peakRssKiB());
    xmapi::MAPIUninitialize();
    return 0;
}
