#include "mimeconverter.h"

#include "bytes.h"
#include "charsets.h"
#include "rtfbody.h"

#include <gio/gio.h>
#include <gmime/gmime.h>

#include <QCryptographicHash>
#include <QDebug>
#include <QTimeZone>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace {

using xmapi::bytes::hexOf;

// ---- GObject ownership ------------------------------------------------------------------------

struct GObjectDeleter {
    void operator()(gpointer p) const
    {
        if (p)
            g_object_unref(p);
    }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectDeleter>;

struct GFreeDeleter {
    void operator()(gpointer p) const { g_free(p); }
};
using GString_ = std::unique_ptr<char, GFreeDeleter>;

struct FormatOptionsDeleter {
    void operator()(GMimeFormatOptions* p) const { g_mime_format_options_free(p); }
};
struct ParserOptionsDeleter {
    void operator()(GMimeParserOptions* p) const { g_mime_parser_options_free(p); }
};

void initGMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

// Embedded messages inside embedded messages: deeper ones are left out.
constexpr int kMaxDepth = 8;

// ---- properties ---------------------------------------------------------------------------

enum Prop {
    Subject,
    TransportHeaders,
    SenderName,
    SenderEmail,
    SenderAddrType,
    SenderSmtp,
    SentReprName,
    SentReprEmail,
    SentReprAddrType,
    SentReprSmtp,
    SubmitTime,
    DeliveryTime,
    CreationTime,
    MessageId,
    InReplyTo,
    References,
    ReplyEntries,
    Importance,
    SearchKey,
    EntryId,
    StoreRecordKey,
    DisplayTo,
    DisplayCc,
    DisplayBcc,
    PropCount
};

const std::vector<xmapi::PropTag>& propTags()
{
    static const std::vector<xmapi::PropTag> tags = {
        PROP_TAG(PT_UNICODE, 0x0037), PROP_TAG(PT_UNICODE, 0x007D), PROP_TAG(PT_UNICODE, 0x0C1A),
        PROP_TAG(PT_UNICODE, 0x0C1F), PROP_TAG(PT_UNICODE, 0x0C1E), PROP_TAG(PT_UNICODE, 0x5D01),
        PROP_TAG(PT_UNICODE, 0x0042), PROP_TAG(PT_UNICODE, 0x0065), PROP_TAG(PT_UNICODE, 0x0064),
        PROP_TAG(PT_UNICODE, 0x5D02), PROP_TAG(PT_SYSTIME, 0x0039), PROP_TAG(PT_SYSTIME, 0x0E06),
        PROP_TAG(PT_SYSTIME, 0x3007), PROP_TAG(PT_UNICODE, 0x1035), PROP_TAG(PT_UNICODE, 0x1042),
        PROP_TAG(PT_UNICODE, 0x1039), PROP_TAG(PT_BINARY, 0x004F),  PROP_TAG(PT_LONG, 0x0017),
        PROP_TAG(PT_BINARY, 0x300B),  PROP_TAG(PT_BINARY, 0x0FFF),  PR_STORE_RECORD_KEY,
        PR_DISPLAY_TO_W,              PR_DISPLAY_CC_W,              PR_DISPLAY_BCC_W,
    };
    return tags;
}

struct Props {
    std::vector<xmapi::PropValue> v;
    bool has(Prop p) const { return !v[p].isError(); }
    std::string str(Prop p) const { return has(p) ? v[p].str : std::string(); }
    std::uint64_t time(Prop p) const { return has(p) ? v[p].ft.ticks : 0; }
};

// ---- addresses ----------------------------------------------------------------------------

bool looksLikeSmtp(const std::string& a)
{
    return !a.empty() && a.front() != '/' && a.find('@') != std::string::npos && a.find(' ') == std::string::npos;
}

std::string trimmed(const std::string& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && g_ascii_isspace(s[b]))
        ++b;
    while (e > b && g_ascii_isspace(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// `text` when it is exactly one Internet address, "local@domain" or "<local@domain>" (also in the
// quotes Outlook puts around a typed address), else empty. Outlook 97 keeps an address typed into
// "To" as the entry's display name only.
std::string addressInName(const std::string& text)
{
    std::string a = trimmed(text);
    if (a.size() >= 2 && (a.front() == '\'' || a.front() == '"') && a.back() == a.front())
        a = trimmed(a.substr(1, a.size() - 2));
    if (a.size() >= 2 && a.front() == '<' && a.back() == '>')
        a = trimmed(a.substr(1, a.size() - 2));
    const auto at = a.find('@');
    if (at == std::string::npos || at == 0 || at + 1 == a.size() || a.find('@', at + 1) != std::string::npos)
        return {};
    for (char c : a) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= ' ' || u >= 127 || std::strchr("<>()[],;:\\\"", c))
            return {};
    }
    const std::string domain = a.substr(at + 1);
    if (domain.front() == '.' || domain.back() == '.' || domain.find("..") != std::string::npos)
        return {};
    for (char c : domain)
        if (!g_ascii_isalnum(c) && c != '-' && c != '.')
            return {};
    return a;
}

// The Internet address of an entry: its SMTP address property, else its address when that is one.
// An Exchange entry's X.500 distinguished name is never an Internet address.
std::string internetAddress(const std::string& smtp, const std::string& addrType, const std::string& address)
{
    if (looksLikeSmtp(smtp))
        return smtp;
    if ((addrType.empty() || g_ascii_strcasecmp(addrType.c_str(), "SMTP") == 0) && looksLikeSmtp(address))
        return address;
    return {};
}

void addMailbox(InternetAddressList* list, const std::string& name, const std::string& address)
{
    if (name.empty() && address.empty())
        return;
    // An entry without Internet address (an Exchange user whose SMTP address the store does not
    // know) keeps its name as an empty group, "Name:;": valid, and no made-up address.
    if (address.empty()) {
        GPtr<InternetAddress> group(internet_address_group_new(name.c_str()));
        internet_address_set_charset(group.get(), "utf-8");
        internet_address_list_add(list, group.get());
        return;
    }
    // A display name that only repeats the address adds nothing.
    const std::string shown =
        g_ascii_strcasecmp(addressInName(name).c_str(), address.c_str()) == 0 ? std::string() : name;
    GPtr<InternetAddress> ia(internet_address_mailbox_new(shown.empty() ? nullptr : shown.c_str(), address.c_str()));
    internet_address_set_charset(ia.get(), "utf-8");
    internet_address_list_add(list, ia.get());
}

// Reply-To comes as a FLATENTRYLIST of one-off entry ids: count, size, then per entry its size and
// the entry (flags, provider uid, version, flags, then display name, address type and address as
// zero-terminated strings, UTF-16 when flag 0x8000 is set), each entry padded to 4 bytes.
struct OneOff {
    std::string name, type, address;
};

std::vector<OneOff> parseFlatEntryList(const xmapi::Bytes& b)
{
    static const std::uint8_t oneOffUid[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                               0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
    auto le32 = [&](std::size_t o) { return xmapi::bytes::le32(b.data() + o); };
    std::vector<OneOff> out;
    if (b.size() < 8)
        return out;
    const std::uint32_t count = le32(0);
    std::size_t pos = 8;
    for (std::uint32_t i = 0; i < count && i < 1000 && pos + 4 <= b.size(); ++i) {
        const std::uint32_t size = le32(pos);
        const std::size_t start = pos + 4;
        if (size > b.size() - start)
            break;
        const std::size_t end = start + size;
        pos = start + ((size + 3) & ~3u);
        if (size < 24 || !std::equal(oneOffUid, oneOffUid + 16, b.begin() + static_cast<std::ptrdiff_t>(start + 4)))
            continue;
        const bool wide = xmapi::bytes::le16(b.data() + start + 22) & 0x8000;
        std::size_t p = start + 24;
        auto next = [&]() {
            std::string s;
            if (wide) {
                std::size_t q = p;
                while (q + 1 < end && (b[q] || b[q + 1]))
                    q += 2;
                std::vector<gunichar2> units;
                for (std::size_t k = p; k + 1 < end && k < q; k += 2)
                    units.push_back(xmapi::bytes::le16(b.data() + k));
                GString_ text(g_utf16_to_utf8(units.data(), static_cast<glong>(units.size()), nullptr, nullptr, nullptr));
                if (text)
                    s = text.get();
                p = std::min(end, q + 2);
            } else {
                std::size_t q = p;
                while (q < end && b[q])
                    ++q;
                appendAsUtf8(reinterpret_cast<const char*>(b.data() + p), q - p, "CP1252", s);
                p = std::min(end, q + 1);
            }
            return s;
        };
        OneOff o;
        o.name = next();
        o.type = next();
        o.address = next();
        out.push_back(std::move(o));
    }
    return out;
}

// ---- dates ----------------------------------------------------------------------------------

constexpr std::uint64_t kTicksPerSecond = 10000000ull;
constexpr std::uint64_t kEpochTicks = 116444736000000000ull; // 1970-01-01 in FILETIME ticks

// FILETIMEs at or beyond 4500-08-31 mean "no date" in Outlook.
bool isRealTime(std::uint64_t ticks) { return ticks != 0 && ticks < 0x0CB5000000000000ull; }

QByteArray dateValue(std::uint64_t ticks)
{
    const QByteArray line = MakeDateHeader(QDateTime::fromSecsSinceEpoch(DeliveryTimeToTime(xmapi::FileTime{ticks}), QTimeZone::systemTimeZone()));
    return line.mid(6).trimmed();
}

// ---- parts --------------------------------------------------------------------------------

GPtr<GMimeDataWrapper> wrapperOf(GByteArray* bytes)
{
    // The stream owns `bytes`.
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(bytes));
    return GPtr<GMimeDataWrapper>(g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
}

GByteArray* byteArrayOf(const char* data, std::size_t size)
{
    GByteArray* a = g_byte_array_sized_new(static_cast<guint>(size));
    if (size)
        g_byte_array_append(a, reinterpret_cast<const guint8*>(data), static_cast<guint>(size));
    return a;
}

GPtr<GMimeObject> textPart(const char* subtype, const std::string& text, const char* charset = "utf-8")
{
    GPtr<GMimeTextPart> part(g_mime_text_part_new_with_subtype(subtype));
    GByteArray* bytes = nullptr;
    if (g_ascii_strcasecmp(charset, "utf-8") == 0 && !isValidUtf8(text.data(), text.size())) {
        // What the part declares must hold: bodies stored as UTF-8 are not trusted to be valid.
        std::string valid;
        appendValidUtf8(text.data(), text.size(), valid);
        bytes = byteArrayOf(valid.data(), valid.size());
    } else {
        bytes = byteArrayOf(text.data(), text.size());
    }
    g_mime_part_set_content(GMIME_PART(part.get()), wrapperOf(bytes).get());
    g_mime_text_part_set_charset(part.get(), charset);
    g_mime_part_set_content_encoding(GMIME_PART(part.get()), GMIME_CONTENT_ENCODING_BASE64);
    return GPtr<GMimeObject>(GMIME_OBJECT(part.release()));
}

bool isMimeType(const std::string& t)
{
    const auto slash = t.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == t.size())
        return false;
    for (char c : t)
        if (c <= ' ' || c >= 127 || c == ';' || c == '"' || c == ',')
            return false;
    return true;
}

std::string guessMimeType(const std::string& fileName, const xmapi::Bytes& data)
{
    gboolean uncertain = FALSE;
    GString_ type(g_content_type_guess(fileName.empty() ? nullptr : fileName.c_str(), data.data(),
                                       std::min<std::size_t>(data.size(), 4096), &uncertain));
    if (!type)
        return "application/octet-stream";
    GString_ mime(g_content_type_get_mime_type(type.get()));
    std::string m = mime ? mime.get() : "";
    if (!isMimeType(m) || m == "application/x-zerosize")
        return "application/octet-stream";
    return m;
}

std::string lowerAscii(std::string s)
{
    for (char& c : s)
        c = g_ascii_tolower(c);
    return s;
}

std::string stripAngles(std::string id)
{
    while (!id.empty() && (id.front() == '<' || id.front() == ' '))
        id.erase(0, 1);
    while (!id.empty() && (id.back() == '>' || id.back() == ' '))
        id.pop_back();
    return id;
}

std::string extensionOf(const std::string& name)
{
    const auto dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : lowerAscii(name.substr(dot + 1));
}

// The name an attachment is sent with: its long file name. A store that kept only the 8.3 short
// name, shortened by a "~" ("BERICH~1.DOC"), keeps the long one as the display name, which is then
// taken when it names the same kind of file.
std::string attachmentName(const xmapi::AttachmentInfo& a)
{
    const bool onlyShort =
        a.fileName.empty() || (a.fileName == a.shortFileName && a.shortFileName.find('~') != std::string::npos);
    if (onlyShort && !a.displayName.empty() &&
        (a.fileName.empty() || extensionOf(a.displayName) == extensionOf(a.fileName)))
        return a.displayName;
    return !a.fileName.empty() ? a.fileName : a.displayName;
}

// ---- the message --------------------------------------------------------------------------

class Builder {
public:
    // `parent`: the identity of the message that holds this one as an attachment, and the
    // attachment's position ("" for a message of a folder).
    Builder(int depth, std::string parent) : m_depth(depth), m_parent(std::move(parent)) {}

