// The converter on memory fixtures (what the samples lack), RTF body recovery and the date rules.
#include "charsets.h"
#include "mimeconverter.h"
#include "mimeparse.h"
#include "rtfbody.h"
#include "../outlook/logcapture.h"
#include "../outlook/storewalk.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <ctime>

namespace {

void setZone(const char* zone)
{
    qputenv("TZ", zone);
    tzset();
}

const char* const kPng =
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR4nGP4z8DwHwAFAAH/iZk9HQAAAABJRU5ErkJggg==";

// One store whose top folder holds the messages of `items` (JSON array text).
QByteArray fixture(const QByteArray& items)
{
    return QByteArray(R"({"stores": [{"name": "Test", "items": )") + items + "}]}";
}

struct Converted {
    std::int32_t hr = -1;
    QByteArray source;
};

QList<Converted> convertAll(const QByteArray& json)
{
    QList<Converted> out;
    std::unique_ptr<xmapi::Session> session;
    if (xmapi::failed(xmapi::logonMemoryFixtureText(json.toStdString(), session)))
        return out;
    auto stores = openStores(*session);
    if (stores.empty())
        return out;
    for (const auto& row : allRows(*stores[0].top, {PR_ENTRYID})) {
        std::uint32_t type = 0;
        std::unique_ptr<xmapi::MapiProp> obj;
        if (xmapi::failed(stores[0].top->OpenEntry(row[0].bin, 0, type, obj)))
            continue;
        auto msg = xmapi::objectCast<xmapi::Message>(std::move(obj));
        Converted c;
        c.hr = ConvertMessageToMime(*msg, c.source);
        out << c;
    }
    return out;
}

QByteArray headerBlock(const QByteArray& source) { return source.left(source.indexOf("\r\n\r\n") + 2); }

} // namespace

class TestMimeConverter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(xmapi::succeeded(xmapi::MAPIInitialize()));
        setZone("Europe/Berlin");
    }
    void cleanupTestCase() { xmapi::MAPIUninitialize(); }

    void synthesizedMessage();
    void transportHeadersReused();
    void headerBlockCompleted_data();
    void headerBlockCompleted();
    void madeUpMessageIds();
    void textPartsAreUtf8_data();
    void textPartsAreUtf8();
    void replyTo_data();
    void replyTo();
    void dateHeader_data();
    void dateHeader();
    void dateRepair_data();
    void dateRepair();
    void rtfBody_data();
    void rtfBody();
};

