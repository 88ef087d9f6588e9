#include "exmessagelog.h"

#include "privatefiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace
{

// Size of the block of pending lines: a block is written with one system call.
constexpr std::size_t blockSize = 64 * 1024;
// How long a line may wait in memory before the flusher writes it.
constexpr std::chrono::milliseconds flushDelay(500);

// Faults, and the signals that end a program from outside (Ctrl-C, kill, a closed terminal).
constexpr int crashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTERM, SIGINT, SIGHUP};
constexpr int crashSignalCount = int(sizeof(crashSignals) / sizeof(crashSignals[0]));

struct MessageLog {
    std::mutex mutex; // guards everything below except what the crash handler reads
    int fd = -1;
    QByteArray path; // the open file's path, for rotation
    qint64 fileSize = 0;
    QString fileName;
    LogLineEnding ending = LogLineEnding::Lf;
    QtMessageHandler previous = nullptr;
    bool installed = false;

    // Pending lines. A fixed block, so that the crash handler can write it out without
    // allocating and without a pointer that moves under it.
    char pending[blockSize];
    std::atomic<std::size_t> used{0};
    std::atomic<int> crashFd{-1};

    std::condition_variable wake;
    std::thread flusher;
    bool stopFlusher = false;

    bool exitHooked = false;
    bool exiting = false; // after the exit hook every line is written at once
    bool signalsHooked = false;
    struct sigaction previousActions[crashSignalCount];
};

// Never destroyed on purpose: a message sent while static objects are being destroyed (a
// destructor that logs) must still find the mutex and the file alive; the exit hook writes
// what is pending.
MessageLog& state()
{
    static MessageLog* const log = new MessageLog;
    return *log;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false; // write errors are ignored: the log is best effort
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

void closeFileLocked(MessageLog& log)
{
    if (log.fd >= 0) {
        log.crashFd.store(-1);
        ::close(log.fd);
        log.fd = -1;
    }
}

bool openFileLocked(MessageLog& log)
{
    log.path = QFile::encodeName(QDir::currentPath() + QLatin1Char('/') + log.fileName);
    log.fd = openPrivateFile(log.path, PrivateOpen::Truncate);
    log.fileSize = 0;
    log.crashFd.store(log.fd);
    return log.fd >= 0;
}

// Starts a new file when the next block would take the current one past the cap: the old one
// becomes "<name>.1", replacing the one rotated before.
void rotateIfNeededLocked(MessageLog& log, std::size_t adding)
{
    if (log.fileSize == 0 || log.fileSize + qint64(adding) <= maxMessageLogFile)
        return;
    closeFileLocked(log);
    const QByteArray old = log.path + ".1";
    (void)::rename(log.path.constData(), old.constData());
    log.fd = openPrivateFile(log.path, PrivateOpen::Truncate);
    log.fileSize = 0;
    log.crashFd.store(log.fd);
}

void writeLocked(MessageLog& log, const char* data, std::size_t size)
{
    rotateIfNeededLocked(log, size);
    if (log.fd < 0)
        return;
    writeAll(log.fd, data, size);
    log.fileSize += qint64(size);
}

void flushLocked(MessageLog& log)
{
    const std::size_t used = log.used.load();
    if (used == 0)
        return;
    writeLocked(log, log.pending, used);
    log.used.store(0);
}

void flusherLoop()
{
    MessageLog& log = state();
    std::unique_lock<std::mutex> lock(log.mutex);
    while (!log.stopFlusher) {
        if (log.used.load() == 0) {
            log.wake.wait(lock, [&log] { return log.stopFlusher || log.used.load() > 0; });
            continue;
        }
        log.wake.wait_for(lock, flushDelay, [&log] { return log.stopFlusher; });
        flushLocked(log);
    }
}

void exitHook()
{
    MessageLog& log = state();
    std::lock_guard<std::mutex> lock(log.mutex);
    flushLocked(log);
    log.exiting = true; // destructors of static objects may still log
}

// Best effort on the way down: the lines of the last moments before a crash are the ones that
// explain it. Only async-signal-safe calls; then the previous disposition handles the signal.
void crashHandler(int signal)
{
    MessageLog& log = state();
    const int fd = log.crashFd.load();
    const std::size_t used = log.used.load();
    if (fd >= 0 && used > 0 && used <= blockSize)
        writeAll(fd, log.pending, used);
    log.used.store(0);
    for (int i = 0; i < crashSignalCount; ++i) {
        if (crashSignals[i] == signal) {
            ::sigaction(signal, &log.previousActions[i], nullptr);
            break;
        }
    }
    ::raise(signal);
}

void hookSignals(MessageLog& log)
{
    if (log.signalsHooked)
        return;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = crashHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_NODEFER;
    for (int i = 0; i < crashSignalCount; ++i)
        ::sigaction(crashSignals[i], &action, &log.previousActions[i]);
    log.signalsHooked = true;
}

void unhookSignals(MessageLog& log)
{
    if (!log.signalsHooked)
        return;
    for (int i = 0; i < crashSignalCount; ++i)
        ::sigaction(crashSignals[i], &log.previousActions[i], nullptr);
    log.signalsHooked = false;
}

void append(MessageLog& log, const char* prefix, const QByteArray& text, bool crlf, bool flushNow)
{
    const std::size_t prefixSize = std::strlen(prefix);
    const char* end = crlf ? "\r\n" : "\n";
    const std::size_t endSize = crlf ? 2 : 1;
    const std::size_t size = prefixSize + std::size_t(text.size()) + endSize;

    std::lock_guard<std::mutex> lock(log.mutex);
    if (log.fd < 0 && !openFileLocked(log))
        return; // dropped; the next message tries again
    const std::size_t used = log.used.load();
    if (used + size > blockSize) {
        flushLocked(log);
        if (size > blockSize) {
            // Larger than a block (a long request or response): straight to the file.
            QByteArray line;
            line.reserve(qsizetype(size));
            line.append(prefix).append(text).append(end);
            writeLocked(log, line.constData(), std::size_t(line.size()));
            return;
        }
    }
    char* at = log.pending + log.used.load();
    std::memcpy(at, prefix, prefixSize);
    std::memcpy(at + prefixSize, text.constData(), std::size_t(text.size()));
    std::memcpy(at + prefixSize + std::size_t(text.size()), end, endSize);
    const bool wasEmpty = log.used.load() == 0;
    log.used.store(log.used.load() + size);
    if (flushNow || log.exiting)
        flushLocked(log);
    else if (wasEmpty)
        log.wake.notify_one();
}

void handler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    MessageLog& log = state();
    const char* prefix = nullptr;
    bool urgent = false;
    switch (type) {
    case QtDebugMsg:
        prefix = "Debug: ";
        break;
    case QtWarningMsg:
        prefix = "Warning: ";
        break;
    case QtCriticalMsg:
        prefix = "Critical: ";
        urgent = true;
        break;
    case QtFatalMsg:
        prefix = "Fatal: ";
        urgent = true; // the process ends right after this line
        break;
    default:
        return; // info messages have no line of their own
    }
    append(log, prefix, boundedMessageText(message), log.ending == LogLineEnding::CrLf, urgent);
}

