// The completion dialog of the e-mail importer: the summary of all runs so far in a read-only
// rich-text view and "Schließen". Differs from the item importers' dialog, hence its namespace.
#pragma once

#include <QDialog>

class QHBoxLayout;
class QPushButton;
class QTextBrowser;

namespace email {

class ExInfoDialog : public QDialog {
    Q_OBJECT
public:
    // Shows itself with the summary HTML.
    ExInfoDialog(QWidget* parent, const QString& html);
    Q_DISABLE_COPY_MOVE(ExInfoDialog)

    QTextBrowser* InfoText = nullptr;
    QWidget* layoutWidget = nullptr;
    QHBoxLayout* hboxLayout = nullptr;
    QPushButton* okButton = nullptr;
};

} // namespace email
