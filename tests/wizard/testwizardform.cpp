// The wizard's form as the user sees it: names, places, texts, fonts, pictures, style sheet.
#include "crmtransport.h"
#include "crmtruststore.h"
#include "wizard.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

class TestWizardForm : public QObject
{
    Q_OBJECT
private slots:
    void widgets_data();
    void widgets();
    void fonts_data();
    void fonts();
    void pictures_data();
    void pictures();
    void window();
    void styleSheet();
    void passwordIsMasked();
    void headingIsWhole();
    void tabOrder();

private:
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};
};

void TestWizardForm::widgets_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");

    auto row = [](const char* name, const char* cls, QRect g, const char* text) {
        QTest::newRow(name) << QString::fromLatin1(cls) << g << QString::fromUtf8(text);
    };
    row("lb_6", "QLabel", {20, 480, 91, 16}, "Kennwort:");
    row("lb_4", "QLabel", {20, 400, 131, 16}, "Kelvor CRM Url:");
    row("lb_5", "QLabel", {20, 440, 101, 16}, "Login Name:");
    row("leURL", "QLineEdit", {20, 420, 381, 20}, "");
    row("leLOGIN", "QLineEdit", {20, 460, 181, 20}, "");
    row("lePASS", "QLineEdit", {20, 500, 181, 20}, "");
    row("label_4", "QLabel", {10, 150, 131, 61}, "");
    row("label_5", "QLabel", {10, 330, 131, 61}, "");
    row("label_6", "QLabel", {10, 270, 131, 61}, "");
    row("label_7", "QLabel", {10, 210, 131, 61}, "");
    row("emailBt", "QPushButton", {160, 160, 191, 51}, "E-Mails");
    row("appBt", "QPushButton", {160, 280, 191, 51}, "Termine");
    row("conBt", "QPushButton", {160, 220, 191, 51}, "Kontakte");
    row("taskBt", "QPushButton", {160, 340, 191, 51}, "Aufgaben");
    row("label_8", "QLabel", {0, -10, 441, 101}, "");
    row("lb_1", "QLabel", {10, 95, 421, 21}, "Kelvor CRM Outlook Importer - Wizard");
    row("lb_2", "QLabel", {11, 117, 191, 21}, "Für Microsoft Office Outlook:");
    row("lb_3", "QLabel", {200, 120, 121, 16}, "2002/XP, 2003, 2007");
    row("frame", "QFrame", {0, 80, 431, 16}, "");
    row("chkButton", "QPushButton", {220, 460, 131, 23}, "Prüfen");
    row("chkLabel", "QLabel", {225, 490, 190, 75}, "");
}

void TestWizardForm::widgets()
{
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    const QString name = QString::fromLatin1(QTest::currentDataTag());

    Wizard wizard(m_transport, nullptr, QDir::currentPath());
    auto* widget = wizard.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    // The heading labels grow with their font (Tahoma's stand-ins run wider) and the version label
    // follows the heading: there the form's geometry is the least they take.
    if (name == QLatin1String("lb_1") || name == QLatin1String("lb_2")) {
        QCOMPARE(widget->pos(), geometry.topLeft());
        QCOMPARE(widget->height(), geometry.height());
        QVERIFY(widget->width() >= geometry.width());
    } else if (name == QLatin1String("lb_3")) {
        QVERIFY(widget->width() >= geometry.width());
    } else {
        QCOMPARE(widget->geometry(), geometry);
    }
    if (auto* label = qobject_cast<QLabel*>(widget))
        QCOMPARE(label->text(), text);
    else if (auto* button = qobject_cast<QPushButton*>(widget))
        QCOMPARE(button->text(), text);
    else if (auto* edit = qobject_cast<QLineEdit*>(widget))
        QCOMPARE(edit->text(), text); // empty settings: empty fields, no default
}

void TestWizardForm::fonts_data()
{
    QTest::addColumn<int>("pointSize");
    QTest::addColumn<bool>("bold");
    QTest::newRow("lb_6") << 10 << true;
    QTest::newRow("lb_4") << 10 << true;
    QTest::newRow("lb_5") << 10 << true;
    QTest::newRow("lb_1") << 11 << true;
    QTest::newRow("lb_2") << 11 << true;
    QTest::newRow("lb_3") << 10 << false;
}

void TestWizardForm::fonts()
{
    QFETCH(int, pointSize);
    QFETCH(bool, bold);
    Wizard wizard(m_transport, nullptr, QDir::currentPath());
    auto* label = wizard.findChild<QLabel*>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(label);
    QCOMPARE(label->font().family(), QStringLiteral("Tahoma"));
    QCOMPARE(label->font().pointSize(), pointSize);
    QCOMPARE(label->font().bold(), bold);
}

void TestWizardForm::pictures_data()
{
    QTest::addColumn<QString>("resource");
    QTest::newRow("label_4") << QStringLiteral(":/Wizard/Resources/email.png");
    QTest::newRow("label_5") << QStringLiteral(":/Wizard/Resources/aufgaben.png");
    QTest::newRow("label_6") << QStringLiteral(":/Wizard/Resources/termine.png");
    QTest::newRow("label_7") << QStringLiteral(":/Wizard/Resources/kontakte.png");
    QTest::newRow("label_8") << QStringLiteral(":/Wizard/Resources/kel.JPG");
}

void TestWizardForm::pictures()
{
    QFETCH(QString, resource);
    Wizard wizard(m_transport, nullptr, QDir::currentPath());
    auto* label = wizard.findChild<QLabel*>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(label);
    const QPixmap expected(resource);
    QVERIFY2(!expected.isNull(), qPrintable(resource));
    const QPixmap shown = label->pixmap();
    QCOMPARE(shown.size(), expected.size());
    QCOMPARE(shown.toImage(), expected.toImage());
}

