// Appointments of real Outlook files reach the test CRM with the values that pffexport shows for
// them (subject, start, end, location, busy status, reminder and private flags).
#include "appointmentstable.h"
#include "exoutlook.h"
#include "itemfixture.h"
#include "testcrm.h"

#include <QDir>
#include <QJsonValue>
#include <QTest>
#include <QVariantMap>

using namespace itemtest;

namespace
{

// The profile of a program started with KELVOR_PST naming one file.
class ScannedFile
{
public:
    explicit ScannedFile(const QString& path)
    {
        qunsetenv("KELVOR_STORE");
        qputenv("KELVOR_PST", QFile::encodeName(path));
        m_outlook = std::make_unique<ExOutlook>(0, ExScanProfile::appointments());
        if (m_outlook->status())
            m_outlook->ScanFolders();
    }
    ~ScannedFile()
    {
        m_outlook.reset();
        qunsetenv("KELVOR_PST");
    }
    ScannedFile(const ScannedFile&) = delete;
    ScannedFile& operator=(const ScannedFile&) = delete;
    bool ok() const { return m_outlook->status(); }
    QList<ExFOLDER*> folders() const { return *m_outlook->folders(); }

private:
    std::unique_ptr<ExOutlook> m_outlook;
};

qint64 utc(const char* iso)
{
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate).toSecsSinceEpoch();
}

// Expected CRM fields; an invalid QVariant means "not sent".
using Fields = QVariantMap;
const QVariant absent;

} // namespace

Q_DECLARE_METATYPE(QList<QVariantMap>)

class TstAppointmentFiles : public QObject
{
    Q_OBJECT

private slots:
    void file_data();
    void file();
};

void TstAppointmentFiles::file_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QList<QVariantMap>>("expected");
    QTest::addColumn<QString>("summary");

    for (const QByteArray& zone : {QByteArray("Europe/Berlin"), QByteArray("UTC")}) {
        const QByteArray z = "/" + zone;
        // ANSI file; the stored subject starts with the subject-prefix marker.
        QTest::newRow(("32-bit" + z).constData())
            << zone << QStringLiteral("ansi/32-bit.pst") << QStringList{QStringLiteral("Calendar")}
            << QList<QVariantMap>{Fields{
                   {QStringLiteral("subject"), QStringLiteral("Updated: Olympus training for new hires")},
                   {QStringLiteral("start"), utc("2004-08-19T18:30:00Z")},
                   {QStringLiteral("stop"), utc("2004-08-19T19:30:00Z")},
                   {QStringLiteral("status"), 1},
                   {QStringLiteral("rem"), 0},
                   {QStringLiteral("remember"), absent},
                   {QStringLiteral("privat"), 0},
                   {QStringLiteral("city"), absent},
                   {QStringLiteral("day"), absent}}}
            << greenLine(1, "Termine");
        // A weekly series: the master appointment is sent, its exceptions (attachments) are not.
        QTest::newRow(("dist-list" + z).constData())
            << zone << QStringLiteral("calendar/dist-list.pst") << QStringList{QStringLiteral("Calendar")}
            << QList<QVariantMap>{Fields{{QStringLiteral("subject"), QStringLiteral("Test appointment")},
                                         {QStringLiteral("start"), utc("2016-08-02T15:00:00Z")},
                                         {QStringLiteral("stop"), utc("2016-08-02T15:30:00Z")},
                                         {QStringLiteral("status"), 2},
                                         {QStringLiteral("rem"), 1},
                                         {QStringLiteral("privat"), 0},
                                         {QStringLiteral("city"), absent},
                                         {QStringLiteral("serie"), absent}}}
            << greenLine(1, "Termine");
        QTest::newRow(("ost" + z).constData())
            << zone << QStringLiteral("calendar/SampleOstFile.ost") << QStringList{QStringLiteral("Calendar")}
            << QList<QVariantMap>{Fields{
                   {QStringLiteral("subject"), QStringLiteral("05 - test email - single meeting request")},
                   {QStringLiteral("start"), utc("2011-09-19T22:10:37Z")},
                   {QStringLiteral("stop"), utc("2011-09-19T22:40:37Z")},
                   {QStringLiteral("status"), 1},
                   {QStringLiteral("rem"), 0},
                   {QStringLiteral("remember"), absent},
                   {QStringLiteral("city"), QStringLiteral("meeting request")}}}
            << greenLine(1, "Termine");
    }
    // Nine copies of one meeting: the CRM keeps the first and answers -1 for the others.
    QTest::newRow("chunks") << QByteArray("Europe/Berlin") << QStringLiteral("calendar/Chunks__Test_part1.pst")
                            << QStringList{QStringLiteral("Calendar")}
                            << QList<QVariantMap>{Fields{{QStringLiteral("subject"), QStringLiteral("Weekly meeting")},
                                                         {QStringLiteral("start"), utc("2011-06-22T05:30:00Z")},
                                                         {QStringLiteral("stop"), utc("2011-06-22T06:00:00Z")},
                                                         {QStringLiteral("status"), 2}}}
                            << QStringLiteral("<font color=\"blue\"><i>8</i>  Termine existieren bereits</font><br>") +
                                   greenLine(1, "Termine");
    // The store access does not open password-protected stores: nothing to list, nothing sent.
    QTest::newRow("password-protected") << QByteArray("UTC") << QStringLiteral("calendar/passworded.pst")
                                        << QStringList{} << QList<QVariantMap>{} << greenLine(0, "Termine");
}

