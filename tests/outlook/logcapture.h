// Collects the program's log lines (qDebug/qWarning/qCritical) for assertions.
#pragma once

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

class LogCapture {
public:
    LogCapture() { s_lines.clear(); m_previous = qInstallMessageHandler(&LogCapture::handler); }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    static QStringList lines()
    {
        QMutexLocker lock(&s_mutex);
        return s_lines;
    }
    static void clear()
    {
        QMutexLocker lock(&s_mutex);
        s_lines.clear();
    }
    // Index of the first line equal to `line` at or after `from`, -1 if none.
    static int indexOf(const QString& line, int from = 0) { return lines().indexOf(line, from); }

private:
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& msg)
    {
        const char* prefix = type == QtDebugMsg ? "Debug: " : type == QtWarningMsg ? "Warning: " : "Critical: ";
        QMutexLocker lock(&s_mutex);
        s_lines.append(QString::fromLatin1(prefix) + msg);
    }
    inline static QMutex s_mutex;
    inline static QStringList s_lines;
    QtMessageHandler m_previous = nullptr;
};