    // Null (with `hr` set) when the message's data cannot be read.
    GPtr<GMimeMessage> build(xmapi::Message& message, std::int32_t& hr);

private:
    GPtr<GMimeMessage> headersFromTransport(const std::string& headers);
    void propertyHeaders(GMimeMessage* msg, bool completing);
    void addRecipients(GMimeMessage* msg, int type, bool completing);
    std::string identity() const;
    GPtr<GMimeObject> body(xmapi::Message& message, std::int32_t& hr);

    // The Internet address of an entry: its own (see internetAddress); for an Exchange entry
    // without SMTP address property the one that another entry of the same message gives for the
    // same distinguished name; last, its display name when that is an address.
    std::string addressOf(const std::string& smtp, const std::string& addrType, const std::string& address,
                          const std::string& name) const
    {
        std::string a = internetAddress(smtp, addrType, address);
        if (a.empty() && !address.empty()) {
            auto it = m_knownSmtp.find(lowerAscii(address));
            if (it != m_knownSmtp.end())
                a = it->second;
        }
        if (a.empty())
            a = addressInName(name);
        return a;
    }
    void learnSmtp(const std::string& smtp, const std::string& address)
    {
        if (looksLikeSmtp(smtp) && !address.empty() && address.front() == '/')
            m_knownSmtp.emplace(lowerAscii(address), smtp);
    }

