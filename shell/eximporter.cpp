#include "eximporter.h"

#include "exfolder.h"
#include "exjob.h"

#include <QCheckBox>
#include <QDebug>
#include <QEvent>
#include <QFont>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <climits>
#include <utility>

ExImporter::ExImporter(const ExImporterTable& table, CrmTransport& transport, QList<ExFOLDER*>* folders,
                       QCheckBox* modeBox, SelectionQuery isSelected, QWidget* parent)
    : QDialog(parent)
    , m_table(table)
    , m_transport(transport)
    , m_folders(folders)
    , m_modeBox(modeBox)
    , m_isSelected(std::move(isSelected))
{
    const ExProgressForm& form = m_table.progressForm;
    setObjectName(form.objectName);
    setWindowTitle(form.windowTitle);
    resize(282, 113);
    setStyleSheet(QStringLiteral("QDialog#") + form.objectName +
                  QStringLiteral("{background-color: qlineargradient(spread:pad, x1:0.517, y1:0.977091, "
                                 "x2:0.494364, y2:0, stop:0 rgba(219, 232, 248, 255), stop:1 rgba(233, 242, 249, "
                                 "255));}"));

    QFont statusFont(QStringLiteral("Verdana"), 9);
    statusFont.setBold(true);

    lbStatus = new QLabel(form.initialStatus, this);
    lbStatus->setObjectName(QStringLiteral("lbStatus"));
    lbStatus->setGeometry(form.status);
    lbStatus->setFont(statusFont);

    lbStatus2 = new QLabel(this);
    lbStatus2->setObjectName(QStringLiteral("lbStatus2"));
    lbStatus2->setGeometry(form.status2);
    if (form.status2Bold)
        lbStatus2->setFont(statusFont);

    pbStatus = new QProgressBar(this);
    pbStatus->setObjectName(QStringLiteral("pbStatus"));
    pbStatus->setGeometry(form.bar);
    pbStatus->setValue(0);
    pbStatus->setTextVisible(false);

    pbStop = new QPushButton(QStringLiteral("Abbrechen"), this);
    pbStop->setObjectName(QStringLiteral("pbStop"));
    pbStop->setGeometry(form.stop);

    setWindowFlags(Qt::SplashScreen);
    // Not modal: a modal dialog makes the window system's close button of the main window do nothing,
    // and closing the window is a way to stop a run. The main window takes no input while a run goes
    // on (holdParent).
    setModal(false);

    lbEstimate = new QLabel(this);
    lbEstimate->setObjectName(QStringLiteral("lbEstimate"));
    // Left of "Abbrechen", on its line.
    lbEstimate->setGeometry(10, form.stop.y(), form.stop.x() - 15, form.stop.height());
    lbEstimate->setFont(QFont(QStringLiteral("Verdana"), 8));
    lbEstimate->setVisible(form.showsEstimate);

    connect(pbStop, &QPushButton::pressed, this, &ExImporter::StopJob);
}

ExImporter::~ExImporter() = default;

void ExImporter::Import()
{
    // A new run starts from the dialog's initial state, not from the last run's end.
    lbStatus->setText(m_table.progressForm.initialStatus);
    lbEstimate->clear();
    m_maximum = 0;
    m_done = 0;
    m_estimate.reset();
    pbStatus->setValue(0);
    pbStop->setEnabled(true);
    m_stopping = false;
    m_clock.start();
    // The run begins with the logon: shown so from the first moment, before the worker says so.
    setBusy(ExRun::logonBusyText());
    m_running = true;
    holdParent(true);
    show();
    raise();
    activateWindow();

    // The previous job has emitted its summary and its thread is finishing or finished; waiting for it
    // here keeps at most one run alive.
    m_job.reset();

    const bool mode = m_modeBox && m_modeBox->isChecked();
    QList<ExFOLDER*> all;
    QList<ExFOLDER*> selected;
    qint64 total = 0; // folder counts may add up past 2^31
    if (m_folders) {
        all = *m_folders;
        for (ExFOLDER* folder : all) {
            if (folder && m_isSelected && m_isSelected(folder)) {
                selected.append(folder);
                // A store root's own items are never imported.
                if (!folder->isStoreRoot)
                    total += folder->itemCount;
            }
        }
    }

    // The progress bar counts in int.
    const int maximum = int(qMin<qint64>(total, INT_MAX));
    m_job = std::make_unique<ExJob>(m_table, m_transport, all, selected, maximum, mode);
    connect(this, &ExImporter::term, m_job.get(), &ExJob::stop);
    connect(m_job.get(), &ExJob::done, this, qOverload<QString>(&ExImporter::done));
    connect(m_job.get(), &ExJob::UpdateStatus, this, &ExImporter::UpdateStatus);
    // Same thread: sets the progress maximum at once.
    emit m_job->UpdateStatus(4, QString::number(maximum));
    m_job->start(QThread::InheritPriority);
}

