#include "exmailimport.h"

#include "eximportdlg.h"
#include "exfolder.h"
#include "exmessagelog.h"
#include "exoutlook.h"
#include "kelvor_email.h"
#include "mailinfodialog.h"
#include "resumedialog.h"

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

namespace {

const QString kFolderIcon = QStringLiteral(":/Kelvor_email/Resources/folder.JPG");

} // namespace

ExMailImport::ExMailImport(Kelvor_email* window, CrmTransport& transport)
    : m_window(window),
      m_outlook(std::make_unique<ExOutlook>(static_cast<quintptr>(window->winId()), ExScanProfile::email())),
      m_run(*this, transport)
{
    if (m_outlook->status()) {
        m_outlook->ScanFolders();
        fillTree();
    }
}

ExMailImport::~ExMailImport()
{
    delete m_infoDialog.data();
    delete m_progressDialog.data();
    // Rows first (children go with their parents), then the folder records and the session.
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

ExImportDlg* ExMailImport::progressDialog() const
{
    return m_progressDialog.data();
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
    m_run.ImportFolders(m_outlook->stores());
}

void ExMailImport::showProgress()
{
    m_window->pushButton->setEnabled(false);
    delete m_progressDialog.data();
    m_progressDialog = new ExImportDlg(m_window);
    m_progressDialog->setModal(true);
    m_progressDialog->show();
}

void ExMailImport::closeProgress()
{
    if (m_progressDialog) {
        m_progressDialog->close();
        delete m_progressDialog.data();
    }
}

void ExMailImport::setStatus(const QString& text)
{
    if (m_progressDialog)
        m_progressDialog->lbStatus->setText(text);
}

void ExMailImport::setStatus2(const QString& text)
{
    if (m_progressDialog)
        m_progressDialog->lbStatus2->setText(text);
}

void ExMailImport::setProgressRange(int maximum)
{
    if (m_progressDialog)
        m_progressDialog->pbStatus->setRange(0, maximum);
}

void ExMailImport::setProgressValue(int value)
{
    if (m_progressDialog)
        m_progressDialog->pbStatus->setValue(value);
}

void ExMailImport::showSummary(const QString& html)
{
    // The run's lines are in the log file before the user sees its summary.
    flushMessageLog();
    // An earlier completion dialog stays open; it is shown before it is made modal, so it stays
    // modeless and the main window remains usable.
    m_infoDialog = new email::ExInfoDialog(m_window, html);
    m_infoDialog->setModal(true);
}

void ExMailImport::processEvents()
{
    QCoreApplication::processEvents();
}

MailResumeChoice ExMailImport::askResume(int imported, int total)
{
    return askAlreadyImported(m_window, imported, total);
}

bool ExMailImport::isSelected(const ExFOLDER* folder) const
{
    return folder && folder->treeItem && folder->treeItem->isSelected();
}