    int m_depth;
    std::string m_parent;
    std::string m_identity;
    Props m_props;
    std::vector<xmapi::Recipient> m_recipients;
    std::map<std::string, std::string> m_knownSmtp;
};

GPtr<GMimeMessage> Builder::build(xmapi::Message& message, std::int32_t& hr)
{
    hr = message.GetProps(propTags(), MAPI_UNICODE, m_props.v);
    if (xmapi::failed(hr))
        return nullptr;
    m_props.v.resize(PropCount, xmapi::PropValue::error(0, MAPI_E_NOT_FOUND));
    hr = message.GetRecipients(m_recipients);
    if (xmapi::failed(hr))
        return nullptr;
    // Header texts are written as UTF-8: a back-end's strings are not trusted to be valid.
    for (auto& v : m_props.v)
        makeValidUtf8(v.str);
    for (auto& r : m_recipients)
        for (std::string* text : {&r.displayName, &r.addressType, &r.emailAddress, &r.smtpAddress})
            makeValidUtf8(*text);
    for (const auto& r : m_recipients)
        learnSmtp(r.smtpAddress, r.emailAddress);
    learnSmtp(m_props.str(SenderSmtp), m_props.str(SenderEmail));
    learnSmtp(m_props.str(SentReprSmtp), m_props.str(SentReprEmail));
    m_identity = identity();

    GPtr<GMimeObject> part = body(message, hr);
    if (!part)
        return nullptr;

    GPtr<GMimeMessage> msg;
    const std::string transport = m_props.str(TransportHeaders);
    if (!transport.empty())
        msg = headersFromTransport(transport);
    const bool completing = msg != nullptr;
    if (!msg)
        msg.reset(g_mime_message_new(FALSE));
    propertyHeaders(msg.get(), completing);
    g_mime_message_set_mime_part(msg.get(), part.get());
    hr = S_OK;
    return msg;
}

// What tells this message apart from every other one of its store, and never changes for it: the
// entry id and the store's record key, with the search key, creation time and subject where the
// message has them (a copy keeps the search key, so that alone is not enough), and for an embedded
// message the identity of its holder and its position there. Hashed into the Message-Id of a
// message without one, so that the same message gets the same id in every run.
std::string Builder::identity() const
{
    QCryptographicHash h(QCryptographicHash::Sha1);
    auto add = [&h](const char* label, const void* data, std::size_t size) {
        // Label and length first, so that no two sets of fields hash alike.
        h.addData(QByteArrayView(label));
        h.addData(QByteArray::number(static_cast<qulonglong>(size)) + ':');
        h.addData(QByteArrayView(static_cast<const char*>(data), static_cast<qsizetype>(size)));
    };
    auto addBinary = [&](const char* label, Prop p) {
        if (m_props.has(p))
            add(label, m_props.v[p].bin.data(), m_props.v[p].bin.size());
    };
    add("parent", m_parent.data(), m_parent.size());
    addBinary("entry", EntryId);
    addBinary("store", StoreRecordKey);
    addBinary("search", SearchKey);
    if (m_props.has(CreationTime)) {
        const std::uint64_t ticks = m_props.time(CreationTime);
        add("created", &ticks, sizeof ticks);
    }
    if (m_props.has(Subject))
        add("subject", m_props.v[Subject].str.data(), m_props.v[Subject].str.size());
    return h.result().toHex().left(32).toStdString();
}

// The original header block of a received message. Lines before the first header field (Outlook
// puts "Microsoft Mail Internet Headers Version 2.0" there) and anything after the first blank
// line are dropped; the MIME structure headers belong to the old body and are replaced.
GPtr<GMimeMessage> Builder::headersFromTransport(const std::string& headers)
{
    std::string block;
    block.reserve(headers.size() + 4);
    bool started = false;
    bool dropping = false; // inside a dropped field, including its folded lines
    std::size_t pos = 0;
    while (pos < headers.size()) {
        std::size_t eol = headers.find('\n', pos);
        std::string line = headers.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
        pos = eol == std::string::npos ? headers.size() : eol + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        if (line.empty()) {
            if (started)
                break;
            continue;
        }
        if (continuation) {
            if (started && !dropping)
                block += line + "\r\n";
            continue;
        }
        const auto colon = line.find(':');
        bool field = colon != std::string::npos && colon > 0;
        for (std::size_t i = 0; field && i < colon; ++i)
            field = line[i] > ' ' && line[i] < 127;
        if (!field) {
            dropping = true;
            continue;
        }
        started = true;
        const std::string name = lowerAscii(line.substr(0, colon));
        dropping = name.compare(0, 8, "content-") == 0 || name == "mime-version";
        if (!dropping)
            block += line + "\r\n";
    }
    if (!started)
        return nullptr;
    block += "\r\n";
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(block.data(), block.size()));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    std::unique_ptr<GMimeParserOptions, ParserOptionsDeleter> options(g_mime_parser_options_new());
    GPtr<GMimeMessage> msg(g_mime_parser_construct_message(parser.get(), options.get()));
    return msg;
}