// A sent message without transport headers: every header comes from the properties.
void TestMimeConverter::synthesizedMessage()
{
    const QByteArray items = QByteArray(R"([{
      "props": {"0x0037001F": "Grüße aus Köln – 报告", "0x0C1A001F": "Jürgen Müller",
                "0x0C1E001F": "EX", "0x0C1F001F": "/O=KELVOR/OU=FIRST/CN=RECIPIENTS/CN=JMUELLER",
                "0x5D01001F": "j.mueller@kelvor.example", "0x0042001F": "Jürgen Müller", "0x00390040": "2013-07-04T12:30:05Z",
                "0x0E060040": "2013-07-04T12:31:00Z", "0x00170003": 2,
                "0x1000001F": "Hallo Welt, schöne Grüße", "0x1013001F": "<html><body>Bild: <img src=\"cid:bild1@kelvor\"></body></html>"},
      "recipients": [
        {"type": "To", "name": "Łukasz Żółw", "address": "lukasz@example.pl", "addressType": "SMTP"},
        {"type": "Cc", "name": "Anna Exchange", "address": "/O=KELVOR/OU=FIRST/CN=RECIPIENTS/CN=ANNA", "addressType": "EX", "smtp": "anna@kelvor.example"},
        {"type": "Cc", "name": "Nur Name", "address": "/O=KELVOR/OU=FIRST/CN=RECIPIENTS/CN=NUR", "addressType": "EX"},
        {"type": "Bcc", "name": "Geheim", "address": "geheim@example.org", "addressType": "SMTP"},
        {"type": "To", "name": "nobody@yahoo.com", "address": "", "addressType": ""},
        {"type": "Cc", "name": "'<Kurt@Example.org>'", "address": "", "addressType": ""},
        {"type": "Cc", "name": "kein@adresse, sondern Text", "address": "", "addressType": ""}],
      "attachments": [
        {"fileName": "bild.png", "contentId": "bild1@kelvor", "flags": 4, "hidden": true, "base64": ")") +
                             kPng + R"("},
        {"fileName": "报告 März.txt", "text": "Inhalt des Berichts\n"},
        {"shortFileName": "PROTOK~1.TXT", "displayName": "Protokoll der Sitzung.txt", "text": "Protokoll"},
        {"shortFileName": "LISTE.CSV", "displayName": "Liste", "text": "a;b"},
        {"fileName": "link.lnk", "method": 2},
        {"fileName": "Innen.msg", "message": {
            "props": {"0x0037001F": "Innen", "0x1000001F": "innerer Text", "0x0C1A001F": "X", "0x0C1F001F": "x@example.org"},
            "attachments": [{"fileName": "leer.bin", "base64": ""}, {"fileName": "data.bin", "base64": "AAECAwT/"}]}}]
    }])";
    LogCapture log;
    const auto converted = convertAll(fixture(items));
    QCOMPARE(converted.size(), 1);
    QCOMPARE(converted[0].hr, 0);
    const QByteArray& src = converted[0].source;
    const ParsedMessage m = mimeparse::parse(src);
    QVERIFY(m.ok);

    // Headers travel as ASCII: non-ASCII names and the subject as UTF-8 encoded words.
    const QByteArray headers = headerBlock(src);
    for (char c : headers)
        QVERIFY2(static_cast<unsigned char>(c) < 0x80, headers.constData());
    QVERIFY(headers.toLower().contains("=?utf-8?"));
    QCOMPARE(m.subject, QStringLiteral("Grüße aus Köln – 报告"));
    // Sent for himself: the representing name alone names the sender, whose address it takes.
    QCOMPARE(m.from, QStringList{QStringLiteral("Jürgen Müller <j.mueller@kelvor.example>")});
    QVERIFY(!headers.contains("\r\nSender:"));
    // A display name that is an address (Outlook 97 keeps typed addresses so) is the address.
    QCOMPARE(m.to, (QStringList{QStringLiteral("Łukasz Żółw <lukasz@example.pl>"), QStringLiteral(" <nobody@yahoo.com>")}));
    // An Exchange recipient without SMTP address keeps its name, never the X.500 name as address.
    QCOMPARE(m.cc, (QStringList{QStringLiteral("Anna Exchange <anna@kelvor.example>"), QStringLiteral("Nur Name:;"),
                                QStringLiteral(" <Kurt@Example.org>"), QStringLiteral("kein@adresse, sondern Text:;")}));
    QCOMPARE(m.bcc, QStringList{QStringLiteral("Geheim <geheim@example.org>")});
    QVERIFY(!src.contains("/O=KELVOR"));
    QCOMPARE(m.dateHeader, QStringLiteral("Thu, 04 Jul 2013 14:30:05 +0200")); // submit time, summer offset
    QVERIFY(headers.contains("\r\nImportance: high\r\n"));
    QVERIFY(headers.contains("\r\nMIME-Version: 1.0\r\n"));
    QVERIFY(headers.contains("\r\nMessage-Id: <"));

    // Bodies and inline image together, the other attachments after them.
    QCOMPARE(m.structure, (QStringList{QStringLiteral("multipart/mixed"), QStringLiteral("multipart/mixed>multipart/alternative"),
                                       QStringLiteral("multipart/mixed>multipart/alternative>text/plain"),
                                       QStringLiteral("multipart/mixed>multipart/alternative>multipart/related"),
                                       QStringLiteral("multipart/mixed>multipart/alternative>multipart/related>text/html"),
                                       QStringLiteral("multipart/mixed>multipart/alternative>multipart/related>image/png"),
                                       QStringLiteral("multipart/mixed>text/plain"),
                                       QStringLiteral("multipart/mixed>text/plain"),
                                       QStringLiteral("multipart/mixed>text/csv"),
                                       QStringLiteral("multipart/mixed>message/rfc822")}));
    QCOMPARE(QString::fromUtf8(m.plain), QStringLiteral("Hallo Welt, schöne Grüße"));
    QVERIFY(m.html.contains("cid:bild1@kelvor"));
    QCOMPARE(m.leaves.size(), 4);
    QCOMPARE(m.leaves[0].contentId, QStringLiteral("bild1@kelvor")); // guessed type: no MIME tag stored
    QCOMPARE(m.leaves[0].data, QByteArray::fromBase64(kPng));
    QCOMPARE(m.leaves[1].fileName, QStringLiteral("报告 März.txt"));
    QCOMPARE(m.leaves[1].data, QByteArray("Inhalt des Berichts\n"));
    // Only a shortened 8.3 name stored: the display name is the long one. A short name that is
    // not shortened stays, rather than a display name that is no file name.
    QCOMPARE(m.leaves[2].fileName, QStringLiteral("Protokoll der Sitzung.txt"));
    QCOMPARE(m.leaves[3].fileName, QStringLiteral("LISTE.CSV"));
    QVERIFY(src.toLower().contains("filename*=utf-8''"));
    // The attachment without data is left out with a log line; the message still converts.
    QVERIFY(!src.contains("link.lnk"));
    QVERIFY(!log.lines().filter(QStringLiteral("\"link.lnk\"")).isEmpty());

    QCOMPARE(m.embedded.size(), 1);
    const ParsedMessage& inner = m.embedded[0];
    QCOMPARE(inner.subject, QStringLiteral("Innen"));
    QCOMPARE(QString::fromUtf8(inner.plain), QStringLiteral("innerer Text"));
    QCOMPARE(inner.leaves.size(), 2);
    QCOMPARE(inner.leaves[0].fileName, QStringLiteral("leer.bin")); // an empty file is still a file
    QCOMPARE(inner.leaves[0].data, QByteArray());
    QCOMPARE(inner.leaves[1].data, QByteArray("\x00\x01\x02\x03\x04\xff", 6));
    QVERIFY(inner.dateHeader.isEmpty()); // no time at all: no Date line

    // The same message converts to the same source, Message-Id included.
    const auto again = convertAll(fixture(items));
    auto messageId = [](const QByteArray& block) {
        const qsizetype at = block.indexOf("\r\nMessage-Id: ");
        return at < 0 ? QByteArray() : block.mid(at, block.indexOf('\n', at + 2) - at);
    };
    QVERIFY(!messageId(headers).isEmpty());
    QCOMPARE(messageId(headerBlock(again[0].source)), messageId(headers));
}

