#include "kelvor_email.h"

#include "exmailimport.h"

#include <QAbstractItemView>
#include <QDebug>
#include <QFont>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTreeWidget>

namespace {

const QString kPrefix = QStringLiteral(":/Kelvor_email/Resources/");

} // namespace

Kelvor_email::Kelvor_email(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Kelvor_emailClass"));
    resize(441, 561);
    const QString title = QStringLiteral("Kelvor CRM Outlook Importer - E-Mails");
    setWindowTitle(title);
    setWindowIcon(QIcon(kPrefix + QLatin1String("outlook_module.ico")));
    // The same header block as the item importers' windows; the rules name blockFrame's own frame so
    // that the dialogs (children with widgets of the same names) keep their plain look.
    setStyleSheet(QStringLiteral(
        "QFrame#blockFrame{background-color: qlineargradient(spread:pad, x1:0.511, y1:0.260864, x2:0.494364, "
        "y2:0, stop:0 rgba(217, 231, 248, 255), stop:1 rgba(255, 255, 255, 255));}\n"
        "QFrame#blockFrame QFrame#frame{background-color: qlineargradient(spread:pad, x1:0.517, y1:0.977091, "
        "x2:0.494364, y2:0, stop:0 rgba(219, 232, 248, 255), stop:1 rgba(233, 242, 249, 255));}\n"
        "QWidget#Kelvor_emailClass{background-color: rgb(233, 242, 249);}\n"
        "QLabel#lb_1{color: rgb(36, 90, 141);}\n"
        "QLabel#lb_3{color: rgb(36, 90, 141);}"));

    blockFrame = new QFrame(this);
    blockFrame->setObjectName(QStringLiteral("blockFrame"));
    blockFrame->setGeometry(5, 5, 431, 551);
    blockFrame->setFrameShape(QFrame::Box);
    blockFrame->setFrameShadow(QFrame::Raised);

    label = new QLabel(blockFrame);
    label->setObjectName(QStringLiteral("label"));
    label->setGeometry(2, 2, 428, 91);
    label->setPixmap(QPixmap(kPrefix + QLatin1String("kel.JPG")));

    frame = new QFrame(blockFrame);
    frame->setObjectName(QStringLiteral("frame"));
    frame->setGeometry(2, 90, 428, 51);
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setFrameShadow(QFrame::Raised);

    QFont headFont(QStringLiteral("Tahoma"), 11);
    headFont.setBold(true);
    lb_1 = new QLabel(title, frame);
    lb_1->setObjectName(QStringLiteral("lb_1"));
    lb_1->setGeometry(1, 4, 420, 21);
    lb_1->setFont(headFont);

    lb_3 = new QLabel(frame);
    lb_3->setObjectName(QStringLiteral("lb_3"));
    lb_3->setGeometry(3, 27, 291, 16);
    lb_3->setFont(QFont(QStringLiteral("Tahoma"), 10));

    treeWidget = new QTreeWidget(blockFrame);
    treeWidget->setObjectName(QStringLiteral("treeWidget"));
    treeWidget->setGeometry(10, 150, 411, 351);
    treeWidget->setHeaderHidden(true);
    treeWidget->setSelectionMode(QAbstractItemView::MultiSelection);
    treeWidget->setSelectionBehavior(QAbstractItemView::SelectItems);
    treeWidget->setIconSize(QSize(16, 16));

    pushButton = new QPushButton(QStringLiteral("Importieren"), blockFrame);
    pushButton->setObjectName(QStringLiteral("pushButton"));
    pushButton->setGeometry(10, 512, 131, 31);
    pushButton->setFont(QFont(QStringLiteral("Tahoma"), 8));
    pushButton->setIcon(QIcon(kPrefix + QLatin1String("import")));
    pushButton->setEnabled(false);

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

void Kelvor_email::StopJob()
{
    if (m_import)
        m_import->StopJob();
}

void Kelvor_email::treeEvent()
{
    pushButton->setEnabled(!treeWidget->selectedItems().isEmpty());
}
