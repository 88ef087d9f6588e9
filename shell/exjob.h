#pragma once

#include "eximportertable.h"
#include "exrun.h"

#include <QList>
#include <QString>
#include <QThread>

#include <memory>

class CrmTransport;
struct ExFOLDER;

// One import run in a worker thread. The object itself belongs to the GUI thread (stop() runs there);
// run() carries out the frame of ExRun with the program's body. Progress and the final summary leave the
// worker as queued signals. The destructor asks the run to stop and waits for the thread.
class ExJob : public QThread {
    Q_OBJECT
public:
    // transport: the program's (outlives the job); selected: the folders whose rows were selected when the
    // run was started, in list order; total: the sum of their item counts. all: the scan's whole list.
    ExJob(const ExImporterTable& table, CrmTransport& transport, QList<ExFOLDER*> all, QList<ExFOLDER*> selected,
          int total, bool mode, QObject* parent = nullptr);
    ~ExJob() override;
    Q_DISABLE_COPY_MOVE(ExJob)

    [[nodiscard]] int total() const { return m_total; }
    [[nodiscard]] bool mode() const { return m_mode; }
    [[nodiscard]] QString summary() const { return m_run->summary(); }
    [[nodiscard]] bool stopRequested() const { return m_run->stopRequested(); }

    // How often the status lines and the progress value may change (ExStatusThrottle); 0 sends every
    // step. Set before start().
    void setStatusInterval(int ms) { m_statusIntervalMs = ms; }

signals:
    void done(QString summary);
    void UpdateStatus(int code, QString text);

public slots:
    // Thread-safe: adds the interrupt note and sets the stop request.
    void stop();

protected:
    void run() override;

private:
    const ExImporterTable m_table;
    CrmTransport& m_transport;
    const int m_total;
    const bool m_mode;
    std::unique_ptr<ExRun> m_run;
    int m_statusIntervalMs = ExStatusThrottle::defaultIntervalMs;
    ExStatusThrottle* m_throttle = nullptr; // the worker's, while run() works
};