// Received mail: the original header block stays, its old MIME structure goes.
void TestMimeConverter::transportHeadersReused()
{
    const QByteArray headers = "Microsoft Mail Internet Headers Version 2.0\r\n"
                               "Received: from a.example ([10.0.0.1]) by b.example; Tue, 5 Mar 2013 09:00:00 +0100\r\n"
                               "Received: from c.example by a.example; Tue, 5 Mar 2013 08:59:59 +0100\r\n"
                               "From: =?iso-8859-1?q?J=FCrgen?= <j@example.com>\r\n"
                               "To: team@example.com\r\n"
                               "Subject: Quartalszahlen\r\n"
                               "Message-ID: <abc@example.com>\r\n"
                               "MIME-Version: 1.0\r\n"
                               "Content-Type: multipart/alternative;\r\n\tboundary=\"----=_old_boundary\"\r\n"
                               "Content-Transfer-Encoding: 7bit\r\n"
                               "X-Keep: yes\r\n\r\n";
    QJsonObject props{{QStringLiteral("0x007D001F"), QString::fromLatin1(headers)},
                      {QStringLiteral("0x0037001F"), QStringLiteral("Quartalszahlen")},
                      {QStringLiteral("0x0E060040"), QStringLiteral("2013-03-05T08:00:00Z")},
                      {QStringLiteral("0x1000001F"), QStringLiteral("Zahlen anbei")}};
    QJsonArray recipients{
        QJsonObject{{QStringLiteral("type"), QStringLiteral("To")}, {QStringLiteral("name"), QStringLiteral("team")},
                    {QStringLiteral("address"), QStringLiteral("team@example.com")}},
        QJsonObject{{QStringLiteral("type"), QStringLiteral("Bcc")}, {QStringLiteral("name"), QStringLiteral("Archiv")},
                    {QStringLiteral("address"), QStringLiteral("archiv@example.com")}}};
    const QByteArray json = fixture(QJsonDocument(QJsonArray{QJsonObject{{QStringLiteral("props"), props},
                                                                          {QStringLiteral("recipients"), recipients}}})
                                        .toJson());
    const auto converted = convertAll(json);
    QCOMPARE(converted.size(), 1);
    QCOMPARE(converted[0].hr, 0);
    const QByteArray& src = converted[0].source;
    const QByteArray block = headerBlock(src);
    QVERIFY(block.startsWith("Received: from a.example"));
    QCOMPARE(block.count("\r\nReceived: "), 1);
    QCOMPARE(block.count("MIME-Version"), 1);
    QVERIFY(!src.contains("_old_boundary"));
    QVERIFY(!src.contains("Microsoft Mail Internet Headers"));
    QVERIFY(block.contains("\r\nX-Keep: yes\r\n"));
    QVERIFY(!block.contains("Content-Transfer-Encoding: 7bit"));
    const ParsedMessage m = mimeparse::parse(src);
    QCOMPARE(m.from, QStringList{QStringLiteral("Jürgen <j@example.com>")});
    QCOMPARE(m.bcc, QStringList{QStringLiteral("Archiv <archiv@example.com>")}); // from the recipient table
    QCOMPARE(QString::fromUtf8(m.plain), QStringLiteral("Zahlen anbei"));
    // The header block had no Date: the delivery time fills in, winter offset.
    QCOMPARE(m.dateHeader, QStringLiteral("Tue, 05 Mar 2013 09:00:00 +0100"));
}

