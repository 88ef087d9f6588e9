#include "exmainwindow.h"

#include "exfolder.h"
#include "eximporter.h"
#include "exinfodialog.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFont>
#include <QCursor>
#include <QFrame>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QTreeWidget>

namespace {

// The rules name blockFrame's own frame, so that the completion dialog (a child window with a "frame" of
// its own) keeps its plain look.
QString styleSheetFor(const QString& formName)
{
    return QStringLiteral(
               "QFrame#blockFrame{background-color: qlineargradient(spread:pad, x1:0.511, y1:0.260864, x2:0.494364, "
               "y2:0, stop:0 rgba(217, 231, 248, 255), stop:1 rgba(255, 255, 255, 255));}\n"
               "QFrame#blockFrame QFrame#frame{background-color: qlineargradient(spread:pad, x1:0.517, y1:0.977091, x2:0.494364, "
               "y2:0, stop:0 rgba(219, 232, 248, 255), stop:1 rgba(233, 242, 249, 255));}\n"
               "QWidget#%1{background-color: rgb(233, 242, 249);}\n"
               "QLabel#lb_1{color: rgb(36, 90, 141);}\n"
               "QLabel#lb_3{color: rgb(36, 90, 141);}")
        .arg(formName);
}

} // namespace

ExWindowHeader exBuildWindowHeader(QWidget* window, const QString& formName, const QString& title,
                                   const QString& resourcePrefix)
{
    window->setObjectName(formName);
    window->resize(441, 561);
    window->setWindowTitle(title);
    window->setWindowIcon(QIcon(resourcePrefix + QLatin1String("outlook_module.ico")));
    window->setStyleSheet(styleSheetFor(formName));

    ExWindowHeader h;
    h.blockFrame = new QFrame(window);
    h.blockFrame->setObjectName(QStringLiteral("blockFrame"));
    h.blockFrame->setGeometry(5, 5, 431, 551);
    h.blockFrame->setFrameShape(QFrame::Box);
    h.blockFrame->setFrameShadow(QFrame::Raised);

    h.label = new QLabel(h.blockFrame);
    h.label->setObjectName(QStringLiteral("label"));
    h.label->setGeometry(2, 2, 428, 91);
    h.label->setPixmap(QPixmap(resourcePrefix + QLatin1String("kel.JPG")));

    h.frame = new QFrame(h.blockFrame);
    h.frame->setObjectName(QStringLiteral("frame"));
    h.frame->setGeometry(2, 90, 428, 51);
    h.frame->setFrameShape(QFrame::StyledPanel);
    h.frame->setFrameShadow(QFrame::Raised);

    QFont headFont(QStringLiteral("Tahoma"), 11);
    headFont.setBold(true);
    h.lb_1 = new QLabel(title, h.frame);
    h.lb_1->setObjectName(QStringLiteral("lb_1"));
    h.lb_1->setGeometry(1, 4, 420, 21);
    h.lb_1->setFont(headFont);

    h.lb_3 = new QLabel(h.frame);
    h.lb_3->setObjectName(QStringLiteral("lb_3"));
    h.lb_3->setGeometry(3, 27, 291, 16);
    h.lb_3->setFont(QFont(QStringLiteral("Tahoma"), 10));
    return h;
}

void exPlaceOnScreen(QWidget* window)
{
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    // The frame is not known before the window is shown; the title bar takes about this much.
    const int titleBar = 30;
    QRect place(QPoint(0, 0), window->size() + QSize(0, titleBar));
    place.moveCenter(area.center());
    // A window larger than the screen keeps its title bar on it.
    place.moveLeft(qMax(area.left(), place.left()));
    place.moveTop(qMax(area.top(), place.top()));
    window->move(place.topLeft());
}

QPushButton* exBuildImportButton(QFrame* blockFrame, const QString& resourcePrefix)
{
    auto* button = new QPushButton(QStringLiteral("Importieren"), blockFrame);
    button->setObjectName(QStringLiteral("pushButton"));
    button->setGeometry(10, 512, 131, 31);
    button->setFont(QFont(QStringLiteral("Tahoma"), 8));
    button->setIcon(QIcon(resourcePrefix + QLatin1String("import")));
    button->setEnabled(false);
    return button;
}

