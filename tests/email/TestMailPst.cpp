// A real Outlook file end to end: every message of every mail folder is imported once into the CRM
// folder made for its Outlook folder, and the source the CRM holds carries the message's own
// subject, addresses and attachment bytes as libpff reads them.
// GMime's headers use "signals" as a name: they come before Qt's.
#include <gmime/gmime.h>

#include "crmtransport.h"
#include "crmtruststore.h"
#include "crmsettings.h"
#include "exfolder.h"
#include "exoutlook.h"
#include "mailrun.h"
#include "mailrunner.h"
#include "testcrm.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

// What libpff holds of one message.
struct Expected {
    QString subject;
    QStringList addresses;       // SMTP addresses of the recipients
    QList<QByteArray> attachments; // data of the attachments stored by value
    QStringList attachmentNames;
};

QString str(const xmapi::PropValue& v)
{
    return v.isError() ? QString() : QString::fromStdString(v.str);
}

QList<Expected> messagesOf(ExFOLDER* folder)
{
    QList<Expected> out;
    std::unique_ptr<xmapi::Table> table;
    if (xmapi::failed(folder->folder->GetContentsTable(MAPI_UNICODE, table)) || !table)
        return out;
    xmapi::RowSet rows;
    if (xmapi::HrQueryAllRows(*table, {PR_ENTRYID}, rows) != S_OK)
        return out;
    for (const xmapi::Row& row : rows) {
        std::uint32_t type = 0;
        std::unique_ptr<xmapi::MapiProp> object;
        if (xmapi::failed(folder->folder->OpenEntry(row[0].bin, 0, type, object)))
            continue;
        auto message = xmapi::objectCast<xmapi::Message>(std::move(object));
        if (!message)
            continue;
        Expected e;
        std::vector<xmapi::PropValue> values;
        (void)message->GetProps({PR_SUBJECT_W}, 0, values);
        e.subject = str(values.at(0));
        std::vector<xmapi::Recipient> recipients;
        if (xmapi::succeeded(message->GetRecipients(recipients))) {
            for (const auto& r : recipients) {
                const std::string& smtp = !r.smtpAddress.empty() ? r.smtpAddress : r.emailAddress;
                if (smtp.find('@') != std::string::npos)
                    e.addresses << QString::fromStdString(smtp).toLower();
            }
        }
        std::vector<xmapi::AttachmentInfo> attachments;
        if (xmapi::succeeded(message->GetAttachments(attachments))) {
            for (const auto& a : attachments) {
                if (a.method == ATTACH_BY_VALUE && !a.data.empty()) {
                    e.attachments << QByteArray(reinterpret_cast<const char*>(a.data.data()), qsizetype(a.data.size()));
                    if (!a.fileName.empty())
                        e.attachmentNames << QString::fromStdString(a.fileName);
                }
            }
        }
        out << e;
    }
    return out;
}

// The leaf parts of a message with their decoded bytes; embedded messages are not entered.
void collectParts(GMimeObject* object, QList<QByteArray>& parts)
{
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i)
            collectParts(g_mime_multipart_get_part(multipart, i), parts);
        return;
    }
    if (!GMIME_IS_PART(object))
        return;
    GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(object));
    if (!content)
        return;
    GMimeStream* mem = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(content, mem);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
    parts << QByteArray(reinterpret_cast<const char*>(bytes->data), qsizetype(bytes->len));
    g_object_unref(mem);
}

struct Parsed {
    QString subject;
    QString addresses; // every address header, lower case
    QList<QByteArray> parts;
};

Parsed parse(const QByteArray& source)
{
    Parsed p;
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(source.constData(), size_t(source.size()));
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    if (message) {
        p.subject = QString::fromUtf8(g_mime_message_get_subject(message));
        for (GMimeAddressType t : {GMIME_ADDRESS_TYPE_FROM, GMIME_ADDRESS_TYPE_TO, GMIME_ADDRESS_TYPE_CC,
                                   GMIME_ADDRESS_TYPE_BCC}) {
            char* text = internet_address_list_to_string(g_mime_message_get_addresses(message, t), nullptr, FALSE);
            p.addresses += QString::fromUtf8(text ? text : "").toLower() + QLatin1Char('\n');
            g_free(text);
        }
        collectParts(g_mime_message_get_mime_part(message), p.parts);
        g_object_unref(message);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    return p;
}

} // namespace

class TestMailPst : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { g_mime_init(); }
    void cleanupTestCase() { g_mime_shutdown(); }
    void outlookPst_data();
    void outlookPst();

private:
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};
};

void TestMailPst::outlookPst_data()
{
    QTest::addColumn<int>("inflight");
    QTest::newRow("one after another") << 1;
    QTest::newRow("four at once") << 4;
}