// A header block holds what it holds; what it lacks comes from the properties. A block that is no
// header block is no help at all.
void TestMimeConverter::headerBlockCompleted_data()
{
    QTest::addColumn<QString>("block");
    QTest::addColumn<QStringList>("from");
    QTest::addColumn<QStringList>("to");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("messageId");
    QTest::addColumn<bool>("received");
    const QString received = QStringLiteral("Received: from mx.example by mail.example; Tue, 5 Mar 2013 09:00:00 +0100\r\n");
    const QStringList team{QStringLiteral("Kelvor Team <team@kelvor.example>")};
    const QStringList nobody{QStringLiteral(" <nobody@yahoo.com>")};
    QTest::newRow("Received only") << received << team << nobody << QStringLiteral("Willkommen bei Kelvor")
                                   << QStringLiteral("willkommen@kelvor.example") << true;
    QTest::newRow("not a header block") << QStringLiteral("Dies ist kein Kopf\r\nsondern Text.\r\n") << team << nobody
                                        << QStringLiteral("Willkommen bei Kelvor")
                                        << QStringLiteral("willkommen@kelvor.example") << false;
    QTest::newRow("own From, To, Subject, Message-ID")
        << received + QStringLiteral("From: Other <other@example.com>\r\nTo: list@example.com\r\nSubject: Original\r\n"
                                     "Message-ID: <orig@example.com>\r\n")
        << QStringList{QStringLiteral("Other <other@example.com>")} << QStringList{QStringLiteral(" <list@example.com>")}
        << QStringLiteral("Original") << QStringLiteral("orig@example.com") << true;
}

