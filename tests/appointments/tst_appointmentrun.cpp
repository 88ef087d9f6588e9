// Appointment import runs end to end: memory store, the program's run body, the local test CRM.
#include "appointmentstable.h"
#include "exmessagelog.h"
#include "itemfixture.h"
#include "testcrm.h"

#include <QFile>
#include <QJsonValue>
#include <QTest>

using namespace itemtest;

namespace
{

const QByteArray berlin("Europe/Berlin");

QJsonObject appointment(const QString& subject, const QJsonArray& named, const QJsonObject& moreProps = {})
{
    QJsonObject props = moreProps;
    props.insert(QStringLiteral("0x0037001F"), subject);
    props.insert(QStringLiteral("0x001A001F"), QStringLiteral("IPM.Appointment"));
    return QJsonObject{{QStringLiteral("props"), props}, {QStringLiteral("named"), named}};
}

QJsonObject timeProp(const char* set, int id, const QDateTime& t)
{
    return named(set, id, "PT_SYSTIME", iso(t));
}

// An hour on a March day, with no reminder columns at all.
QJsonObject meeting(const QString& subject, int d, int h = 10)
{
    return appointment(subject, {timeProp(appointmentSet, 0x820D, at(berlin, 2026, 3, d, h)),
                                 timeProp(appointmentSet, 0x820E, at(berlin, 2026, 3, d, h + 1))});
}

const QString fullSubject = QStringLiteral("\u00dcbergabe \u0412\u0441\u0442\u0440\u0435\u0447\u0430 & <Plan>");

QJsonObject fullAppointment()
{
    return appointment(
        fullSubject,
        {timeProp(appointmentSet, 0x820D, at(berlin, 2026, 3, 5, 9)),
         timeProp(appointmentSet, 0x820E, at(berlin, 2026, 3, 5, 10, 30)),
         timeProp(commonSet, 0x8560, at(berlin, 2026, 3, 5, 8, 45)), named(commonSet, 0x8503, "PT_BOOLEAN", true),
         named(commonSet, 0x8506, "PT_BOOLEAN", true),
         keywords({QStringLiteral(" B\u00fcro"), QStringLiteral("\u041f\u0440\u043e\u0435\u043a\u0442 ")}),
         named(appointmentSet, 0x8208, "PT_STRING8", QStringLiteral(" Raum M\u00fcnchen ")),
         named(appointmentSet, 0x8205, "PT_LONG", 2), named(appointmentSet, 0x8223, "PT_BOOLEAN", false)},
        QJsonObject{
            {QStringLiteral("0x1000001F"), QStringLiteral(" Agenda\u0001\u000b\u0417\u0434\u0440\u0430\u0432\u0441"
                                                          "\u0442\u0432\u0443\u0439\u0442\u0435 & <b> ")}});
}

QJsonObject allDay()
{
    return appointment(QStringLiteral("Ganzt\u00e4gig"), {timeProp(appointmentSet, 0x820D, at(berlin, 2026, 3, 6)),
                                                          timeProp(appointmentSet, 0x820E, at(berlin, 2026, 3, 7))});
}

// "Privat" (not selected) before "Kalender" (3 appointments) and "Team" (2 appointments).
QByteArray twoFolders()
{
    return store(
        {folder(QStringLiteral("Privat"), QStringLiteral("IPF.Appointment"), {meeting(QStringLiteral("privat"), 1)}),
         folder(QStringLiteral("Kalender"), QStringLiteral("IPF.Appointment"),
                {fullAppointment(), allDay(), meeting(QStringLiteral("Ohne Erinnerung"), 9)}),
         folder(QStringLiteral("Team"), QStringLiteral("IPF.Appointment"),
                {meeting(QStringLiteral("T1"), 10), meeting(QStringLiteral("T2"), 11)})});
}

QJsonArray storedAppointments(const TestCrm& crm)
{
    return crm.stored().value(QStringLiteral("appointments")).toArray();
}

qint64 secs(int d, int h = 0, int mi = 0)
{
    return at(berlin, 2026, 3, d, h, mi).toSecsSinceEpoch();
}

QString tenant(const char* base)
{
    return tenantName(base, QTest::currentDataTag());
}

} // namespace

