#pragma once

#include "exestimate.h"
#include "eximportertable.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class CrmTransport;
class ExJob;
struct ExFOLDER;

// The progress dialog of an import run: a frameless box with two status lines, a progress bar and
// "Abbrechen". Import() starts a new ExJob; the job's progress codes and its summary arrive here queued.
class ExImporter : public QDialog {
    Q_OBJECT
public:
    // Tells whether a folder's row is selected in the main window (read in the GUI thread when a run starts).
    using SelectionQuery = std::function<bool(const ExFOLDER*)>;

    // transport: the program's (outlives the dialog); folders: the scan's list (not owned); modeBox: the
    // main window's mode check box or null (not owned).
    ExImporter(const ExImporterTable& table, CrmTransport& transport, QList<ExFOLDER*>* folders, QCheckBox* modeBox,
               SelectionQuery isSelected, QWidget* parent);
    ~ExImporter() override;
    Q_DISABLE_COPY_MOVE(ExImporter)

    // The job of the latest run, or null before the first.
    [[nodiscard]] ExJob* job() const { return m_job.get(); }
    // The progress maximum of the run's items (the bar shows it once the logon is over).
    [[nodiscard]] int progressMaximum() const { return m_maximum; }
    // From Import() until the run's summary has arrived.
    [[nodiscard]] bool isRunning() const { return m_running; }

    // Escape and a request to close the dialog mean "Abbrechen" while a run goes on: the dialog stays
    // until the run has ended.
    void reject() override;

    QLabel* lbStatus = nullptr;
    QLabel* lbStatus2 = nullptr;
    QProgressBar* pbStatus = nullptr;
    QPushButton* pbStop = nullptr;
    // The remaining time, beside "Abbrechen", once the run has measured its rate for a few seconds.
    QLabel* lbEstimate = nullptr;

    using QDialog::done;

signals:
    void term();
    void UpdateStatusInfo(QString summary);

public slots:
    void Import();
    void StopJob();
    void done(QString summary);
    void UpdateStatus(int code, QString text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // While a run goes on, the main window's widgets take no input (the dialog is not modal, so that
    // the window can still be closed).
    void holdParent(bool hold);
    void setBusy(const QString& text);
    // The bar counts again: m_done of m_maximum, with the form's bar text.
    void showCount();

    const ExImporterTable& m_table;
    CrmTransport& m_transport;
    QList<ExFOLDER*>* m_folders;
    QPointer<QCheckBox> m_modeBox;
    QList<QPointer<QWidget>> m_held; // the main window's widgets disabled for the run
    SelectionQuery m_isSelected;
    std::unique_ptr<ExJob> m_job;
    bool m_running = false;
    bool m_stopping = false; // "Abbrechen" taken: the first status line keeps saying so
    // Work without a count (progress code 5, and the logon from Import() on): a busy bar. The progress
    // maximum that arrives meanwhile is kept for the items.
    bool m_busy = false;
    int m_maximum = 0;
    int m_done = 0; // the run's latest progress value (code 3), kept while the bar is busy
    QElapsedTimer m_clock;
    ExRunEstimate m_estimate;
};