void TestMimeConverter::headerBlockCompleted()
{
    QFETCH(QString, block);
    QFETCH(QStringList, from);
    QFETCH(QStringList, to);
    QFETCH(QString, subject);
    QFETCH(QString, messageId);
    QFETCH(bool, received);
    QJsonObject props{{QStringLiteral("0x007D001F"), block},
                      {QStringLiteral("0x0037001F"), QStringLiteral("Willkommen bei Kelvor")},
                      {QStringLiteral("0x0C1A001F"), QStringLiteral("Kelvor Team")},
                      {QStringLiteral("0x5D01001F"), QStringLiteral("team@kelvor.example")},
                      {QStringLiteral("0x00390040"), QStringLiteral("2013-03-05T08:00:00Z")},
                      {QStringLiteral("0x1035001F"), QStringLiteral("<willkommen@kelvor.example>")},
                      {QStringLiteral("0x1042001F"), QStringLiteral("<frage@example.org>")},
                      {QStringLiteral("0x1000001F"), QStringLiteral("Hallo")}};
    QJsonArray recipients{
        QJsonObject{{QStringLiteral("type"), QStringLiteral("To")}, {QStringLiteral("name"), QStringLiteral("nobody@yahoo.com")},
                    {QStringLiteral("address"), QString()}, {QStringLiteral("addressType"), QString()}},
        QJsonObject{{QStringLiteral("type"), QStringLiteral("Cc")}, {QStringLiteral("name"), QStringLiteral("Anna")},
                    {QStringLiteral("address"), QStringLiteral("anna@example.org")}}};
    const auto converted = convertAll(fixture(
        QJsonDocument(QJsonArray{QJsonObject{{QStringLiteral("props"), props}, {QStringLiteral("recipients"), recipients}}})
            .toJson()));
    QCOMPARE(converted.size(), 1);
    QCOMPARE(converted[0].hr, 0);
    const QByteArray head = headerBlock(converted[0].source);
    const ParsedMessage m = mimeparse::parse(converted[0].source);
    QCOMPARE(m.from, from);
    QCOMPARE(m.to, to);
    QCOMPARE(m.cc, QStringList{QStringLiteral("Anna <anna@example.org>")});
    QCOMPARE(m.subject, subject);
    QCOMPARE(m.messageId, messageId);
    QCOMPARE(m.dateHeader, QStringLiteral("Tue, 05 Mar 2013 09:00:00 +0100"));
    QVERIFY(head.contains("\r\nIn-Reply-To: <frage@example.org>\r\n"));
    QCOMPARE(head.startsWith("Received: from mx.example"), received);
    QVERIFY(!head.contains("Dies ist"));
    QCOMPARE(("\r\n" + head).count("\r\nFrom: "), 1);
    QCOMPARE(head.count("MIME-Version"), 1);
}

// A message without Message-Id gets one made from what identifies it in its store: two copies of
// one message (same search key, subject and times) get two ids, and every run the same ones.
void TestMimeConverter::madeUpMessageIds()
{
    const QByteArray items = R"([
      {"props": {"0x0037001F": "Kopie", "0x300B0102": "00112233445566778899AABBCCDDEEFF"}},
      {"props": {"0x0037001F": "Kopie", "0x300B0102": "00112233445566778899AABBCCDDEEFF"}},
      {"props": {}},
      {"props": {}},
      {"props": {"0x0037001F": "Mit Id", "0x1035001F": "<eigene@example.org>"}}])";
    auto ids = [&] {
        QStringList out;
        for (const Converted& c : convertAll(fixture(items)))
            out << mimeparse::parse(c.source).messageId;
        return out;
    };
    const QStringList first = ids();
    QCOMPARE(first.size(), 5);
    QCOMPARE(first[4], QStringLiteral("eigene@example.org"));
    for (int i = 0; i < 4; ++i) {
        QVERIFY2(first[i].endsWith(QLatin1String("@kelvor.invalid")), qPrintable(first[i]));
        for (int j = 0; j < i; ++j)
            QVERIFY2(first[i] != first[j], qPrintable(first[i]));
    }
    QCOMPARE(ids(), first);
}

// Every text part is valid UTF-8, whatever the store holds; NUL bytes are no text.
void TestMimeConverter::textPartsAreUtf8_data()
{
    QTest::addColumn<QByteArray>("props");
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("html");
    const QString bad = QString(QChar(0xFFFD));
    QTest::newRow("HTML stored as UTF-8 with invalid bytes and a NUL")
        << QByteArray(R"("0x10130102": ")" + QByteArray("<p>a\xfb\x96" "b\x00" "c\xc3\xbc</p>", 15).toHex() + "\"")
        << QString() << QStringLiteral("<p>a") + bad + bad + QStringLiteral("bcü</p>");
    QTest::newRow("RTF-only body in code page 65001")
        << QByteArray(R"("0x1009001F": "{\\rtf1\\ansi\\ansicpg65001 \\'fb\\'96\\'96\\'96\\'96 gr\\'c3\\'bc\\'00\\'c3\\'9f}")")
        << bad.repeated(5) + QStringLiteral(" grüß") << QString();
}

