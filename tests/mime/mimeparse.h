// Reading a converted source back with GMime, for the converter tests.
#pragma once

#include <gmime/gmime.h>

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

struct ParsedLeaf {
    QString contentType; // "image/png"
    QString fileName;
    QString contentId;
    QString disposition;
    QString charset;
    QByteArray data; // decoded
};

struct ParsedMessage {
    bool ok = false;
    QString subject;
    QStringList from, to, cc, bcc, replyTo; // "name <address>" as GMime decodes them
    QStringList addresses;                  // every address of to, cc, bcc, lower case
    QStringList names;                      // every display name of to, cc, bcc
    QString dateHeader;                     // raw Date value, "" when absent
    QString messageId;                      // without angle brackets, "" when absent
    QString topType;                        // content type of the body
    QByteArray plain, html;                 // first text/plain and text/html bodies, decoded, UTF-8
    QList<ParsedLeaf> leaves;               // every other part
    QList<ParsedMessage> embedded;          // message/rfc822 parts
    QStringList structure;                  // content types in tree order, nested with '>'
};

namespace mimeparse {

inline QString qs(const char* s) { return s ? QString::fromUtf8(s) : QString(); }

// "type/subtype" of an object (GMime hands out a string the caller frees).
inline QString mimeType(GMimeObject* obj)
{
    char* t = g_mime_content_type_get_mime_type(g_mime_object_get_content_type(obj));
    const QString out = qs(t).toLower();
    g_free(t);
    return out;
}

inline QByteArray decoded(GMimePart* part)
{
    GMimeDataWrapper* w = g_mime_part_get_content(part);
    if (!w)
        return {};
    GMimeStream* mem = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(w, mem);
    GByteArray* a = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
    QByteArray out(reinterpret_cast<const char*>(a->data), qsizetype(a->len));
    g_object_unref(mem);
    return out;
}

inline void addresses(InternetAddressList* list, QStringList& shown, ParsedMessage& m, bool recipients)
{
    for (int i = 0; list && i < internet_address_list_length(list); ++i) {
        InternetAddress* ia = internet_address_list_get_address(list, i);
        const QString name = qs(internet_address_get_name(ia));
        QString addr;
        if (INTERNET_ADDRESS_IS_MAILBOX(ia)) {
            addr = qs(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia)));
            shown << (name + QStringLiteral(" <") + addr + QLatin1Char('>'));
        } else {
            shown << name + QStringLiteral(":;"); // a group: its members are not listed here
        }
        if (recipients) {
            m.addresses << addr.toLower();
            m.names << name;
        }
    }
}

ParsedMessage fromMessage(GMimeMessage* msg);

inline void walk(GMimeObject* obj, ParsedMessage& m, const QString& prefix)
{
    const QString type = mimeType(obj);
    m.structure << prefix + type;
    if (GMIME_IS_MULTIPART(obj)) {
        GMimeMultipart* mp = GMIME_MULTIPART(obj);
        for (int i = 0; i < g_mime_multipart_get_count(mp); ++i)
            walk(g_mime_multipart_get_part(mp, i), m, prefix + type + QLatin1Char('>'));
        return;
    }
    if (GMIME_IS_MESSAGE_PART(obj)) {
        if (GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj)))
            m.embedded << fromMessage(inner);
        return;
    }
    if (!GMIME_IS_PART(obj))
        return;
    GMimePart* part = GMIME_PART(obj);
    ParsedLeaf leaf;
    leaf.contentType = type;
    leaf.fileName = qs(g_mime_part_get_filename(part));
    leaf.contentId = qs(g_mime_part_get_content_id(part));
    leaf.disposition = qs(g_mime_object_get_disposition(obj));
    leaf.charset = qs(g_mime_object_get_content_type_parameter(obj, "charset"));
    leaf.data = decoded(part);
    const bool attachment = leaf.disposition.compare(QLatin1String("attachment"), Qt::CaseInsensitive) == 0 ||
                            !leaf.fileName.isEmpty();
    if (!attachment && type == QLatin1String("text/plain") && m.plain.isNull())
        m.plain = leaf.data.isNull() ? QByteArray("") : leaf.data;
    else if (!attachment && type == QLatin1String("text/html") && m.html.isNull())
        m.html = leaf.data.isNull() ? QByteArray("") : leaf.data;
    else
        m.leaves << leaf;
}

inline ParsedMessage fromMessage(GMimeMessage* msg)
{
    ParsedMessage m;
    m.ok = true;
    m.subject = qs(g_mime_message_get_subject(msg));
    addresses(g_mime_message_get_from(msg), m.from, m, false);
    addresses(g_mime_message_get_to(msg), m.to, m, true);
    addresses(g_mime_message_get_cc(msg), m.cc, m, true);
    addresses(g_mime_message_get_bcc(msg), m.bcc, m, true);
    addresses(g_mime_message_get_reply_to(msg), m.replyTo, m, false);
    m.dateHeader = qs(g_mime_object_get_header(GMIME_OBJECT(msg), "Date"));
    m.messageId = qs(g_mime_message_get_message_id(msg));
    if (GMimeObject* body = g_mime_message_get_mime_part(msg)) {
        m.topType = mimeType(body);
        walk(body, m, QString());
    }
    return m;
}

inline ParsedMessage parse(const QByteArray& source)
{
    static const bool initialised = [] {
        g_mime_init();
        return true;
    }();
    (void)initialised;
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(source.constData(), size_t(source.size()));
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* msg = g_mime_parser_construct_message(parser, nullptr);
    ParsedMessage m;
    if (msg) {
        m = fromMessage(msg);
        g_object_unref(msg);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    return m;
}

// RTF that leaked into a body: a control word such as \par, \rtf1, \fonttbl, \'e4.
inline bool hasRtfControlWords(const QByteArray& text)
{
    static const char* const words[] = {"\\rtf", "\\par", "\\fonttbl", "\\pard", "\\f0", "\\htmlrtf", "\\'", "\\fs", "\\cf"};
    for (const char* w : words)
        if (text.contains(w))
            return true;
    return false;
}

} // namespace mimeparse
