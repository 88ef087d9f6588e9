// The windows of the task and appointment importers on the offscreen platform: what their tables
// change in the shared window, and an import started from the window against the test CRM.
#include "appointmentstable.h"
#include "eximporter.h"
#include "exinfodialog.h"
#include "exjob.h"
#include "exmainwindow.h"
#include "itemfixture.h"
#include "taskstable.h"
#include "testcrm.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTreeWidget>
#include <QtTest>

using namespace itemtest;

Q_DECLARE_METATYPE(ExImporterTable)

namespace
{

QJsonObject item(const QString& subject, const char* messageClass, const QJsonArray& named = {})
{
    return QJsonObject{
        {QStringLiteral("props"), QJsonObject{{QStringLiteral("0x0037001F"), subject},
                                              {QStringLiteral("0x001A001F"), QString::fromLatin1(messageClass)}}},
        {QStringLiteral("named"), named}};
}

// A task store and a calendar store in one profile, so each program lists only its own folders.
QByteArray profile()
{
    const QJsonArray tasks{item(QStringLiteral("Steuer"), "IPM.Task"), item(QStringLiteral("Reifen"), "IPM.Task"),
                           item(QStringLiteral("M\u00fcll"), "IPM.Task")};
    auto hour = [](int d, int h) { return iso(at("Europe/Berlin", 2026, 4, d, h)); };
    const QJsonArray dates{item(QStringLiteral("Zahnarzt"), "IPM.Appointment",
                                {named(appointmentSet, 0x820D, "PT_SYSTIME", hour(1, 9)),
                                 named(appointmentSet, 0x820E, "PT_SYSTIME", hour(1, 10))}),
                           item(QStringLiteral("Friseur"), "IPM.Appointment",
                                {named(appointmentSet, 0x820D, "PT_SYSTIME", hour(2, 9)),
                                 named(appointmentSet, 0x820E, "PT_SYSTIME", hour(2, 10))})};
    return store({folder(QStringLiteral("Aufgaben"), QStringLiteral("IPF.Task"), tasks),
                  folder(QStringLiteral("Kalender"), QStringLiteral("IPF.Appointment"), dates),
                  folder(QStringLiteral("Posteingang"), QStringLiteral("IPF.Note"), {})});
}

ExScanProfile scanProfileOf(const ExImporterTable& t)
{
    return t.program == QLatin1String("Kelvor_aufgaben") ? ExScanProfile::tasks() : ExScanProfile::appointments();
}

} // namespace

class TstItemWindows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<ExImporterTable>(); }
    void window_data();
    void window();
    void importFromTheWindow_data();
    void importFromTheWindow();
    void stopDuringAPendingExchange_data();
    void stopDuringAPendingExchange();

private:
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};
};

void TstItemWindows::window_data()
{
    QTest::addColumn<ExImporterTable>("table");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("tooltip");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("folderName");

    QTest::newRow("tasks") << tasksTable() << QStringLiteral("Kelvor_aufgabenClass")
                           << QStringLiteral("Kelvor CRM Outlook Importer - Aufgaben") << QStringLiteral("3 Aufgaben")
                           << QStringLiteral(":/Kelvor_aufgaben/Resources/") << QStringLiteral("Aufgaben");
    QTest::newRow("appointments") << appointmentsTable() << QStringLiteral("Kelvor_termineClass")
                                  << QStringLiteral("Kelvor CRM Outlook Importer - Termine")
                                  << QStringLiteral("2 Termine") << QStringLiteral(":/Kelvor_termine/Resources/")
                                  << QStringLiteral("Kalender");
}

