// The e-mail importer's window driven as a user would: the folder tree, the import button, a run
// against the local test CRM that stays responsive during a slow upload and stops on "Abbrechen"
// at once, and the completion dialog.
#include "crmsettings.h"
#include "crmtransport.h"
#include "crmtruststore.h"
#include "exmailimport.h"
#include "eximporter.h"
#include "kelvor_email.h"
#include "mailinfodialog.h"
#include "resumedialog.h"
#include "testcrm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryFile>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QTreeWidget>

namespace {

const char* const kFixture = R"({"stores": [
  {"name": "Pers\u00f6nliche Ordner", "folders": [
    {"name": "Posteingang", "items": [{"props": {"0x0037001F": "Hallo", "0x1035001F": "<w1@example.org>"}}],
     "folders": [
      {"name": "Kunden", "class": "IPF.Note", "items": [
        {"props": {"0x0037001F": "Eins", "0x1000001F": "a", "0x1035001F": "<w2@example.org>"}},
        {"props": {"0x0037001F": "Zwei", "0x1000001F": "b", "0x1035001F": "<w3@example.org>"}},
        {"props": {"0x0037001F": "Drei", "0x1000001F": "c", "0x1035001F": "<w4@example.org>"}}]},
      {"name": "Notizen", "class": "IPF.StickyNote", "folders": [{"name": "Darunter", "class": "IPF.Note"}]}]},
    {"name": "Mehr", "class": "IPF.Note.Extra"},
    {"name": "klein", "class": "ipf.note"},
    {"name": "IMAP", "class": " IPF.Imap "}]}
]})";

QTreeWidgetItem* row(QTreeWidget* tree, const QString& text)
{
    const auto found = tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
}

void click(QTreeWidget* tree, QTreeWidgetItem* item)
{
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
}

} // namespace

class TestMailWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void unreadableStoreShowsEmptyTree();
    void treeSelectionAndStoppedRun();
    void subtreeSelection();
    void alreadyImportedQuestion_data();
    void alreadyImportedQuestion();

private:
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};
};

void TestMailWindow::unreadableStoreShowsEmptyTree()
{
    QTemporaryFile broken;
    QVERIFY(broken.open());
    broken.write("{ not json");
    broken.flush();
    qputenv("KELVOR_STORE", broken.fileName().toLocal8Bit());
    Kelvor_email window;
    window.setImport(std::make_unique<ExMailImport>(&window, m_transport));
    qunsetenv("KELVOR_STORE");
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.treeWidget->topLevelItemCount(), 0);
    QVERIFY(!window.pushButton->isEnabled());
}

void TestMailWindow::subtreeSelection()
{
    QTemporaryFile fixture;
    QVERIFY(fixture.open());
    fixture.write(kFixture);
    fixture.flush();
    qputenv("KELVOR_STORE", fixture.fileName().toLocal8Bit());
    Kelvor_email window;
    window.setImport(std::make_unique<ExMailImport>(&window, m_transport));
    qunsetenv("KELVOR_STORE");
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTreeWidget* tree = window.treeWidget;
    QTreeWidgetItem* storeRow = row(tree, QStringLiteral("Pers\u00f6nliche Ordner"));
    const QStringList all{QStringLiteral("Pers\u00f6nliche Ordner"), QStringLiteral("Posteingang"),
                          QStringLiteral("Kunden"), QStringLiteral("IMAP")};
    const auto selected = [tree] {
        QStringList names;
        for (QTreeWidgetItem* item : tree->selectedItems())
            names << item->text(0);
        names.sort();
        return names;
    };
    const auto sorted = [](QStringList names) {
        names.sort();
        return names;
    };

    // The store's whole tree, grandchildren included; the button follows.
    window.selectSubtree(storeRow, true);
    QCOMPARE(selected(), sorted(all));
    QVERIFY(window.pushButton->isEnabled());

    // Shift+Space on a selected folder clears it with everything below it, and nothing above or beside.
    tree->setFocus();
    tree->setCurrentItem(row(tree, QStringLiteral("Posteingang")), 0, QItemSelectionModel::NoUpdate);
    QTest::keyClick(tree, Qt::Key_Space, Qt::ShiftModifier);
    QCOMPARE(selected(), sorted({QStringLiteral("Pers\u00f6nliche Ordner"), QStringLiteral("IMAP")}));
    // Again: the branch comes back.
    QTest::keyClick(tree, Qt::Key_Space, Qt::ShiftModifier);
    QCOMPARE(selected(), sorted(all));

    window.selectSubtree(storeRow, false);
    QVERIFY(selected().isEmpty());
    QVERIFY(!window.pushButton->isEnabled());
}