void TestWizardForm::window()
{
    Wizard wizard(m_transport, nullptr, QDir::currentPath());
    QCOMPARE(wizard.objectName(), QStringLiteral("WizardClass"));
    QCOMPARE(wizard.windowTitle(), QStringLiteral("Kelvor CRM Outlook Importer - Wizard"));
    QCOMPARE(wizard.size(), QSize(430, 570));
    QCOMPARE(wizard.minimumSize(), QSize(430, 570));
    QCOMPARE(wizard.maximumSize(), QSize(430, 570));
    QVERIFY(!wizard.windowIcon().isNull());
    QVERIFY(!QIcon(QStringLiteral(":/Wizard/Resources/outlook_module.ico")).availableSizes().isEmpty());

    auto* frame = wizard.findChild<QFrame*>(QStringLiteral("frame"));
    QVERIFY(frame);
    QCOMPARE(frame->frameShape(), QFrame::HLine);
    QCOMPARE(frame->frameShadow(), QFrame::Sunken);

    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard));
    wizard.resize(800, 700);
    QCOMPARE(wizard.size(), QSize(430, 570));
}

void TestWizardForm::styleSheet()
{
    Wizard wizard(m_transport, nullptr, QDir::currentPath());
    const QString expected = QStringLiteral(
        "QWidget#WizardClass{background-color: qlineargradient(spread:pad, x1:0.511, y1:0.260864, x2:0.494364, "
        "y2:0, stop:0 rgba(217, 231, 248, 255), stop:1 rgba(255, 255, 255, 255));}\n"
        "QLabel#lb_1{color: rgb(36, 90, 141);}\nQLabel#lb_2{color: rgb(36, 90, 141);}\n"
        "QLabel#lb_3{color: rgb(36, 90, 141);}\nQLabel#lb_4{color: rgb(36, 90, 141);}\n"
        "QLabel#lb_5{color: rgb(36, 90, 141);}\nQLabel#lb_6{color: rgb(36, 90, 141);}\n\n"
        "QFrame#frame{color: rgb(36, 90, 141);}\nQFrame#frame_2{color: rgb(36, 90, 141);}\n\n\n\n\n\n\n");
    QCOMPARE(wizard.styleSheet(), expected);

    // The style sheet takes effect: the headings are painted in the house blue.
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard));
    auto* heading = wizard.findChild<QLabel*>(QStringLiteral("lb_1"));
    QCOMPARE(heading->palette().color(QPalette::WindowText), QColor(36, 90, 141));
}

void TestWizardForm::passwordIsMasked()
{
    Wizard wizard(m_transport, nullptr, QDir::currentPath());
    auto* pass = wizard.findChild<QLineEdit*>(QStringLiteral("lePASS"));
    QCOMPARE(pass->echoMode(), QLineEdit::Password);
    QCOMPARE(wizard.findChild<QLineEdit*>(QStringLiteral("leURL"))->echoMode(), QLineEdit::Normal);
    QCOMPARE(wizard.findChild<QLineEdit*>(QStringLiteral("leLOGIN"))->echoMode(), QLineEdit::Normal);
    pass->setText(QStringLiteral("geheim"));
    QVERIFY(!pass->displayText().contains(QStringLiteral("geheim")));
    QCOMPARE(pass->displayText().size(), 6);
}

void TestWizardForm::headingIsWhole()
{
    // With the fonts this machine has (Tahoma is rarely among them; its stand-ins run wider).
    Wizard wizard(m_transport, nullptr, QDir::currentPath());
    auto* lb2 = wizard.findChild<QLabel*>(QStringLiteral("lb_2"));
    auto* lb3 = wizard.findChild<QLabel*>(QStringLiteral("lb_3"));
    auto* lb1 = wizard.findChild<QLabel*>(QStringLiteral("lb_1"));
    QVERIFY(lb1 && lb2 && lb3);
    // Every heading label shows its whole text, inside the window, none on top of another.
    for (QLabel* l : {lb1, lb2, lb3}) {
        QVERIFY2(l->width() >= l->fontMetrics().horizontalAdvance(l->text()), qPrintable(l->objectName()));
        QVERIFY2(l->x() + l->fontMetrics().horizontalAdvance(l->text()) <= wizard.width(), qPrintable(l->objectName()));
    }
    const QRect text2(lb2->pos(), QSize(lb2->fontMetrics().horizontalAdvance(lb2->text()), lb2->height()));
    const QRect text3(lb3->pos(), QSize(lb3->fontMetrics().horizontalAdvance(lb3->text()), lb3->height()));
    QVERIFY(!text2.intersects(text3));
}

void TestWizardForm::tabOrder()
{
    Wizard wizard(m_transport, nullptr, QDir::currentPath());
    QStringList order;
    QWidget* start = wizard.findChild<QWidget*>(QStringLiteral("leURL"));
    QVERIFY(start);
    QWidget* w = start;
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            order << w->objectName();
        w = w->nextInFocusChain();
    } while (w && w != start && order.size() < 20);
    QCOMPARE(order, QStringList({QStringLiteral("leURL"), QStringLiteral("leLOGIN"), QStringLiteral("lePASS"),
                                 QStringLiteral("chkButton"), QStringLiteral("forgetBt"), QStringLiteral("emailBt"),
                                 QStringLiteral("conBt"),
                                 QStringLiteral("appBt"), QStringLiteral("taskBt")}));
}

QTEST_MAIN(TestWizardForm)
#include "testwizardform.moc"
