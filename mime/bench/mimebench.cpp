// Converts every message of .pst/.ost files to MIME and reports the speed (not a test).
//
//   mimebench [-o DIR] [-r N] FILE...
//     -o DIR  also write each source as DIR/<n>.eml (inspection)
//     -r N    repeat the conversion N times (default 1); the figures are of the fastest round
//   mimebench -readpst N FILE...
//     the same next to readpst, in N interleaved rounds: per file this conversion in-process, this
//     program as a whole process (start-up included), and `readpst -e -j 0` writing one .eml per
//     message to a tmpfs folder; CPU time (user + system) of each, the median round of each
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
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Counts {
    long messages = 0;
    long failed = 0;
    double mimeBytes = 0;
    long maxMime = 0;
};

// The e-mail importer's contents-table columns.
const std::vector<xmapi::PropTag> kMailColumns = {PR_SUBJECT_W,     PR_MESSAGE_SIZE, PR_MESSAGE_DELIVERY_TIME,
                                                  PR_SENDER_EMAIL_ADDRESS_W, PR_DISPLAY_TO_W, PR_ENTRYID};

void convert(xmapi::Message& msg, Counts& c, const QString& outDir)
{
    QByteArray mime;
    if (xmapi::failed(ConvertMessageToMime(msg, mime))) {
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
}

// The import's path through a folder: its contents table read one row at a time with the import's
// columns, each message opened right after its row and converted; then the subfolders.
void walk(xmapi::Folder& folder, Counts& c, const QString& outDir)
{
    std::unique_ptr<xmapi::Table> t;
    xmapi::RowSet rows;
    if (xmapi::succeeded(folder.GetContentsTable(MAPI_UNICODE, t)) && t && t->SetColumns(kMailColumns, 0) == S_OK) {
        while (t->QueryRows(1, 0, rows) == S_OK && !rows.empty()) {
            const xmapi::PropValue& id = rows.front().back();
            std::uint32_t type = 0;
            std::unique_ptr<xmapi::MapiProp> obj;
            if (id.tag != PR_ENTRYID || xmapi::failed(folder.OpenEntry(id.bin, 0, type, obj)))
                continue;
            if (auto msg = xmapi::objectCast<xmapi::Message>(std::move(obj)))
                convert(*msg, c, outDir);
        }
    }
    t.reset();
    if (xmapi::failed(folder.GetHierarchyTable(MAPI_UNICODE, t)) || !t || xmapi::HrQueryAllRows(*t, {PR_ENTRYID}, rows) != S_OK)
        return;
    for (const auto& r : rows) {
        std::uint32_t type = 0;
        std::unique_ptr<xmapi::MapiProp> obj;
        if (xmapi::succeeded(folder.OpenEntry(r[0].bin, 0, type, obj)))
            if (auto sub = xmapi::objectCast<xmapi::Folder>(std::move(obj)))
                walk(*sub, c, outDir);
    }
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

// Runs a program to its end with its output discarded; its user + system CPU seconds, or -1 when it
// could not be started or did not end with 0.
double childCpuSeconds(const QStringList& command)
{
    std::vector<std::string> args;
    for (const QString& a : command)
        args.push_back(a.toStdString());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage u{};
    if (wait4(pid, &status, 0, &u) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

long countFiles(const QString& dir, const QString& suffix)
{
    long n = 0;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        if (it.next().endsWith(suffix))
            ++n;
    return n;
}

// Messages read and converted per CPU second, next to readpst on the same files in the same run.
int besideReadpst(const QString& self, int rounds, const QStringList& files)
{
    QTemporaryDir out(QStringLiteral("/dev/shm/mimebench.XXXXXX"));
    if (!out.isValid()) {
        std::fprintf(stderr, "no temporary folder in /dev/shm\n");
        return 1;
    }
    std::printf("%d rounds, medians; CPU = user + system; readpst -e -j 0 writes to %s\n", rounds,
                qPrintable(out.path()));
    std::printf("%-24s | %5s %9s %9s | %9s | %5s %9s %9s | %s\n", "file", "msgs", "cpu s", "msgs/s", "proc cpu s",
                "eml", "readpst s", "msgs/s", "rate / readpst: in-process, whole process");
    double sumIn = 0, sumProc = 0, sumReadpst = 0;
    long sumMsgs = 0, sumEml = 0;
    for (const QString& path : files) {
        std::vector<double> in, proc, readpst;
        long messages = 0, eml = 0;
        for (int round = 0; round < rounds; ++round) {
            Counts c;
            const double cpu0 = cpuSeconds();
            if (!convertFile(path, c, QString())) {
                std::fprintf(stderr, "%s: cannot be opened\n", qPrintable(path));
                return 1;
            }
            in.push_back(cpuSeconds() - cpu0);
            messages = c.messages;
            proc.push_back(childCpuSeconds({self, path}));
            const QString dir = out.path() + QStringLiteral("/r");
            QDir(dir).removeRecursively();
            QDir().mkpath(dir);
            const double r = childCpuSeconds({QStringLiteral("readpst"), QStringLiteral("-e"), QStringLiteral("-j"),
                                              QStringLiteral("0"), QStringLiteral("-q"), QStringLiteral("-o"), dir, path});
            if (r < 0) {
                std::fprintf(stderr, "readpst failed on %s (apt-get install pst-utils)\n", qPrintable(path));
                return 1;
            }
            readpst.push_back(r);
            eml = countFiles(dir, QStringLiteral(".eml"));
        }
        const double mi = median(in), mp = median(proc), mr = median(readpst);
        const double rateIn = messages / mi, rateProc = messages / mp, rateReadpst = eml / mr;
        std::printf("%-24s | %5ld %9.4f %9.1f | %9.4f | %5ld %9.4f %9.1f | %.2f x, %.2f x\n",
                    qPrintable(QFileInfo(path).fileName()), messages, mi, rateIn, mp, eml, mr, rateReadpst,
                    rateIn / rateReadpst, rateProc / rateReadpst);
        sumIn += mi;
        sumProc += mp;
        sumReadpst += mr;
        sumMsgs += messages;
        sumEml += eml;
    }
    const double rateIn = sumMsgs / sumIn, rateProc = sumMsgs / sumProc, rateReadpst = sumEml / sumReadpst;
    std::printf("%-24s | %5ld %9.4f %9.1f | %9.4f | %5ld %9.4f %9.1f | %.2f x, %.2f x\n", "total", sumMsgs, sumIn,
                rateIn, sumProc, sumEml, sumReadpst, rateReadpst, rateIn / rateReadpst, rateProc / rateReadpst);
    return 0;
}

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
    if (args.size() >= 3 && args.first() == QLatin1String("-readpst")) {
        if (xmapi::failed(xmapi::MAPIInitialize()))
            return 1;
        xmapi::setLogSink([](xmapi::LogLevel, const std::string&) {});
        const int rc = besideReadpst(QCoreApplication::applicationFilePath(), std::max(1, args.at(1).toInt()),
                                     args.mid(2));
        xmapi::MAPIUninitialize();
        return rc;
    }
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