void TestMimeConverter::textPartsAreUtf8()
{
    QFETCH(QByteArray, props);
    QFETCH(QString, plain);
    QFETCH(QString, html);
    const auto converted = convertAll(fixture("[{\"props\": {" + props + "}}]"));
    QCOMPARE(converted.size(), 1);
    QCOMPARE(converted[0].hr, 0);
    const ParsedMessage m = mimeparse::parse(converted[0].source);
    QVERIFY(isValidUtf8(m.plain.constData(), std::size_t(m.plain.size())));
    QVERIFY(isValidUtf8(m.html.constData(), std::size_t(m.html.size())));
    QVERIFY(!m.plain.contains('\0') && !m.html.contains('\0'));
    QCOMPARE(QString::fromUtf8(m.plain), plain);
    QCOMPARE(QString::fromUtf8(m.html), html);
}

// Reply-To comes from a binary list of one-off entries, which must not be trusted blindly.
void TestMimeConverter::replyTo_data()
{
    QTest::addColumn<QByteArray>("entries");
    QTest::addColumn<QStringList>("replyTo");
    const QByteArray good = "01000000680000006400000000000000812B1FA4BEA310199D6E00DD010F54020000008041006E0074007700"
                            "6F007200740020005300740065006C006C006500000053004D005400500000007200650070006C007900400065"
                            "00780061006D0070006C0065002E006F00720067000000";
    QTest::newRow("one-off entry") << good << QStringList{QStringLiteral("Antwort Stelle <reply@example.org>")};
    QTest::newRow("entry size beyond the data") << QByteArray("01000000080000FFFF00000000000000") << QStringList();
    QTest::newRow("cut inside the strings") << good.left(good.size() - 40) << QStringList();
    QTest::newRow("huge count, no entries") << QByteArray("FFFFFFFF00000000") << QStringList();
}

void TestMimeConverter::replyTo()
{
    QFETCH(QByteArray, entries);
    QFETCH(QStringList, replyTo);
    const QByteArray items = R"([{"props": {"0x0037001F": "Antwort", "0x004F0102": ")" + entries + R"("}}])";
    const auto converted = convertAll(fixture(items));
    QCOMPARE(converted.size(), 1);
    QCOMPARE(converted[0].hr, 0);
    QCOMPARE(mimeparse::parse(converted[0].source).replyTo, replyTo);
}

void TestMimeConverter::dateHeader_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QString>("utc");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("Berlin winter") << QByteArray("Europe/Berlin") << QStringLiteral("2013-03-04T12:30:05Z")
                                   << QByteArray("Date: Mon, 04 Mar 2013 13:30:05 +0100\n");
    QTest::newRow("Berlin summer") << QByteArray("Europe/Berlin") << QStringLiteral("2013-07-04T12:30:05Z")
                                   << QByteArray("Date: Thu, 04 Jul 2013 14:30:05 +0200\n");
    QTest::newRow("Berlin, last second before the clocks go back")
        << QByteArray("Europe/Berlin") << QStringLiteral("2013-10-27T00:59:59Z")
        << QByteArray("Date: Sun, 27 Oct 2013 02:59:59 +0200\n");
    QTest::newRow("Berlin, clocks gone back") << QByteArray("Europe/Berlin") << QStringLiteral("2013-10-27T01:00:00Z")
                                              << QByteArray("Date: Sun, 27 Oct 2013 02:00:00 +0100\n");
    QTest::newRow("UTC") << QByteArray("UTC") << QStringLiteral("2013-03-04T12:30:05Z")
                         << QByteArray("Date: Mon, 04 Mar 2013 12:30:05 +0000\n");
    QTest::newRow("west of UTC, day before") << QByteArray("America/New_York") << QStringLiteral("2013-07-04T02:00:00Z")
                                             << QByteArray("Date: Wed, 03 Jul 2013 22:00:00 -0400\n");
    QTest::newRow("half-hour zone") << QByteArray("Asia/Kolkata") << QStringLiteral("2013-03-04T12:30:05Z")
                                    << QByteArray("Date: Mon, 04 Mar 2013 18:00:05 +0530\n");
    QTest::newRow("no time") << QByteArray("Europe/Berlin") << QString() << QByteArray("Date: ");
}

