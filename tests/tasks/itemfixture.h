// Helpers shared by the task and appointment tests: a memory store scanned the way a program scans
// it, the time zone of the process, log capture and a few JSON builders for fixtures.
#pragma once

#include "crmsettings.h"
#include "crmtransport.h"
#include "exfolder.h"
#include "eximportertable.h"
#include "exoutlook.h"
#include "exrun.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QStringList>
#include <QTemporaryFile>
#include <QTime>
#include <QTimeZone>

#include <ctime>
#include <functional>
#include <memory>

namespace itemtest
{

inline const char* const commonSet = "{00062008-0000-0000-C000-000000000046}";
inline const char* const taskSet = "{00062003-0000-0000-C000-000000000046}";
inline const char* const appointmentSet = "{00062002-0000-0000-C000-000000000046}";
inline const char* const publicStrings = "{00020329-0000-0000-C000-000000000046}";

// One named property of a fixture item, by numeric id.
inline QJsonObject named(const char* set, int id, const char* type, const QJsonValue& value)
{
    return QJsonObject{{QStringLiteral("guid"), QString::fromLatin1(set)},
                       {QStringLiteral("id"), id},
                       {QStringLiteral("type"), QString::fromLatin1(type)},
                       {QStringLiteral("value"), value}};
}

// The categories of an item ("Keywords" in the public strings).
inline QJsonObject keywords(const QStringList& values)
{
    return QJsonObject{{QStringLiteral("guid"), QString::fromLatin1(publicStrings)},
                       {QStringLiteral("name"), QStringLiteral("Keywords")},
                       {QStringLiteral("type"), QStringLiteral("PT_MV_STRING8")},
                       {QStringLiteral("value"), QJsonArray::fromStringList(values)}};
}

inline QJsonObject folder(const QString& name, const QString& cls, const QJsonArray& items)
{
    return QJsonObject{
        {QStringLiteral("name"), name}, {QStringLiteral("class"), cls}, {QStringLiteral("items"), items}};
}

inline QByteArray store(const QJsonArray& folders, const QJsonObject& extra = {})
{
    QJsonObject s = extra;
    s.insert(QStringLiteral("name"), QStringLiteral("Pers\u00f6nliche Ordner"));
    s.insert(QStringLiteral("folders"), folders);
    return QJsonDocument(QJsonObject{{QStringLiteral("stores"), QJsonArray{s}}}).toJson(QJsonDocument::Compact);
}

// A moment given as wall-clock time in a named zone, as ISO text in UTC (for fixtures) or seconds.
inline QDateTime at(const QByteArray& zone, int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), QTimeZone(zone));
}
inline QString iso(const QDateTime& dt)
{
    return dt.toUTC().toString(Qt::ISODate);
}

