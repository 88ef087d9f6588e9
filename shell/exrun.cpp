#include "exrun.h"

#include <QThread>

#include <utility>

QString ExSummary::interruptNote()
{
    return QStringLiteral("<font color=\"red\"><b>Durchf\u00fchrung unterbrochen</b></font>");
}

bool ExSummary::addInterruptNote()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed || m_noteAdded)
        return false;
    m_noteAdded = true;
    m_text += interruptNote();
    return true;
}

void ExSummary::close(const QString& lines)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_text += lines;
}

QString ExSummary::text() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_text;
}

ExRun::ExRun(QList<ExFOLDER*> allFolders, QList<ExFOLDER*> selectedFolders, int total, bool mode, StatusSink sink)
    : m_all(std::move(allFolders))
    , m_selected(std::move(selectedFolders))
    , m_total(total)
    , m_mode(mode)
    , m_sink(std::move(sink))
{
}

void ExRun::requestStop()
{
    // The note goes in first, then the flag: the worker can only leave its loops, and so write its lines,
    // after it has seen the flag.
    m_summary.addInterruptNote();
    m_stop.store(true, std::memory_order_release);
}

ExFOLDER* ExRun::nextSelectedFolder()
{
    if (m_next >= m_selected.size())
        return nullptr;
    return m_selected.at(m_next++);
}

void ExRun::status(int code, const QString& text)
{
    if (m_sink)
        m_sink(code, text);
}

void ExRun::itemDone(int itemsDone)
{
    status(2, QString::asprintf("%d von %d", itemsDone, m_total));
    status(3, QString::number(itemsDone));
}

void ExRun::folderDone()
{
    QThread::msleep(1);
}

QString ExRun::logonFailedText(CrmLogonFailure failure)
{
    QString text = QStringLiteral("<font size=\"12\" color=\"red\"><b>Login Fehlgeschlagen!</b></font><br>");
    const QString cause = crmLogonFailureText(failure);
    if (!cause.isEmpty())
        text += QStringLiteral("<font color=\"red\">") + cause + QStringLiteral("</font><br>");
    return text;
}

QString ExRun::execute(const ExLogonFunction& logon, const QString& logonHttpLog, const ExRunBody& body,
                       const ExRunBody& onLogonFailed)
{
    m_lines.clear();
    crmResetLastLogonFailure();
    m_sessionId = logon ? logon(logonHttpLog, &m_baseUrl) : QString();
    if (m_sessionId.size() == 32) {
        if (body)
            body(*this);
    } else {
        m_lines += logonFailedText(crmLastLogonFailure());
        if (onLogonFailed)
            onLogonFailed(*this);
    }
    m_summary.close(m_lines);
    return m_summary.text();
}
