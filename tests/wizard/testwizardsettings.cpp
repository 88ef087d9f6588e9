// The wizard as the editor of the stored connection settings: shown at start, stored as typed at
// close and at every importer button, read back unchanged by the next start.
#include "crmsettings.h"
#include "crmtransport.h"
#include "crmtruststore.h"
#include "exjournal.h"
#include "wizard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace
{

QLineEdit* field(Wizard& wizard, const char* name)
{
    return wizard.findChild<QLineEdit*>(QString::fromLatin1(name));
}

void fill(Wizard& wizard, const QString& url, const QString& login, const QString& password)
{
    field(wizard, "leURL")->setText(url);
    field(wizard, "leLOGIN")->setText(login);
    field(wizard, "lePASS")->setText(password);
}

void clearStoredSettings()
{
    QSettings settings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer"));
    settings.clear();
    settings.sync();
}

} // namespace

class TestWizardSettings : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init() { clearStoredSettings(); }
    void firstStartShowsEmptyFields();
    void closeStoresFieldsAsTyped_data();
    void closeStoresFieldsAsTyped();
    void importerButtonStoresFields_data();
    void importerButtonStoresFields();
    void startShowsWhatAnotherProgramStored();
    void storedOwnerOnly_data();
    void storedOwnerOnly();
    void forgetHistoryAsksAndClearsOnlyTheCrmEntered();

private:
    QTemporaryDir m_config;
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};
};

void TestWizardSettings::initTestCase()
{
    // These tests clear the settings store: keep it in a folder of their own, so that running them
    // by hand never wipes the settings of whoever runs them.
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    const QString store = QSettings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer")).fileName();
    QVERIFY2(store.startsWith(m_config.path() + QLatin1Char('/')),
             qPrintable(QStringLiteral("settings store outside the test's folder: ") + store));
}

void TestWizardSettings::firstStartShowsEmptyFields()
{
    Wizard wizard(m_transport, nullptr, QDir::currentPath());
    QCOMPARE(field(wizard, "leURL")->text(), QString());
    QCOMPARE(field(wizard, "leLOGIN")->text(), QString());
    QCOMPARE(field(wizard, "lePASS")->text(), QString());
    // Looking is not storing: nothing is written before a close or a launch.
    const QSettings settings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer"));
    QVERIFY(settings.allKeys().isEmpty());
}

void TestWizardSettings::closeStoresFieldsAsTyped_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("password");
    // storedUrl: the address as stored and shown again (without surrounding blanks).
    QTest::addColumn<QString>("storedUrl");
    QTest::newRow("plain") << QStringLiteral("https://crm.example.com/") << QStringLiteral("hans")
                           << QStringLiteral("geheim") << QStringLiteral("https://crm.example.com/");
    QTest::newRow("beyond Latin-1") << QStringLiteral("http://crm.example.com/müller") << QStringLiteral("Jürgen")
                                    << QStringLiteral("Pa€wort-Жук") << QStringLiteral("http://crm.example.com/müller");
    // Blanks in login name and password may be meant; around an address they never are.
    QTest::newRow("blanks and markup kept, address trimmed")
        << QStringLiteral(" http://x.example/ \t") << QStringLiteral("a&b ") << QStringLiteral(" <pass>\"'; ")
        << QStringLiteral("http://x.example/");
    QTest::newRow("all empty") << QString() << QString() << QString() << QString();
}

void TestWizardSettings::closeStoresFieldsAsTyped()
{
    QFETCH(QString, url);
    QFETCH(QString, login);
    QFETCH(QString, password);
    QFETCH(QString, storedUrl);
    {
        Wizard wizard(m_transport, nullptr, QDir::currentPath());
        wizard.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wizard));
        fill(wizard, url, login, password);
        QVERIFY(wizard.close());
    }
    const CrmSettings stored = readCrmSettings();
    QCOMPARE(stored.url, storedUrl);
    QCOMPARE(stored.login, login);
    QCOMPARE(stored.password, password);

    Wizard next(m_transport, nullptr, QDir::currentPath());
    QCOMPARE(field(next, "leURL")->text(), storedUrl);
    QCOMPARE(field(next, "leLOGIN")->text(), login);
    QCOMPARE(field(next, "lePASS")->text(), password);
}

void TestWizardSettings::importerButtonStoresFields_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("E-Mails") << QStringLiteral("emailBt");
    QTest::newRow("Kontakte") << QStringLiteral("conBt");
    QTest::newRow("Termine") << QStringLiteral("appBt");
    QTest::newRow("Aufgaben") << QStringLiteral("taskBt");
}