void TstAppointmentFiles::file()
{
    QFETCH(QByteArray, zone);
    QFETCH(QString, file);
    QFETCH(QStringList, folders);
    QFETCH(QList<QVariantMap>, expected);
    QFETCH(QString, summary);

    const QString dataDir = qEnvironmentVariable("KELVOR_TESTDATA");
    QVERIFY2(!dataDir.isEmpty() && QDir(dataDir).exists(),
             "KELVOR_TESTDATA does not name the folder of the sample files");
    const QString path = QDir(dataDir).filePath(file);
    QVERIFY2(QFile::exists(path), qPrintable(path));

    ZoneScope tz(zone);
    QString tag = QString::fromLatin1(QTest::currentDataTag());
    tag.replace(QLatin1Char('/'), QLatin1Char('_'))
        .replace(QLatin1Char(' '), QLatin1Char('_'))
        .remove(QLatin1Char(','));
    TestCrm crm(QStringLiteral("TstAppointmentFiles_") + tag);
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));

    ScannedFile scanned(path);
    QVERIFY(scanned.ok());
    QStringList names;
    for (const ExFOLDER* f : scanned.folders())
        names << f->name;
    QCOMPARE(names, folders);

    const RunRecord r = runImport(appointmentsTable(), scanned.folders(), scanned.folders());
    QCOMPARE(r.summary, summary);

    const QJsonArray stored = crm.stored().value(QStringLiteral("appointments")).toArray();
    QCOMPARE(stored.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QJsonObject actual = stored.at(i).toObject();
        for (auto it = expected[i].begin(); it != expected[i].end(); ++it) {
            if (!it.value().isValid()) {
                QVERIFY2(!actual.contains(it.key()), qPrintable(it.key()));
            } else if (it.value().typeId() == QMetaType::QString) {
                QCOMPARE(actual.value(it.key()).toString(), it.value().toString());
            } else {
                QCOMPARE(actual.value(it.key()).toInteger(), it.value().toLongLong());
            }
        }
        // A reminder that is on goes out with its lead time, which Outlook keeps in minutes.
        if (actual.value(QStringLiteral("rem")).toInt() == 1) {
            const qint64 lead = actual.value(QStringLiteral("remember")).toInteger();
            QVERIFY2(lead > 0 && lead % 60 == 0, qPrintable(QString::number(lead)));
        }
    }
}

QTEST_GUILESS_MAIN(TstAppointmentFiles)
#include "tst_appointmentfiles.moc"