void TestMailPst::outlookPst()
{
    QFETCH(int, inflight);
    const InflightScope inflightSetting(inflight);
    const QString path = qEnvironmentVariable("KELVOR_TESTDATA") + QStringLiteral("/mail/Outlook.pst");
    QVERIFY2(QFile::exists(path), qPrintable(QStringLiteral("sample file missing: ") + path));
    TestCrm crm(QStringLiteral("TestMailPst_outlookPst%1").arg(inflight));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    writeCrmSettings({crm.baseUrl(), QString::fromLatin1(TestCrm::defaultLogin),
                      QString::fromLatin1(TestCrm::defaultPassword)});

    qputenv("KELVOR_PST", QFile::encodeName(path));
    ExOutlook outlook(0, ExScanProfile::email());
    qunsetenv("KELVOR_PST");
    QVERIFY(outlook.status());
    outlook.ScanFolders();
    QCOMPARE(outlook.stores().size(), 1);

    // Expected: the messages of every folder below the store root, by folder path.
    QHash<QString, QList<Expected>> expected;
    int total = 0;
    std::function<void(ExFOLDER*, const QString&)> walk = [&](ExFOLDER* record, const QString& path) {
        if (!record->isStoreRoot) {
            expected.insert(path, messagesOf(record));
            total += int(expected.value(path).size());
        }
        for (const auto& child : record->subFolders)
            walk(child.get(), path + QLatin1Char('/') + child->name);
    };
    ExFOLDER* root = outlook.stores().at(0);
    walk(root, root->name);
    QVERIFY2(total >= 10, "the sample holds mails in several folders");

    ExMailRun run;
    const MailRunRecord record = runMail(run, m_transport, outlook.stores(), [](const ExFOLDER*) { return true; });
    QVERIFY(record.summary.contains(QStringLiteral("E-Mails sind erfolgreich importiert")));
    QVERIFY2(run.failedCount() == 0, qPrintable(run.errorReport()));
    QCOMPARE(run.importedCount(), total);

    // The CRM's folders as paths below its inbox; the store's own folder is the first level.
    const QJsonObject stored = crm.stored();
    QHash<int, QJsonObject> folders;
    for (const auto& f : stored.value(QStringLiteral("mailfolders")).toArray())
        folders.insert(f.toObject().value(QStringLiteral("id")).toInt(), f.toObject());
    std::function<QString(int)> pathOf = [&](int id) -> QString {
        const QJsonObject f = folders.value(id);
        if (f.value(QStringLiteral("inbox")).toBool())
            return QString();
        const QString parent = pathOf(f.value(QStringLiteral("parent")).toInt());
        return (parent.isEmpty() ? QString() : parent + QLatin1Char('/')) + f.value(QStringLiteral("name")).toString();
    };
    QCOMPARE(folders.size(), expected.size() + 2); // the inbox and the store's folder besides

    QHash<QString, QList<QJsonObject>> arrived;
    for (const auto& m : stored.value(QStringLiteral("mails")).toArray())
        arrived[pathOf(m.toObject().value(QStringLiteral("tree_id")).toInt())] << m.toObject();

    // The test CRM's page names every attachment, read back from the stored sources.
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(QUrl(crm.baseUrl()))));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    QVERIFY(finished.wait(20000));
    const QString page = QString::fromUtf8(reply->readAll());

    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QList<QJsonObject> got = arrived.value(it.key());
        QVERIFY2(got.size() == it.value().size(), qPrintable(it.key()));
        // Matched by subject: with uploads in flight a folder's messages may arrive in another order.
        QList<Parsed> parsed;
        for (const QJsonObject& m : got)
            parsed << parse(QByteArray::fromBase64(m.value(QStringLiteral("source")).toString().toLatin1()));
        for (int i = 0; i < got.size(); ++i) {
            const Expected& e = it.value().at(i);
            int match = 0;
            while (match < parsed.size() && parsed.at(match).subject != e.subject)
                ++match;
            QVERIFY2(match < parsed.size(), qPrintable(it.key() + QStringLiteral(": ") + e.subject));
            const Parsed p = parsed.takeAt(match);
            const QString where = it.key() + QStringLiteral(": ") + e.subject;
            QVERIFY2(p.subject == e.subject, qPrintable(where + QStringLiteral(" / ") + p.subject));
            for (const QString& address : e.addresses)
                QVERIFY2(p.addresses.contains(address), qPrintable(where + QStringLiteral(" lacks ") + address));
            for (const QString& name : e.attachmentNames)
                QVERIFY2(page.contains(name.toHtmlEscaped()), qPrintable(where + QStringLiteral(": page lacks ") + name));
            for (const QByteArray& data : e.attachments)
                QVERIFY2(p.parts.contains(data), qPrintable(where + QStringLiteral(": attachment bytes differ")));
        }
    }
}

QTEST_GUILESS_MAIN(TestMailPst)
#include "TestMailPst.moc"
