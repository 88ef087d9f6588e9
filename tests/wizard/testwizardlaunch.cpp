// Starting importers: found by file name (own folder first), one process per importer (a second press
// brings the running one forward), the programs ended with the wizard, a missing program ignored.
#include "importerlauncher.h"
#include "crmtransport.h"
#include "crmtruststore.h"
#include "wizard.h"

#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

namespace
{

bool isAlive(qint64 pid)
{
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
}

// Installs the stand-in program under the importer's file name.
bool installStandIn(const QString& folder, Importer importer)
{
    const QString target = QDir(folder).filePath(importerFileName(importer));
    return QFile::copy(QStringLiteral(STANDIN_PATH), target) &&
           QFile::setPermissions(target, QFile::permissions(target) | QFile::ExeOwner);
}

// What the stand-in with this pid wrote at its start: program name, stored password.
QStringList startRecord(qint64 pid)
{
    QFile file(QDir::current().filePath(QStringLiteral("started-%1.txt").arg(pid)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QPushButton* button(Wizard& wizard, const char* name)
{
    return wizard.findChild<QPushButton*>(QString::fromLatin1(name));
}

} // namespace

class TestWizardLaunch : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void findProgramLooksInOrder();
    void buttonStartsItsImporter_data();
    void buttonStartsItsImporter();
    void secondPressRaisesTheRunningOne();
    void launchUsesFieldsAsTheyStandNow();
    void missingProgramDoesNothing();
    void cleanup();

private:
    QList<qint64> m_leftOver;
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};
};

void TestWizardLaunch::initTestCase()
{
    const QStringList records = QDir::current().entryList({QStringLiteral("started-*.txt")}, QDir::Files);
    for (const QString& record : records)
        QVERIFY(QFile::remove(record));
}

void TestWizardLaunch::cleanup()
{
    for (qint64 pid : std::as_const(m_leftOver))
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    m_leftOver.clear();
}

void TestWizardLaunch::findProgramLooksInOrder()
{
    QTemporaryDir own, current, path1, path2;
    const QString name = importerFileName(Importer::Tasks);
    auto make = [&](const QTemporaryDir& dir, bool executable) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n");
        file.close();
        QFile::Permissions p = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            p |= QFile::ExeOwner;
        QVERIFY(file.setPermissions(p));
    };
    const QString searchPath = path1.path() + QDir::listSeparator() + path2.path();

    QCOMPARE(findProgram(name, own.path(), current.path(), searchPath), QString());
    make(path2, true);
    QCOMPARE(findProgram(name, own.path(), current.path(), searchPath), QDir(path2.path()).filePath(name));
    make(path1, false); // not executable: skipped
    QCOMPARE(findProgram(name, own.path(), current.path(), searchPath), QDir(path2.path()).filePath(name));
    make(current, true);
    QCOMPARE(findProgram(name, own.path(), current.path(), searchPath), QDir(current.path()).filePath(name));
    make(own, true);
    QCOMPARE(findProgram(name, own.path(), current.path(), searchPath), QDir(own.path()).filePath(name));
    // A folder of that name is not a program.
    QVERIFY(QDir(current.path()).mkdir(importerFileName(Importer::Email)));
    QCOMPARE(findProgram(importerFileName(Importer::Email), QString(), current.path(), QString()), QString());
}

void TestWizardLaunch::buttonStartsItsImporter_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("importer");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("E-Mails") << QStringLiteral("emailBt") << int(Importer::Email) << QStringLiteral("Kelvor_email");
    QTest::newRow("Kontakte") << QStringLiteral("conBt") << int(Importer::Contacts)
                              << QStringLiteral("Kelvor_kontakte");
    QTest::newRow("Termine") << QStringLiteral("appBt") << int(Importer::Appointments)
                             << QStringLiteral("Kelvor_termine");
    QTest::newRow("Aufgaben") << QStringLiteral("taskBt") << int(Importer::Tasks) << QStringLiteral("Kelvor_aufgaben");
}

void TestWizardLaunch::buttonStartsItsImporter()
{
    QFETCH(QString, button);
    QFETCH(int, importer);
    QFETCH(QString, fileName);
    const auto which = static_cast<Importer>(importer);
    QCOMPARE(importerFileName(which), fileName);

    const QTemporaryDir programDir;
    // Every importer is present, so a wrong mapping of button to program shows.
    for (Importer each : allImporters)
        QVERIFY(installStandIn(programDir.path(), each));

    qint64 pid = 0;
    {
        Wizard wizard(m_transport, nullptr, programDir.path());
        wizard.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wizard));
        // pressed(), not clicked(): the press alone starts it.
        QTest::mousePress(wizard.findChild<QPushButton*>(button), Qt::LeftButton);
        QProcess* process = wizard.launcher().process(which);
        QVERIFY(process);
        pid = process->processId();
        m_leftOver << pid;
        for (Importer each : allImporters)
            QCOMPARE(wizard.launcher().process(each) != nullptr, each == which);
        QTRY_COMPARE(startRecord(pid).value(0), fileName);
        // The importer runs in the wizard's current folder.
        QCOMPARE(process->workingDirectory(), QString());
        QVERIFY(isAlive(pid));
    }
    QVERIFY(!isAlive(pid));
}

