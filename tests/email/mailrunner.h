// Runs of the e-mail import without widgets: the run frame executed in the test's thread with the
// e-mail importer's table, the progress codes recorded.
#pragma once

#include "crmsettings.h"
#include "exfolder.h"
#include "exrun.h"
#include "mailrun.h"

#include <QList>
#include <QPair>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <functional>

struct MailRunRecord {
    bool started = false;               // prepare() and the "Bereits importiert" answer let the run start
    QList<QPair<int, int>> resumeAsked; // (imported, total) of every "Bereits importiert"
    QString summary;
    QList<QPair<int, QString>> status;

    [[nodiscard]] QStringList texts(int code) const
    {
        QStringList out;
        for (const auto& s : status) {
            if (s.first == code)
                out << s.second;
        }
        return out;
    }
};

// One run on transport over the store trees with the folders for which isSelected() holds; hook sees every
// progress code as it is sent, in the run's thread; resumeAnswer is the answer to "Bereits importiert".
inline MailRunRecord runMail(ExMailRun& mail, CrmTransport& transport, const QList<ExFOLDER*>& stores,
                             const std::function<bool(const ExFOLDER*)>& isSelected,
                             const std::function<void(ExRun&, int, const QString&)>& hook = {},
                             MailResumeChoice resumeAnswer = MailResumeChoice::Missing)
{
    MailRunRecord record;
    if (!mail.prepare())
        return record;
    const QList<ExFOLDER*> all = ExMailRun::treeOrder(stores);
    QList<ExFOLDER*> selected;
    int total = 0;
    for (ExFOLDER* folder : all) {
        if (isSelected(folder)) {
            selected.append(folder);
            if (!folder->isStoreRoot)
                total += folder->itemCount;
        }
    }
    const bool go = mail.askResume(selected, [&](int imported, int total) {
        record.resumeAsked.append({imported, total});
        return resumeAnswer;
    });
    if (!go)
        return record;
    record.started = true;
    ExRun* self = nullptr;
    ExRun run(all, selected, total, false, [&](int code, const QString& text) {
        record.status.append({code, text});
        if (hook && self)
            hook(*self, code, text);
    });
    self = &run;
    record.summary = run.execute(transport, mail.table());
    return record;
}

// Uploads in flight at once (the CRM_INFLIGHT setting) while alive.
class InflightScope
{
public:
    explicit InflightScope(int n) { openCrmSettings()->setValue(QStringLiteral("CRM_INFLIGHT"), n); }
    ~InflightScope() { openCrmSettings()->remove(QStringLiteral("CRM_INFLIGHT")); }
    InflightScope(const InflightScope&) = delete;
    InflightScope& operator=(const InflightScope&) = delete;
};
