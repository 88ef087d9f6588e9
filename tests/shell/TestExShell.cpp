// The importer window, progress dialog and completion dialog on the offscreen platform.
#include "crmtransport.h"
#include "exfolder.h"
#include "eximporter.h"
#include "exinfodialog.h"
#include "exjob.h"
#include "exmainwindow.h"

#include <QCheckBox>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTreeWidget>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

std::atomic<int> g_runs{0};
std::atomic<int> g_lastMode{-1};
std::atomic<int> g_lastTotal{-1};
std::atomic<int> g_lastSelected{-1};

ExImporterTable testTable(bool withModeBox)
{
    ExImporterTable t;
    t.program = QStringLiteral("Kelvor_kontakte");
    t.title = QStringLiteral("Kelvor CRM Outlook Importer - Kontakte");
    t.rowTooltip = QStringLiteral("%1 Kontakte");
    t.itemCountLogLabel = QStringLiteral("APPS Items: ");
    if (withModeBox)
        t.modeBoxText = QStringLiteral("Kontakte in das pers\u00f6nliche Adressbuch importieren.");
    t.logon = [](CrmTransport&, const QString&) {
        CrmLogonOutcome outcome;
        outcome.baseUrl = QStringLiteral("http://crm.example/");
        outcome.sessionId = QString(32, QLatin1Char('s'));
        return outcome;
    };
    t.body = [](ExRun& run) {
        ++g_runs;
        g_lastMode = run.mode() ? 1 : 0;
        g_lastTotal = run.total();
        int selected = 0;
        while (run.nextSelectedFolder())
            ++selected;
        g_lastSelected = selected;
        run.appendSummary(QStringLiteral("<b>%1</b> Ordner").arg(selected));
    };
    return t;
}

std::unique_ptr<ExFOLDER> makeFolder(const QString& name, int count)
{
    auto f = std::make_unique<ExFOLDER>();
    f->name = name;
    f->itemCount = count;
    return f;
}

void click(QTreeWidget* tree, QTreeWidgetItem* item)
{
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
}

} // namespace

class TestExShell : public QObject {
    Q_OBJECT

private:
    ExImporterTable m_table = testTable(true);
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};
    ExImporterTable m_tableNoBox = testTable(false);
    std::vector<std::unique_ptr<ExFOLDER>> m_records;
    QList<ExFOLDER*> m_folders;

    void makeFolders(std::initializer_list<std::pair<const char*, int>> list)
    {
        m_records.clear();
        m_folders.clear();
        for (const auto& [name, count] : list) {
            m_records.push_back(makeFolder(QString::fromUtf8(name), count));
            m_folders.append(m_records.back().get());
        }
    }
    // Presses "Importieren" and waits for the completion dialog.
    void runOnce(ExMainWindow& w)
    {
        QSignalSpy info(w.importer(), &ExImporter::UpdateStatusInfo);
        QTest::mouseClick(w.pushButton, Qt::LeftButton);
        QVERIFY(info.wait(10000) || info.count() == 1);
        QVERIFY(w.infoDialog());
    }

private slots:
    void init();
    void windowLayout();
    void rows();
    void buttonDisabledWhenAllCountsAreZero();
    void buttonEnabledByItemsThenBySelection();
    void clickTogglesRows();
    void runShowsCompletionAndDisablesButton();
    void checkBoxIsReadAtPress();
    void windowWithoutModeBox();
    void progressCodes_data();
    void progressCodes();
    void busyWorkKeepsTheCount();
    void progressDialogLayout();
    void completionDialog();
    void longSummaryOpensAtItsCounts();
    void rowsOfSeveralStores();
};

void TestExShell::init()
{
    g_runs = 0;
    g_lastMode = -1;
    g_lastTotal = -1;
    g_lastSelected = -1;
}