// Sets TZ for the process while alive.
class ZoneScope
{
public:
    explicit ZoneScope(const QByteArray& zone) : m_old(qgetenv("TZ")), m_hadOld(qEnvironmentVariableIsSet("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~ZoneScope()
    {
        if (m_hadOld)
            qputenv("TZ", m_old);
        else
            qunsetenv("TZ");
        tzset();
    }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

private:
    QByteArray m_old;
    bool m_hadOld;
};

// A fixture written to a file and scanned by ExOutlook, as a program started with KELVOR_STORE does.
class ScannedStore
{
public:
    ScannedStore(const QByteArray& json, const ExScanProfile& profile)
    {
        m_file.open();
        m_file.write(json);
        m_file.flush();
        qputenv("KELVOR_STORE", m_file.fileName().toLocal8Bit());
        m_outlook = std::make_unique<ExOutlook>(0, profile);
        if (m_outlook->status())
            m_outlook->ScanFolders();
    }
    ~ScannedStore()
    {
        m_outlook.reset();
        qunsetenv("KELVOR_STORE");
    }
    ScannedStore(const ScannedStore&) = delete;
    ScannedStore& operator=(const ScannedStore&) = delete;

    bool ok() const { return m_outlook->status(); }
    QString path() const { return m_file.fileName(); }
    ExOutlook& outlook() { return *m_outlook; }
    QList<ExFOLDER*> folders() const { return *m_outlook->folders(); }
    ExFOLDER* folder(const QString& name) const
    {
        for (ExFOLDER* f : *m_outlook->folders()) {
            if (f->name == name)
                return f;
        }
        return nullptr;
    }

private:
    QTemporaryFile m_file;
    std::unique_ptr<ExOutlook> m_outlook;
};

// Collects the log lines as the program's log shows them ("Debug: ...").
class LogLines
{
public:
    LogLines()
    {
        QMutexLocker lock(&s_mutex);
        s_lines.clear();
        m_previous = qInstallMessageHandler(&LogLines::handler);
    }
    ~LogLines() { qInstallMessageHandler(m_previous); }
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    static QStringList lines()
    {
        QMutexLocker lock(&s_mutex);
        return s_lines;
    }
    static bool contains(const QString& line) { return lines().contains(line); }
    static int count(const QString& line) { return static_cast<int>(lines().count(line)); }

private:
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& msg)
    {
        const char* prefix = type == QtDebugMsg     ? "Debug: "
                             : type == QtWarningMsg ? "Warning: "
                             : type == QtInfoMsg    ? "Info: "
                                                    : "Critical: ";
        QMutexLocker lock(&s_mutex);
        s_lines.append(QString::fromLatin1(prefix) + msg);
    }
    inline static QMutex s_mutex;
    inline static QStringList s_lines;
    QtMessageHandler m_previous = nullptr;
};

// What one run reported: its summary and every progress code in order.
struct RunRecord {
    QString summary;
    QList<QPair<int, QString>> status;
    QStringList texts(int code) const
    {
        QStringList out;
        for (const auto& s : status) {
            if (s.first == code)
                out << s.second;
        }
        return out;
    }
};

// Runs the program's run frame and body in the calling thread, as the worker does, over the folders
// that were selected when the run was started. hook sees every progress code (and may stop the run).
inline RunRecord runImport(const ExImporterTable& table, const QList<ExFOLDER*>& all, const QList<ExFOLDER*>& selected,
                           const std::function<void(ExRun&, int, const QString&)>& hook = {})
{
    int total = 0;
    for (const ExFOLDER* f : selected)
        total += f->itemCount;
    RunRecord record;
    ExRun* self = nullptr;
    ExRun run(all, selected, total, false, [&](int code, const QString& text) {
        record.status.append({code, text});
        if (hook && self)
            hook(*self, code, text);
    });
    self = &run;
    run.setJournalPath(table.journalPath);
    const ExLogonFunction logon = table.logon ? table.logon : ExLogonFunction(&exStoredSettingsLogon);
    CrmMemoryTrustStore trust;
    CrmTransport transport(trust);
    record.summary = run.execute(transport, logon, table.logonHttpLog, table.body, table.onLogonFailed);
    return record;
}

// A tenant of the test CRM per data row: letters, digits and '_' only.
inline QString tenantName(const char* base, const char* dataTag)
{
    QString tag = QString::fromLatin1(dataTag);
    tag.replace(QLatin1Char(' '), QLatin1Char('_')).remove(QLatin1Char('-'));
    return QLatin1String(base) + tag;
}

inline void storeSettings(const QString& url, const QString& login, const QString& password)
{
    CrmSettings s;
    s.url = url;
    s.login = login;
    s.password = password;
    writeCrmSettings(s);
}

inline QString greenLine(int count, const char* what)
{
    return QStringLiteral("<br><font color=\"green\"><b>%1  %2 sind erfolgreich importiert.</b></font><br>")
        .arg(count)
        .arg(QLatin1String(what));
}

} // namespace itemtest
