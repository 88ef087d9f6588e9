#include "exjob.h"

#include "exmessagelog.h"

#include <utility>

ExJob::ExJob(const ExImporterTable& table, CrmTransport& transport, QList<ExFOLDER*> all, QList<ExFOLDER*> selected,
             int total, bool mode, QObject* parent)
    : QThread(parent)
    , m_table(table)
    , m_transport(transport)
    , m_total(total)
    , m_mode(mode)
{
    m_run = std::make_unique<ExRun>(std::move(all), std::move(selected), total, mode,
                                    [this](int code, const QString& text) {
                                        if (m_throttle)
                                            m_throttle->post(code, text);
                                        else
                                            emit UpdateStatus(code, text);
                                    });
    m_run->setSummaryStyle(table.interruptNote, table.summaryFrame);
    m_run->setJournalPath(table.journalPath);
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
    ExStatusThrottle throttle([this](int code, const QString& text) { emit UpdateStatus(code, text); },
                              m_statusIntervalMs);
    m_throttle = &throttle;
    // Figures held back by the throttle go out while the run waits for the server.
    m_run->setIdle([&throttle] { throttle.poll(); });
    const QString summary = m_run->execute(m_transport, m_table);
    // The last figures reach the dialog before the summary does.
    throttle.flush();
    m_run->setIdle({});
    m_throttle = nullptr;
    // The run's lines are in the log file before the user sees its summary.
    flushMessageLog();
    emit done(summary);
}
