#include "exinfodialog.h"

#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>

ExInfoDialog::ExInfoDialog(const QString& summary, const QString& iconPath, QWidget* parent) : QDialog(parent)
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

    scrollArea = new QScrollArea(frame);
    scrollArea->setObjectName(QStringLiteral("scrollArea"));
    scrollArea->setGeometry(0, 0, 381, 241);
    scrollArea->setFrameShape(QFrame::NoFrame);
    scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The label grows with its text (word-wrapped to the area's width); the area scrolls over it.
    scrollArea->setWidgetResizable(true);

    label = new QLabel;
    label->setObjectName(QStringLiteral("label"));
    label->setFrameShape(QFrame::StyledPanel);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setScaledContents(true);
    label->setTextFormat(Qt::RichText);
    label->setText(summary);
    scrollArea->setWidget(label);
    // The summary lies on the dialog's own background, as without scrolling.
    scrollArea->viewport()->setAutoFillBackground(false);
    label->setAutoFillBackground(false);

    pbClose = new QPushButton(QStringLiteral("Schlie\u00dfen"), this);
    pbClose->setObjectName(QStringLiteral("pbClose"));
    pbClose->setGeometry(284, 252, 111, 31);
    connect(pbClose, &QPushButton::clicked, this, &QDialog::close);
}

void ExInfoDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // The label's height is known once the area has laid it out: after the pending events.
    QTimer::singleShot(0, this, &ExInfoDialog::scrollToEnd);
}

void ExInfoDialog::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    // A larger (maximised) dialog shows more of the summary; the button stays in its corner.
    frame->setGeometry(10, 10, width() - 19, height() - 49);
    scrollArea->setGeometry(0, 0, frame->width(), frame->height());
    pbClose->move(width() - 116, height() - 38);
}

void ExInfoDialog::scrollToEnd()
{
    QScrollBar* bar = scrollArea->verticalScrollBar();
    bar->setValue(bar->maximum());
}