void TestExShell::windowLayout()
{
    ExMainWindow w(m_table, m_transport);
    QCOMPARE(w.objectName(), QStringLiteral("Kelvor_kontakteClass"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Kelvor CRM Outlook Importer - Kontakte"));
    QCOMPARE(w.size(), QSize(441, 561));
    QVERIFY(!w.windowIcon().isNull());
    QVERIFY(w.styleSheet().startsWith(QStringLiteral(
        "QFrame#blockFrame{background-color: qlineargradient(spread:pad, x1:0.511, y1:0.260864, x2:0.494364, y2:0, "
        "stop:0 rgba(217, 231, 248, 255), stop:1 rgba(255, 255, 255, 255));}")));
    QVERIFY(w.styleSheet().contains(QStringLiteral("Kelvor_kontakteClass{background-color: rgb(233, 242, 249);}")));

    struct Expect {
        const char* name;
        QRect geometry;
    };
    const Expect widgets[] = {
        {"blockFrame", QRect(5, 5, 431, 551)}, {"label", QRect(2, 2, 428, 91)},
        {"frame", QRect(2, 90, 428, 51)},      {"lb_1", QRect(1, 4, 420, 21)},
        {"lb_3", QRect(3, 27, 291, 16)},       {"treeWidget", QRect(10, 150, 411, 322)},
        {"cb_pbuch", QRect(20, 480, 381, 21)}, {"pushButton", QRect(10, 512, 131, 31)},
    };
    for (const Expect& e : widgets) {
        auto* child = w.findChild<QWidget*>(QLatin1String(e.name));
        QVERIFY2(child, e.name);
        QCOMPARE(child->geometry(), e.geometry);
    }
    QCOMPARE(w.lb_1->parentWidget(), w.frame);
    QCOMPARE(w.lb_3->parentWidget(), w.frame);
    QCOMPARE(w.lb_1->text(), QStringLiteral("Kelvor CRM Outlook Importer - Kontakte"));
    QCOMPARE(w.lb_1->font().family(), QStringLiteral("Tahoma"));
    QCOMPARE(w.lb_1->font().pointSize(), 11);
    QVERIFY(w.lb_1->font().bold());
    QCOMPARE(w.lb_3->font().pointSize(), 10);
    QVERIFY(w.lb_3->text().isEmpty());
    QVERIFY(!w.label->pixmap().isNull());
    QCOMPARE(w.blockFrame->frameShape(), QFrame::Box);
    QCOMPARE(w.blockFrame->frameShadow(), QFrame::Raised);
    QCOMPARE(w.frame->frameShape(), QFrame::StyledPanel);
    QVERIFY(w.treeWidget->isHeaderHidden());
    QCOMPARE(w.treeWidget->selectionMode(), QAbstractItemView::MultiSelection);
    QCOMPARE(w.treeWidget->font().family(), QStringLiteral("Segoe UI"));
    QCOMPARE(w.cb_pbuch->text(), QStringLiteral("Kontakte in das pers\u00f6nliche Adressbuch importieren."));
    QVERIFY(!w.cb_pbuch->isChecked());
    QCOMPARE(w.pushButton->text(), QStringLiteral("Importieren"));
    QCOMPARE(w.pushButton->font().pointSize(), 8);
    QVERIFY(!w.pushButton->icon().isNull());
    QVERIFY(!w.pushButton->isEnabled());
    QVERIFY(!w.importer());
}

void TestExShell::rows()
{
    makeFolders({{"Kontakte", 12}, {"Kontakte", 3}, {"Lieferanten", 0}});
    ExMainWindow w(m_table, m_transport);
    w.ReadyImport(&m_folders);
    QCOMPARE(w.treeWidget->topLevelItemCount(), 3);
    const char* tips[] = {"12 Kontakte", "3 Kontakte", "0 Kontakte"};
    for (int i = 0; i < 3; ++i) {
        QTreeWidgetItem* row = w.treeWidget->topLevelItem(i);
        QCOMPARE(row->text(0), m_folders[i]->name);
        QCOMPARE(row->toolTip(0), QLatin1String(tips[i]));
        QVERIFY(!row->icon(0).isNull());
        QCOMPARE(m_folders[i]->treeItem, row);
        QCOMPARE(row->childCount(), 0);
    }
    QVERIFY(w.importer());
    QCOMPARE(w.importer()->parentWidget(), &w);
}

void TestExShell::buttonDisabledWhenAllCountsAreZero()
{
    makeFolders({{"A", 0}, {"B", 0}});
    ExMainWindow w(m_table, m_transport);
    w.ReadyImport(&m_folders);
    QVERIFY(!w.pushButton->isEnabled());
    w.treeWidget->topLevelItem(1)->setSelected(true);
    QVERIFY(w.pushButton->isEnabled());

    QList<ExFOLDER*> none;
    ExMainWindow empty(m_table, m_transport);
    empty.ReadyImport(&none);
    QVERIFY(!empty.pushButton->isEnabled());
    QCOMPARE(empty.treeWidget->topLevelItemCount(), 0);
}

void TestExShell::buttonEnabledByItemsThenBySelection()
{
    makeFolders({{"A", 2}, {"B", 5}});
    ExMainWindow w(m_table, m_transport);
    w.ReadyImport(&m_folders);
    QVERIFY(w.pushButton->isEnabled());  // items exist, nothing selected yet
    w.treeWidget->topLevelItem(0)->setSelected(true);
    QVERIFY(w.pushButton->isEnabled());
    w.treeWidget->topLevelItem(0)->setSelected(false);
    QVERIFY(!w.pushButton->isEnabled());

    // Right after the scan a press runs with no folder selected: total 0, nothing walked.
    ExMainWindow fresh(m_table, m_transport);
    fresh.ReadyImport(&m_folders);
    fresh.show();
    QVERIFY(QTest::qWaitForWindowExposed(&fresh));
    runOnce(fresh);
    QCOMPARE(g_lastTotal.load(), 0);
    QCOMPARE(g_lastSelected.load(), 0);
    QCOMPARE(m_folders.size(), 2);  // the list stays whole
    fresh.infoDialog()->close();
}

void TestExShell::clickTogglesRows()
{
    makeFolders({{"A", 2}, {"B", 5}, {"C", 1}});
    ExMainWindow w(m_table, m_transport);
    w.ReadyImport(&m_folders);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTreeWidget* tree = w.treeWidget;
    click(tree, tree->topLevelItem(0));
    click(tree, tree->topLevelItem(2));
    QVERIFY(tree->topLevelItem(0)->isSelected());
    QVERIFY(!tree->topLevelItem(1)->isSelected());
    QVERIFY(tree->topLevelItem(2)->isSelected());
    click(tree, tree->topLevelItem(0));
    QVERIFY(!tree->topLevelItem(0)->isSelected());
    QVERIFY(w.pushButton->isEnabled());
    click(tree, tree->topLevelItem(2));
    QVERIFY(tree->selectedItems().isEmpty());
    QVERIFY(!w.pushButton->isEnabled());
}

void TestExShell::runShowsCompletionAndDisablesButton()
{
    makeFolders({{"A", 2}, {"B", 5}, {"C", 1}});
    ExMainWindow w(m_table, m_transport);
    w.ReadyImport(&m_folders);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.treeWidget->topLevelItem(1)->setSelected(true);
    w.treeWidget->topLevelItem(2)->setSelected(true);

    ExImporter* dlg = w.importer();
    QSignalSpy info(dlg, &ExImporter::UpdateStatusInfo);
    QTest::mouseClick(w.pushButton, Qt::LeftButton);
    // The window takes no input during the run, yet no modal window blocks it: its close button
    // (which stops the run) still reaches it.
    QVERIFY(!w.treeWidget->isEnabled());
    QVERIFY(!QGuiApplication::modalWindow());
    QVERIFY(dlg->windowFlags().testFlag(Qt::SplashScreen));
    QCOMPARE(dlg->progressMaximum(), 6);  // set at once from the selection
    QVERIFY(info.wait(10000) || info.count() == 1);
    QTRY_VERIFY(!dlg->isVisible());
    QCOMPARE(g_lastSelected.load(), 2);
    QCOMPARE(g_lastTotal.load(), 6);

    QVERIFY(w.infoDialog());
    QCOMPARE(w.infoDialog()->label->text(), QStringLiteral("<b>2</b> Ordner"));
    QVERIFY(w.treeWidget->isEnabled());
    QVERIFY(!w.pushButton->isEnabled());
    // The button comes back with the next change of the selection, and a second run sees every folder.
    w.treeWidget->topLevelItem(0)->setSelected(true);
    QVERIFY(w.pushButton->isEnabled());
    w.infoDialog()->close();
    runOnce(w);
    QCOMPARE(g_lastSelected.load(), 3);
    QCOMPARE(g_lastTotal.load(), 8);
    QCOMPARE(g_runs.load(), 2);
    QVERIFY(!w.pushButton->isEnabled());
}

void TestExShell::checkBoxIsReadAtPress()
{
    makeFolders({{"A", 2}});
    ExMainWindow w(m_table, m_transport);
    w.ReadyImport(&m_folders);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.cb_pbuch->setChecked(true);  // after the dialog was built
    w.treeWidget->topLevelItem(0)->setSelected(true);
    runOnce(w);
    QCOMPARE(g_lastMode.load(), 1);
    w.infoDialog()->close();
    w.cb_pbuch->setChecked(false);
    w.treeWidget->topLevelItem(0)->setSelected(false);
    w.treeWidget->topLevelItem(0)->setSelected(true);
    runOnce(w);
    QCOMPARE(g_lastMode.load(), 0);
}

void TestExShell::windowWithoutModeBox()
{
    makeFolders({{"A", 2}});
    ExMainWindow w(m_tableNoBox, m_transport);
    QVERIFY(!w.cb_pbuch);
    QVERIFY(!w.findChild<QCheckBox*>());
    w.ReadyImport(&m_folders);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    runOnce(w);
    QCOMPARE(g_lastMode.load(), 0);
}

void TestExShell::progressCodes_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("status2");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("maximum");
    // Starting from maximum 100, value 5, status "Verbinde mit CRM...".
    const QString start = QStringLiteral("Verbinde mit CRM...");
    QTest::newRow("1") << 1 << QStringLiteral("Verbunden") << QStringLiteral("Verbunden") << QString() << 5 << 100;
    QTest::newRow("2") << 2 << QStringLiteral("3 von 10") << start << QStringLiteral("3 von 10") << 5 << 100;
    QTest::newRow("3") << 3 << QStringLiteral("42") << start << QString() << 42 << 100;
    QTest::newRow("4") << 4 << QStringLiteral("10") << start << QString() << 5 << 10;
    QTest::newRow("3 not a number") << 3 << QStringLiteral("vier") << start << QString() << 0 << 100;
    QTest::newRow("4 not a number") << 4 << QStringLiteral("x1") << start << QString() << -1 << 0;
    QTest::newRow("other code") << 6 << QStringLiteral("7") << start << QString() << 5 << 100;
    QTest::newRow("0") << 0 << QStringLiteral("7") << start << QString() << 5 << 100;
}

void TestExShell::progressCodes()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QList<ExFOLDER*> none;
    ExImporter dlg(m_table, m_transport, &none, nullptr, {}, nullptr);
    dlg.pbStatus->setMaximum(100);
    dlg.pbStatus->setValue(5);  // a value the codes must change or keep
    dlg.UpdateStatus(code, text);
    QTEST(dlg.lbStatus->text(), "status");
    QTEST(dlg.lbStatus2->text(), "status2");
    QTEST(dlg.pbStatus->value(), "value");
    QTEST(dlg.pbStatus->maximum(), "maximum");
}

