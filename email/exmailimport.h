// The e-mail importer's access to Outlook and its import: logs on to the stores and scans their
// mail folders when constructed (before the window is shown), fills the window's tree, and starts a
// run in a worker thread when the import button is pressed. Owned by the main window.
#pragma once

#include "mailrun.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <memory>

class CrmTransport;
class ExImporter;
class ExOutlook;
class Kelvor_email;
class QTreeWidgetItem;
struct ExFOLDER;
namespace email {
class ExInfoDialog;
}

class ExMailImport : public QObject {
    Q_OBJECT
public:
    // Opens the stores with the window's native handle, scans them and fills window->treeWidget.
    // When the stores cannot be opened the tree stays empty. transport: the program's, for the runs
    // (it outlives the object).
    ExMailImport(Kelvor_email* window, CrmTransport& transport);
    // Stops a run and waits for it, closes the completion dialog, removes the rows, releases the
    // folders and logs off.
    ~ExMailImport() override;
    Q_DISABLE_COPY_MOVE(ExMailImport)

    [[nodiscard]] bool status() const;
    [[nodiscard]] QList<ExFOLDER*> stores() const;
    [[nodiscard]] ExMailRun& run() { return m_run; }
    // The progress dialog, shown while a run is going.
    [[nodiscard]] ExImporter* progressDialog() const { return m_importer; }
    [[nodiscard]] bool isRunning() const;
    // The latest completion dialog.
    [[nodiscard]] email::ExInfoDialog* infoDialog() const;

    // "Abbrechen".
    void StopJob();
    // The window is closing: a run goes on only until its uploads are ended, and shows no summary.
    void windowClosing();

public Q_SLOTS:
    void ImportFolders();

private:
    void fillTree();
    void addChildren(ExFOLDER* record, QTreeWidgetItem* row);
    void showSummary(const QString& html);

    Kelvor_email* m_window;
    std::unique_ptr<ExOutlook> m_outlook;
    ExMailRun m_run;
    ExImporterTable m_table;   // the runs' table; refers to m_run
    QList<ExFOLDER*> m_folders; // every folder of the tree, stores first, in tree order
    QList<QTreeWidgetItem*> m_rows;
    ExImporter* m_importer = nullptr; // child of the window
    QPointer<email::ExInfoDialog> m_infoDialog;
    bool m_closing = false;
};