void TestWizardLaunch::secondPressRaisesTheRunningOne()
{
    const QTemporaryDir programDir;
    QVERIFY(installStandIn(programDir.path(), Importer::Contacts));
    QVERIFY(installStandIn(programDir.path(), Importer::Tasks));

    qint64 first = 0, again = 0, task = 0;
    {
        Wizard wizard(m_transport, nullptr, programDir.path());
        QTest::mousePress(button(wizard, "conBt"), Qt::LeftButton);
        QTest::mouseRelease(button(wizard, "conBt"), Qt::LeftButton);
        QVERIFY(wizard.launcher().process(Importer::Contacts));
        first = wizard.launcher().process(Importer::Contacts)->processId();
        m_leftOver << first;
        QTRY_VERIFY(!startRecord(first).isEmpty());
        // A second press while it runs: no second importer, the first one is asked to come forward.
        QTest::mousePress(button(wizard, "conBt"), Qt::LeftButton);
        QCOMPARE(wizard.launcher().process(Importer::Contacts)->processId(), first);
        QTRY_VERIFY(startRecord(first).contains(QStringLiteral("raised")));
        QTest::mousePress(button(wizard, "taskBt"), Qt::LeftButton);
        task = wizard.launcher().process(Importer::Tasks)->processId();
        m_leftOver << task;
        QVERIFY(task != first);

        // Once it has ended, the next press starts it anew.
        QProcess* process = wizard.launcher().process(Importer::Contacts);
        process->terminate();
        QVERIFY(process->waitForFinished(5000));
        QTest::mousePress(button(wizard, "conBt"), Qt::LeftButton);
        again = wizard.launcher().process(Importer::Contacts)->processId();
        m_leftOver << again;
        QVERIFY(again != first);
        QTRY_VERIFY(!startRecord(again).isEmpty());
        QVERIFY(isAlive(again) && isAlive(task));
    }
    // The programs end with the wizard.
    QVERIFY(!isAlive(again));
    QVERIFY(!isAlive(task));
}

void TestWizardLaunch::launchUsesFieldsAsTheyStandNow()
{
    const QTemporaryDir programDir;
    QVERIFY(installStandIn(programDir.path(), Importer::Appointments));
    Wizard wizard(m_transport, nullptr, programDir.path());
    wizard.findChild<QLineEdit*>(QStringLiteral("lePASS"))->setText(QStringLiteral("alt"));
    wizard.findChild<QLineEdit*>(QStringLiteral("lePASS"))->setText(QStringLiteral("neu-€Ж"));
    QTest::mousePress(button(wizard, "appBt"), Qt::LeftButton);
    QVERIFY(wizard.launcher().process(Importer::Appointments));
    const qint64 pid = wizard.launcher().process(Importer::Appointments)->processId();
    m_leftOver << pid;
    // The importer reads what the press stored, not an older value.
    QTRY_COMPARE(startRecord(pid).value(1), QStringLiteral("neu-€Ж"));
}

void TestWizardLaunch::missingProgramDoesNothing()
{
    const QTemporaryDir programDir;
    QVERIFY(installStandIn(programDir.path(), Importer::Contacts));
    Wizard wizard(m_transport, nullptr, programDir.path());
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard));
    QTest::mousePress(button(wizard, "conBt"), Qt::LeftButton);
    QProcess* contacts = wizard.launcher().process(Importer::Contacts);
    QVERIFY(contacts);
    m_leftOver << contacts->processId();

    for (const char* name : {"emailBt", "emailBt", "taskBt", "appBt"})
        QTest::mouseClick(button(wizard, name), Qt::LeftButton);
    QCOMPARE(wizard.launcher().process(Importer::Email), nullptr);
    QCOMPARE(wizard.launcher().process(Importer::Tasks), nullptr);
    QCOMPARE(wizard.launcher().process(Importer::Appointments), nullptr);
    // Nothing else changes: the contacts importer is still the button's process, and no window
    // besides the wizard has appeared.
    QCOMPARE(wizard.launcher().process(Importer::Contacts), contacts);
    QCOMPARE(QApplication::topLevelWidgets().size(), 1);
    QVERIFY(wizard.isVisible());
}

QTEST_MAIN(TestWizardLaunch)
#include "testwizardlaunch.moc"
