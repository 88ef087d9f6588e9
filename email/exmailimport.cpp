#include "exmailimport.h"

#include "exfolder.h"
#include "eximporter.h"
#include "exjob.h"
#include "exmessagelog.h"
#include "exoutlook.h"
#include "kelvor_email.h"
#include "mailinfodialog.h"
#include "resumedialog.h"

#include <QIcon>
#include <QPushButton>
#include <QTreeWidget>

namespace {

const QString kFolderIcon = QStringLiteral(":/Kelvor_email/Resources/folder.JPG");

bool isChecked(const ExFOLDER* folder)
{
    return folder && folder->treeItem && folder->treeItem->isSelected();
}

} // namespace

ExMailImport::ExMailImport(Kelvor_email* window, CrmTransport& transport)
    : m_window(window),
      m_outlook(std::make_unique<ExOutlook>(static_cast<quintptr>(window->winId()), ExScanProfile::email())),
      m_table(m_run.table())
{
    if (m_outlook->status()) {
        m_outlook->ScanFolders();
        fillTree();
    }
    m_folders = ExMailRun::treeOrder(m_outlook->stores());
    m_importer = new ExImporter(
        m_table, transport, &m_folders, nullptr,
        &isChecked,
        window);
    connect(m_importer, &ExImporter::UpdateStatusInfo, this, &ExMailImport::showSummary);
}

ExMailImport::~ExMailImport()
{
    delete m_infoDialog.data();
    // The worker reads through the folder handles: it is stopped and waited for first.
    delete m_importer;
    m_importer = nullptr;
    // Rows next (children go with their parents), then the folder records and the session.
    for (ExFOLDER* store : m_outlook->stores()) {
        if (store->treeItem)
            delete store->treeItem;
    }
    m_rows.clear();
    m_outlook.reset();
}

bool ExMailImport::status() const
{
    return m_outlook->status();
}

bool ExMailImport::isRunning() const
{
    return m_importer && m_importer->isRunning();
}

email::ExInfoDialog* ExMailImport::infoDialog() const
{
    return m_infoDialog.data();
}

QList<ExFOLDER*> ExMailImport::stores() const
{
    return m_outlook->stores();
}

void ExMailImport::fillTree()
{
    const QIcon icon(kFolderIcon);
    for (ExFOLDER* store : m_outlook->stores()) {
        auto* row = new QTreeWidgetItem(m_window->treeWidget);
        store->treeItem = row;
        row->setText(0, store->name);
        row->setIcon(0, icon);
        addChildren(store, row);
        m_rows.append(row);
    }
    // Nested folders are visible at once, so a folder deep in the tree can be picked directly.
    m_window->treeWidget->expandAll();
}

void ExMailImport::addChildren(ExFOLDER* record, QTreeWidgetItem* parentRow)
{
    const QIcon icon(kFolderIcon);
    for (const auto& child : record->subFolders) {
        auto* row = new QTreeWidgetItem(parentRow);
        child->treeItem = row;
        row->setText(0, child->name);
        row->setIcon(0, icon);
        row->setToolTip(0, QStringLiteral("%1 E-Mails").arg(child->itemCount));
        addChildren(child.get(), row);
        m_rows.append(row);
    }
}

void ExMailImport::ImportFolders()
{
    // A press while a run goes on starts no second one.
    if (isRunning() || m_closing)
        return;
    if (!m_run.prepare())
        return;
    QList<ExFOLDER*> selected;
    for (ExFOLDER* folder : m_folders) {
        if (isChecked(folder))
            selected.append(folder);
    }
    if (!m_run.askResume(selected, [this](int imported, int total) {
            return askAlreadyImported(m_window, imported, total);
        }))
        return;
    m_window->pushButton->setEnabled(false);
    m_importer->Import();
}

void ExMailImport::StopJob()
{
    if (isRunning())
        m_importer->StopJob();
}

void ExMailImport::windowClosing()
{
    if (!isRunning())
        return;
    m_closing = true;
    m_importer->StopJob();
    // Hidden, not closed: while the run goes on the dialog refuses to close.
    m_importer->hide();
}

void ExMailImport::showSummary(const QString& html)
{
    if (m_closing)
        return;
    // The run's lines are in the log file before the user sees its summary.
    flushMessageLog();
    // An earlier completion dialog stays open; it is shown before it is made modal, so it stays
    // modeless and the main window remains usable.
    m_infoDialog = new email::ExInfoDialog(m_window, html);
    m_infoDialog->setModal(true);
}
