#include "kelvor_email.h"

#include "exmailimport.h"

#include <QAbstractItemView>
#include <QDebug>
#include <QPushButton>
#include <QTreeWidget>

namespace {

const QString kPrefix = QStringLiteral(":/Kelvor_email/Resources/");

} // namespace

Kelvor_email::Kelvor_email(QWidget* parent) : QWidget(parent)
{
    // The same window frame as the item importers' windows.
    static_cast<ExWindowHeader&>(*this) = exBuildWindowHeader(
        this, QStringLiteral("Kelvor_emailClass"), QStringLiteral("Kelvor CRM Outlook Importer - E-Mails"), kPrefix);

    treeWidget = new QTreeWidget(blockFrame);
    treeWidget->setObjectName(QStringLiteral("treeWidget"));
    treeWidget->setGeometry(10, 150, 411, 351);
    treeWidget->setHeaderHidden(true);
    treeWidget->setSelectionMode(QAbstractItemView::MultiSelection);
    treeWidget->setSelectionBehavior(QAbstractItemView::SelectItems);
    treeWidget->setIconSize(QSize(16, 16));

    pushButton = exBuildImportButton(blockFrame, kPrefix);

    connect(treeWidget, &QTreeWidget::itemSelectionChanged, this, &Kelvor_email::treeEvent);
}

Kelvor_email::~Kelvor_email()
{
    // The import object's rows and dialogs belong to this window's widgets: it goes first.
    m_import.reset();
    qDebug() << "Kelvor_email::~Kelvor_email";
}

void Kelvor_email::setImport(std::unique_ptr<ExMailImport> import)
{
    m_import = std::move(import);
    if (m_import)
        connect(pushButton, &QPushButton::pressed, m_import.get(), &ExMailImport::ImportFolders);
}

void Kelvor_email::closeEvent(QCloseEvent* event)
{
    if (m_import)
        m_import->windowClosing();
    QWidget::closeEvent(event);
}

void Kelvor_email::StopJob()
{
    if (m_import)
        m_import->StopJob();
}

void Kelvor_email::treeEvent()
{
    pushButton->setEnabled(!treeWidget->selectedItems().isEmpty());
}