void TestMimeConverter::dateHeader()
{
    QFETCH(QByteArray, zone);
    QFETCH(QString, utc);
    QFETCH(QByteArray, header);
    setZone(zone.constData());
    xmapi::FileTime ft;
    if (!utc.isEmpty()) {
        const QDateTime t = QDateTime::fromString(utc, Qt::ISODate);
        ft.ticks = std::uint64_t(t.toSecsSinceEpoch()) * 10000000ull + 116444736000000000ull + 4321; // sub-second ticks
        QCOMPARE(DeliveryTimeToTime(ft), t.toSecsSinceEpoch());
    }
    QCOMPARE(DateHeaderOfDeliveryTime(ft), header);
    if (!utc.isEmpty())
        QCOMPARE(MakeDateHeader(QDateTime::fromString(utc, Qt::ISODate)), header);
    setZone("Europe/Berlin");
}

void TestMimeConverter::dateRepair_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("date");
    QTest::addColumn<QByteArray>("expected"); // empty: unchanged
    const QByteArray date = "Date: Mon, 04 Mar 2013 13:30:05 +0100\n";
    const QByteArray body = "Content-Type: text/plain\r\n\r\nbody\r\n";
    QTest::newRow("has Date") << QByteArray("From: a@b\r\nDate: Sun, 03 Mar 2013 10:00:00 +0100\r\nMessage-ID: <x@y>\r\n") + body
                              << date << QByteArray();
    QTest::newRow("before Message-ID, CRLF")
        << QByteArray("From: a@b\r\nMessage-ID: <x@y>\r\n") + body << date
        << QByteArray("From: a@b\r\nDate: Mon, 04 Mar 2013 13:30:05 +0100\r\nMessage-ID: <x@y>\r\n") + body;
    QTest::newRow("GMime's Message-Id")
        << QByteArray("From: a@b\r\nMessage-Id: <x@y>\r\n") + body << date
        << QByteArray("From: a@b\r\nDate: Mon, 04 Mar 2013 13:30:05 +0100\r\nMessage-Id: <x@y>\r\n") + body;
    QTest::newRow("LF source") << QByteArray("From: a@b\nMessage-ID: <x@y>\n\nbody\n") << date
                               << QByteArray("From: a@b\nDate: Mon, 04 Mar 2013 13:30:05 +0100\nMessage-ID: <x@y>\n\nbody\n");
    QTest::newRow("no Message-ID") << QByteArray("From: a@b\r\n") + body << date << QByteArray();
    QTest::newRow("no time known") << QByteArray("From: a@b\r\nMessage-ID: <x@y>\r\n") + body << QByteArray("Date: ")
                                   << QByteArray();
    QTest::newRow("Delivery-Date is no Date")
        << QByteArray("Delivery-Date: Sun, 03 Mar 2013 10:00:00 +0100\r\nMessage-ID: <x@y>\r\n") + body << date
        << QByteArray("Delivery-Date: Sun, 03 Mar 2013 10:00:00 +0100\r\nDate: Mon, 04 Mar 2013 13:30:05 +0100\r\n"
                      "Message-ID: <x@y>\r\n") + body;
    QTest::newRow("Date only in the body")
        << QByteArray("Message-ID: <x@y>\r\n\r\nDate: in the text\r\n") << date
        << QByteArray("Date: Mon, 04 Mar 2013 13:30:05 +0100\r\nMessage-ID: <x@y>\r\n\r\nDate: in the text\r\n");
    QTest::newRow("no Content-Type, has Date") << QByteArray("Date: Sun, 03 Mar 2013 10:00:00 +0100\r\nMessage-ID: <x@y>\r\n\r\nb")
                                               << date << QByteArray();
}

void TestMimeConverter::dateRepair()
{
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, date);
    QFETCH(QByteArray, expected);
    QByteArray mime = source;
    QCOMPARE(RepairDateHeader(mime, date), !expected.isEmpty());
    QCOMPARE(mime, expected.isEmpty() ? source : expected);
}

