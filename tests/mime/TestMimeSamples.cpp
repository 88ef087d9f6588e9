// Every message of the real sample files, converted and read back with GMime, against what
// pffexport exports for the same message: subject, recipients (Bcc included), body text, every
// attachment byte for byte, embedded messages with their own content.
#include "bytes.h"
#include "mimeconverter.h"
#include "mimeparse.h"
#include "../outlook/storewalk.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>

namespace {

QString sample(const QString& relative) { return QDir(qEnvironmentVariable("KELVOR_TESTDATA")).filePath(relative); }

QString normalized(QString s)
{
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    while (s.endsWith(QLatin1Char('\0')))
        s.chop(1);
    return s.trimmed();
}

QString oneLine(const QString& s) { return s.simplified(); }

// "Name:\t\t\tvalue" lines of pffexport's text files.
QString field(const QString& text, const QString& name)
{
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(name + QLatin1Char(':'))) {
            QString v = line.mid(name.size() + 1);
            while (v.startsWith(QLatin1Char('\t')))
                v.remove(0, 1);
            return v.trimmed();
        }
    }
    return {};
}

QString readText(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

struct ExportedRecipient {
    QString name, address, addressType, type;
};

QList<ExportedRecipient> exportedRecipients(const QString& dir)
{
    QList<ExportedRecipient> out;
    const QString text = readText(dir + QStringLiteral("/Recipients.txt"));
    for (const QString& block : text.split(QStringLiteral("\n\n"), Qt::SkipEmptyParts)) {
        ExportedRecipient r;
        r.name = field(block, QStringLiteral("Display name"));
        r.address = field(block, QStringLiteral("Email address"));
        r.addressType = field(block, QStringLiteral("Address type"));
        r.type = field(block, QStringLiteral("Recipient type"));
        if (!r.name.isEmpty() || !r.address.isEmpty())
            out << r;
    }
    return out;
}

const QRegularExpression kItemDir(QStringLiteral("^[A-Za-z]+([0-9]{5})$"));

// Compares one converted message with its pffexport directory; embedded messages recursively.
// Whether an RTF body holds any visible text: letters outside the tables and ignorable groups.
bool rtfHasText(const QByteArray& rtf)
{
    static const QRegularExpression skippedGroup(QStringLiteral("^\\{\\\\(\\*|fonttbl|colortbl|stylesheet|info|pict)"));
    static const QRegularExpression word(QStringLiteral("^\\\\([a-z]+-?[0-9]* ?|'[0-9a-f]{2}|.)"));
    const QString text = QString::fromLatin1(rtf);
    int skipDepth = 0, depth = 0, letters = 0;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('{')) {
            ++depth;
            if (!skipDepth && skippedGroup.match(QStringView(text).mid(i)).hasMatch())
                skipDepth = depth;
        } else if (c == QLatin1Char('}')) {
            if (skipDepth == depth)
                skipDepth = 0;
            --depth;
        } else if (c == QLatin1Char('\\')) {
            const auto m = word.match(QStringView(text).mid(i));
            if (m.hasMatch()) {
                i += int(m.capturedLength()) - 1;
                if (!skipDepth && m.captured(1).startsWith(QLatin1Char('\'')) && ++letters >= 3)
                    return true;
            }
        } else if (!skipDepth && c.isLetter() && ++letters >= 3) {
            return true;
        }
    }
    return false;
}

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The original header block of a received message, read with GMime.
ParsedMessage parsedTransportHeaders(QByteArray headers)
{
    const qsizetype first = headers.indexOf(':');
    const qsizetype lineStart = first < 0 ? 0 : headers.lastIndexOf('\n', first) + 1;
    headers = headers.mid(lineStart);
    return mimeparse::parse(headers + "\r\n\r\n");
}

