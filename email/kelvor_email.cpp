#include "kelvor_email.h"

#include "exmailimport.h"

#include <QAbstractItemView>
#include <QDebug>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
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

    // A selected folder is imported without the folders below it: the hint says so, and how to take
    // a whole branch.
    lb_3->resize(frame->width() - lb_3->x() - 4, lb_3->height());
    lb_3->setText(QStringLiteral("Ein Klick w\u00e4hlt nur den Ordner. Mit Unterordnern: Rechtsklick"));
    lb_3->setToolTip(QStringLiteral("Ein Klick w\u00e4hlt nur den angeklickten Ordner, ohne seine Unterordner. "
                                    "Mit allen Unterordnern w\u00e4hlen oder abw\u00e4hlen: Rechtsklick auf den "
                                    "Ordner, oder Umschalt+Leertaste."));
    treeWidget->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(treeWidget, &QWidget::customContextMenuRequested, this, &Kelvor_email::showTreeMenu);
    auto* subtreeKey = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_Space), treeWidget);
    subtreeKey->setContext(Qt::WidgetShortcut);
    connect(subtreeKey, &QShortcut::activated, this, [this] {
        if (QTreeWidgetItem* current = treeWidget->currentItem())
            selectSubtree(current, !current->isSelected());
    });

    connect(treeWidget, &QTreeWidget::itemSelectionChanged, this, &Kelvor_email::treeEvent);
}

void Kelvor_email::selectSubtree(QTreeWidgetItem* row, bool select)
{
    if (!row)
        return;
    QList<QTreeWidgetItem*> pending{row};
    while (!pending.isEmpty()) {
        QTreeWidgetItem* item = pending.takeLast();
        item->setSelected(select);
        for (int i = 0; i < item->childCount(); ++i)
            pending.append(item->child(i));
    }
}

void Kelvor_email::showTreeMenu(const QPoint& pos)
{
    QTreeWidgetItem* row = treeWidget->itemAt(pos);
    if (!row)
        return;
    QMenu menu(treeWidget);
    menu.addAction(QStringLiteral("Ordner mit Unterordnern ausw\u00e4hlen"), this, [this, row] { selectSubtree(row, true); });
    menu.addAction(QStringLiteral("Ordner mit Unterordnern abw\u00e4hlen"), this, [this, row] { selectSubtree(row, false); });
    menu.exec(treeWidget->viewport()->mapToGlobal(pos));
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

void Kelvor_email::StopJob()
{
    if (m_import)
        m_import->StopJob();
}

void Kelvor_email::treeEvent()
{
    pushButton->setEnabled(!treeWidget->selectedItems().isEmpty());
}
