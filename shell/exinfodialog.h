#pragma once

#include <QDialog>
#include <QString>

class QFrame;
class QLabel;
class QPushButton;
class QScrollArea;

// The completion dialog of an import run: the run's summary as rich text and "Schließen".
// A summary longer than the dialog scrolls; it opens scrolled to its end, where the count lines are.
class ExInfoDialog : public QDialog
{
    Q_OBJECT
public:
    // iconPath: the window icon (":/<program>/Resources/outlook_module.ico").
    ExInfoDialog(const QString& summary, const QString& iconPath, QWidget* parent);
    Q_DISABLE_COPY_MOVE(ExInfoDialog)

    QFrame* frame = nullptr;
    QScrollArea* scrollArea = nullptr; // fills frame; holds label
    QLabel* label = nullptr;
    QPushButton* pbClose = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void scrollToEnd();
};
