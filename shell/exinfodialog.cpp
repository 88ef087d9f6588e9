#include "exinfodialog.h"

#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

ExInfoDialog::ExInfoDialog(const QString& summary, const QString& iconPath, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("ExInfoDialogClass"));
    setWindowTitle(QStringLiteral("Import abgeschlossen"));
    resize(400, 290);
    setWindowModality(Qt::WindowModal);
    setWindowIcon(QIcon(iconPath));
    setStyleSheet(QStringLiteral("QDialog#ExInfoDialogClass{background-color: rgb(233, 242, 249); }"));

    frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("frame"));
    frame->setGeometry(10, 10, 381, 241);
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setFrameShadow(QFrame::Plain);

    label = new QLabel(frame);
    label->setObjectName(QStringLiteral("label"));
    label->setGeometry(0, 0, 381, 241);
    label->setFrameShape(QFrame::StyledPanel);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setScaledContents(true);
    label->setTextFormat(Qt::RichText);
    label->setText(summary);

    pbClose = new QPushButton(QStringLiteral("Schlie\u00dfen"), this);
    pbClose->setObjectName(QStringLiteral("pbClose"));
    pbClose->setGeometry(284, 252, 111, 31);
    connect(pbClose, &QPushButton::clicked, this, &QDialog::close);
}