class TstAppointmentRun : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_zone = std::make_unique<ZoneScope>(berlin); }
    void cleanup() { m_zone.reset(); }

    void twoFoldersReachTheCrm();
    void answers_data();
    void answers();
    void unreadableFolderEndsTheImport_data();
    void unreadableFolderEndsTheImport();
    void stopDuringSecondAppointment();
    void logonFailure_data();
    void logonFailure();
    void secondRunReadsTheFoldersAgain();
    void subjectsAsSent();
    void settingsAreLoggedWithoutThePassword();

private:
    std::unique_ptr<ZoneScope> m_zone;
};

void TstAppointmentRun::twoFoldersReachTheCrm()
{
    TestCrm crm(QStringLiteral("TstAppointmentRun_twoFolders"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    ScannedStore store(twoFolders(), ExScanProfile::appointments());
    QVERIFY(store.ok());
    const RunRecord r = runImport(appointmentsTable(), store.folders(),
                                  {store.folder(QStringLiteral("Kalender")), store.folder(QStringLiteral("Team"))});

    QCOMPARE(r.summary, greenLine(5, "Termine"));
    QCOMPARE(r.texts(1), (QStringList{QStringLiteral("Verbunden"), QStringLiteral("Importiere Termine:")}));
    QCOMPARE(r.texts(2), (QStringList{QStringLiteral("1 von 5"), QStringLiteral("2 von 5"), QStringLiteral("3 von 5"),
                                      QStringLiteral("4 von 5"), QStringLiteral("5 von 5")}));
    QCOMPARE(r.texts(3), (QStringList{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                                      QStringLiteral("4"), QStringLiteral("5")}));

    const QJsonArray stored = storedAppointments(crm);
    QCOMPARE(stored.size(), 5);
    const QJsonObject full = stored.at(0).toObject();
    QCOMPARE(full.value(QStringLiteral("subject")).toString(), fullSubject);
    QCOMPARE(full.value(QStringLiteral("body")).toString(),
             QStringLiteral("Agenda\n\u0417\u0434\u0440\u0430\u0432\u0441\u0442\u0432\u0443\u0439\u0442\u0435 & <b>"));
    QCOMPARE(full.value(QStringLiteral("start")).toInteger(), secs(5, 9));
    QCOMPARE(full.value(QStringLiteral("stop")).toInteger(), secs(5, 10, 30));
    QCOMPARE(full.value(QStringLiteral("rem")).toInt(), 1);
    QCOMPARE(full.value(QStringLiteral("remember")).toInt(), 900);
    QCOMPARE(full.value(QStringLiteral("privat")).toInt(), 1);
    QCOMPARE(full.value(QStringLiteral("category")).toString(),
             QStringLiteral("B\u00fcro; \u041f\u0440\u043e\u0435\u043a\u0442;"));
    QCOMPARE(full.value(QStringLiteral("city")).toString(), QStringLiteral("Raum M\u00fcnchen"));
    QCOMPARE(full.value(QStringLiteral("status")).toInt(), 2);
    QCOMPARE(full.value(QStringLiteral("confirmed")).toInt(), 1);
    QVERIFY(!full.contains(QStringLiteral("day")));
    for (const char* absent :
         {"pid", "done", "serie", "intrval", "serieend", "cid", "userid", "crmAppointmentItemContacts"})
        QVERIFY2(!full.contains(QLatin1String(absent)), absent);

    const QJsonObject day = stored.at(1).toObject();
    QCOMPARE(day.value(QStringLiteral("day")).toInt(), 1);
    QCOMPARE(day.value(QStringLiteral("start")).toInteger(), secs(6));
    QCOMPARE(day.value(QStringLiteral("stop")).toInteger(), secs(6, 22));

    // No reminder columns: the offset keeps its "not set" value, which goes out as an unsigned number.
    const QJsonObject plain = stored.at(2).toObject();
    QCOMPARE(plain.value(QStringLiteral("rem")).toInt(), 0);
    QCOMPARE(plain.value(QStringLiteral("remember")).toInteger(), Q_INT64_C(4294967295));
    QVERIFY(!plain.contains(QStringLiteral("privat")));
    QVERIFY(!plain.contains(QStringLiteral("status")));

    QStringList subjects;
    for (const QJsonValue& a : stored)
        subjects << a.toObject().value(QStringLiteral("subject")).toString();
    QCOMPARE(subjects.mid(3), (QStringList{QStringLiteral("T1"), QStringLiteral("T2")}));

    const QJsonArray requests = crm.requests();
    QCOMPARE(requests.size(), 6);
    for (int i = 1; i < requests.size(); ++i) {
        QCOMPARE(requests.at(i).toObject().value(QStringLiteral("op")).toString(), QStringLiteral("dates"));
        QCOMPARE(requests.at(i).toObject().value(QStringLiteral("soapaction")).toString(),
                 QStringLiteral("urn:crmdates"));
    }
    QVERIFY(QFile::exists(QStringLiteral("kelvor_exapps.log")));
}

void TstAppointmentRun::answers_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("summary");

    QTest::newRow("-1 already there") << QStringLiteral("-1")
                                      << QStringLiteral(
                                             "<font color=\"blue\"><i>3</i>  Termine existieren bereits</font><br>") +
                                             greenLine(0, "Termine");
    const QString failed =
        QStringLiteral("<font color=\"red\"><i>3</i>  Termine k\u00f6nnten nicht importiert werden</font><br>") +
        greenLine(0, "Termine");
    QTest::newRow("0 not stored") << QStringLiteral("0") << failed;
    QTest::newRow("-2 no usable answer") << QStringLiteral("-2") << failed;
}

void TstAppointmentRun::answers()
{
    QFETCH(QString, answer);
    QFETCH(QString, summary);

    TestCrm crm(tenant("TstAppointmentRun_answers_"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(QStringLiteral("answer:crmaddAppointment=") + answer);
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    ScannedStore store(itemtest::store({folder(QStringLiteral("Kalender"), QStringLiteral("IPF.Appointment"),
                                               {meeting(QStringLiteral("a"), 2), meeting(QStringLiteral("b"), 3),
                                                meeting(QStringLiteral("c"), 4)})}),
                       ExScanProfile::appointments());
    const RunRecord r = runImport(appointmentsTable(), store.folders(), store.folders());
    QCOMPARE(r.summary, summary);
    QCOMPARE(crm.requests().size(), 4);
}

void TstAppointmentRun::unreadableFolderEndsTheImport_data()
{
    QTest::addColumn<QJsonObject>("storeExtra");
    QTest::addColumn<QJsonObject>("folderExtra");
    QTest::addColumn<QStringList>("logLines");

    QTest::newRow("contents table") << QJsonObject()
                                    << QJsonObject{{QStringLiteral("fail"), QStringLiteral("contents")}}
                                    << QStringList{QStringLiteral("Critical: eximporter.cpp GetContentTable failed")};
    QTest::newRow("columns") << QJsonObject()
                             << QJsonObject{{QStringLiteral("fail"), QStringLiteral("contentsSetColumns")}}
                             << QStringList{QStringLiteral("Critical: SetColumns Failed: 80004005")};
    QTest::newRow("names") << QJsonObject{{QStringLiteral("fail"), QStringLiteral("names")}} << QJsonObject()
                           << QStringList{QStringLiteral("Critical: GetCalenderProps failed"),
                                          QStringLiteral("Critical: eximporter.cpp GetIdsFromNames failed")};
}

void TstAppointmentRun::unreadableFolderEndsTheImport()
{
    QFETCH(QJsonObject, storeExtra);
    QFETCH(QJsonObject, folderExtra);
    QFETCH(QStringList, logLines);

    TestCrm crm(tenant("TstAppointmentRun_unreadable_"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    QJsonObject first =
        folder(QStringLiteral("Kalender"), QStringLiteral("IPF.Appointment"), {meeting(QStringLiteral("a"), 2)});
    for (auto it = folderExtra.begin(); it != folderExtra.end(); ++it)
        first.insert(it.key(), it.value());
    ScannedStore store(itemtest::store({first, folder(QStringLiteral("Team"), QStringLiteral("IPF.Appointment"),
                                                      {meeting(QStringLiteral("b"), 3)})},
                                       storeExtra),
                       ExScanProfile::appointments());
    QCOMPARE(store.folders().size(), 2);
    LogLines log;
    const RunRecord r = runImport(appointmentsTable(), store.folders(), store.folders());
    QCOMPARE(r.summary, greenLine(0, "Termine"));
    QVERIFY(r.texts(2).isEmpty());
    for (const QString& line : logLines)
        QVERIFY2(LogLines::contains(line), qPrintable(line));
    QCOMPARE(crm.requests().size(), 1);
}

void TstAppointmentRun::stopDuringSecondAppointment()
{
    TestCrm crm(QStringLiteral("TstAppointmentRun_stop"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    ScannedStore store(twoFolders(), ExScanProfile::appointments());
    // "Abbrechen" while the second appointment is being sent: it is finished, no further row is read.
    const RunRecord r =
        runImport(appointmentsTable(), store.folders(), store.folders(), [](ExRun& run, int code, const QString& text) {
            if (code == 2 && text == QLatin1String("2 von 6"))
                run.requestStop();
        });
    QCOMPARE(r.summary, ExSummary::interruptNote() + greenLine(2, "Termine"));
    QCOMPARE(storedAppointments(crm).size(), 2);
}

void TstAppointmentRun::logonFailure_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("login");
    QTest::addColumn<int>("requests");

    QTest::newRow("refused") << QStringLiteral("login_refused") << QStringLiteral("demo") << 1;
    QTest::newRow("31 characters") << QStringLiteral("answer:crmLogin=") + QString(31, QLatin1Char('a'))
                                   << QStringLiteral("demo") << 1;
    QTest::newRow("33 characters") << QStringLiteral("answer:crmLogin=") + QString(33, QLatin1Char('a'))
                                   << QStringLiteral("demo") << 1;
    QTest::newRow("login too short") << QString() << QStringLiteral("d") << 0;
}

void TstAppointmentRun::logonFailure()
{
    QFETCH(QString, fault);
    QFETCH(QString, login);
    QFETCH(int, requests);

    TestCrm crm(tenant("TstAppointmentRun_logon_"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(fault);
    storeSettings(crm.baseUrl(), login, QLatin1String(TestCrm::defaultPassword));
    ScannedStore store(twoFolders(), ExScanProfile::appointments());
    const RunRecord r = runImport(appointmentsTable(), store.folders(), store.folders());
    // The CRM's "error" is a refusal; an id of another length is no valid answer.
    const CrmLogonFailure cause = fault == QLatin1String("login_refused") ? CrmLogonFailure::WrongCredentials
                                  : fault.isEmpty()                        ? CrmLogonFailure::Incomplete
                                                                           : CrmLogonFailure::NoValidAnswer;
    QCOMPARE(r.summary, ExRun::logonFailedText(cause) + greenLine(0, "Termine"));
    QVERIFY(r.texts(1).isEmpty());
    QCOMPARE(crm.requests().size(), requests);
    QCOMPARE(storedAppointments(crm).size(), 0);
}

void TstAppointmentRun::secondRunReadsTheFoldersAgain()
{
    TestCrm crm(QStringLiteral("TstAppointmentRun_secondRun"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    ScannedStore store(twoFolders(), ExScanProfile::appointments());
    const ExImporterTable table = appointmentsTable();
    QCOMPARE(runImport(table, store.folders(), store.folders()).summary, greenLine(6, "Termine"));
    const RunRecord again = runImport(table, store.folders(), store.folders());
    QCOMPARE(again.texts(2).size(), 6);
    QCOMPARE(again.summary, QStringLiteral("<font color=\"blue\"><i>6</i>  Termine existieren bereits</font><br>") +
                                greenLine(0, "Termine"));
    QCOMPARE(storedAppointments(crm).size(), 6);
}

void TstAppointmentRun::subjectsAsSent()
{
    TestCrm crm(QStringLiteral("TstAppointmentRun_subjects"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    QJsonObject blank = meeting(QStringLiteral("   "), 2);
    QJsonObject missing = meeting(QString(), 3);
    QJsonObject props = missing.value(QStringLiteral("props")).toObject();
    props.remove(QStringLiteral("0x0037001F"));
    missing.insert(QStringLiteral("props"), props);
    ScannedStore store(
        itemtest::store({folder(QStringLiteral("Kalender"), QStringLiteral("IPF.Appointment"), {blank, missing})}),
        ExScanProfile::appointments());
    const RunRecord r = runImport(appointmentsTable(), store.folders(), store.folders());
    QCOMPARE(r.summary, greenLine(2, "Termine"));
    const QJsonArray stored = storedAppointments(crm);
    QCOMPARE(stored.size(), 2);
    QVERIFY(!stored.at(0).toObject().contains(QStringLiteral("subject")));
    QCOMPARE(stored.at(1).toObject().value(QStringLiteral("subject")).toString(), QStringLiteral("No Subject"));
}

void TstAppointmentRun::settingsAreLoggedWithoutThePassword()
{
    TestCrm crm(QStringLiteral("TstAppointmentRun_password"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const QString password = QStringLiteral("Geheim&P\u00e4sswort<1>");
    crm.addUser(QStringLiteral("m\u00fcller"), password);
    storeSettings(crm.baseUrl(), QStringLiteral("m\u00fcller"), password);
    ScannedStore store(itemtest::store({folder(QStringLiteral("Kalender"), QStringLiteral("IPF.Appointment"),
                                               {meeting(QStringLiteral("a"), 2)})}),
                       ExScanProfile::appointments());
    const ExImporterTable table = appointmentsTable();
    QFile::remove(table.messageLog);
    installMessageLog(table.messageLog);
    const RunRecord r = runImport(table, store.folders(), store.folders());
    uninstallMessageLog();
    QCOMPARE(r.summary, greenLine(1, "Termine"));

    QFile messages(table.messageLog);
    QVERIFY(messages.open(QIODevice::ReadOnly));
    const QByteArray log = messages.readAll();
    const QList<QByteArray> lines = log.split('\n');
    auto lineStarting = [&](const QByteArray& prefix) {
        for (const QByteArray& l : lines) {
            if (l.startsWith(prefix))
                return l;
        }
        return QByteArray();
    };
    QVERIFY(lineStarting("Debug: URL:").contains(crm.baseUrl().toUtf8()));
    QVERIFY(lineStarting("Debug: LGN:").contains("ller"));
    QVERIFY(lineStarting("Debug: KNW:").contains("***"));
    QVERIFY(log.contains("LOGON XML"));
    QVERIFY(log.contains("crmaddAppointment"));
    for (const char* file : {"kelvor_extasks.log", "kelvor_exapps.log"}) {
        QFile http(QString::fromLatin1(file));
        QVERIFY2(http.open(QIODevice::ReadOnly), file);
        const QByteArray text = http.readAll();
        QVERIFY(!text.contains("Geheim"));
        QVERIFY(!text.contains("sswort"));
    }
    QVERIFY(!log.contains("Geheim"));
    QVERIFY(!log.contains("sswort"));
}

QTEST_GUILESS_MAIN(TstAppointmentRun)
#include "tst_appointmentrun.moc"
