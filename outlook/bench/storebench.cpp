// storebench: reads whole .pst/.ost files through the store interface and compares with pffexport.
//
//   storebench --tree FILE...        folder tree below each store's top folder: name, class,
//                                    PR_CONTENT_COUNT and the rows its contents table gave
//   storebench --messages FILE...    every message reopened by its entry id: class, subject,
//                                    recipients, bodies, attachments
//   storebench [--rounds N] FILE...  scan every folder and read every contents-table row with the
//                                    48 contact columns (N times), then time `pffexport -m all`
//                                    on the same files; report files/s, rows/s and peak memory
#include "propaccess.h"
#include "xmapi.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Counts {
    long folders = 0;
    long rows = 0;
    long values = 0;
};

long peakRssKiB(int who)
{
    rusage ru{};
    getrusage(who, &ru);
    return ru.ru_maxrss;
}

bool g_messages = false;

void describeMessage(xmapi::Message& m, const std::string& indent)
{
    std::vector<xmapi::PropValue> v;
    (void)m.GetProps({PR_MESSAGE_CLASS_W, PR_SUBJECT_W}, 0, v);
    std::printf("%s[%s] %s\n", indent.c_str(), v[0].isError() ? "-" : v[0].str.c_str(),
                v[1].isError() ? "(no subject)" : v[1].str.c_str());
    std::vector<xmapi::Recipient> recipients;
    if (xmapi::succeeded(m.GetRecipients(recipients)))
        for (const auto& r : recipients)
            std::printf("%s  recipient %d: %s <%s:%s> smtp=%s\n", indent.c_str(), r.type, r.displayName.c_str(),
                        r.addressType.c_str(), r.emailAddress.c_str(), r.smtpAddress.c_str());
    xmapi::MessageBodies b;
    if (xmapi::succeeded(m.GetBodies(b)))
        std::printf("%s  bodies: plain %s(%zu) html %s(%zu, cp %d) rtf %s(%zu)\n", indent.c_str(), b.hasPlain ? "yes" : "no",
                    b.plain.size(), b.hasHtml ? "yes" : "no", b.html.size(), b.htmlCodePage, b.hasRtf ? "yes" : "no",
                    b.rtf.size());
    std::vector<xmapi::AttachmentInfo> atts;
    if (xmapi::succeeded(m.GetAttachments(atts)))
        for (std::size_t i = 0; i < atts.size(); ++i) {
            const auto& a = atts[i];
            std::printf("%s  attachment %zu: method %d '%s' %s cid=%s flags=%d hidden=%d %zu bytes\n", indent.c_str(), i,
                        a.method, a.fileName.c_str(), a.mimeType.c_str(), a.contentId.c_str(), a.flags, a.hidden ? 1 : 0,
                        a.data.size());
            std::unique_ptr<xmapi::Message> inner;
            if (a.method == ATTACH_EMBEDDED_MSG && xmapi::succeeded(m.OpenEmbeddedMessage(i, inner)))
                describeMessage(*inner, indent + "    ");
        }
}

long readRows(xmapi::Folder& folder, const std::vector<xmapi::PropTag>& columns, Counts& c)
{
    std::unique_ptr<xmapi::Table> contents;
    long rows = 0;
    if (xmapi::failed(folder.GetContentsTable(MAPI_UNICODE, contents)) || !contents ||
        xmapi::failed(contents->SetColumns(columns, 0)))
        return -1;
    for (;;) {
        xmapi::RowSet set;
        if (contents->QueryRows(1, 0, set) != S_OK || set.empty())
            break;
        ++rows;
        for (const auto& v : set[0])
            c.values += v.isError() ? 0 : 1;

    }
    c.rows += rows;
    if (g_messages && xmapi::succeeded(folder.GetContentsTable(MAPI_UNICODE, contents))) {
        xmapi::RowSet ids;
        if (xmapi::HrQueryAllRows(*contents, {PR_ENTRYID}, ids) == S_OK)
            for (const auto& r : ids) {
                std::unique_ptr<xmapi::MapiProp> obj;
                std::uint32_t type = 0;
                if (xmapi::failed(folder.OpenEntry(r[0].bin, 0, type, obj)))
                    continue;
                if (auto m = xmapi::objectCast<xmapi::Message>(std::move(obj)))
                    describeMessage(*m, "      ");
            }
    }
    return rows;
}