void TstItemWindows::window()
{
    QFETCH(ExImporterTable, table);
    QFETCH(QString, objectName);
    QFETCH(QString, title);
    QFETCH(QString, tooltip);
    QFETCH(QString, prefix);
    QFETCH(QString, folderName);

    QCOMPARE(table.resourcePrefix(), prefix);
    for (const char* file : {"folder.JPG", "kel.JPG", "import", "outlook_module.ico"}) {
        const QString path = prefix + QLatin1String(file);
        QVERIFY2(QFile::exists(path), qPrintable(path));
        QVERIFY2(!QImage(path).isNull(), qPrintable(path));
    }

    ExMainWindow w(table, m_transport);
    QCOMPARE(w.objectName(), objectName);
    QCOMPARE(w.windowTitle(), title);
    QCOMPARE(w.lb_1->text(), title);
    QVERIFY(w.styleSheet().contains(objectName + QStringLiteral("{background-color: rgb(233, 242, 249);}")));
    QVERIFY(!w.cb_pbuch);
    QVERIFY(!w.findChild<QCheckBox*>());
    QVERIFY(!w.windowIcon().isNull());
    QVERIFY(!w.label->pixmap().isNull());
    QVERIFY(!w.pushButton->icon().isNull());
    QCOMPARE(w.pushButton->text(), QStringLiteral("Importieren"));

    ScannedStore store(profile(), scanProfileOf(table));
    QVERIFY(store.ok());
    LogLines log;
    w.ReadyImport(store.outlook().folders());
    QCOMPARE(w.treeWidget->topLevelItemCount(), 1);
    QTreeWidgetItem* row = w.treeWidget->topLevelItem(0);
    QCOMPARE(row->text(0), folderName);
    QCOMPARE(row->toolTip(0), tooltip);
    QVERIFY(!row->icon(0).isNull());
    // The item-count line: the program's own label (unquoted), a blank, the count.
    const QString count = tooltip.section(QLatin1Char(' '), 0, 0);
    QVERIFY2(LogLines::lines().contains(QStringLiteral("Debug: ") + table.itemCountLogLabel + QLatin1Char(' ') + count),
             qPrintable(LogLines::lines().join(QLatin1Char('\n'))));
}

void TstItemWindows::importFromTheWindow_data()
{
    QTest::addColumn<ExImporterTable>("table");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("kind");

    QTest::newRow("tasks") << tasksTable() << greenLine(3, "Aufgaben")
                           << QStringLiteral(
                                  "<font color=\"blue\">Aufgabe <i>Steuer</i> existiert bereits</font><br>"
                                  "<font color=\"blue\">Aufgabe <i>Reifen</i> existiert bereits</font><br>"
                                  "<font color=\"blue\">Aufgabe <i>M\u00fcll</i> existiert bereits</font><br>"
                                  "<font color=\"blue\"><i>3</i> Aufgaben existieren bereits</font><br>") +
                                  greenLine(0, "Aufgaben")
                           << QStringLiteral("tasks");
    QTest::newRow("appointments") << appointmentsTable() << greenLine(2, "Termine")
                                  << QStringLiteral(
                                         "<font color=\"blue\"><i>2</i>  Termine existieren bereits</font><br>") +
                                         greenLine(0, "Termine")
                                  << QStringLiteral("appointments");
}

// Two runs in one program start, through the worker thread, the progress dialog and the
// completion dialog: the second run reads the same folder again.
void TstItemWindows::importFromTheWindow()
{
    QFETCH(ExImporterTable, table);
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, kind);

    TestCrm crm(tenantName("TstItemWindows_import_", QTest::currentDataTag()));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    ScannedStore store(profile(), scanProfileOf(table));
    QVERIFY(store.ok());

    ExMainWindow w(table, m_transport);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.ReadyImport(store.outlook().folders());
    QTreeWidgetItem* row = w.treeWidget->topLevelItem(0);

    for (const QString& expected : {first, second}) {
        QTest::mouseClick(w.treeWidget->viewport(), Qt::LeftButton, {}, w.treeWidget->visualItemRect(row).center());
        QVERIFY(row->isSelected());
        QVERIFY(w.pushButton->isEnabled());
        QSignalSpy info(w.importer(), &ExImporter::UpdateStatusInfo);
        QTest::mouseClick(w.pushButton, Qt::LeftButton);
        QVERIFY(info.count() == 1 || info.wait(20000));
        QTRY_VERIFY(w.infoDialog());
        QCOMPARE(w.infoDialog()->label->text(), expected);
        QVERIFY(!w.pushButton->isEnabled());
        QTRY_VERIFY(!w.importer()->isVisible());
        w.infoDialog()->close();
        // Deselect, so the next click selects the row again.
        QTest::mouseClick(w.treeWidget->viewport(), Qt::LeftButton, {}, w.treeWidget->visualItemRect(row).center());
    }
    QCOMPARE(crm.stored().value(kind).toArray().size(), kind == QLatin1String("tasks") ? 3 : 2);
}