void TestExShell::busyWorkKeepsTheCount()
{
    QList<ExFOLDER*> none;
    ExImporter dlg(m_table, m_transport, &none, nullptr, {}, nullptr);
    dlg.UpdateStatus(4, QStringLiteral("100"));
    dlg.UpdateStatus(3, QStringLiteral("40"));
    dlg.UpdateStatus(5, QStringLiteral("Lege CRM-Ordner an (1 von 3) ..."));
    QCOMPARE(dlg.lbStatus2->text(), QStringLiteral("Lege CRM-Ordner an (1 von 3) ..."));
    QCOMPARE(dlg.pbStatus->maximum(), 0); // busy
    // A maximum that arrives while busy is kept for the counted work after it.
    dlg.UpdateStatus(4, QStringLiteral("12"));
    QCOMPARE(dlg.pbStatus->maximum(), 0);
    dlg.UpdateStatus(5, QString());
    QCOMPARE(dlg.pbStatus->maximum(), 12);
    QVERIFY(dlg.lbStatus2->text().isEmpty());
    dlg.UpdateStatus(3, QStringLiteral("7"));
    QCOMPARE(dlg.pbStatus->value(), 7);
    // An end without a busy phase changes nothing.
    dlg.UpdateStatus(2, QStringLiteral("7 von 12"));
    dlg.UpdateStatus(5, QString());
    QCOMPARE(dlg.lbStatus2->text(), QStringLiteral("7 von 12"));
}