// Recipients of one type (MAPI_TO, MAPI_CC, MAPI_BCC) from the recipient table; when the table has
// none of that type, the names of the message's display list (PR_DISPLAY_TO and its kin), which
// some stores keep without table entries. When completing a header block, only for a type that
// the block lacks.
void Builder::addRecipients(GMimeMessage* msg, int type, bool completing)
{
    const GMimeAddressType t = type == MAPI_CC    ? GMIME_ADDRESS_TYPE_CC
                               : type == MAPI_BCC ? GMIME_ADDRESS_TYPE_BCC
                                                  : GMIME_ADDRESS_TYPE_TO;
    InternetAddressList* list = g_mime_message_get_addresses(msg, t);
    if (completing && internet_address_list_length(list) > 0)
        return;
    bool any = false;
    for (const auto& r : m_recipients) {
        if (r.type & 0x10000000) // a resend copy, not a recipient of this message
            continue;
        const int rt = (r.type & 0x0F) == MAPI_CC || (r.type & 0x0F) == MAPI_BCC ? (r.type & 0x0F) : MAPI_TO;
        if (rt != type)
            continue;
        any = true;
        addMailbox(list, r.displayName, addressOf(r.smtpAddress, r.addressType, r.emailAddress, r.displayName));
    }
    if (any)
        return;
    const std::string shown = m_props.str(type == MAPI_CC ? DisplayCc : type == MAPI_BCC ? DisplayBcc : DisplayTo);
    std::size_t pos = 0;
    while (pos < shown.size()) {
        std::size_t end = shown.find(';', pos);
        if (end == std::string::npos)
            end = shown.size();
        const std::string name = trimmed(shown.substr(pos, end - pos));
        if (!name.empty())
            addMailbox(list, name, addressInName(name));
        pos = end + 1;
    }
}