void TstItemWindows::stopDuringAPendingExchange_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Escape") << QStringLiteral("escape");
    QTest::newRow("Abbrechen") << QStringLiteral("button");
    QTest::newRow("closing the window") << QStringLiteral("close");
}

// The CRM stops answering after the logon: the first task's request is taken and never answered. The
// user stops while that answer is awaited.
void TstItemWindows::stopDuringAPendingExchange()
{
    QFETCH(QString, how);
    TestCrm crm(tenantName("TstItemWindows_stop_", QTest::currentDataTag()));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    ExImporterTable table = tasksTable();
    const QString silentUrl = QStringLiteral("http://127.0.0.1:%1/").arg(silent.serverPort());
    table.logon = [silentUrl](CrmTransport& transport, const QString& httpLog) {
        CrmLogonOutcome outcome = exStoredSettingsLogon(transport, httpLog);
        outcome.baseUrl = silentUrl;
        return outcome;
    };
    ScannedStore store(profile(), scanProfileOf(table));
    QVERIFY(store.ok());

    ExMainWindow w(table, m_transport);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.ReadyImport(store.outlook().folders());
    w.treeWidget->topLevelItem(0)->setSelected(true);
    QTest::mouseClick(w.pushButton, Qt::LeftButton);
    ExImporter* dlg = w.importer();
    QVERIFY(dlg->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 10000);
    std::unique_ptr<QTcpSocket> pending(silent.nextPendingConnection());
    QTRY_VERIFY_WITH_TIMEOUT(pending->bytesAvailable() > 0, 5000); // the request has left

    QElapsedTimer sinceStop;
    sinceStop.start();
    if (how == QLatin1String("close")) {
        w.close();
        QTRY_VERIFY_WITH_TIMEOUT(dlg->job()->isFinished(), 2000);
        QVERIFY(!dlg->isVisible());
        QVERIFY(!w.infoDialog()); // the program is ending: no summary pops up
        return;
    }
    if (how == QLatin1String("escape"))
        QTest::keyClick(dlg, Qt::Key_Escape);
    else
        QTest::mouseClick(dlg->pbStop, Qt::LeftButton);
    // The stop shows at once, and the dialog stays until the run has ended.
    QVERIFY(dlg->isVisible());
    QCOMPARE(dlg->lbStatus->text(), QStringLiteral("Wird abgebrochen ..."));
    QVERIFY(!dlg->pbStop->isEnabled());
    QTest::keyClick(dlg, Qt::Key_Escape);
    QVERIFY(dlg->isVisible());

    QTRY_VERIFY_WITH_TIMEOUT(w.infoDialog(), 1000);
    QVERIFY2(sinceStop.elapsed() < 1000, qPrintable(QString::number(sinceStop.elapsed())));
    QVERIFY(!dlg->isVisible());
    const QString summary = w.infoDialog()->label->text();
    QCOMPARE(summary, ExSummary::interruptNote() +
                          QStringLiteral("<font color=\"red\">Aufgabe <i>Steuer</i> k\u00f6nnte nicht importiert werden</font><br>"
                                         "<font color=\"red\"><i>1</i> Aufgaben k\u00f6nnten nicht importiert werden</font><br>") +
                          ExRun::mayBeStoredLine(1, QStringLiteral("Aufgaben")) + greenLine(0, "Aufgaben"));
    QVERIFY(!silent.hasPendingConnections()); // nothing after the stopped item

    // The next run starts with a working button.
    w.infoDialog()->close();
    w.treeWidget->topLevelItem(0)->setSelected(false);
    w.treeWidget->topLevelItem(0)->setSelected(true);
    QTest::mouseClick(w.pushButton, Qt::LeftButton);
    QVERIFY(dlg->pbStop->isEnabled());
    QCOMPARE(dlg->lbStatus->text(), QStringLiteral("Verbinde mit CRM..."));
    dlg->StopJob();
    QTRY_VERIFY_WITH_TIMEOUT(w.infoDialog(), 5000);
}

QTEST_MAIN(TstItemWindows)
#include "tst_itemwindows.moc"
