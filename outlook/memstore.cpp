// Memory back-end: stores, folders and items from a JSON fixture (format: FIXTURES.md).
#include "xmapi.h"
#include "xmapi_internal.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QTimeZone>

#include <map>
#include <set>

namespace xmapi::detail {

namespace {

struct MemNode {
    bool isFolder = true;
    std::map<std::uint16_t, PropValue> props; // by property id
    std::vector<std::uint32_t> folders;       // child folder nodes
    std::vector<std::uint32_t> messages;      // message nodes
    std::set<std::string> faults;             // folder: open, hierarchy, setColumns, contents,
                                              //   contentsSetColumns; message: open, read
    HResult faultCode = MAPI_E_CALL_FAILED;
    std::vector<Recipient> recipients;
    std::vector<AttachmentInfo> attachments;
    std::vector<std::int64_t> embedded;       // per attachment: message node or -1
    std::vector<std::uint32_t> generated;     // per attachment: bytes made up when read (0: none)
    bool hasBodyOverride = false;
    MessageBodies bodies;
};

struct MemStore {
    std::string name;
    std::array<std::uint8_t, 16> uid{};
    std::vector<MemNode> nodes; // node 0: the top of the information store
    std::set<std::string> faults; // open, subtreeId, subtree, subtreeNotFolder, names
    HResult faultCode = MAPI_E_CALL_FAILED;
    int namesReturned = -1;       // GetIDsFromNames hands back at most this many tags
    NameMap names;
    std::map<std::uint16_t, PropValue> props;
    bool unlocked = false; // a protected store whose password the user gave
};

struct MemModel {
    std::vector<std::shared_ptr<MemStore>> stores;
    std::set<std::string> faults; // logon, storesTable, storesRows, logoff
    HResult faultCode = MAPI_E_CALL_FAILED;
};

struct LoadError {
    std::string text;
};

bool parseNumber(const QJsonValue& v, std::int64_t& out)
{
    if (v.isDouble()) {
        out = static_cast<std::int64_t>(v.toDouble());
        return true;
    }
    if (v.isString()) {
        bool ok = false;
        const QString s = v.toString().trimmed();
        if (s.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            out = static_cast<std::int64_t>(s.mid(2).toULongLong(&ok, 16));
        else
            out = s.toLongLong(&ok, 10);
        return ok;
    }
    return false;
}

HResult parseCode(const QJsonValue& v, HResult fallback)
{
    std::int64_t n = 0;
    if (parseNumber(v, n))
        return static_cast<HResult>(static_cast<std::uint32_t>(n));
    return fallback;
}

bool parseType(const QJsonValue& v, PropType& out)
{
    static const std::map<QString, PropType> names = {
        {QStringLiteral("PT_SHORT"), PT_SHORT},         {QStringLiteral("PT_LONG"), PT_LONG},
        {QStringLiteral("PT_FLOAT"), PT_FLOAT},         {QStringLiteral("PT_DOUBLE"), PT_DOUBLE},
        {QStringLiteral("PT_BOOLEAN"), PT_BOOLEAN},     {QStringLiteral("PT_I8"), PT_I8},
        {QStringLiteral("PT_STRING8"), PT_STRING8},     {QStringLiteral("PT_UNICODE"), PT_UNICODE},
        {QStringLiteral("PT_SYSTIME"), PT_SYSTIME},     {QStringLiteral("PT_BINARY"), PT_BINARY},
        {QStringLiteral("PT_MV_STRING8"), PT_MV_STRING8}, {QStringLiteral("PT_MV_UNICODE"), PT_MV_UNICODE},
        {QStringLiteral("PT_MV_LONG"), PT_MV_LONG},     {QStringLiteral("PT_ERROR"), PT_ERROR},
        {QStringLiteral("PT_CLSID"), PT_CLSID},         {QStringLiteral("PT_MV_BINARY"), PT_MV_BINARY},
    };
    if (v.isString()) {
        auto it = names.find(v.toString());
        if (it != names.end()) {
            out = it->second;
            return true;
        }
    }
    std::int64_t n = 0;
    if (parseNumber(v, n)) {
        out = static_cast<PropType>(n & 0xFFFF);
        return true;
    }
    return false;
}

Bytes hexBytes(const QString& s)
{
    const QByteArray raw = QByteArray::fromHex(s.toLatin1());
    return Bytes(raw.begin(), raw.end());
}

bool parseTime(const QJsonValue& v, FileTime& out)
{
    std::int64_t n = 0;
    if (v.isDouble() && parseNumber(v, n)) {
        out.ticks = static_cast<std::uint64_t>(n);
        return true;
    }
    if (!v.isString())
        return false;
    const QString s = v.toString().trimmed();
    if (s.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        bool ok = false;
        out.ticks = s.mid(2).toULongLong(&ok, 16);
        return ok;
    }
    QDateTime dt = QDateTime::fromString(s, Qt::ISODateWithMs);
    if (!dt.isValid())
        return false;
    // A time without a zone is UTC, as FILETIMEs are.
    if (!s.endsWith(QLatin1Char('Z')) && !s.contains(QLatin1Char('+')) && s.lastIndexOf(QLatin1Char('-')) <= 9)
        dt = QDateTime(dt.date(), dt.time(), Qt::UTC);
    const qint64 ms = dt.toMSecsSinceEpoch();
    out.ticks = static_cast<std::uint64_t>((ms + 11644473600000LL) * 10000LL);
    return true;
}

std::string decodeString8(const QJsonValue& v)
{
    if (v.isObject()) {
        const QJsonObject o = v.toObject();
        const QByteArray raw = QByteArray::fromHex(o.value(QLatin1String("hex")).toString().toLatin1());
        std::int64_t cp = 1252;
        parseNumber(o.value(QLatin1String("codepage")), cp);
        return decodeCodePage(raw.constData(), static_cast<std::size_t>(raw.size()), static_cast<int>(cp));
    }
    return v.toString().toStdString();
}

bool parseValue(PropTag tag, const QJsonValue& v, PropValue& out, std::string& error)
{
    out = PropValue();
    out.tag = tag;
    std::int64_t n = 0;
    switch (PROP_TYPE(tag)) {
    case PT_SHORT:
    case PT_LONG:
    case PT_ERROR:
        if (!parseNumber(v, n))
            break;
        out.l = static_cast<std::int32_t>(static_cast<std::uint32_t>(n));
        return true;
    case PT_BOOLEAN:
        if (v.isBool()) {
            out.l = v.toBool() ? 1 : 0;
            return true;
        }
        if (!parseNumber(v, n))
            break;
        out.l = n != 0 ? 1 : 0;
        return true;
    case PT_I8:
    case PT_CURRENCY:
        if (!parseNumber(v, n))
            break;
        out.i8 = n;
        return true;
    case PT_FLOAT:
    case PT_DOUBLE:
    case PT_APPTIME:
        if (!v.isDouble())
            break;
        out.dbl = v.toDouble();
        return true;
    case PT_SYSTIME:
        if (!parseTime(v, out.ft))
            break;
        return true;
    case PT_UNICODE:
        if (!v.isString())
            break;
        out.str = v.toString().toStdString();
        return true;
    case PT_STRING8:
        if (!v.isString() && !v.isObject())
            break;
        out.str = decodeString8(v);
        return true;
    case PT_BINARY:
    case PT_CLSID:
        if (!v.isString())
            break;
        out.bin = hexBytes(v.toString());
        return true;
    case PT_MV_STRING8:
    case PT_MV_UNICODE:
        if (!v.isArray())
            break;
        for (const auto& e : v.toArray())
            out.mvStr.push_back(PROP_TYPE(tag) == PT_MV_STRING8 ? decodeString8(e) : e.toString().toStdString());
        return true;
    case PT_MV_LONG:
        if (!v.isArray())
            break;
        for (const auto& e : v.toArray()) {
            parseNumber(e, n);
            out.mvLong.push_back(static_cast<std::int32_t>(n));
        }
        return true;
    case PT_MV_BINARY:
        if (!v.isArray())
            break;
        for (const auto& e : v.toArray())
            out.mvBin.push_back(hexBytes(e.toString()));
        return true;
    default:
        break;
    }
    error = "value of " + hex32(tag) + " does not fit its type";
    return false;
}

std::set<std::string> faultSet(const QJsonValue& v)
{
    std::set<std::string> out;
    if (v.isString())
        out.insert(v.toString().toStdString());
    for (const auto& e : v.toArray())
        out.insert(e.toString().toStdString());
    return out;
}

class Loader {
public:
    explicit Loader(MemStore& store) : m_store(store) {}

    bool parseProps(const QJsonObject& obj, std::map<std::uint16_t, PropValue>& props, std::string& error)
    {
        const QJsonObject p = obj.value(QLatin1String("props")).toObject();
        for (auto it = p.begin(); it != p.end(); ++it) {
            bool ok = false;
            const PropTag tag = it.key().trimmed().mid(2).toUInt(&ok, 16);
            if (!ok || !it.key().trimmed().startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
                error = "property key " + it.key().toStdString() + " is not a hex tag";
                return false;
            }
            PropValue v;
            if (!parseValue(tag, it.value(), v, error))
                return false;
            props[static_cast<std::uint16_t>(PROP_ID(tag))] = std::move(v);
        }
        for (const auto& e : obj.value(QLatin1String("named")).toArray()) {
            const QJsonObject n = e.toObject();
            NamedProp name;
            if (!parseName(n, name, error))
                return false;
            PropType type = PT_UNICODE;
            if (!parseType(n.value(QLatin1String("type")), type)) {
                error = "named property without a valid type";
                return false;
            }
            const std::uint16_t id = idFor(name);
            PropValue v;
            if (!parseValue(PROP_TAG(type, id), n.value(QLatin1String("value")), v, error))
                return false;
            props[id] = std::move(v);
        }
        return true;
    }

    bool parseName(const QJsonObject& n, NamedProp& name, std::string& error)
    {
        if (!Guid::parse(n.value(QLatin1String("guid")).toString().toStdString(), name.guid)) {
            error = "named property with a malformed guid";
            return false;
        }
        std::int64_t id = 0;
        if (n.contains(QLatin1String("name"))) {
            name.kind = NamedProp::Kind::String;
            name.name = n.value(QLatin1String("name")).toString().toStdString();
        } else if (parseNumber(n.value(QLatin1String("id")), id)) {
            name.kind = NamedProp::Kind::Id;
            name.id = static_cast<std::uint32_t>(id);
        } else {
            error = "named property without id or name";
            return false;
        }
        return true;
    }

    std::uint16_t idFor(const NamedProp& name)
    {
        int id = m_store.names.find(name);
        if (id >= 0)
            return static_cast<std::uint16_t>(id);
        const auto fresh = static_cast<std::uint16_t>(0x8000 + m_store.names.size());
        m_store.names.add(name, fresh);
        return fresh;
    }

    bool parseMessage(const QJsonObject& obj, std::uint32_t& index, std::string& error)
    {
        index = static_cast<std::uint32_t>(m_store.nodes.size());
        m_store.nodes.emplace_back();
        MemNode node;
        node.isFolder = false;
        if (!parseProps(obj, node.props, error))
            return false;
        node.faults = faultSet(obj.value(QLatin1String("fail")));
        node.faultCode = parseCode(obj.value(QLatin1String("failCode")), MAPI_E_CALL_FAILED);
        for (const auto& e : obj.value(QLatin1String("recipients")).toArray()) {
            const QJsonObject r = e.toObject();
            Recipient rec;
            const QJsonValue t = r.value(QLatin1String("type"));
            const QString ts = t.toString();
            std::int64_t tn = MAPI_TO;
            if (ts.compare(QLatin1String("Cc"), Qt::CaseInsensitive) == 0)
                tn = MAPI_CC;
            else if (ts.compare(QLatin1String("Bcc"), Qt::CaseInsensitive) == 0)
                tn = MAPI_BCC;
            else if (!ts.isEmpty() && ts.compare(QLatin1String("To"), Qt::CaseInsensitive) != 0)
                parseNumber(t, tn);
            else if (t.isDouble())
                parseNumber(t, tn);
            rec.type = static_cast<std::int32_t>(tn);
            rec.displayName = r.value(QLatin1String("name")).toString().toStdString();
            rec.emailAddress = r.value(QLatin1String("address")).toString().toStdString();
            rec.addressType = r.value(QLatin1String("addressType")).toString(QStringLiteral("SMTP")).toStdString();
            rec.smtpAddress = r.value(QLatin1String("smtp")).toString().toStdString();
            node.recipients.push_back(std::move(rec));
        }
        for (const auto& e : obj.value(QLatin1String("attachments")).toArray()) {
            const QJsonObject a = e.toObject();
            AttachmentInfo att;
            att.shortFileName = a.value(QLatin1String("shortFileName")).toString().toStdString();
            att.fileName = a.value(QLatin1String("fileName")).toString(QString::fromStdString(att.shortFileName)).toStdString();
            att.displayName = a.value(QLatin1String("displayName")).toString().toStdString();
            att.mimeType = a.value(QLatin1String("mimeType")).toString().toStdString();
            att.contentId = a.value(QLatin1String("contentId")).toString().toStdString();
            att.hidden = a.value(QLatin1String("hidden")).toBool();
            std::int64_t f = 0;
            if (parseNumber(a.value(QLatin1String("flags")), f))
                att.flags = static_cast<std::int32_t>(f);
            if (a.contains(QLatin1String("text"))) {
                const QByteArray t = a.value(QLatin1String("text")).toString().toUtf8();
                att.data.assign(t.begin(), t.end());
                att.hasData = true;
            } else if (a.contains(QLatin1String("base64"))) {
                const QByteArray t = QByteArray::fromBase64(a.value(QLatin1String("base64")).toString().toLatin1());
                att.data.assign(t.begin(), t.end());
                att.hasData = true;
            }
            std::int64_t generated = 0;
            if (parseNumber(a.value(QLatin1String("generated")), generated) && generated > 0) {
                if (generated > 0x7FFFFFFF) {
                    error = "generated attachment larger than 2 GiB";
                    return false;
                }
                att.hasData = true;
            }
            std::int64_t method = ATTACH_BY_VALUE;
            if (parseNumber(a.value(QLatin1String("method")), method))
                att.method = static_cast<std::int32_t>(method);
            std::int64_t embedded = -1;
            if (a.contains(QLatin1String("message"))) {
                att.method = ATTACH_EMBEDDED_MSG;
                std::uint32_t sub = 0;
                if (!parseMessage(a.value(QLatin1String("message")).toObject(), sub, error))
                    return false;
                embedded = sub;
            }
            node.attachments.push_back(std::move(att));
            node.embedded.push_back(embedded);
            node.generated.push_back(static_cast<std::uint32_t>(generated));
        }
        m_store.nodes[index] = std::move(node);
        return true;
    }

    bool parseFolder(const QJsonObject& obj, std::uint32_t index, std::string& error)
    {
        MemNode node;
        node.isFolder = true;
        if (!parseProps(obj, node.props, error))
            return false;
        if (obj.contains(QLatin1String("name")))
            node.props[PROP_ID(PR_DISPLAY_NAME_W)].tag = PR_DISPLAY_NAME_W,
                node.props[PROP_ID(PR_DISPLAY_NAME_W)].str = obj.value(QLatin1String("name")).toString().toStdString();
        const QJsonValue cls = obj.value(QLatin1String("class"));
        if (cls.isString()) {
            PropValue v;
            v.tag = PR_CONTAINER_CLASS_W;
            v.str = cls.toString().toStdString();
            node.props[PROP_ID(PR_CONTAINER_CLASS_W)] = v;
        }
        node.faults = faultSet(obj.value(QLatin1String("fail")));
        node.faultCode = parseCode(obj.value(QLatin1String("failCode")), MAPI_E_CALL_FAILED);
        for (const auto& e : obj.value(QLatin1String("items")).toArray()) {
            std::uint32_t msg = 0;
            if (!parseMessage(e.toObject(), msg, error))
                return false;
            node.messages.push_back(msg);
        }
        const QJsonValue count = obj.value(QLatin1String("count"));
        if (!count.isNull()) {
            std::int64_t n = static_cast<std::int64_t>(node.messages.size());
            parseNumber(count, n);
            PropValue v;
            v.tag = PR_CONTENT_COUNT;
            v.l = static_cast<std::int32_t>(n);
            node.props[PROP_ID(PR_CONTENT_COUNT)] = v;
        }
        for (const auto& e : obj.value(QLatin1String("folders")).toArray()) {
            const auto child = static_cast<std::uint32_t>(m_store.nodes.size());
            m_store.nodes.emplace_back();
            if (!parseFolder(e.toObject(), child, error))
                return false;
            node.folders.push_back(child);
        }
        m_store.nodes[index] = std::move(node);
        return true;
    }

private:
    MemStore& m_store;
};

bool loadModel(const QByteArray& json, MemModel& model, std::string& error)
{
    QJsonParseError pe{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &pe);
    if (doc.isNull() || !doc.isObject()) {
        error = "not a JSON object: " + pe.errorString().toStdString() + " at offset " + std::to_string(pe.offset);
        return false;
    }
    const QJsonObject root = doc.object();
    model.faults = faultSet(root.value(QLatin1String("fail")));
    model.faultCode = parseCode(root.value(QLatin1String("failCode")), MAPI_E_CALL_FAILED);
    int index = 0;
    for (const auto& e : root.value(QLatin1String("stores")).toArray()) {
        const QJsonObject s = e.toObject();
        auto store = std::make_shared<MemStore>();
        store->name = s.value(QLatin1String("name")).toString().toStdString();
        const char tagText[] = "KELVORMEMSTORE";
        for (int i = 0; i < 14; ++i)
            store->uid[i] = static_cast<std::uint8_t>(tagText[i]);
        store->uid[14] = static_cast<std::uint8_t>(index >> 8);
        store->uid[15] = static_cast<std::uint8_t>(index);
        store->faults = faultSet(s.value(QLatin1String("fail")));
        store->faultCode = parseCode(s.value(QLatin1String("failCode")), MAPI_E_CALL_FAILED);
        std::int64_t n = -1;
        if (parseNumber(s.value(QLatin1String("namesReturned")), n))
            store->namesReturned = static_cast<int>(n);
        Loader loader(*store);
        for (const auto& ne : s.value(QLatin1String("names")).toArray()) {
            NamedProp name;
            if (!loader.parseName(ne.toObject(), name, error))
                return false;
            loader.idFor(name);
        }
        QJsonObject top = s.value(QLatin1String("root")).toObject();
        if (!s.contains(QLatin1String("root"))) {
            top.insert(QLatin1String("name"), QStringLiteral("Top of Personal Folders"));
            top.insert(QLatin1String("folders"), s.value(QLatin1String("folders")));
            top.insert(QLatin1String("items"), s.value(QLatin1String("items")));
        }
        store->nodes.emplace_back();
        if (!loader.parseFolder(top, 0, error)) {
            error = "store " + store->name + ": " + error;
            return false;
        }
        if (!loader.parseProps(s, store->props, error))
            return false;
        model.stores.push_back(std::move(store));
        ++index;
    }
    return true;
}

// ---- objects ----------------------------------------------------------------------------------

HResult getPropsOf(const std::map<std::uint16_t, PropValue>& props, const std::vector<PropTag>& tags,
                   std::vector<PropValue>& values)
{
    values.clear();
    bool missing = false;
    for (PropTag t : tags) {
        auto it = props.find(static_cast<std::uint16_t>(PROP_ID(t)));
        values.push_back(pickValue(it == props.end() ? nullptr : &it->second, t));
        missing = missing || values.back().isError();
    }
    return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HResult resolveNames(MemStore& store, const std::vector<NamedProp>& names, std::uint32_t flags,
                     std::vector<PropTag>& tags)
{
    if (store.faults.count("names"))
        return store.faultCode;
    HResult hr = store.names.resolve(names, flags, tags);
    if (succeeded(hr) && store.namesReturned >= 0 && tags.size() > static_cast<std::size_t>(store.namesReturned))
        tags.resize(static_cast<std::size_t>(store.namesReturned));
    return hr;
}

// Properties every node answers without the fixture naming them.
std::map<std::uint16_t, PropValue> nodeProps(const MemStore& store, std::uint32_t index)
{
    std::map<std::uint16_t, PropValue> props = store.nodes[index].props;
    PropValue id;
    id.tag = PR_ENTRYID;
    id.bin = makeEntryId(store.uid, index);
    props[PROP_ID(PR_ENTRYID)] = id;
    PropValue storeKey;
    storeKey.tag = PR_STORE_RECORD_KEY;
    storeKey.bin.assign(store.uid.begin(), store.uid.end());
    props[PROP_ID(PR_STORE_RECORD_KEY)] = storeKey;
    if (!store.nodes[index].isFolder && !props.count(PROP_ID(PR_MESSAGE_CLASS_W))) {
        PropValue cls;
        cls.tag = PR_MESSAGE_CLASS_W;
        cls.str = "IPM.Note";
        props[PROP_ID(PR_MESSAGE_CLASS_W)] = cls;
    }
    return props;
}

HResult openEntry(const std::shared_ptr<MemStore>& store, const EntryId& entryId, std::uint32_t& objType,
                  std::unique_ptr<MapiProp>& object);

class MemMessage : public Message {
public:
    MemMessage(std::shared_ptr<MemStore> store, std::uint32_t node) : m_store(std::move(store)), m_node(node) {}

    HResult GetProps(const std::vector<PropTag>& tags, std::uint32_t, std::vector<PropValue>& values) override
    {
        return getPropsOf(nodeProps(*m_store, m_node), tags, values);
    }
    HResult GetIDsFromNames(const std::vector<NamedProp>& names, std::uint32_t flags,
                            std::vector<PropTag>& tags) override
    {
        return resolveNames(*m_store, names, flags, tags);
    }
    HResult GetRecipients(std::vector<Recipient>& recipients) override
    {
        recipients = node().recipients;
        return S_OK;
    }
    HResult GetBodies(MessageBodies& bodies) override
    {
        bodies = MessageBodies();
        const auto props = nodeProps(*m_store, m_node);
        if (auto it = props.find(PROP_ID(PR_BODY_W)); it != props.end()) {
            bodies.hasPlain = true;
            bodies.plain = it->second.str;
        }
        if (auto it = props.find(0x1013); it != props.end()) { // PR_HTML
            bodies.hasHtml = true;
            bodies.html = it->second.type() == PT_BINARY ? std::string(it->second.bin.begin(), it->second.bin.end())
                                                          : it->second.str;
            bodies.htmlCodePage = 65001;
            if (auto cp = props.find(PROP_ID(PR_INTERNET_CPID)); cp != props.end())
                bodies.htmlCodePage = cp->second.l;
        }
        if (auto it = props.find(0x1009); it != props.end()) { // PR_RTF_COMPRESSED (fixtures hold it plain)
            bodies.hasRtf = true;
            bodies.rtf = it->second.type() == PT_BINARY ? std::string(it->second.bin.begin(), it->second.bin.end())
                                                         : it->second.str;
        }
        return S_OK;
    }
    HResult GetAttachments(std::vector<AttachmentInfo>& attachments) override
    {
        attachments = node().attachments;
        for (std::size_t i = 0; i < attachments.size() && i < node().generated.size(); ++i) {
            if (node().generated[i] == 0)
                continue;
            // Incompressible bytes, the same on every read of this attachment.
            std::uint32_t x = 2463534242u ^ (m_node * 2654435761u) ^ static_cast<std::uint32_t>(i + 1);
            if (x == 0)
                x = 1;
            attachments[i].data.resize(node().generated[i]);
            for (auto& byte : attachments[i].data) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                byte = static_cast<std::uint8_t>(x);
            }
        }
        return S_OK;
    }
    HResult OpenEmbeddedMessage(std::size_t index, std::unique_ptr<Message>& message) override
    {
        message.reset();
        if (index >= node().embedded.size() || node().embedded[index] < 0)
            return MAPI_E_NOT_FOUND;
        message = std::make_unique<MemMessage>(m_store, static_cast<std::uint32_t>(node().embedded[index]));
        return S_OK;
    }

private:
    const MemNode& node() const { return m_store->nodes[m_node]; }
    std::shared_ptr<MemStore> m_store;
    std::uint32_t m_node;
};

class MemFolder : public Folder {
public:
    MemFolder(std::shared_ptr<MemStore> store, std::uint32_t node) : m_store(std::move(store)), m_node(node) {}

    HResult GetProps(const std::vector<PropTag>& tags, std::uint32_t, std::vector<PropValue>& values) override
    {
        return getPropsOf(nodeProps(*m_store, m_node), tags, values);
    }
    HResult GetIDsFromNames(const std::vector<NamedProp>& names, std::uint32_t flags,
                            std::vector<PropTag>& tags) override
    {
        return resolveNames(*m_store, names, flags, tags);
    }
    HResult GetHierarchyTable(std::uint32_t, std::unique_ptr<Table>& table) override
    {
        table.reset();
        const MemNode& n = m_store->nodes[m_node];
        if (n.faults.count("hierarchy"))
            return n.faultCode;
        auto store = m_store;
        auto children = n.folders;
        table = std::make_unique<LazyTable>(
            children.size(), std::vector<PropTag>{PR_DISPLAY_NAME_W, PR_ENTRYID},
            [store, children](std::size_t i, const std::vector<PropTag>& cols, Row& row, bool&) {
                return getPropsOf(nodeProps(*store, children[i]), cols, row) < 0 ? E_FAIL : S_OK;
            },
            n.faults.count("setColumns") ? n.faultCode : S_OK);
        return S_OK;
    }
    HResult GetContentsTable(std::uint32_t, std::unique_ptr<Table>& table) override
    {
        table.reset();
        const MemNode& n = m_store->nodes[m_node];
        if (n.faults.count("contents"))
            return n.faultCode;
        auto store = m_store;
        auto messages = n.messages;
        table = std::make_unique<LazyTable>(
            messages.size(), std::vector<PropTag>{PR_ENTRYID, PR_SUBJECT_W, PR_MESSAGE_CLASS_W},
            [store, messages](std::size_t i, const std::vector<PropTag>& cols, Row& row, bool& skip) {
                if (store->nodes[messages[i]].faults.count("read")) {
                    log(LogLevel::Warning, "Item " + std::to_string(i) + " of the folder cannot be read; skipped");
                    skip = true;
                    return S_OK;
                }
                return getPropsOf(nodeProps(*store, messages[i]), cols, row) < 0 ? E_FAIL : S_OK;
            },
            n.faults.count("contentsSetColumns") ? n.faultCode : S_OK);
        return S_OK;
    }
    HResult OpenEntry(const EntryId& entryId, std::uint32_t, std::uint32_t& objType,
                      std::unique_ptr<MapiProp>& object) override
    {
        return openEntry(m_store, entryId, objType, object);
    }

private:
    std::shared_ptr<MemStore> m_store;
    std::uint32_t m_node;
};

HResult openEntry(const std::shared_ptr<MemStore>& store, const EntryId& entryId, std::uint32_t& objType,
                  std::unique_ptr<MapiProp>& object)
{
    object.reset();
    objType = 0;
    std::uint32_t node = 0;
    if (!parseEntryId(entryId, store->uid, node) || node >= store->nodes.size())
        return MAPI_E_INVALID_ENTRYID;
    const MemNode& n = store->nodes[node];
    if (n.faults.count("open"))
        return n.faultCode;
    if (n.isFolder) {
        objType = MAPI_FOLDER;
        object = std::make_unique<MemFolder>(store, node);
    } else {
        objType = MAPI_MESSAGE;
        object = std::make_unique<MemMessage>(store, node);
    }
    return S_OK;
}

class MemMsgStore : public MsgStore {
public:
    explicit MemMsgStore(std::shared_ptr<MemStore> store) : m_store(std::move(store)) {}

    HResult GetProps(const std::vector<PropTag>& tags, std::uint32_t, std::vector<PropValue>& values) override
    {
        std::map<std::uint16_t, PropValue> props = m_store->props;
        PropValue name;
        name.tag = PR_DISPLAY_NAME_W;
        name.str = m_store->name;
        props[PROP_ID(PR_DISPLAY_NAME_W)] = name;
        if (!props.count(PROP_ID(PR_RECORD_KEY))) {
            PropValue key;
            key.tag = PR_RECORD_KEY;
            key.bin.assign(m_store->uid.begin(), m_store->uid.end());
            props[PROP_ID(PR_RECORD_KEY)] = key;
        }
        if (!m_store->faults.count("subtreeId")) {
            PropValue top;
            top.tag = PR_IPM_SUBTREE_ENTRYID;
            // "subtreeNotFolder": the id leads to a message (the first one of the store).
            std::uint32_t target = 0;
            if (m_store->faults.count("subtreeNotFolder")) {
                for (std::uint32_t i = 0; i < m_store->nodes.size(); ++i)
                    if (!m_store->nodes[i].isFolder) {
                        target = i;
                        break;
                    }
            }
            top.bin = makeEntryId(m_store->uid, target);
            props[PROP_ID(PR_IPM_SUBTREE_ENTRYID)] = top;
        }
        return getPropsOf(props, tags, values);
    }
    HResult GetIDsFromNames(const std::vector<NamedProp>& names, std::uint32_t flags,
                            std::vector<PropTag>& tags) override
    {
        return resolveNames(*m_store, names, flags, tags);
    }
    HResult OpenEntry(const EntryId& entryId, std::uint32_t, std::uint32_t& objType,
                      std::unique_ptr<MapiProp>& object) override
    {
        std::uint32_t node = 1;
        if (m_store->faults.count("subtree") && parseEntryId(entryId, m_store->uid, node) && node == 0) {
            object.reset();
            return m_store->faultCode;
        }
        return openEntry(m_store, entryId, objType, object);
    }

private:
    std::shared_ptr<MemStore> m_store;
};

class MemSession : public Session {
public:
    explicit MemSession(std::shared_ptr<MemModel> model) : m_model(std::move(model)) {}

    HResult GetMsgStoresTable(std::uint32_t, std::unique_ptr<Table>& table) override
    {
        table.reset();
        if (m_model->faults.count("storesTable"))
            return m_model->faultCode;
        auto model = m_model;
        const bool rowsFail = m_model->faults.count("storesRows") > 0;
        table = std::make_unique<LazyTable>(
            model->stores.size(), std::vector<PropTag>{PR_DISPLAY_NAME_W, PR_ENTRYID},
            [model, rowsFail](std::size_t i, const std::vector<PropTag>& cols, Row& row, bool&) {
                if (rowsFail)
                    return model->faultCode;
                std::map<std::uint16_t, PropValue> props;
                PropValue name;
                name.tag = PR_DISPLAY_NAME_W;
                name.str = model->stores[i]->name;
                props[PROP_ID(PR_DISPLAY_NAME_W)] = name;
                PropValue id;
                id.tag = PR_ENTRYID;
                id.bin = storeEntryId(i);
                props[PROP_ID(PR_ENTRYID)] = id;
                return getPropsOf(props, cols, row) < 0 ? E_FAIL : S_OK;
            });
        return S_OK;
    }
    HResult OpenMsgStore(std::uintptr_t, const EntryId& entryId, std::uint32_t,
                         std::unique_ptr<MsgStore>& store) override
    {
        store.reset();
        for (std::size_t i = 0; i < m_model->stores.size(); ++i) {
            if (storeEntryId(i) != entryId)
                continue;
            MemStore& st = *m_model->stores[i];
            if (st.faults.count("open"))
                return st.faultCode;
            // A store with a password checksum opens like a protected .pst: once the user gives
            // the matching password. It is named by its file when the fixture gives one.
            const auto crc = st.props.find(static_cast<std::uint16_t>(PROP_ID(PR_PST_PASSWORD)));
            if (crc != st.props.end() && crc->second.type() == PT_LONG && crc->second.l != 0 && !st.unlocked) {
                const auto path = st.props.find(static_cast<std::uint16_t>(PROP_ID(PR_PST_PATH_W)));
                const std::string file = path != st.props.end() && !path->second.str.empty() ? path->second.str : st.name;
                const HResult hr = unlockStore(file, static_cast<std::uint32_t>(crc->second.l));
                if (failed(hr))
                    return hr;
                st.unlocked = true;
            }
            store = std::make_unique<MemMsgStore>(m_model->stores[i]);
            return S_OK;
        }
        return MAPI_E_INVALID_ENTRYID;
    }
    HResult Logoff(std::uintptr_t, std::uint32_t, std::uint32_t) override
    {
        return m_model->faults.count("logoff") ? m_model->faultCode : S_OK;
    }

private:
    static EntryId storeEntryId(std::size_t index)
    {
        const std::string text = "KELVORMEMSTORE:" + std::to_string(index);
        return EntryId(text.begin(), text.end());
    }
    std::shared_ptr<MemModel> m_model;
};

} // namespace

HResult logonMemoryText(const std::string& json, const std::string& origin, std::unique_ptr<Session>& session)
{
    session.reset();
    auto model = std::make_shared<MemModel>();
    std::string error;
    if (!loadModel(QByteArray::fromStdString(json), *model, error)) {
        log(LogLevel::Critical, "Store fixture " + origin + " cannot be used: " + error);
        return MAPI_E_LOGON_FAILED;
    }
    if (model->faults.count("logon"))
        return model->faultCode;
    session = std::make_unique<MemSession>(std::move(model));
    return S_OK;
}

HResult logonMemory(const std::string& path, std::unique_ptr<Session>& session)
{
    session.reset();
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        log(LogLevel::Critical, "Store fixture " + path + " cannot be read: " + file.errorString().toStdString());
        return MAPI_E_LOGON_FAILED;
    }
    return logonMemoryText(file.readAll().toStdString(), path, session);
}

} // namespace xmapi::detail
