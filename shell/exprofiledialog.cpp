#include "exprofiledialog.h"

#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QDebug>
#include <QMessageBox>
#include <QWidget>

namespace
{

QString quoted(const std::string& file)
{
    return QStringLiteral("\u201e%1\u201c").arg(QDir::toNativeSeparators(QString::fromStdString(file)));
}

} // namespace

QStringList exPickOutlookDataFiles(QWidget* parent)
{
    QFileDialog dialog(parent, QStringLiteral("Outlook-Datendatei \u00f6ffnen"));
    dialog.setObjectName(QStringLiteral("ExProfileDialog"));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("\u00d6ffnen"));
    dialog.setLabelText(QFileDialog::Reject, QStringLiteral("Abbrechen"));
    dialog.setNameFilters(
        {QStringLiteral("Outlook-Datendateien (*.pst *.ost *.PST *.OST)"), QStringLiteral("Alle Dateien (*)")});
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

bool exAskStorePassword(const QString& file, int attempt, QString& password)
{
    QInputDialog dialog;
    dialog.setObjectName(QStringLiteral("ExPasswordDialog"));
    dialog.setWindowTitle(QStringLiteral("Kennwort erforderlich"));
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setTextEchoMode(QLineEdit::Password);
    dialog.setOkButtonText(QStringLiteral("OK"));
    dialog.setCancelButtonText(QStringLiteral("\u00dcberspringen"));
    QString text = QStringLiteral("Die Outlook-Datendatei\n%1\nist durch ein Kennwort gesch\u00fctzt.\n\n")
                       .arg(QDir::toNativeSeparators(file));
    if (attempt > 1)
        text +=
            QStringLiteral("Das Kennwort ist falsch. Versuch %1 von %2.\n\n").arg(attempt).arg(xmapi::PasswordAttempts);
    text += QStringLiteral("Kennwort:");
    dialog.setLabelText(text);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    password = dialog.textValue();
    return true;
}

QString exStoreProblemText(const std::vector<xmapi::StoreProblem>& problems, bool anyUsable)
{
    QStringList lines;
    for (const xmapi::StoreProblem& p : problems) {
        const QString file = quoted(p.file);
        switch (p.kind) {
        case xmapi::StoreProblem::Kind::Missing:
            lines << QStringLiteral("%1 wurde nicht gefunden. Bitte pr\u00fcfen Sie Ordner und Dateinamen.").arg(file);
            break;
        case xmapi::StoreProblem::Kind::NoAccess:
            lines << QStringLiteral("%1 darf nicht gelesen werden. Bitte pr\u00fcfen Sie die Zugriffsrechte der Datei.")
                         .arg(file);
            break;
        case xmapi::StoreProblem::Kind::NotOutlookData:
            lines << QStringLiteral(
                         "%1 ist keine Outlook-Datendatei. Bitte w\u00e4hlen Sie eine .pst- oder .ost-Datei.")
                         .arg(file);
            break;
        case xmapi::StoreProblem::Kind::Damaged:
            lines << QStringLiteral("%1 ist besch\u00e4digt und kann nicht gelesen werden. Bitte reparieren Sie die "
                                    "Datei mit Outlook oder w\u00e4hlen Sie eine Sicherungskopie.")
                         .arg(file);
            break;
        case xmapi::StoreProblem::Kind::WrongPassword:
            static_assert(xmapi::PasswordAttempts == 3, "the text counts the attempts in words");
            lines << QStringLiteral("F\u00fcr %1 wurde dreimal ein falsches Kennwort eingegeben. Starten Sie das "
                                    "Programm erneut, um das Kennwort noch einmal einzugeben.")
                         .arg(file);
            break;
        }
    }
    const QString head = problems.size() == 1 ? QStringLiteral("Diese Outlook-Datendatei wird \u00fcbersprungen:")
                                              : QStringLiteral("Diese Outlook-Datendateien werden \u00fcbersprungen:");
    QString text = head + QStringLiteral("\n\n") + lines.join(QStringLiteral("\n\n"));
    if (!anyUsable)
        text += QStringLiteral("\n\nEs bleibt keine Datei zum Importieren; das Programm wird beendet.");
    return text;
}

bool exAnyStoreOpened(const QList<ExFOLDER*>& stores, QWidget* window)
{
    if (!stores.isEmpty())
        return true;
    qDebug() << "No store opened";
    if (window)
        window->hide();
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Outlook-Datendateien"),
                    QStringLiteral("Keine Outlook-Datendatei ge\u00f6ffnet"), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("ExNoStoreBox"));
    box.setInformativeText(QStringLiteral("Keine der angegebenen Dateien konnte ge\u00f6ffnet werden; das Programm "
                                          "wird beendet."));
    box.exec();
    return false;
}

void exRegisterProfileDialog()
{
    xmapi::setProfileDialog([]() {
        std::vector<std::string> paths;
        for (const QString& file : exPickOutlookDataFiles(nullptr))
            paths.push_back(file.toStdString());
        return paths;
    });
    xmapi::setPasswordPrompt([](const std::string& file, int attempt, std::string& password) {
        QString typed;
        if (!exAskStorePassword(QString::fromStdString(file), attempt, typed))
            return false;
        password = typed.toStdString();
        return true;
    });
    xmapi::setStoreProblemReport([](const std::vector<xmapi::StoreProblem>& problems, bool anyUsable) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Outlook-Datendateien"),
                        exStoreProblemText(problems, anyUsable), QMessageBox::Ok);
        box.setObjectName(QStringLiteral("ExStoreProblemBox"));
        box.exec();
    });
}