void TestExShell::progressDialogLayout()
{
    QList<ExFOLDER*> none;
    ExImporter dlg(m_table, m_transport, &none, nullptr, {}, nullptr);
    QCOMPARE(dlg.objectName(), QStringLiteral("ExImporterClass"));
    QCOMPARE(dlg.windowTitle(), QStringLiteral("ExImporter"));
    QCOMPARE(dlg.size(), QSize(282, 113));
    QVERIFY(dlg.styleSheet().startsWith(QStringLiteral("QDialog#ExImporterClass{background-color: qlineargradient(")));
    QCOMPARE(dlg.lbStatus->geometry(), QRect(10, 4, 261, 21));
    QCOMPARE(dlg.lbStatus2->geometry(), QRect(10, 26, 261, 21));
    QCOMPARE(dlg.pbStatus->geometry(), QRect(10, 50, 261, 23));
    QCOMPARE(dlg.pbStop->geometry(), QRect(190, 80, 81, 23));
    QCOMPARE(dlg.lbStatus->text(), QStringLiteral("Verbinde mit CRM..."));
    QCOMPARE(dlg.lbStatus->font().family(), QStringLiteral("Verdana"));
    QVERIFY(dlg.lbStatus2->font().bold());
    QVERIFY(dlg.lbStatus2->text().isEmpty());
    QVERIFY(!dlg.pbStatus->isTextVisible());
    QCOMPARE(dlg.pbStop->text(), QStringLiteral("Abbrechen"));
    QVERIFY(dlg.windowFlags().testFlag(Qt::SplashScreen));
    QSignalSpy term(&dlg, &ExImporter::term);
    emit dlg.pbStop->pressed();
    QCOMPARE(term.count(), 1);
}