void walk(xmapi::Folder& folder, const std::vector<xmapi::PropTag>& columns, Counts& c, bool print,
          const std::string& indent)
{
    std::unique_ptr<xmapi::Table> hierarchy;
    if (xmapi::failed(folder.GetHierarchyTable(MAPI_UNICODE, hierarchy)) || !hierarchy)
        return;
    if (xmapi::failed(hierarchy->SetColumns({PR_DISPLAY_NAME_W, PR_ENTRYID, PR_CONTAINER_CLASS_W, PR_CONTENT_COUNT}, 0)))
        return;
    for (;;) {
        xmapi::RowSet set;
        if (hierarchy->QueryRows(1, 0, set) != S_OK || set.empty())
            break;
        const xmapi::Row& r = set[0];
        std::unique_ptr<xmapi::MapiProp> obj;
        std::uint32_t type = 0;
        if (r[1].tag != PR_ENTRYID || xmapi::failed(folder.OpenEntry(r[1].bin, 0, type, obj)))
            continue;
        auto child = xmapi::objectCast<xmapi::Folder>(std::move(obj));
        if (!child)
            continue;
        ++c.folders;
        const long rows = readRows(*child, columns, c);
        if (print)
            std::printf("%s%s [%s] count=%d rows=%ld\n", indent.c_str(),
                        r[0].tag == PR_DISPLAY_NAME_W ? r[0].str.c_str() : "?",
                        r[2].tag == PR_CONTAINER_CLASS_W ? r[2].str.c_str() : "-",
                        r[3].tag == PR_CONTENT_COUNT ? r[3].l : -1, rows);
        walk(*child, columns, c, print, indent + "  ");
    }
}

// One pass over all files: logon, every store, every folder, every row.
bool readAll(const std::vector<std::string>& files, bool print, Counts& c)
{
    std::unique_ptr<xmapi::Session> session;
    if (xmapi::failed(xmapi::logonPstFiles(files, session)))
        return false;
    std::unique_ptr<xmapi::Table> stores;
    if (xmapi::failed(session->GetMsgStoresTable(0, stores)))
        return false;
    xmapi::RowSet rows;
    if (xmapi::HrQueryAllRows(*stores, {PR_DISPLAY_NAME_W, PR_ENTRYID}, rows) != S_OK)
        return false;
    for (const auto& row : rows) {
        std::unique_ptr<xmapi::MsgStore> store;
        if (xmapi::failed(session->OpenMsgStore(0, row[1].bin, MAPI_BEST_ACCESS, store)))
            continue;
        xmapi::PropValue top;
        if (xmapi::failed(xmapi::HrGetOneProp(*store, PR_IPM_SUBTREE_ENTRYID, top)))
            continue;
        std::unique_ptr<xmapi::MapiProp> obj;
        std::uint32_t type = 0;
        if (xmapi::failed(store->OpenEntry(top.bin, 0, type, obj)))
            continue;
        auto folder = xmapi::objectCast<xmapi::Folder>(std::move(obj));
        if (!folder)
            continue;
        std::vector<xmapi::PropTag> named;
        std::vector<xmapi::PropTag> tags;
        const xmapi::Guid address = xmapi::PSETID_Address();
        if (xmapi::failed(folder->GetIDsFromNames({xmapi::NamedProp::byId(address, 0x8083),
                                                   xmapi::NamedProp::byId(address, 0x8093),
                                                   xmapi::NamedProp::byId(address, 0x80A3),
                                                   xmapi::NamedProp::byId(address, 0x8062)},
                                                  0, tags)))
            tags.clear();
        for (auto t : tags)
            named.push_back(CHANGE_PROP_TYPE(t, PT_STRING8));
        const auto columns = ContactColumns(named);
        if (print)
            std::printf("%s (top: %s) rows=%ld\n", row[0].str.c_str(), "IPM subtree", readRows(*folder, columns, c));
        else
            readRows(*folder, columns, c);
        walk(*folder, columns, c, print, "  ");
    }
    return true;
}