// Headers made from the properties: all of them for a message without header block; when
// `completing` a reused header block, those that it lacks (a block may hold no more than a
// Received line, as on mail moved in from other clients).
void Builder::propertyHeaders(GMimeMessage* msg, bool completing)
{
    GMimeObject* obj = GMIME_OBJECT(msg);
    const Props& p = m_props;
    auto lacks = [&](const char* name) { return !completing || !g_mime_object_get_header(obj, name); };

    // From is whom the message was sent for; Sender who sent it, when that is someone else.
    if (lacks("From")) {
        const bool addSender = lacks("Sender");
        const std::string senderAddr =
            addressOf(p.str(SenderSmtp), p.str(SenderAddrType), p.str(SenderEmail), p.str(SenderName));
        std::string reprAddr =
            addressOf(p.str(SentReprSmtp), p.str(SentReprAddrType), p.str(SentReprEmail), p.str(SentReprName));
        // A representing entry kept by name alone (drafts, mail sent as oneself) that names the
        // sender is the sender, address included.
        if (reprAddr.empty() && g_ascii_strcasecmp(p.str(SentReprName).c_str(), p.str(SenderName).c_str()) == 0)
            reprAddr = senderAddr;
        const bool haveRepr = !p.str(SentReprName).empty() || !reprAddr.empty();
        InternetAddressList* from = g_mime_message_get_addresses(msg, GMIME_ADDRESS_TYPE_FROM);
        if (haveRepr)
            addMailbox(from, p.str(SentReprName), reprAddr);
        else
            addMailbox(from, p.str(SenderName), senderAddr);
        if (addSender && haveRepr && !senderAddr.empty() &&
            g_ascii_strcasecmp(senderAddr.c_str(), reprAddr.c_str()) != 0)
            addMailbox(g_mime_message_get_addresses(msg, GMIME_ADDRESS_TYPE_SENDER), p.str(SenderName), senderAddr);
    }

    if (p.has(ReplyEntries) && lacks("Reply-To")) {
        InternetAddressList* replyTo = g_mime_message_get_addresses(msg, GMIME_ADDRESS_TYPE_REPLY_TO);
        for (const OneOff& o : parseFlatEntryList(p.v[ReplyEntries].bin))
            addMailbox(replyTo, o.name, addressOf({}, o.type, o.address, o.name));
    }

    addRecipients(msg, MAPI_TO, completing);
    addRecipients(msg, MAPI_CC, completing);
    addRecipients(msg, MAPI_BCC, completing);

    if (lacks("Subject") && (!completing || !p.str(Subject).empty()))
        g_mime_message_set_subject(msg, p.str(Subject).c_str(), "utf-8");

    const std::uint64_t t = isRealTime(p.time(SubmitTime)) ? p.time(SubmitTime) : p.time(DeliveryTime);
    if (isRealTime(t) && lacks("Date"))
        g_mime_object_set_header(obj, "Date", dateValue(t).constData(), nullptr);

    if (lacks("Message-Id")) {
        std::string id = stripAngles(p.str(MessageId));
        if (id.empty())
            id = m_identity + "@kelvor.invalid";
        g_mime_message_set_message_id(msg, id.c_str());
    }
    if (!p.str(InReplyTo).empty() && lacks("In-Reply-To"))
        g_mime_object_set_header(obj, "In-Reply-To", p.str(InReplyTo).c_str(), nullptr);
    if (!p.str(References).empty() && lacks("References"))
        g_mime_object_set_header(obj, "References", p.str(References).c_str(), nullptr);
    if (!completing && p.has(Importance) && p.v[Importance].l != 1) {
        const bool high = p.v[Importance].l > 1;
        g_mime_object_set_header(obj, "Importance", high ? "high" : "low", nullptr);
        g_mime_object_set_header(obj, "X-Priority", high ? "1" : "5", nullptr);
    }
    g_mime_object_set_header(obj, "MIME-Version", "1.0", nullptr);
}