void compareWithExport(const ParsedMessage& m, const QString& dir, const QString& where, const QByteArray& transportHeaders,
                       QStringList& problems)
{
    auto problem = [&](const QString& what) { problems << where + QStringLiteral(": ") + what; };
    if (!m.ok) {
        problem(QStringLiteral("GMime cannot parse the source"));
        return;
    }
    QString headers = readText(dir + QStringLiteral("/OutlookHeaders.txt"));
    if (headers.isEmpty()) // appointments, meetings, ...: "<Type>.txt"
        headers = readText(dir + QLatin1Char('/') + QFileInfo(dir).fileName().left(QFileInfo(dir).fileName().size() - 5) +
                           QStringLiteral(".txt"));
    const QString subject = field(headers, QStringLiteral("Subject"));
    if (!subject.isEmpty() && oneLine(m.subject) != oneLine(subject))
        problem(QStringLiteral("subject \"%1\", expected \"%2\"").arg(m.subject, subject));

    // A received message keeps its original header block; its addresses are those of that block
    // (a report names other recipients than its recipient table).
    const bool transport = !transportHeaders.trimmed().isEmpty();
    if (transport) {
        const ParsedMessage original = parsedTransportHeaders(transportHeaders);
        for (const QString& a : original.addresses)
            if (!m.addresses.contains(a))
                problem(QStringLiteral("address %1 of the original header missing").arg(a));
    }
    for (const ExportedRecipient& r : transport ? QList<ExportedRecipient>() : exportedRecipients(dir)) {
        const bool smtp = r.addressType.compare(QLatin1String("SMTP"), Qt::CaseInsensitive) == 0 &&
                          r.address.contains(QLatin1Char('@'));
        const bool found = smtp ? m.addresses.contains(r.address.toLower())
                                : (m.names.contains(r.name) || m.addresses.contains(r.name.toLower()));
        if (!found)
            problem(QStringLiteral("recipient %1 <%2> (%3) missing from %4").arg(r.name, r.address, r.type, (m.to + m.cc + m.bcc).join(QLatin1Char('|'))));
        if (r.type == QLatin1String("BCC") || r.type == QLatin1String("Bcc")) {
            bool inBcc = false;
            for (const QString& b : m.bcc)
                inBcc = inBcc || (smtp ? b.contains(r.address, Qt::CaseInsensitive) : b.contains(r.name));
            if (!inBcc)
                problem(QStringLiteral("Bcc recipient %1 not in Bcc").arg(r.name));
        }
    }
    for (const QString& a : m.addresses + QStringList(m.from))
        if (a.startsWith(QLatin1Char('/')) || a.contains(QLatin1String("</")))
            problem(QStringLiteral("X.500 name used as an address: ") + a);

    // Bodies: the plain text exactly; an RTF-only body readable, without RTF syntax.
    const bool hasText = QFile::exists(dir + QStringLiteral("/Message.txt"));
    const bool hasHtml = QFile::exists(dir + QStringLiteral("/Message.html"));
    const bool hasRtf = QFile::exists(dir + QStringLiteral("/Message.rtf"));
    if (hasText) {
        const QString want = normalized(readText(dir + QStringLiteral("/Message.txt")));
        const QString got = normalized(QString::fromUtf8(m.plain));
        if (got != want && !(m.plain.isNull() && !want.isEmpty() && !m.html.isEmpty()))
            problem(QStringLiteral("plain body differs: got %1 chars, expected %2").arg(got.size()).arg(want.size()));
    }
    if (hasHtml && m.html.isNull())
        problem(QStringLiteral("HTML body missing"));
    if (hasHtml && !m.html.isNull()) {
        QFile f(dir + QStringLiteral("/Message.html"));
        f.open(QIODevice::ReadOnly);
        QByteArray want = f.readAll();
        while (want.endsWith('\0'))
            want.chop(1);
        // Stored HTML in another charset arrives as UTF-8: compare where the bytes are plain ASCII.
        bool ascii = true;
        for (char c : want)
            ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        if (ascii && m.html != want)
            problem(QStringLiteral("HTML body differs"));
    }
    if (hasRtf && !hasText && !hasHtml && rtfHasText(readBytes(dir + QStringLiteral("/Message.rtf")))) {
        if (m.plain.trimmed().isEmpty() && m.html.trimmed().isEmpty())
            problem(QStringLiteral("RTF-only body is empty"));
    }
    if (mimeparse::hasRtfControlWords(m.plain) || mimeparse::hasRtfControlWords(m.html))
        problem(QStringLiteral("RTF control words in the body"));

    // Attachments: "<n>_<name>" files and "Attachment<n>" folders of embedded messages.
    const QString attDir = dir + QStringLiteral("/Attachments");
    int embeddedSeen = 0;
    const auto entries = QDir(attDir).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& fi : entries) {
        if (fi.isDir()) {
            QString inner;
            for (const QString& e : QDir(fi.filePath()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
                if (kItemDir.match(e).hasMatch())
                    inner = fi.filePath() + QLatin1Char('/') + e;
            if (inner.isEmpty())
                continue;
            QString innerHeaders = readText(inner + QStringLiteral("/OutlookHeaders.txt"));
            if (innerHeaders.isEmpty())
                innerHeaders = readText(inner + QLatin1Char('/') + QFileInfo(inner).fileName().left(QFileInfo(inner).fileName().size() - 5) +
                                        QStringLiteral(".txt"));
            const QString innerSubject = field(innerHeaders, QStringLiteral("Subject"));
            const ParsedMessage* match = nullptr;
            for (const ParsedMessage& e : m.embedded)
                if (oneLine(e.subject) == oneLine(innerSubject))
                    match = &e;
            if (!match) {
                problem(QStringLiteral("embedded message \"%1\" missing").arg(innerSubject));
                continue;
            }
            ++embeddedSeen;
            compareWithExport(*match, inner, where + QStringLiteral(" > ") + innerSubject,
                              readBytes(inner + QStringLiteral("/InternetHeaders.txt")), problems);
            continue;
        }
        const QString name = fi.fileName().section(QLatin1Char('_'), 1);
        QFile f(fi.filePath());
        f.open(QIODevice::ReadOnly);
        const QByteArray want = f.readAll();
        bool found = false, sameName = false;
        for (const ParsedLeaf& l : m.leaves) {
            if (l.data == want) {
                found = true;
                sameName = sameName || l.fileName == name || name.startsWith(QLatin1String("Attachment"));
            }
        }
        if (!found)
            problem(QStringLiteral("attachment %1 (%2 bytes) missing or changed").arg(fi.fileName()).arg(want.size()));
        else if (!sameName)
            problem(QStringLiteral("attachment %1 has another name").arg(fi.fileName()));
    }
    if (embeddedSeen != m.embedded.size())
        problem(QStringLiteral("%1 embedded messages, pffexport has %2").arg(m.embedded.size()).arg(embeddedSeen));
}

// The export directory of the store's top folder (pffexport starts at the root folder): of the
// directories with its name, the one that holds most of its subfolders (an OST has two "IPM_SUBTREE").
QString findTopExport(const QString& exportRoot, const QString& topName, const QStringList& children)
{
    QString best;
    int bestScore = -1;
    QDirIterator it(exportRoot, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString d = it.next();
        if (QFileInfo(d).fileName() != topName || QDir(exportRoot).relativeFilePath(d).count(QLatin1Char('/')) >= 2)
            continue;
        int score = 0;
        for (const QString& c : children)
            score += QFileInfo(d + QLatin1Char('/') + c).isDir() ? 1 : 0;
        if (score > bestScore) {
            best = d;
            bestScore = score;
        }
    }
    return best;
}

// Message-Ids of one file, with where each was seen.
using SeenIds = QMap<QString, QStringList>;

void convertFolder(xmapi::Folder& folder, const QString& exportDir, const QString& where, int& messages,
                   SeenIds& ids, QStringList& problems)
{
    const auto rows = allRows(folder, {PR_ENTRYID});
    QMap<int, QString> itemDirs;
    for (const QString& e : QDir(exportDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const auto match = kItemDir.match(e);
        if (match.hasMatch() && !e.startsWith(QLatin1String("Folder")))
            itemDirs[match.captured(1).toInt()] = e;
    }
    if (int(rows.size()) != itemDirs.size())
        problems << where + QStringLiteral(": %1 messages, pffexport has %2").arg(rows.size()).arg(itemDirs.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::uint32_t type = 0;
        std::unique_ptr<xmapi::MapiProp> obj;
        if (xmapi::failed(folder.OpenEntry(rows[i][0].bin, 0, type, obj)))
            continue;
        auto msg = xmapi::objectCast<xmapi::Message>(std::move(obj));
        if (!msg)
            continue;
        QByteArray mime;
        const std::int32_t hr = ConvertMessageToMime(*msg, mime);
        const QString here = where + QStringLiteral("/#%1").arg(i + 1);
        if (xmapi::failed(hr)) {
            problems << here + QStringLiteral(": not converted (%1)").arg(xmapi::bytes::hexOf(hr));
            continue;
        }
        ++messages;
        const ParsedMessage parsed = mimeparse::parse(mime);
        if (parsed.messageId.isEmpty())
            problems << here + QStringLiteral(": no Message-Id");
        ids[parsed.messageId] << here;
        const QString dir = exportDir + QLatin1Char('/') + itemDirs.value(int(i) + 1);
        if (!itemDirs.contains(int(i) + 1))
            continue;
        xmapi::PropValue transport;
        const bool hasTransport = xmapi::HrGetOneProp(*msg, PR_TRANSPORT_MESSAGE_HEADERS_W, transport) == S_OK;
        compareWithExport(parsed, dir, here,
                          hasTransport ? QByteArray::fromStdString(transport.str) : QByteArray(), problems);
    }
    QStringList seen;
    int position = 0;
    for (const auto& r : allRows(folder, {PR_DISPLAY_NAME_W, PR_ENTRYID}, true)) {
        ++position;
        QString name = qs(r[0].str);
        if (seen.contains(name))
            name = QStringLiteral("Folder%1").arg(position, 5, 10, QLatin1Char('0'));
        seen << qs(r[0].str);
        if (auto child = openFolder(folder, r[1].bin))
            convertFolder(*child, exportDir + QLatin1Char('/') + name, where + QLatin1Char('/') + name, messages,
                          ids, problems);
    }
}

} // namespace

class TestMimeSamples : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(sample(QStringLiteral("mail/Outlook.pst"))),
                 "sample files not found: KELVOR_TESTDATA must name testdata/pst");
        QVERIFY2(QProcess::execute(QStringLiteral("pffexport"), {QStringLiteral("-V")}) == 0,
                 "pffexport is not installed");
        qputenv("TZ", "Europe/Berlin");
        tzset();
        QVERIFY(xmapi::succeeded(xmapi::MAPIInitialize()));
        xmapi::setLogSink([](xmapi::LogLevel, const std::string&) {});
    }
    void cleanupTestCase() { xmapi::MAPIUninitialize(); }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("minMessages");
        QTest::addColumn<QString>("codepage");
        QTest::newRow("Outlook.pst") << QStringLiteral("mail/Outlook.pst") << 16 << QString();
        QTest::newRow("testPST.pst") << QStringLiteral("mail/testPST.pst") << 7 << QString();
        QTest::newRow("variousBodyTypes") << QStringLiteral("mail/testPST_variousBodyTypes.pst") << 4 << QString();
        QTest::newRow("200_recipients") << QStringLiteral("mail/200_recipients.pst") << 1 << QString();
        QTest::newRow("alpha-beta-gamma-delta") << QStringLiteral("mail/alpha-beta-gamma-delta.pst") << 1 << QString();
        QTest::newRow("attachAndInline") << QStringLiteral("mail/attachAndInline.pst") << 1 << QString();
        QTest::newRow("msgInMsg") << QStringLiteral("mail/msgInMsg.pst") << 1 << QString();
        QTest::newRow("sample1") << QStringLiteral("mail/sample1.pst") << 1 << QString();
        QTest::newRow("submessage") << QStringLiteral("mail/submessage.pst") << 1 << QString();
        QTest::newRow("SampleOstFile.ost") << QStringLiteral("calendar/SampleOstFile.ost") << 92 << QString();
        QTest::newRow("Chunks__Test_part1") << QStringLiteral("calendar/Chunks__Test_part1.pst") << 49 << QString();
        QTest::newRow("dist-list") << QStringLiteral("calendar/dist-list.pst") << 3 << QString();
        QTest::newRow("ansi sample2") << QStringLiteral("ansi/sample2.pst") << 1 << QStringLiteral("windows-1252");
        QTest::newRow("ansi 32-bit") << QStringLiteral("ansi/32-bit.pst") << 1 << QStringLiteral("windows-1252");
    }

    void roundTrip()
    {
        QFETCH(QString, file);
        QFETCH(int, minMessages);
        QFETCH(QString, codepage);
        QTemporaryDir tmp;
        QStringList args{QStringLiteral("-q"), QStringLiteral("-f"), QStringLiteral("all"), QStringLiteral("-t"),
                         tmp.filePath(QStringLiteral("x"))};
        if (!codepage.isEmpty())
            args << QStringLiteral("-c") << codepage;
        QProcess p;
        p.start(QStringLiteral("pffexport"), args << sample(file));
        QVERIFY(p.waitForFinished(120000));
        const QString exportRoot = tmp.filePath(QStringLiteral("x.export"));
        QVERIFY2(QFileInfo(exportRoot).isDir(), "pffexport wrote nothing");

        std::unique_ptr<xmapi::Session> session;
        QVERIFY(xmapi::succeeded(xmapi::logonPstFiles({sample(file).toStdString()}, session)));
        auto stores = openStores(*session);
        QCOMPARE(stores.size(), std::size_t(1));
        xmapi::PropValue topName;
        QVERIFY(xmapi::succeeded(xmapi::HrGetOneProp(*stores[0].top, PR_DISPLAY_NAME_W, topName)));
        QStringList children;
        for (const auto& r : allRows(*stores[0].top, {PR_DISPLAY_NAME_W}, true))
            children << qs(r[0].str);
        const QString top = findTopExport(exportRoot, qs(topName.str), children);
        QVERIFY2(!top.isEmpty(), qPrintable(qs(topName.str)));

        int messages = 0;
        QStringList problems;
        SeenIds ids;
        convertFolder(*stores[0].top, top, QString(), messages, ids, problems);
        // Two messages share an id only as copies of one received message, which carries it; an id
        // made up for a message without one is its own.
        for (auto it = ids.cbegin(); it != ids.cend(); ++it)
            if (it.value().size() > 1 && (it.key().isEmpty() || it.key().endsWith(QLatin1String("@kelvor.invalid"))))
                problems << QStringLiteral("Message-Id <%1> made up for %2 messages: %3")
                                .arg(it.key())
                                .arg(it.value().size())
                                .arg(it.value().join(QLatin1Char(' ')));
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
        QVERIFY2(messages >= minMessages, qPrintable(QString::number(messages)));
    }
};

QTEST_GUILESS_MAIN(TestMimeSamples)
#include "TestMimeSamples.moc"