ExMainWindow::ExMainWindow(const ExImporterTable& table, CrmTransport& transport, QWidget* parent)
    : QWidget(parent)
    , m_table(table)
    , m_transport(transport)
{
    const QString prefix = table.resourcePrefix();
    static_cast<ExWindowHeader&>(*this) = exBuildWindowHeader(this, table.formName(), table.title, prefix);

    treeWidget = new QTreeWidget(blockFrame);
    treeWidget->setObjectName(QStringLiteral("treeWidget"));
    treeWidget->setGeometry(10, 150, 411, 322);
    treeWidget->setFont(QFont(QStringLiteral("Segoe UI")));
    treeWidget->setHeaderHidden(true);
    treeWidget->setSelectionMode(QAbstractItemView::MultiSelection);
    treeWidget->setRootIsDecorated(false);

    if (!table.modeBoxText.isEmpty()) {
        cb_pbuch = new QCheckBox(table.modeBoxText, blockFrame);
        cb_pbuch->setObjectName(QStringLiteral("cb_pbuch"));
        cb_pbuch->setGeometry(20, 480, 381, 21);
        cb_pbuch->setChecked(false);
    }

    pushButton = exBuildImportButton(blockFrame, prefix);

    connect(treeWidget, &QTreeWidget::itemSelectionChanged, this, &ExMainWindow::treeEvent);
}

ExMainWindow::~ExMainWindow()
{
    destroyImporter();
}

void ExMainWindow::destroyImporter()
{
    delete m_importer;
    m_importer = nullptr;
}

void ExMainWindow::ReadyImport(QList<ExFOLDER*>* folders)
{
    qint64 totalItems = 0; // folder counts may add up past 2^31
    const qsizetype count = folders ? folders->size() : 0;
    if (folders) {
        for (const ExFOLDER* folder : *folders)
            totalItems += folder ? folder->itemCount : 0;
    }
    qDebug() << "Ready to import " << count;
    // The label is a fixed text of the program, not a value: written without quotes.
    qDebug().noquote() << m_table.itemCountLogLabel << totalItems;

    if (totalItems != 0)
        pushButton->setEnabled(true);

    // Rows of several stores ("Kontakte" of this file and of that one) carry the store's file.
    QSet<const ExFOLDER*> roots;
    if (folders) {
        for (const ExFOLDER* folder : *folders)
            if (folder && folder->storeRoot()->isStoreRoot)
                roots.insert(folder->storeRoot());
    }
    const bool severalStores = roots.size() > 1;

    const QIcon folderIcon(m_table.resourcePrefix() + QLatin1String("folder.JPG"));
    if (folders) {
        for (ExFOLDER* folder : *folders) {
            if (!folder)
                continue;
            auto* row = new QTreeWidgetItem(treeWidget);
            QString tooltip = m_table.rowTooltip.arg(folder->itemCount);
            if (severalStores) {
                const ExFOLDER* root = folder->storeRoot();
                row->setText(0, folder->name + QStringLiteral(" – ") + folder->storeLabel());
                tooltip += QLatin1Char('\n') +
                           (root->storeFile.isEmpty() ? root->name : QDir::toNativeSeparators(root->storeFile));
            } else {
                row->setText(0, folder->name);
            }
            row->setIcon(0, folderIcon);
            row->setToolTip(0, tooltip);
            m_rows.insert(folder, row);
            folder->treeItem = row;
        }
    }

    if (cb_pbuch)
        qDebug() << cb_pbuch->isChecked();

    delete m_importer;
    m_importer = new ExImporter(
        m_table, m_transport, folders, cb_pbuch,
        [this](const ExFOLDER* folder) {
            QTreeWidgetItem* row = m_rows.value(folder);
            return row && row->isSelected();
        },
        this);
    connect(m_importer, &ExImporter::UpdateStatusInfo, this, &ExMainWindow::UpdateStatusInfo);
    connect(pushButton, &QPushButton::pressed, m_importer, &ExImporter::Import);
}

void ExMainWindow::closeEvent(QCloseEvent* event)
{
    if (m_importer && m_importer->isRunning()) {
        m_closed = true;
        m_importer->StopJob();
        // Hidden, not closed: while the run goes on the dialog refuses to close.
        m_importer->hide();
    }
    QWidget::closeEvent(event);
}

void ExMainWindow::treeEvent()
{
    pushButton->setEnabled(!treeWidget->selectedItems().isEmpty());
}

void ExMainWindow::UpdateStatusInfo(QString summary)
{
    if (m_closed)
        return;
    auto* info = new ExInfoDialog(summary, m_table.resourcePrefix() + QLatin1String("outlook_module.ico"), this);
    info->setAttribute(Qt::WA_DeleteOnClose);
    m_info = info;
    info->show();
    pushButton->setEnabled(false);
}

ExInfoDialog* ExMainWindow::infoDialog() const
{
    return m_info.data();
}