void TestExShell::completionDialog()
{
    const QString summary = QStringLiteral(
        "<font color=\"red\"><b>Durchf\u00fchrung unterbrochen</b></font>"
        "<br><font color=\"green\"><b>3  Kontakte sind erfolgreich importiert.</b></font><br>");
    QWidget parent;
    ExInfoDialog dlg(summary, QStringLiteral(":/Kelvor_kontakte/Resources/outlook_module.ico"), &parent);
    QCOMPARE(dlg.objectName(), QStringLiteral("ExInfoDialogClass"));
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Import abgeschlossen"));
    QCOMPARE(dlg.size(), QSize(400, 290));
    QCOMPARE(dlg.windowModality(), Qt::WindowModal);
    QVERIFY(!dlg.windowIcon().isNull());
    QCOMPARE(dlg.styleSheet(), QStringLiteral("QDialog#ExInfoDialogClass{background-color: rgb(233, 242, 249); }"));
    QCOMPARE(dlg.frame->geometry(), QRect(10, 10, 381, 241));
    QVERIFY(dlg.frame->isAncestorOf(dlg.label));
    QCOMPARE(dlg.label->text(), summary);
    QCOMPARE(dlg.label->textFormat(), Qt::RichText);
    QVERIFY(dlg.label->wordWrap());
    QCOMPARE(dlg.label->alignment(), Qt::AlignLeft | Qt::AlignTop);
    QCOMPARE(dlg.pbClose->text(), QStringLiteral("Schlie\u00dfen"));
    QCOMPARE(dlg.pbClose->geometry(), QRect(284, 252, 111, 31));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QTest::mouseClick(dlg.pbClose, Qt::LeftButton);
    QVERIFY(!dlg.isVisible());
}