void TestMimeConverter::rtfBody_data()
{
    QTest::addColumn<QByteArray>("rtf");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");
    QTest::newRow("encapsulated HTML")
        << QByteArray("{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}}"
                      "{\\colortbl\\red0\\green0\\blue255;}\\uc1{\\*\\htmltag19 <html>}{\\*\\htmltag34 <head>}"
                      "{\\*\\htmltag161 <meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">}"
                      "{\\*\\htmltag41 </head>}{\\*\\htmltag50 <body>}\\htmlrtf {\\htmlrtf0 {\\*\\htmltag64 <p>}"
                      "Gr\\'fc\\'dfe &amp; {\\*\\htmltag84 <b>}\\htmlrtf {\\b \\htmlrtf0 Welt\\htmlrtf }\\htmlrtf0 "
                      "{\\*\\htmltag92 </b>}\\htmlrtf\\par\\htmlrtf0 {\\*\\htmltag72 </p>}{\\*\\htmltag0 \\par "
                      "\\tab }\\u8364\\'80{\\*\\mhtmltag0 ignored}}{\\*\\htmltag58 </body>}{\\*\\htmltag27 </html>}}")
        << int(RtfBody::Kind::Html)
        << QStringLiteral("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\"></head>"
                          "<body><p>Grüße &amp; <b>Welt</b></p>\r\n\t€</body></html>");
    QTest::newRow("encapsulated text")
        << QByteArray("{\\rtf1\\ansi\\ansicpg1251\\fromtext \\fbidis \\deff0{\\fonttbl{\\f0\\fswiss\\fcharset204 Arial;}"
                      "{\\f1\\fmodern Courier New;}}{\\colortbl\\red0\\green0\\blue0;}\\uc1\\pard\\plain\\f0\\fs20 "
                      "\\'cf\\'f0\\'e8\\'e2\\'e5\\'f2, {\\htmlrtf \\b\\htmlrtf0 Welt}\\par\\htmlrtf{\\f1 hidden}\\htmlrtf0 "
                      "Zeile 2 \\{x\\} \\\\\\par}")
        << int(RtfBody::Kind::Text) << QStringLiteral("Привет, Welt\r\nZeile 2 {x} \\\r\n");
    QTest::newRow("plain RTF")
        << QByteArray("{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0 Calibri;}{\\f1\\fnil\\fcharset128 MS Gothic;}}"
                      "{\\colortbl;\\red0\\green0\\blue0;}{\\*\\generator Riched20 10.0;}{\\info{\\title Titel}}"
                      "{\\stylesheet{\\s0 Normal;}}\\viewkind4\\uc1\\pard\\f0\\fs22 Sch\\'f6ne Gr\\u252?\\'dfe"
                      "\\par {\\f1 \\'93\\'fa\\'96\\'7b}\\tab \\u-10179?\\u-8694?\\line "
                      "{\\field{\\*\\fldinst HYPERLINK \"http://x\"}{\\fldrslt Link}}"
                      "{\\pict\\pngblip\\picw10 89504e47}{\\header Kopf}\\par\\par}")
        << int(RtfBody::Kind::Text) << QStringLiteral("Schöne Grüße\r\n日本\t😊\r\nLink");
    QTest::newRow("code page 65001 with forms beyond Unicode")
        << QByteArray("{\\rtf1\\ansi\\ansicpg65001 \\'fb\\'96\\'96\\'96\\'96 \\'f4\\'90\\'80\\'80 \\'e2\\'82\\'ac}")
        << int(RtfBody::Kind::Text) << QString(5, QChar(0xFFFD)) + QStringLiteral(" ") + QString(4, QChar(0xFFFD)) + QStringLiteral(" €");
    QTest::newRow("NUL bytes dropped like \\u0")
        << QByteArray("{\\rtf1\\ansi A\\'00B\0C\\u0?D}", 26) << int(RtfBody::Kind::Text) << QStringLiteral("ABCD");
    QTest::newRow("not RTF") << QByteArray("Hello {\\b x}") << int(RtfBody::Kind::None) << QString();
    QTest::newRow("truncated RTF") << QByteArray("{\\rtf1\\ansi Text bis hier\\'f") << int(RtfBody::Kind::Text)
                                   << QStringLiteral("Text bis hier");
}

void TestMimeConverter::rtfBody()
{
    QFETCH(QByteArray, rtf);
    QFETCH(int, kind);
    QFETCH(QString, text);
    const RtfBody b = DecodeRtfBody(rtf.toStdString());
    QCOMPARE(int(b.kind), kind);
    QVERIFY(isValidUtf8(b.text.data(), b.text.size())); // QString would hide invalid forms
    QCOMPARE(QString::fromStdString(b.text), text);
}

QTEST_GUILESS_MAIN(TestMimeConverter)
#include "TestMimeConverter.moc"
