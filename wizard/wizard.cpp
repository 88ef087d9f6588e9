#include "wizard.h"

#include "crmsettings.h"
#include "exchecker.h"
#include "exjournal.h"
#include "ui_wizard.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

// The pictures are compiled into the wizard's library: register them before the form loads them.
static void initWizardResources()
{
    Q_INIT_RESOURCE(wizard);
}

Wizard::Wizard(CrmTransport& transport, QWidget* parent, const QString& programDir)
    : QWidget(parent), m_transport(transport), m_ui(std::make_unique<Ui::WizardClass>()),
      m_launcher(std::make_unique<ImporterLauncher>(programDir.isEmpty() ? QCoreApplication::applicationDirPath()
                                                                         : programDir))
{
    initWizardResources();
    m_ui->setupUi(this);
    fitHeading();
    // A plain QWidget paints its style-sheet background only when asked to.
    setAttribute(Qt::WA_StyledBackground);

    connect(m_ui->chkButton, &QPushButton::pressed, this, &Wizard::StartCheck);
    // A blank copied along with the address would make it unusable without showing why.
    connect(m_ui->leURL, &QLineEdit::editingFinished, this, [this] { (void)trimmedUrl(); });
    connect(m_ui->emailBt, &QPushButton::pressed, this, &Wizard::emailClicked);
    connect(m_ui->conBt, &QPushButton::pressed, this, &Wizard::consClicked);
    connect(m_ui->appBt, &QPushButton::pressed, this, &Wizard::appsClicked);
    connect(m_ui->taskBt, &QPushButton::pressed, this, &Wizard::taskClicked);

    // Beside the address it belongs to, right-aligned with the address field.
    m_forgetButton = new QPushButton(QStringLiteral("Importverlauf vergessen"), this);
    m_forgetButton->setObjectName(QStringLiteral("forgetBt"));
    m_forgetButton->setToolTip(QStringLiteral("Vergisst, was in dieses CRM schon importiert wurde: der n\u00e4chste "
                                              "Import sendet wieder alles"));
    const int forgetWidth = qMax(150, m_forgetButton->sizeHint().width());
    m_forgetButton->setGeometry(m_ui->leURL->geometry().right() + 1 - forgetWidth, m_ui->lb_4->y() - 4, forgetWidth,
                                m_ui->leURL->y() - m_ui->lb_4->y() + 2);
    connect(m_forgetButton, &QPushButton::clicked, this, &Wizard::forgetHistory);
    // In the keyboard order with the other things done to the settings, before the importers.
    setTabOrder(m_ui->chkButton, m_forgetButton);
    setTabOrder(m_forgetButton, m_ui->emailBt);
    m_journalPath = ExJournal::defaultPath();
    m_confirmForget = [this](int entries) {
        QMessageBox box(QMessageBox::Question, QStringLiteral("Importverlauf vergessen"),
                        QStringLiteral("Den Importverlauf f\u00fcr dieses CRM vergessen?\n\n%1 Eintr\u00e4ge werden "
                                       "gel\u00f6scht. Ein neuer Import sendet dann wieder alles, auch was das CRM "
                                       "schon hat.")
                            .arg(entries),
                        QMessageBox::NoButton, this);
        QPushButton* forget = box.addButton(QStringLiteral("Vergessen"), QMessageBox::DestructiveRole);
        QPushButton* keep = box.addButton(QStringLiteral("Abbrechen"), QMessageBox::RejectRole);
        box.setDefaultButton(keep);
        box.setEscapeButton(keep);
        box.exec();
        return box.clickedButton() == forget;
    };

    loadSettings();
}

Wizard::~Wizard() = default;

void Wizard::fitHeading()
{
    // The form's widths suit Tahoma; where another font stands in (most Linux desktops have no
    // Tahoma) the heading would be cut. Each label takes at least the width its text needs, and the
    // version label follows the heading rather than lying on it.
    auto fit = [](QLabel* label) {
        label->resize(qMax(label->width(), label->sizeHint().width()), label->height());
    };
    fit(m_ui->lb_1);
    fit(m_ui->lb_2);
    fit(m_ui->lb_3);
    const int gap = 6;
    const int x = qMax(m_ui->lb_3->x(), m_ui->lb_2->geometry().right() + 1 + gap);
    if (x + m_ui->lb_3->width() <= width()) {
        m_ui->lb_3->move(x, m_ui->lb_3->y());
    } else {
        // No room beside the heading: the version goes on the line below, under its start.
        m_ui->lb_3->move(m_ui->lb_2->x(), m_ui->lb_2->geometry().bottom() + 1);
    }
}

void Wizard::loadSettings()
{
    const CrmSettings settings = readCrmSettings();
    m_ui->leURL->setText(settings.url);
    m_ui->leLOGIN->setText(settings.login);
    m_ui->lePASS->setText(settings.password);
}

