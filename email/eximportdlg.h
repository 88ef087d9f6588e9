// The progress dialog of an e-mail import: two status lines, a progress bar and "Abbrechen".
// A frameless modal box over the main window; Escape does not close it (the run owns it).
#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;
class Kelvor_email;

class ExImportDlg : public QDialog {
    Q_OBJECT
public:
    // "Abbrechen" reaches parent->StopJob().
    explicit ExImportDlg(Kelvor_email* parent);
    Q_DISABLE_COPY_MOVE(ExImportDlg)

    QProgressBar* pbStatus = nullptr;
    QPushButton* pbStop = nullptr;
    QLabel* lbStatus = nullptr;
    QLabel* lbStatus2 = nullptr;

public Q_SLOTS:
    void reject() override;
};
