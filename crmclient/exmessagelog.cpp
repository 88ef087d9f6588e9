#include "exmessagelog.h"

#include <QDir>
#include <QMutex>
#include <QMutexLocker>

#include <cstdio>

namespace
{

struct MessageLog {
    QMutex mutex; // guards the lazy open; fprintf/fflush on one stream are serialised by the C runtime
    std::FILE* stream = nullptr;
    QString fileName;
    LogLineEnding ending = LogLineEnding::Lf;
    QtMessageHandler previous = nullptr;
    bool installed = false;
};

MessageLog& state()
{
    static MessageLog log;
    return log;
}

void handler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    MessageLog& log = state();
    const char* format = nullptr;
    const bool crlf = log.ending == LogLineEnding::CrLf;
    switch (type) {
    case QtDebugMsg:
        format = crlf ? "Debug: %s\r\n" : "Debug: %s\n";
        break;
    case QtWarningMsg:
        format = crlf ? "Warning: %s\r\n" : "Warning: %s\n";
        break;
    case QtCriticalMsg:
        format = crlf ? "Critical: %s\r\n" : "Critical: %s\n";
        break;
    case QtFatalMsg:
        format = crlf ? "Fatal: %s\r\n" : "Fatal: %s\n";
        break;
    default:
        return; // info messages have no line of their own
    }
    QMutexLocker lock(&log.mutex);
    if (!log.stream) {
        const QString path = QDir::currentPath() + QLatin1Char('/') + log.fileName;
        log.stream = std::fopen(QFile::encodeName(path).constData(), "wb");
        if (!log.stream)
            return; // dropped; the next message tries again
    }
    std::fprintf(log.stream, format, message.toUtf8().constData());
    std::fflush(log.stream);
}

} // namespace

void installMessageLog(const QString& fileName, LogLineEnding ending)
{
    MessageLog& log = state();
    {
        QMutexLocker lock(&log.mutex);
        if (log.stream) {
            std::fclose(log.stream);
            log.stream = nullptr;
        }
        log.fileName = fileName;
        log.ending = ending;
    }
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
}

void closeMessageLog()
{
    MessageLog& log = state();
    QMutexLocker lock(&log.mutex);
    if (log.stream) {
        std::fclose(log.stream);
        log.stream = nullptr;
    }
}
