#include "resumedialog.h"

#include <QMessageBox>
#include <QPushButton>

MailResumeChoice askAlreadyImported(QWidget* parent, int imported, int total)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Bereits importiert"),
                    QStringLiteral("In dieses CRM wurden aus den gew\u00e4hlten Ordnern schon %1 von %2 E-Mails "
                                   "importiert.")
                        .arg(imported)
                        .arg(total),
                    QMessageBox::NoButton, parent);
    box.setObjectName(QStringLiteral("alreadyImported"));
    QPushButton* missing = box.addButton(QStringLiteral("Nur fehlende importieren"), QMessageBox::AcceptRole);
    QPushButton* all = box.addButton(QStringLiteral("Alle erneut importieren"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QStringLiteral("Abbrechen"), QMessageBox::RejectRole);
    box.setDefaultButton(missing);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == missing)
        return MailResumeChoice::Missing;
    if (box.clickedButton() == all)
        return MailResumeChoice::All;
    return MailResumeChoice::Cancel;
}
