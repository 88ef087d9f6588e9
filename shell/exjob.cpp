#include "exjob.h"

#include "exmessagelog.h"

#include <utility>

ExJob::ExJob(const ExImporterTable& table, QList<ExFOLDER*> all, QList<ExFOLDER*> selected, int total, bool mode,
             QObject* parent)
    : QThread(parent)
    , m_table(table)
    , m_total(total)
    , m_mode(mode)
{
    m_run = std::make_unique<ExRun>(std::move(all), std::move(selected), total, mode,
                                    [this](int code, const QString& text) { emit UpdateStatus(code, text); });
}

ExJob::~ExJob()
{
    m_run->requestStop();
    wait();
}

void ExJob::stop()
{
    m_run->requestStop();
}

void ExJob::run()
{
    const ExLogonFunction logon = m_table.logon ? m_table.logon : ExLogonFunction(&exStoredSettingsLogon);
    const QString summary = m_run->execute(logon, m_table.logonHttpLog, m_table.body, m_table.onLogonFailed);
    // The run's lines are in the log file before the user sees its summary.
    flushMessageLog();
    emit done(summary);
}
