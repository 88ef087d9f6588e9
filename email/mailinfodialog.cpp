#include "mailinfodialog.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTextBrowser>

namespace email {

ExInfoDialog::ExInfoDialog(QWidget* parent, const QString& html) : QDialog(parent)
{
    setObjectName(QStringLiteral("ExInfoDialogClass"));
    resize(400, 300);
    setStyleSheet(QStringLiteral("QDialog#ExInfoDialogClass{background-color: rgb(233, 242, 249); }"));
    setWindowTitle(QStringLiteral("Import abgeschlossen"));

    InfoText = new QTextBrowser(this);
    InfoText->setObjectName(QStringLiteral("InfoText"));
    InfoText->setGeometry(10, 10, 381, 241);
    InfoText->setReadOnly(true);
    // A link in a message's description must not open anything.
    InfoText->setOpenLinks(false);

    layoutWidget = new QWidget(this);
    layoutWidget->setObjectName(QStringLiteral("layoutWidget"));
    layoutWidget->setGeometry(260, 260, 131, 33);
    hboxLayout = new QHBoxLayout(layoutWidget);
    hboxLayout->setObjectName(QStringLiteral("hboxLayout"));
    hboxLayout->setSpacing(6);
    hboxLayout->setContentsMargins(0, 0, 0, 0);
    okButton = new QPushButton(QStringLiteral("Schlie\u00dfen"), layoutWidget);
    okButton->setObjectName(QStringLiteral("okButton"));
    hboxLayout->addWidget(okButton);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(okButton, &QPushButton::clicked, this, &QWidget::close);

    InfoText->setHtml(html);
    show();
}

} // namespace email