void TestWizardSettings::importerButtonStoresFields()
{
    QFETCH(QString, button);
    // No importer in the (empty) program folder: the press still stores, without any check run.
    const QTemporaryDir programDir;
    Wizard wizard(m_transport, nullptr, programDir.path());
    fill(wizard, QStringLiteral("http://127.0.0.1:9/"), QStringLiteral("Zoë"), QStringLiteral("ключ€"));
    QTest::mousePress(wizard.findChild<QPushButton*>(button), Qt::LeftButton);

    const CrmSettings stored = readCrmSettings();
    QCOMPARE(stored.url, QStringLiteral("http://127.0.0.1:9/"));
    QCOMPARE(stored.login, QStringLiteral("Zoë"));
    QCOMPARE(stored.password, QStringLiteral("ключ€"));
}

void TestWizardSettings::startShowsWhatAnotherProgramStored()
{
    writeCrmSettings({QStringLiteral("https://crm.example.org:8443/kunde/"), QStringLiteral("Ærøskøbing"),
                      QStringLiteral("日本語")});
    Wizard wizard(m_transport, nullptr, QDir::currentPath());
    QCOMPARE(field(wizard, "leURL")->text(), QStringLiteral("https://crm.example.org:8443/kunde/"));
    QCOMPARE(field(wizard, "leLOGIN")->text(), QStringLiteral("Ærøskøbing"));
    QCOMPARE(field(wizard, "lePASS")->text(), QStringLiteral("日本語"));
}

void TestWizardSettings::storedOwnerOnly_data()
{
    QTest::addColumn<bool>("existing");
    QTest::newRow("first save") << false;
    QTest::newRow("readable by all before") << true;
}

// The settings hold the password: after a save neither the file nor its folder is open to others,
// also when an older version left them readable by everyone.
void TestWizardSettings::storedOwnerOnly()
{
    QFETCH(bool, existing);
    const QString file = QSettings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer")).fileName();
    const QString folder = QFileInfo(file).absolutePath();
    QVERIFY(QDir(folder).removeRecursively());
    const mode_t oldMask = ::umask(022);
    if (existing) {
        QVERIFY(QDir().mkpath(folder));
        QFile old(file);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("[General]\nCRM_KNW=alt\n");
        old.close();
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 0644) == 0);
    }
    {
        Wizard wizard(m_transport, nullptr, QDir::currentPath());
        fill(wizard, QStringLiteral("https://crm.example.com/"), QStringLiteral("hans"), QStringLiteral("geheim"));
        QVERIFY(wizard.close());
    }
    ::umask(oldMask);
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
    QCOMPARE(::stat(QFile::encodeName(folder).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0700));
    QCOMPARE(readCrmSettings().password, QStringLiteral("geheim"));
}

QTEST_MAIN(TestWizardSettings)

void TestWizardSettings::forgetHistoryAsksAndClearsOnlyTheCrmEntered()
{
    QTemporaryDir data;
    const QString journalPath = data.filePath(QStringLiteral("imports.sqlite"));
    const ExJournalCrm entered{QStringLiteral("http://crm.example/a/"), QStringLiteral("anna")};
    const ExJournalCrm other{QStringLiteral("http://crm.example/a/"), QStringLiteral("bert")};
    {
        ExJournal journal(journalPath);
        ExJournalItem item;
        item.store = "store";
        for (const char* e : {"1", "2"}) {
            item.entryId = e;
            QVERIFY(journal.record(entered, QStringLiteral("task"), item, ExJournal::Outcome::Stored, 5));
        }
        QVERIFY(journal.recordCrmFolder(entered, "store", "folder", 17));
        QVERIFY(journal.record(other, QStringLiteral("task"), item, ExJournal::Outcome::Stored, 6));
    }

    Wizard wizard(m_transport, nullptr, QDir::currentPath());
    wizard.setJournalPath(journalPath);
    QList<int> asked;
    bool answer = false;
    wizard.setForgetConfirm([&](int entries) {
        asked << entries;
        return answer;
    });
    fill(wizard, entered.url, entered.login, QStringLiteral("pw"));
    QTest::mouseClick(wizard.forgetButton(), Qt::LeftButton);
    QCOMPARE(asked, QList<int>{3});
    QCOMPARE(ExJournal(journalPath).countEntries(entered), 3); // declined: nothing is deleted

    answer = true;
    QTest::mouseClick(wizard.forgetButton(), Qt::LeftButton);
    QCOMPARE(asked, (QList<int>{3, 3}));
    QCOMPARE(ExJournal(journalPath).countEntries(entered), 0);
    QCOMPARE(ExJournal(journalPath).countEntries(other), 1);
    QVERIFY(wizard.findChild<QLabel*>(QStringLiteral("chkLabel"))->text().contains(QLatin1String("3")));

    // Nothing left to forget: nobody is asked.
    QTest::mouseClick(wizard.forgetButton(), Qt::LeftButton);
    QCOMPARE(asked.size(), 2);
}

#include "testwizardsettings.moc"