QString Wizard::trimmedUrl()
{
    const QString url = m_ui->leURL->text().trimmed();
    if (url != m_ui->leURL->text())
        m_ui->leURL->setText(url);
    return url;
}

void Wizard::saveSettings()
{
    // Stored as typed, only the address without surrounding blanks; no check: an importer started
    // with unusable settings says so in its summary.
    writeCrmSettings({trimmedUrl(), m_ui->leLOGIN->text(), m_ui->lePASS->text()});
}

void Wizard::StartCheck()
{
    if (m_checker) {
        m_checker->abort();
        return;
    }
    const QString url = trimmedUrl();
    if (!url.isEmpty() && !url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
        && !url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive)) {
        // Nothing is sent: the cause is plain without asking the server.
        m_ui->chkLabel->setText(QString::fromUtf8(failureText) + QStringLiteral("<br>") +
                                QString::fromUtf8(schemeText));
        return;
    }
    m_ui->chkLabel->setText(QString::fromUtf8(checkingText));
    m_ui->chkButton->setText(QStringLiteral("Abbrechen"));
    m_checker = new ExChecker(m_transport, m_ui->leLOGIN->text(), m_ui->lePASS->text(), url, this);
    if (!m_refusedCertificateUrl.isEmpty() && m_refusedCertificateUrl == m_ui->leURL->text())
        m_checker->setReplaceCertificate(true);
    m_refusedCertificateUrl.clear();
    connect(m_checker, &ExChecker::CheckDone, this, &Wizard::CheckDone);
    connect(this, &Wizard::MakeLogin, m_checker, &ExChecker::CRMLogin);
    emit MakeLogin();
}

void Wizard::CheckDone(bool ok)
{
    QString text = QString::fromUtf8(ok ? successText : failureText);
    m_ui->chkButton->setText(QStringLiteral("Pr\u00fcfen"));
    if (m_checker && m_checker->outcome().failure == CrmLogonFailure::Aborted) {
        text = QString::fromUtf8(abortedText);
    } else if (m_checker) {
        const CrmLogonOutcome& outcome = m_checker->outcome();
        const CrmCertificate certificate = outcome.certificate;
        if (!ok && outcome.failure != CrmLogonFailure::None)
            text += QStringLiteral("<br>") + crmLogonFailureText(outcome.failure);
        if (outcome.failure == CrmLogonFailure::CertificateRefused) {
            text += QStringLiteral("<br>") + QString::fromUtf8(replaceText);
            m_refusedCertificateUrl = m_ui->leURL->text();
        } else if (certificate == CrmCertificate::Remembered) {
            text += QStringLiteral("<br>") + QString::fromUtf8(rememberedText);
        } else if (certificate == CrmCertificate::Known) {
            text += QStringLiteral("<br>") + QString::fromUtf8(knownText);
        }
    }
    m_ui->chkLabel->setText(text);
    if (m_checker) {
        disconnect(this, &Wizard::MakeLogin, m_checker, &ExChecker::CRMLogin);
        // CheckDone may arrive from inside the checker's own slot: delete it once that has returned.
        m_checker->deleteLater();
        m_checker.clear();
    }
}

void Wizard::launch(Importer importer)
{
    saveSettings();
    // A program that cannot be found or started shows nothing to the user.
    (void)m_launcher->launch(importer);
    qDebug() << importerDebugMessage(importer);
}

void Wizard::emailClicked()
{
    launch(Importer::Email);
}
void Wizard::consClicked()
{
    launch(Importer::Contacts);
}
void Wizard::appsClicked()
{
    launch(Importer::Appointments);
}
void Wizard::taskClicked()
{
    launch(Importer::Tasks);
}

void Wizard::forgetHistory()
{
    ExJournal journal(m_journalPath);
    // The address as it is stored (without surrounding blanks), which the importers key their entries by.
    const ExJournalCrm crm{trimmedUrl(), m_ui->leLOGIN->text()};
    const int entries = journal.countEntries(crm);
    QString text;
    if (!journal.usable())
        text = QStringLiteral("<font color=\"red\">Der Importverlauf %1</font>").arg(journal.problemText());
    else if (entries == 0)
        text = QStringLiteral("Kein Importverlauf f\u00fcr dieses CRM");
    else if (!m_confirmForget || !m_confirmForget(entries))
        return;
    else if (journal.forget(crm))
        text = QStringLiteral("Importverlauf vergessen: %1 Eintr\u00e4ge").arg(entries);
    else
        text = QStringLiteral("<font color=\"red\">Der Importverlauf %1</font>").arg(journal.problemText());
    m_ui->chkLabel->setText(text);
}

void Wizard::closeEvent(QCloseEvent* event)
{
    saveSettings();
    qDebug() << "Close event";
    event->accept();
}