void TestMailWindow::treeSelectionAndStoppedRun()
{
    TestCrm crm(QStringLiteral("TestMailWindow_run"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    writeCrmSettings({crm.baseUrl(), QString::fromLatin1(TestCrm::defaultLogin),
                      QString::fromLatin1(TestCrm::defaultPassword)});
    QTemporaryFile fixture;
    QVERIFY(fixture.open());
    fixture.write(kFixture);
    fixture.flush();
    qputenv("KELVOR_STORE", fixture.fileName().toLocal8Bit());
    Kelvor_email window;
    window.setImport(std::make_unique<ExMailImport>(&window, m_transport));
    qunsetenv("KELVOR_STORE");
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Mail folders only: without class, "IPF.Note" or "IPF.Imap" (trimmed); nothing below another kind.
    QTreeWidget* tree = window.treeWidget;
    for (const char* shown : {"Pers\u00f6nliche Ordner", "Posteingang", "Kunden", "IMAP"})
        QVERIFY2(row(tree, QString::fromUtf8(shown)), shown);
    for (const char* hidden : {"Notizen", "Darunter", "Mehr", "klein"})
        QVERIFY2(!row(tree, QString::fromUtf8(hidden)), hidden);
    QCOMPARE(row(tree, QStringLiteral("Kunden"))->toolTip(0), QStringLiteral("3 E-Mails"));

    // Each click toggles one row; the button follows, a store row counts too.
    QTreeWidgetItem* storeRow = row(tree, QStringLiteral("Pers\u00f6nliche Ordner"));
    QTreeWidgetItem* kunden = row(tree, QStringLiteral("Kunden"));
    QVERIFY(!window.pushButton->isEnabled());
    click(tree, storeRow);
    QVERIFY(window.pushButton->isEnabled());
    click(tree, storeRow);
    QVERIFY(!window.pushButton->isEnabled());
    click(tree, kunden);
    QVERIFY(kunden->isSelected());
    QVERIFY(window.pushButton->isEnabled());

    // Every upload takes 2 s at the server. The event loop keeps running meanwhile, and "Abbrechen"
    // pressed during the first upload ends that upload and the run at once.
    crm.setFault(QStringLiteral("slow:crmImportMailSource"));
    QElapsedTimer sinceTick;
    qint64 longestPause = 0;
    bool stopPressed = false;
    bool stopShown = false;
    bool progressSeen = false;
    QTimer ticker;
    ticker.setInterval(20);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestPause = qMax(longestPause, sinceTick.restart());
        ExImporter* dialog = window.import()->progressDialog();
        if (dialog && dialog->isVisible())
            progressSeen = true;
        if (dialog && !stopPressed && dialog->lbStatus->text().startsWith(QStringLiteral("Importiere"))) {
            stopPressed = true;
            QTimer::singleShot(300, dialog->pbStop, [dialog, &stopShown, &window] {
                // The bar runs over the whole run (the folder's 3 messages here).
                QCOMPARE(dialog->pbStatus->maximum(), 3);
                // The window takes no input, but no modal window keeps its close button from it.
                QVERIFY(!window.treeWidget->isEnabled());
                QVERIFY(!QGuiApplication::modalWindow());
                QTest::mouseClick(dialog->pbStop, Qt::LeftButton);
                // Taken at once, before the run has ended its upload.
                stopShown = dialog->lbStatus->text() == QStringLiteral("Wird abgebrochen ...") &&
                            !dialog->pbStop->isEnabled() && window.import()->isRunning();
            });
        }
    });
    sinceTick.start();
    ticker.start();
    QTest::mouseClick(window.pushButton, Qt::LeftButton);
    QVERIFY(window.import()->isRunning());
    QVERIFY(!window.pushButton->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(window.import()->infoDialog(), 30000);
    ticker.stop();

    QVERIFY(stopPressed);
    QVERIFY(stopShown);
    QVERIFY(progressSeen);
    QVERIFY2(longestPause < 1000, qPrintable(QString::number(longestPause)));
    QVERIFY(!window.import()->progressDialog()->isVisible());
    // The upload in flight was ended without its answer: failed, with the note that the CRM may
    // hold it after all (and it does, once its delay is over).
    QCOMPARE(window.import()->run().importedCount(), 0);
    QCOMPARE(window.import()->run().failedCount(), 1);
    email::ExInfoDialog* info = window.import()->infoDialog();
    QVERIFY(info && info->isVisible());
    const QString shown = info->InfoText->toPlainText();
    QVERIFY2(shown.startsWith(QStringLiteral("Durchf\u00fchrung unterbrochen\n0 E-Mails sind erfolgreich importiert.")),
             qPrintable(shown));
    QVERIFY2(shown.contains(QStringLiteral("vielleicht doch gespeichert")), qPrintable(shown));
    QTRY_COMPARE_WITH_TIMEOUT(crm.stored().value(QStringLiteral("mails")).toArray().size(), 1, 10000);
    // The button stays off until the selection changes; then a second run goes over the whole
    // folder: the CRM already holds the first message.
    QVERIFY(!window.pushButton->isEnabled());
    QVERIFY(window.treeWidget->isEnabled());
    crm.setFault(QString());
    click(tree, row(tree, QStringLiteral("IMAP")));
    QVERIFY(window.pushButton->isEnabled());
    QTest::mouseClick(window.pushButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(window.import()->infoDialog() != info, 30000);
    // Its summary tells this run alone: the stop and the failure of the first run are not in it.
    QCOMPARE(window.import()->run().importedCount(), 2);
    QCOMPARE(window.import()->run().failedCount(), 1);
    const QString secondShown = window.import()->infoDialog()->InfoText->toPlainText();
    QVERIFY2(secondShown.startsWith(QStringLiteral("2 E-Mails sind erfolgreich importiert.\n1 E-Mails")),
             qPrintable(secondShown));
    QVERIFY(!secondShown.contains(QStringLiteral("vielleicht doch gespeichert")));
}

void TestMailWindow::alreadyImportedQuestion_data()
{
    QTest::addColumn<QString>("press"); // a key, or the text of a button to click
    QTest::addColumn<int>("choice");
    QTest::newRow("Enter takes the default") << "Enter" << int(MailResumeChoice::Missing);
    QTest::newRow("Escape cancels") << "Escape" << int(MailResumeChoice::Cancel);
    QTest::newRow("Alle erneut importieren") << "Alle erneut importieren" << int(MailResumeChoice::All);
    QTest::newRow("Abbrechen") << "Abbrechen" << int(MailResumeChoice::Cancel);
}

void TestMailWindow::alreadyImportedQuestion()
{
    QFETCH(QString, press);
    QFETCH(int, choice);
    QWidget parent;
    QString title;
    QString text;
    QTimer::singleShot(0, &parent, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        title = box->windowTitle();
        text = box->text();
        if (press == QLatin1String("Enter") || press == QLatin1String("Escape")) {
            QTest::keyClick(box, press == QLatin1String("Enter") ? Qt::Key_Return : Qt::Key_Escape);
            return;
        }
        for (QAbstractButton* b : box->buttons()) {
            if (b->text() == press)
                b->click();
        }
    });
    QCOMPARE(int(askAlreadyImported(&parent, 40, 180)), choice);
    QCOMPARE(title, QStringLiteral("Bereits importiert"));
    QCOMPARE(text, QStringLiteral("In dieses CRM wurden aus den gew\u00e4hlten Ordnern schon 40 von 180 E-Mails importiert."));
}

QTEST_MAIN(TestMailWindow)
#include "TestMailWindow.moc"
