#include "exprofiledialog.h"

#include "xmapi.h"

#include <QFileDialog>
#include <QWidget>

QStringList exPickOutlookDataFiles(QWidget* parent)
{
    QFileDialog dialog(parent, QStringLiteral("Outlook-Datendatei \u00f6ffnen"));
    dialog.setObjectName(QStringLiteral("ExProfileDialog"));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("\u00d6ffnen"));
    dialog.setLabelText(QFileDialog::Reject, QStringLiteral("Abbrechen"));
    dialog.setNameFilters({QStringLiteral("Outlook-Datendateien (*.pst *.ost *.PST *.OST)"),
                           QStringLiteral("Alle Dateien (*)")});
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

void exRegisterProfileDialog()
{
    xmapi::setProfileDialog([]() {
        std::vector<std::string> paths;
        for (const QString& file : exPickOutlookDataFiles(nullptr))
            paths.push_back(file.toStdString());
        return paths;
    });
}
