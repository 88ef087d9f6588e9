#pragma once

#include "exjob.h"

#include <QObject>
#include <QString>

// Receives a job's summary in the test's own thread, queued, as the progress dialog does. (A QSignalSpy
// on the job would record the worker's signal in the worker thread.)
class JobSummary : public QObject {
public:
    explicit JobSummary(ExJob& job)
    {
        connect(&job, &ExJob::done, this, [this](const QString& summary) {
            text = summary;
            received = true;
        });
    }
    QString text;
    bool received = false;
};