GPtr<GMimeObject> Builder::body(xmapi::Message& message, std::int32_t& hr)
{
    xmapi::MessageBodies bodies;
    hr = message.GetBodies(bodies);
    if (xmapi::failed(hr))
        return nullptr;

    // Text bodies, both as UTF-8 where their charset is known.
    std::string plain, html;
    bool hasPlain = bodies.hasPlain, hasHtml = false;
    const char* htmlCharset = "utf-8";
    plain = std::move(bodies.plain);
    if (bodies.hasHtml) {
        hasHtml = true;
        const char* cs = charsetOfCodePage(bodies.htmlCodePage);
        if (!cs)
            cs = isValidUtf8(bodies.html.data(), bodies.html.size()) ? "UTF-8" : "CP1252";
        if (g_ascii_strcasecmp(cs, "UTF-8") == 0 || !appendAsUtf8(bodies.html.data(), bodies.html.size(), cs, html)) {
            html = std::move(bodies.html);
            if (g_ascii_strcasecmp(cs, "UTF-8") != 0)
                htmlCharset = cs;
        }
    }
    if (bodies.hasRtf && (!hasHtml || !hasPlain)) {
        RtfBody rtf = DecodeRtfBody(bodies.rtf);
        if (rtf.kind == RtfBody::Kind::Html && !hasHtml) {
            hasHtml = true;
            html = std::move(rtf.text);
        } else if (rtf.kind == RtfBody::Kind::Text && !hasPlain && !hasHtml) {
            hasPlain = true;
            plain = std::move(rtf.text);
        }
    }
    bodies = xmapi::MessageBodies();

    std::vector<xmapi::AttachmentInfo> attachments;
    hr = message.GetAttachments(attachments);
    if (xmapi::failed(hr))
        return nullptr;

    // Inline images travel with the HTML that references them.
    const std::string htmlLower = hasHtml ? lowerAscii(html) : std::string();
    std::vector<bool> isInline(attachments.size(), false);
    for (std::size_t i = 0; i < attachments.size(); ++i) {
        const auto& a = attachments[i];
        const std::string cid = stripAngles(a.contentId);
        isInline[i] = hasHtml && a.method != ATTACH_EMBEDDED_MSG && a.hasData && !cid.empty() &&
                      htmlLower.find("cid:" + lowerAscii(cid)) != std::string::npos;
    }

    auto filePart = [&](xmapi::AttachmentInfo& a, bool inlined) {
        const std::string name = attachmentName(a);
        std::string type = lowerAscii(a.mimeType);
        if (!isMimeType(type) || type == "application/octet-stream")
            type = guessMimeType(name, a.data);
        const auto slash = type.find('/');
        GPtr<GMimePart> part(g_mime_part_new_with_type(type.substr(0, slash).c_str(), type.substr(slash + 1).c_str()));
        GByteArray* bytes = byteArrayOf(reinterpret_cast<const char*>(a.data.data()), a.data.size());
        xmapi::Bytes().swap(a.data); // one copy of the data at a time
        g_mime_part_set_content(part.get(), wrapperOf(bytes).get());
        g_mime_object_set_disposition(GMIME_OBJECT(part.get()), inlined ? "inline" : "attachment");
        if (!name.empty())
            g_mime_part_set_filename(part.get(), name.c_str());
        if (!stripAngles(a.contentId).empty())
            g_mime_part_set_content_id(part.get(), stripAngles(a.contentId).c_str());
        g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
        return GPtr<GMimeObject>(GMIME_OBJECT(part.release()));
    };

    GPtr<GMimeObject> htmlObj;
    if (hasHtml) {
        htmlObj = textPart("html", html, htmlCharset);
        std::string().swap(html);
        if (std::find(isInline.begin(), isInline.end(), true) != isInline.end()) {
            GPtr<GMimeMultipart> related(g_mime_multipart_new_with_subtype("related"));
            g_mime_object_set_content_type_parameter(GMIME_OBJECT(related.get()), "type", "text/html");
            g_mime_multipart_add(related.get(), htmlObj.get());
            for (std::size_t i = 0; i < attachments.size(); ++i)
                if (isInline[i])
                    g_mime_multipart_add(related.get(), filePart(attachments[i], true).get());
            htmlObj.reset(GMIME_OBJECT(related.release()));
        }
    }
    GPtr<GMimeObject> text;
    if (hasPlain && htmlObj) {
        GPtr<GMimeMultipart> alt(g_mime_multipart_new_with_subtype("alternative"));
        g_mime_multipart_add(alt.get(), textPart("plain", plain).get());
        g_mime_multipart_add(alt.get(), htmlObj.get());
        text.reset(GMIME_OBJECT(alt.release()));
    } else if (htmlObj) {
        text = std::move(htmlObj);
    } else {
        text = textPart("plain", plain);
    }
    std::string().swap(plain);

    // The rest of the attachments.
    std::vector<GPtr<GMimeObject>> parts;
    const QString subject = QString::fromStdString(m_props.str(Subject));
    for (std::size_t i = 0; i < attachments.size(); ++i) {
        if (isInline[i])
            continue;
        auto& a = attachments[i];
        if (a.method == ATTACH_EMBEDDED_MSG) {
            if (m_depth + 1 >= kMaxDepth) {
                qWarning().noquote() << QStringLiteral("Embedded message %1 of \"%2\" is nested too deeply and is left out")
                                            .arg(i)
                                            .arg(subject);
                continue;
            }
            std::unique_ptr<xmapi::Message> inner;
            std::int32_t innerHr = message.OpenEmbeddedMessage(i, inner);
            GPtr<GMimeMessage> innerMsg;
            if (xmapi::succeeded(innerHr) && inner)
                innerMsg = Builder(m_depth + 1, m_identity + "/" + std::to_string(i)).build(*inner, innerHr);
            if (!innerMsg) {
                qWarning().noquote() << QStringLiteral("Embedded message %1 of \"%2\" cannot be read (%3) and is left out")
                                            .arg(i)
                                            .arg(subject, hexOf(innerHr));
                continue;
            }
            GPtr<GMimeMessagePart> mp(g_mime_message_part_new_with_message("rfc822", innerMsg.get()));
            const std::string name = attachmentName(a);
            g_mime_object_set_disposition(GMIME_OBJECT(mp.get()), "attachment");
            if (!name.empty())
                g_mime_object_set_content_disposition_parameter(GMIME_OBJECT(mp.get()), "filename", name.c_str());
            parts.emplace_back(GMIME_OBJECT(mp.release()));
            continue;
        }
        if (!a.hasData) {
            qWarning().noquote() << QStringLiteral("Attachment %1 (\"%2\") of \"%3\" carries no data and is left out")
                                        .arg(i)
                                        .arg(QString::fromStdString(attachmentName(a)),
                                             subject);
            continue;
        }
        parts.push_back(filePart(a, false));
    }
    if (parts.empty())
        return text;
    GPtr<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
    g_mime_multipart_add(mixed.get(), text.get());
    for (auto& p : parts)
        g_mime_multipart_add(mixed.get(), p.get());
    return GPtr<GMimeObject>(GMIME_OBJECT(mixed.release()));
}

} // namespace