void TestExShell::longSummaryOpensAtItsCounts()
{
    // Forty tasks imported a second time: one line each, then the count lines.
    QString summary;
    for (int i = 1; i <= 40; ++i)
        summary += QStringLiteral("<font color=\"blue\">Aufgabe <i>Nummer %1</i> existiert bereits</font><br>").arg(i);
    summary += QStringLiteral("<font color=\"blue\"><i>40</i> Aufgaben existieren bereits</font><br>"
                              "<br><font color=\"green\"><b>0  Aufgaben sind erfolgreich importiert.</b></font><br>");
    QWidget parent;
    ExInfoDialog dlg(summary, QString(), &parent);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QCOMPARE(dlg.size(), QSize(400, 290));
    // The whole text is laid out (nothing cut off) and the area scrolls over it...
    QVERIFY(dlg.label->height() >= dlg.label->heightForWidth(dlg.label->width()));
    QScrollBar* bar = dlg.scrollArea->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    // ...and it opens at its end: the label's last line lies inside the visible part.
    QWidget* viewport = dlg.scrollArea->viewport();
    QTRY_VERIFY(dlg.label->mapTo(viewport, QPoint(0, dlg.label->height())).y() <= viewport->height());
    QCOMPARE(bar->value(), bar->maximum());
    // Scrolling back shows the first line.
    bar->setValue(0);
    QCOMPARE(dlg.label->mapTo(viewport, QPoint(0, 0)).y(), 0);
}

void TestExShell::rowsOfSeveralStores()
{
    // Two stores, each with a "Kontakte": each row says which file (or store) it comes from.
    auto file = makeFolder(QStringLiteral("Pers\u00f6nliche Ordner"), 0);
    file->isStoreRoot = true;
    file->storeFile = QStringLiteral("/daten/outlook/archiv-2019.pst");
    auto named = makeFolder(QStringLiteral("Archiv"), 0);
    named->isStoreRoot = true;
    for (auto* root : {file.get(), named.get()}) {
        auto child = makeFolder(QStringLiteral("Kontakte"), root == file.get() ? 4 : 7);
        child->parent = root;
        root->subFolders.push_back(std::move(child));
    }
    QList<ExFOLDER*> folders{file->subFolders[0].get(), named->subFolders[0].get()};
    ExMainWindow w(m_table, m_transport);
    w.ReadyImport(&folders);
    QTreeWidgetItem* first = w.treeWidget->topLevelItem(0);
    QTreeWidgetItem* second = w.treeWidget->topLevelItem(1);
    QVERIFY(first->text(0).startsWith(QStringLiteral("Kontakte")));
    QVERIFY(first->text(0).contains(QStringLiteral("archiv-2019.pst")));
    QVERIFY(second->text(0).contains(QStringLiteral("Archiv")));
    QVERIFY(first->toolTip(0).startsWith(QStringLiteral("4 Kontakte")));
    QVERIFY(first->toolTip(0).contains(QStringLiteral("/daten/outlook/archiv-2019.pst")));
    QVERIFY(second->toolTip(0).startsWith(QStringLiteral("7 Kontakte")));

    // One store alone: rows keep the folder's name only.
    QList<ExFOLDER*> one{file->subFolders[0].get()};
    ExMainWindow single(m_table, m_transport);
    single.ReadyImport(&one);
    QCOMPARE(single.treeWidget->topLevelItem(0)->text(0), QStringLiteral("Kontakte"));
    QCOMPARE(single.treeWidget->topLevelItem(0)->toolTip(0), QStringLiteral("4 Kontakte"));
}

QTEST_MAIN(TestExShell)
#include "TestExShell.moc"