struct ToolRun {
    double wall = -1;
    double cpu = 0;
    long peakKiB = 0;
};

// pffexport runs under /usr/bin/time, which reports its peak RSS; our own process's memory must
// not count (a child forked from us inherits our high-water mark).
ToolRun runPffexport(const std::vector<std::string>& files)
{
    ToolRun run;
    char tmpl[] = "/tmp/storebench.XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir)
        return run;
    const std::string timeFile = std::string(dir) + "/time.txt";
    const auto start = std::chrono::steady_clock::now();
    int n = 0;
    for (const auto& file : files) {
        const std::string target = std::string(dir) + "/f" + std::to_string(n++);
        const pid_t pid = fork();
        if (pid == 0) {
            if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr))
                _exit(126);
            execl("/usr/bin/time", "time", "-f", "%M %U %S", "-o", timeFile.c_str(), "pffexport", "-q", "-m", "all",
                  "-t", target.c_str(), file.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (FILE* t = std::fopen(timeFile.c_str(), "r")) {
            long kib = 0;
            double user = 0, sys = 0;
            if (std::fscanf(t, "%ld %lf %lf", &kib, &user, &sys) == 3) {
                run.peakKiB = std::max(run.peakKiB, kib);
                run.cpu += user + sys;
            }
            std::fclose(t);
        }
    }
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string cleanup = std::string("rm -rf '") + dir + "'";
    if (std::system(cleanup.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir);
    return run;
}

double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    bool tree = false;
    int rounds = 1;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--tree") == 0)
            tree = true;
        else if (std::strcmp(argv[i], "--messages") == 0)
            tree = g_messages = true;
        else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else
            files.emplace_back(argv[i]);
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: storebench [--tree] [--rounds N] FILE...\n");
        return 2;
    }
    if (tree) {
        for (const auto& f : files) {
            Counts c;
            std::printf("== %s\n", f.c_str());
            if (!readAll({f}, true, c))
                std::printf("   (logon failed)\n");
            std::printf("   folders=%ld rows=%ld values=%ld\n", c.folders, c.rows, c.values);
        }
        return 0;
    }
    Counts total;
    const long rssBefore = peakRssKiB(RUSAGE_SELF);
    long rssAfterFirst = 0;
    const double cpuStart = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) {
        Counts c;
        readAll(files, false, c);
        total = c;
        if (r == 0)
            rssAfterFirst = peakRssKiB(RUSAGE_SELF);
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuStart;
    const long rss = peakRssKiB(RUSAGE_SELF);
    const ToolRun pff = runPffexport(files);
    const double fileCount = static_cast<double>(files.size()) * rounds;
    std::printf("store interface, %d round(s) over %zu file(s), %ld rows x 48 columns, %ld folders per round:\n",
                rounds, files.size(), total.rows, total.folders);
    std::printf("  wall %.3f s (%.1f files/s, %.0f rows/s); cpu %.3f s (%.1f files/s, %.0f rows/s)\n", secs,
                fileCount / secs, static_cast<double>(total.rows) * rounds / secs, cpu, fileCount / cpu,
                static_cast<double>(total.rows) * rounds / cpu);
    std::printf("  peak RSS %ld KiB before reading, %ld KiB after round 1, %ld KiB after round %d\n", rssBefore,
                rssAfterFirst, rss, rounds);
    std::printf("pffexport -m all, 1 round over %zu file(s):\n", files.size());
    std::printf("  wall %.3f s (%.1f files/s); cpu %.3f s (%.1f files/s); peak RSS %ld KiB\n", pff.wall,
                static_cast<double>(files.size()) / pff.wall, pff.cpu,
                pff.cpu > 0 ? static_cast<double>(files.size()) / pff.cpu : 0.0, pff.peakKiB);
    return 0;
}
