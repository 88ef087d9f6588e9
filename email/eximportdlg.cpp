#include "eximportdlg.h"

#include "kelvor_email.h"

#include <QFont>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

ExImportDlg::ExImportDlg(Kelvor_email* parent) : QDialog(parent, Qt::SplashScreen)
{
    setObjectName(QStringLiteral("Dialog"));
    setModal(true);
    resize(282, 113);
    setWindowTitle(QString());
    setStyleSheet(QStringLiteral(
        "QDialog#Dialog{background-color: qlineargradient(spread:pad, x1:0.517, y1:0.977091, x2:0.494364, y2:0, "
        "stop:0 rgba(219, 232, 248, 255), stop:1 rgba(233, 242, 249, 255));}"));

    pbStatus = new QProgressBar(this);
    pbStatus->setObjectName(QStringLiteral("pbStatus"));
    pbStatus->setGeometry(10, 54, 261, 23);
    pbStatus->setValue(0);
    pbStatus->setTextVisible(false);

    pbStop = new QPushButton(QStringLiteral("Abbrechen"), this);
    pbStop->setObjectName(QStringLiteral("pbStop"));
    pbStop->setGeometry(190, 84, 81, 23);

    QFont bold(QStringLiteral("Verdana"), 9);
    bold.setBold(true);
    lbStatus = new QLabel(QStringLiteral("Verbinde mit CRM ..."), this);
    lbStatus->setObjectName(QStringLiteral("lbStatus"));
    lbStatus->setGeometry(10, 10, 261, 16);
    lbStatus->setFont(bold);

    lbStatus2 = new QLabel(this);
    lbStatus2->setObjectName(QStringLiteral("lbStatus2"));
    lbStatus2->setGeometry(10, 30, 261, 16);

    connect(pbStop, &QPushButton::pressed, parent, &Kelvor_email::StopJob);
}

void ExImportDlg::reject()
{
    // Escape must not hide the dialog while the run goes on behind it.
}
