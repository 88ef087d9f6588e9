// The e-mail importer's access to Outlook and its import: logs on to the stores and scans their
// mail folders when constructed (before the window is shown), fills the window's tree, and runs
// the import in the GUI thread when the import button is pressed. Owned by the main window.
#pragma once

#include "mailrun.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <memory>

class CrmTransport;
class ExImportDlg;
class ExOutlook;
class Kelvor_email;
class QTreeWidgetItem;
struct ExFOLDER;
namespace email {
class ExInfoDialog;
}

class ExMailImport : public QObject, private ExMailRunView {
    Q_OBJECT
public:
    // Opens the stores with the window's native handle, scans them and fills window->treeWidget.
    // When the stores cannot be opened the tree stays empty. transport: the program's, for the runs
    // (it outlives the object).
    ExMailImport(Kelvor_email* window, CrmTransport& transport);
    // Closes the completion dialog, removes the rows, releases the folders and logs off.
    ~ExMailImport() override;
    Q_DISABLE_COPY_MOVE(ExMailImport)

    [[nodiscard]] bool status() const;
    [[nodiscard]] QList<ExFOLDER*> stores() const;
    [[nodiscard]] ExMailRun& run() { return m_run; }
    // The progress dialog while a run is going, else null.
    [[nodiscard]] ExImportDlg* progressDialog() const;
    // The latest completion dialog.
    [[nodiscard]] email::ExInfoDialog* infoDialog() const;

    void StopJob() { m_run.StopJob(); }

public Q_SLOTS:
    void ImportFolders();

private:
    void fillTree();
    void addChildren(ExFOLDER* record, QTreeWidgetItem* row);

    // ExMailRunView
    void showProgress() override;
    void closeProgress() override;
    void setStatus(const QString& text) override;
    void setStatus2(const QString& text) override;
    void setProgressRange(int maximum) override;
    void setProgressValue(int value) override;
    void showSummary(const QString& html) override;
    void processEvents() override;
    bool isSelected(const ExFOLDER* folder) const override;
    MailResumeChoice askResume(int imported, int total) override;

    Kelvor_email* m_window;
    std::unique_ptr<ExOutlook> m_outlook;
    ExMailRun m_run;
    QList<QTreeWidgetItem*> m_rows;
    QPointer<ExImportDlg> m_progressDialog;
    QPointer<email::ExInfoDialog> m_infoDialog;
};