std::int32_t ConvertMessageToMime(xmapi::Message& message, QByteArray& output)
{
    output.clear();
    initGMime();
    std::int32_t hr = S_OK;
    GPtr<GMimeMessage> msg = Builder(0, {}).build(message, hr);
    if (!msg) {
        if (!xmapi::failed(hr))
            hr = E_FAIL;
        qCritical().noquote() << QStringLiteral("MAPIToMIMEStm failed: ") + hexOf(hr);
        return hr;
    }
    std::unique_ptr<GMimeFormatOptions, FormatOptionsDeleter> options(g_mime_format_options_new());
    g_mime_format_options_set_newline_format(options.get(), GMIME_NEWLINE_FORMAT_DOS);
    GPtr<GMimeStream> stream(g_mime_stream_mem_new());
    if (g_mime_object_write_to_stream(GMIME_OBJECT(msg.get()), options.get(), stream.get()) < 0) {
        qCritical().noquote() << QStringLiteral("Read failed: ") + hexOf(E_FAIL);
        return E_FAIL;
    }
    msg.reset();
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
    output = QByteArray(reinterpret_cast<const char*>(bytes->data), static_cast<qsizetype>(bytes->len));
    return S_OK;
}

std::int64_t DeliveryTimeToTime(const xmapi::FileTime& ft)
{
    if (ft.ticks == 0)
        return 0;
    // Whole seconds, rounded down also before 1970.
    const auto ticks = static_cast<std::int64_t>(ft.ticks) - static_cast<std::int64_t>(kEpochTicks);
    const auto perSecond = static_cast<std::int64_t>(kTicksPerSecond);
    return ticks >= 0 ? ticks / perSecond : -((-ticks + perSecond - 1) / perSecond);
}