void ExImporter::StopJob()
{
    // The stop is taken at once; the run needs a moment to end its exchange and write its summary.
    if (m_running && !m_stopping) {
        m_stopping = true;
        lbStatus->setText(QStringLiteral("Wird abgebrochen ..."));
        pbStop->setEnabled(false);
        lbEstimate->clear();
    }
    emit term();
}

void ExImporter::reject()
{
    if (m_running) {
        StopJob();
        return;
    }
    QDialog::reject();
}

void ExImporter::done(QString summary)
{
    qDebug() << "JOBER DONE";
    m_running = false;
    holdParent(false);
    emit UpdateStatusInfo(summary);
    close();
}

void ExImporter::holdParent(bool hold)
{
    QWidget* window = parentWidget();
    if (!hold) {
        if (window)
            window->removeEventFilter(this);
        for (const QPointer<QWidget>& widget : std::as_const(m_held)) {
            if (widget)
                widget->setEnabled(true);
        }
        m_held.clear();
        return;
    }
    if (!window || !m_held.isEmpty())
        return;
    window->installEventFilter(this);
    // The window's own widgets only; other windows (an open summary) stay usable. A widget that its
    // window had disabled stays so afterwards.
    for (QWidget* widget : window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!widget->isWindow() && widget->isEnabled()) {
            widget->setEnabled(false);
            m_held.append(widget);
        }
    }
}

bool ExImporter::eventFilter(QObject* watched, QEvent* event)
{
    // A click into the held window hands the focus back to the dialog, so that Escape still means
    // "Abbrechen".
    if (watched == parentWidget() && event->type() == QEvent::WindowActivate && m_running && isVisible()) {
        raise();
        activateWindow();
    }
    return QDialog::eventFilter(watched, event);
}

void ExImporter::setBusy(const QString& text)
{
    if (!text.isEmpty()) {
        m_busy = true;
        lbStatus2->setText(text);
        pbStatus->setTextVisible(false);
        pbStatus->setRange(0, 0);
        // Work before the first item (the logon, the folders the items go into) tells nothing of the
        // items' rate; work between items belongs to the run's pace and stays in it.
        if (m_done == 0)
            m_estimate.reset();
    } else if (m_busy) {
        m_busy = false;
        lbStatus2->clear();
        showCount();
        // The counted work begins: the estimate measures from here.
        if (!m_estimate.isRunning())
            m_estimate.begin(m_clock.elapsed());
    }
}

void ExImporter::showCount()
{
    // A run over empty folders counts to 0: an empty bar, not a busy one.
    pbStatus->setRange(0, qMax(m_maximum, 1));
    pbStatus->setValue(qMin(m_done, pbStatus->maximum()));
    const QString& format = m_table.progressForm.barText;
    pbStatus->setTextVisible(!format.isEmpty() && m_maximum > 0);
    if (!format.isEmpty())
        pbStatus->setFormat(format);
}

void ExImporter::UpdateStatus(int code, QString text)
{
    switch (code) {
    case 1:
        if (!m_stopping)
            lbStatus->setText(text);
        break;
    case 2:
        lbStatus2->setText(text);
        break;
    case 3:
        m_done = text.toInt();
        if (!m_busy)
            pbStatus->setValue(qMin(m_done, pbStatus->maximum()));
        if (!m_stopping)
            lbEstimate->setText(ExRunEstimate::text(m_estimate.remainingMs(m_done, m_maximum, m_clock.elapsed())));
        break;
    case 4:
        m_maximum = text.toInt();
        if (!m_busy) {
            pbStatus->setMaximum(m_maximum);
            pbStatus->setTextVisible(!m_table.progressForm.barText.isEmpty() && m_maximum > 0);
        }
        break;
    case 5:
        setBusy(text);
        break;
    default:
        break;
    }
}
