#pragma once

#include <QDialog>
#include <QString>

class QFrame;
class QLabel;
class QPushButton;

// The completion dialog of an import run: the run's summary as rich text and "Schließen".
class ExInfoDialog : public QDialog {
    Q_OBJECT
public:
    // iconPath: the window icon (":/<program>/Resources/outlook_module.ico").
    ExInfoDialog(const QString& summary, const QString& iconPath, QWidget* parent);
    Q_DISABLE_COPY_MOVE(ExInfoDialog)

    QFrame* frame = nullptr;
    QLabel* label = nullptr;
    QPushButton* pbClose = nullptr;
};