QByteArray MakeDateHeader(const QDateTime& t)
{
    QByteArray line("Date: ");
    if (!t.isValid())
        return line;
    static const char* const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDateTime local = t.toTimeZone(QTimeZone::systemTimeZone());
    const QDate d = local.date();
    const QTime tm = local.time();
    const int offset = local.offsetFromUtc() / 60;
    const int absOffset = offset < 0 ? -offset : offset;
    line += QByteArray(days[d.dayOfWeek() - 1]) + ", ";
    line += QByteArray::number(d.day()).rightJustified(2, '0') + ' ';
    line += QByteArray(months[d.month() - 1]) + ' ';
    line += QByteArray::number(d.year()).rightJustified(4, '0') + ' ';
    line += QByteArray::number(tm.hour()).rightJustified(2, '0') + ':' +
            QByteArray::number(tm.minute()).rightJustified(2, '0') + ':' +
            QByteArray::number(tm.second()).rightJustified(2, '0') + ' ';
    line += offset < 0 ? '-' : '+';
    line += QByteArray::number(absOffset / 60).rightJustified(2, '0') +
            QByteArray::number(absOffset % 60).rightJustified(2, '0');
    line += '\n';
    return line;
}

QByteArray DateHeaderOfDeliveryTime(const xmapi::FileTime& ft)
{
    if (!isRealTime(ft.ticks))
        return QByteArrayLiteral("Date: ");
    return MakeDateHeader(QDateTime::fromSecsSinceEpoch(DeliveryTimeToTime(ft), QTimeZone::systemTimeZone()));
}

bool RepairDateHeader(QByteArray& mime, const QByteArray& dateHeader)
{
    const QByteArray value = dateHeader.mid(5).trimmed(); // after "Date:"
    if (!dateHeader.startsWith("Date:") || value.isEmpty())
        return false;
    // Walk the header block line by line; it ends at the first empty line.
    qsizetype messageIdAt = -1;
    qsizetype pos = 0;
    while (pos < mime.size()) {
        qsizetype eol = mime.indexOf('\n', pos);
        if (eol < 0)
            eol = mime.size();
        const QByteArrayView line(mime.constData() + pos, eol - pos);
        if (line.isEmpty() || line == "\r")
            break;
        if (line.size() >= 5 && qstrnicmp(line.data(), "Date:", 5) == 0)
            return false;
        if (messageIdAt < 0 && line.size() >= 11 && qstrnicmp(line.data(), "Message-ID:", 11) == 0)
            messageIdAt = pos;
        pos = eol + 1;
    }
    if (messageIdAt < 0)
        return false;
    const qsizetype eol = mime.indexOf('\n', messageIdAt);
    const bool crlf = eol > 0 && mime.at(eol - 1) == '\r';
    mime.insert(messageIdAt, QByteArray("Date: ") + value + (crlf ? "\r\n" : "\n"));
    return true;
}