void stopFlusher(MessageLog& log)
{
    if (!log.flusher.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        log.stopFlusher = true;
    }
    log.wake.notify_all();
    log.flusher.join();
    log.stopFlusher = false;
}

} // namespace

QByteArray boundedMessageText(const QString& message)
{
    QByteArray text = message.toUtf8();
    // The line ends at the first NUL, as a C string would.
    const qsizetype nul = text.indexOf('\0');
    if (nul >= 0)
        text.truncate(nul);
    const qsizetype full = text.size();
    if (std::size_t(full) <= maxMessageLogLine)
        return text;
    qsizetype cut = qsizetype(maxMessageLogLine);
    while (cut > 0 && (uchar(text.at(cut)) & 0xC0) == 0x80)
        --cut; // not inside a UTF-8 sequence
    text.truncate(cut);
    text.append(" ... [cut at ").append(QByteArray::number(cut)).append(" of ").append(QByteArray::number(full));
    text.append(" bytes]");
    return text;
}

void installMessageLog(const QString& fileName, LogLineEnding ending)
{
    MessageLog& log = state();
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        flushLocked(log);
        closeFileLocked(log);
        log.fileName = fileName;
        log.ending = ending;
        if (!log.exitHooked) {
            std::atexit(exitHook);
            log.exitHooked = true;
        }
        hookSignals(log);
    }
    if (!log.flusher.joinable())
        log.flusher = std::thread(flusherLoop);
    QtMessageHandler previous = qInstallMessageHandler(handler);
    if (!log.installed) {
        log.previous = previous;
        log.installed = true;
    }
}

void uninstallMessageLog()
{
    MessageLog& log = state();
    if (log.installed) {
        qInstallMessageHandler(log.previous);
        log.previous = nullptr;
        log.installed = false;
    }
    closeMessageLog();
    stopFlusher(log);
    std::lock_guard<std::mutex> lock(log.mutex);
    unhookSignals(log);
}

void closeMessageLog()
{
    MessageLog& log = state();
    std::lock_guard<std::mutex> lock(log.mutex);
    flushLocked(log);
    closeFileLocked(log);
}

void flushMessageLog()
{
    MessageLog& log = state();
    std::lock_guard<std::mutex> lock(log.mutex);
    flushLocked(log);
}
