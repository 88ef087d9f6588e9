// File back-end: each .pst/.ost file of the profile is one message store, read with libpff.
//
// libpff corrupts memory when one file handle is used by two threads at once, so every access to
// a file (and to any item read from it) happens under that file's mutex.
#include "bytes.h"
#include "pffhooks.h"
#include "pffio.h"
#include "xmapi.h"
#include "xmapi_internal.h"

#include <libpff.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace xmapi::detail {

namespace {

constexpr std::uint32_t kAnyType = LIBPFF_ENTRY_VALUE_FLAG_MATCH_ANY_VALUE_TYPE | LIBPFF_ENTRY_VALUE_FLAG_IGNORE_NAME_TO_ID_MAP;

// ---- RAII over libpff handles --------------------------------------------------------------

class PffError {
public:
    PffError() = default;
    PffError(const PffError&) = delete;
    PffError& operator=(const PffError&) = delete;
    ~PffError()
    {
        if (m_error)
            libpff_error_free(&m_error);
    }
    libpff_error_t** out()
    {
        if (m_error)
            libpff_error_free(&m_error);
        return &m_error;
    }
    std::string text() const
    {
        if (!m_error)
            return "unknown error";
        char buf[4096] = {};
        if (libpff_error_backtrace_sprint(m_error, buf, sizeof buf - 1) < 0)
            libpff_error_sprint(m_error, buf, sizeof buf - 1);
        // The backtrace starts with the root cause, one function per line; one log line is enough.
        std::string s(buf);
        const auto end = s.find_first_of("\r\n");
        if (end != std::string::npos)
            s.resize(end);
        while (!s.empty() && (s.back() == ' ' || s.back() == '.'))
            s.pop_back();
        return s;
    }

private:
    libpff_error_t* m_error = nullptr;
};

struct ItemDeleter {
    void operator()(libpff_item_t* p) const { libpff_item_free(&p, nullptr); }
};
struct RecordSetDeleter {
    void operator()(libpff_record_set_t* p) const { libpff_record_set_free(&p, nullptr); }
};
struct RecordEntryDeleter {
    void operator()(libpff_record_entry_t* p) const { libpff_record_entry_free(&p, nullptr); }
};
struct MultiValueDeleter {
    void operator()(libpff_multi_value_t* p) const { libpff_multi_value_free(&p, nullptr); }
};
using ItemPtr = std::unique_ptr<libpff_item_t, ItemDeleter>;
using RecordSetPtr = std::unique_ptr<libpff_record_set_t, RecordSetDeleter>;
using RecordEntryPtr = std::unique_ptr<libpff_record_entry_t, RecordEntryDeleter>;
using MultiValuePtr = std::unique_ptr<libpff_multi_value_t, MultiValueDeleter>;

// ---- one file -------------------------------------------------------------------------------

struct PstFile {
    std::mutex mutex;
    libpff_file_t* file = nullptr;
    libbfio_handle_t* io = nullptr; // the file's reads; outlives `file`
    std::string path;
    std::string displayName;
    std::string openError; // empty when the file is usable
    StoreProblem::Kind problem = StoreProblem::Kind::Damaged; // why, when openError is set
    bool passwordProtected = false;
    std::uint32_t passwordCrc = 0;
    bool unlocked = false; // the user gave the matching password
    std::array<std::uint8_t, 16> uid{};
    int codePage = 1252;
    std::uint32_t subtreeNid = 0;
    NameMap names;
    // The message the contents table read last. Every importer opens a message right after reading
    // its row; that open takes this item, whose property tables are read already, instead of reading
    // them from the file a second time.
    ItemPtr lastRow;
    std::uint32_t lastRowNid = 0;

    PstFile() = default;
    PstFile(const PstFile&) = delete;
    PstFile& operator=(const PstFile&) = delete;
    ~PstFile()
    {
        lastRow.reset(); // before the file it belongs to
        if (file) {
            forgetPffNameLookups();
            libpff_file_close(file, nullptr);
            libpff_file_free(&file, nullptr);
        }
        if (io)
            libbfio_handle_free(&io, nullptr);
    }
};

using FilePtr = std::shared_ptr<PstFile>;

std::string baseName(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

RecordSetPtr firstRecordSet(libpff_item_t* item)
{
    int count = 0;
    if (libpff_item_get_number_of_record_sets(item, &count, nullptr) != 1 || count < 1)
        return nullptr;
    libpff_record_set_t* rs = nullptr;
    if (libpff_item_get_record_set_by_index(item, 0, &rs, nullptr) != 1)
        return nullptr;
    return RecordSetPtr(rs);
}

RecordEntryPtr findEntry(libpff_record_set_t* rs, std::uint32_t propId)
{
    libpff_record_entry_t* e = nullptr;
    if (!rs || libpff_record_set_get_entry_by_type(rs, propId, 0, &e, kAnyType, nullptr) != 1)
        return nullptr;
    return RecordEntryPtr(e);
}

bool rawData(libpff_record_entry_t* e, std::string& out)
{
    size_t size = 0;
    out.clear();
    if (libpff_record_entry_get_data_size(e, &size, nullptr) != 1)
        return false;
    if (size == 0)
        return true;
    out.resize(size);
    return libpff_record_entry_get_data(e, reinterpret_cast<std::uint8_t*>(&out[0]), size, nullptr) == 1;
}

bool entryLong(libpff_record_set_t* rs, std::uint32_t propId, std::int32_t& value)
{
    RecordEntryPtr e = findEntry(rs, propId);
    std::uint32_t type = 0;
    if (!e || libpff_record_entry_get_value_type(e.get(), &type, nullptr) != 1 || type != PT_LONG)
        return false;
    std::uint32_t v = 0;
    if (libpff_record_entry_get_data_as_32bit_integer(e.get(), &v, nullptr) != 1)
        return false;
    value = static_cast<std::int32_t>(v);
    return true;
}

// The stored subject starts with U+0001 and a length character when it has a prefix ("RE: ");
// MAPI hands it out without those two.
void stripSubjectPrefix(std::string& s)
{
    if (s.size() >= 2 && s[0] == '\x01') {
        std::size_t n = 1;
        const auto lead = static_cast<unsigned char>(s[1]);
        if (lead >= 0xF0)
            n = 4;
        else if (lead >= 0xE0)
            n = 3;
        else if (lead >= 0xC0)
            n = 2;
        s.erase(0, std::min(s.size(), 1 + n));
    }
}

// The value of one record entry, converted to the requested type as MAPI would.
PropValue entryValue(libpff_record_entry_t* e, PropTag tag, int codePage)
{
    std::uint32_t stored = 0;
    if (libpff_record_entry_get_value_type(e, &stored, nullptr) != 1)
        return PropValue::error(tag, MAPI_E_CORRUPT_DATA);
    PropValue v;
    v.tag = CHANGE_PROP_TYPE(tag, stored);
    bool ok = true;
    std::string raw;
    switch (stored) {
    case PT_SHORT: {
        std::uint16_t x = 0;
        ok = libpff_record_entry_get_data_as_16bit_integer(e, &x, nullptr) == 1;
        v.l = static_cast<std::int16_t>(x);
        break;
    }
    case PT_LONG:
    case PT_ERROR: {
        std::uint32_t x = 0;
        ok = libpff_record_entry_get_data_as_32bit_integer(e, &x, nullptr) == 1;
        v.l = static_cast<std::int32_t>(x);
        break;
    }
    case PT_BOOLEAN: {
        std::uint8_t x = 0;
        ok = libpff_record_entry_get_data_as_boolean(e, &x, nullptr) == 1;
        v.l = x ? 1 : 0;
        break;
    }
    case PT_FLOAT:
    case PT_DOUBLE:
    case PT_APPTIME:
        ok = libpff_record_entry_get_data_as_floating_point(e, &v.dbl, nullptr) == 1;
        break;
    case PT_I8:
    case PT_CURRENCY: {
        std::uint64_t x = 0;
        ok = libpff_record_entry_get_data_as_64bit_integer(e, &x, nullptr) == 1;
        v.i8 = static_cast<std::int64_t>(x);
        break;
    }
    case PT_SYSTIME:
        ok = libpff_record_entry_get_data_as_filetime(e, &v.ft.ticks, nullptr) == 1;
        break;
    case PT_UNICODE:
        ok = rawData(e, raw);
        v.str = utf16leToUtf8(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
        break;
    case PT_STRING8:
        ok = rawData(e, raw);
        v.str = decodeCodePage(raw.data(), raw.size(), codePage);
        break;
    case PT_BINARY:
    case PT_CLSID:
        ok = rawData(e, raw);
        v.bin.assign(raw.begin(), raw.end());
        break;
    case PT_MV_UNICODE:
    case PT_MV_STRING8:
    case PT_MV_LONG:
    case PT_MV_BINARY: {
        libpff_multi_value_t* mvRaw = nullptr;
        if (libpff_record_entry_get_multi_value(e, &mvRaw, nullptr) != 1) {
            ok = false;
            break;
        }
        MultiValuePtr mv(mvRaw);
        int count = 0;
        if (libpff_multi_value_get_number_of_values(mv.get(), &count, nullptr) != 1) {
            ok = false;
            break;
        }
        for (int i = 0; i < count && ok; ++i) {
            std::uint32_t vt = 0;
            std::uint8_t* data = nullptr;
            size_t size = 0;
            if (libpff_multi_value_get_value(mv.get(), i, &vt, &data, &size, nullptr) != 1) {
                ok = false;
                break;
            }
            if (stored == PT_MV_UNICODE)
                v.mvStr.push_back(utf16leToUtf8(data, size));
            else if (stored == PT_MV_STRING8)
                v.mvStr.push_back(decodeCodePage(reinterpret_cast<const char*>(data), size, codePage));
            else if (stored == PT_MV_LONG)
                v.mvLong.push_back(size >= 4 ? static_cast<std::int32_t>(bytes::le32(data)) : 0);
            else
                v.mvBin.emplace_back(data, data + size);
        }
        break;
    }
    default:
        return PropValue::error(tag, MAPI_E_NOT_FOUND);
    }
    if (!ok)
        return PropValue::error(tag, MAPI_E_CORRUPT_DATA);
    if (PROP_ID(tag) == 0x0037 && (stored == PT_UNICODE || stored == PT_STRING8))
        stripSubjectPrefix(v.str);
    return pickValue(&v, tag);
}

// 8-bit MAPI strings are in the writer's Windows code page. PR_INTERNET_CPID names the encoding
// for sending (ISO-2022-JP for Japanese mail), so it is mapped to the Windows code page of the
// same script; Unicode ones tell nothing about the 8-bit strings.
int windowsCodePageFor(int internetCpid)
{
    switch (internetCpid) {
    case 50220: case 50221: case 50222: case 51932: case 20932:
        return 932;
    case 52936: case 54936: case 50227: case 20936: case 936:
        return 936;
    case 51949: case 50225: case 949:
        return 949;
    case 50229: case 51950: case 950:
        return 950;
    case 20866: case 21866: case 28595:
        return 1251;
    case 28591: case 20127:
        return 1252;
    case 28592:
        return 1250;
    case 28597:
        return 1253;
    case 28599: case 28593:
        return 1254;
    case 28598: case 38598:
        return 1255;
    case 28596:
        return 1256;
    case 28594: case 28603:
        return 1257;
    case 65000: case 65001: case 1200: case 1201: case 12000: case 12001:
        return 0;
    default:
        return internetCpid;
    }
}

// Properties of an item (its first record set), read on demand.
class ItemProps {
public:
    ItemProps(libpff_item_t* item, int fileCodePage) : m_rs(firstRecordSet(item)), m_fileCodePage(fileCodePage) {}

    bool valid() const { return m_rs != nullptr; }

    int codePage()
    {
        if (m_codePage == 0) {
            std::int32_t cp = 0;
            if (entryLong(m_rs.get(), 0x3FFD, cp) && cp > 0)
                m_codePage = cp;
            else if (entryLong(m_rs.get(), 0x3FDE, cp) && windowsCodePageFor(cp) > 0)
                m_codePage = windowsCodePageFor(cp);
            else
                m_codePage = m_fileCodePage;
        }
        return m_codePage;
    }

    PropValue get(PropTag tag)
    {
        RecordEntryPtr e = findEntry(m_rs.get(), PROP_ID(tag));
        if (!e)
            return PropValue::error(tag, MAPI_E_NOT_FOUND);
        std::uint32_t stored = 0;
        libpff_record_entry_get_value_type(e.get(), &stored, nullptr);
        const int cp = (stored == PT_STRING8 || stored == PT_MV_STRING8) ? codePage() : m_fileCodePage;
        return entryValue(e.get(), tag, cp);
    }

    libpff_record_set_t* recordSet() const { return m_rs.get(); }

private:
    RecordSetPtr m_rs;
    int m_fileCodePage;
    int m_codePage = 0;
};

std::uint32_t nodeIdOf(libpff_item_t* item)
{
    std::uint32_t id = 0;
    libpff_item_get_identifier(item, &id, nullptr);
    return id;
}

bool isFolderNid(std::uint32_t nid)
{
    const std::uint32_t t = nid & 0x1F;
    return t == 0x02 || t == 0x03;
}

bool isMessageNid(std::uint32_t nid)
{
    const std::uint32_t t = nid & 0x1F;
    return t == 0x04 || t == 0x08;
}

// Values of `columns` for an item; the generated ones (PR_ENTRYID) come from the node id.
HResult readColumns(PstFile& f, libpff_item_t* item, const std::vector<PropTag>& columns, std::vector<PropValue>& out)
{
    out.clear();
    ItemProps props(item, f.codePage);
    if (!props.valid())
        return MAPI_E_CORRUPT_DATA;
    bool missing = false;
    for (PropTag t : columns) {
        PropValue v;
        if (PROP_ID(t) == PROP_ID(PR_ENTRYID)) {
            PropValue id;
            id.tag = PR_ENTRYID;
            id.bin = makeEntryId(f.uid, nodeIdOf(item));
            v = pickValue(&id, t);
        } else if (PROP_ID(t) == PROP_ID(PR_STORE_RECORD_KEY)) {
            PropValue key;
            key.tag = PR_STORE_RECORD_KEY;
            key.bin.assign(f.uid.begin(), f.uid.end());
            v = pickValue(&key, t);
        } else {
            v = props.get(t);
        }
        missing = missing || v.isError();
        out.push_back(std::move(v));
    }
    return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
}

// ---- name-to-id map -----------------------------------------------------------------------

// The map node holds three streams: GUIDs (0x0002), 8-byte entries (0x0003) and names (0x0004).
// An entry is (numeric id or string offset, kind bit plus GUID index, property index); its
// property id is 0x8000 + the property index.
void loadNameMap(PstFile& f)
{
    libpff_item_t* raw = nullptr;
    if (libpff_file_get_name_to_id_map(f.file, &raw, nullptr) != 1 || !raw)
        return;
    ItemPtr map(raw);
    RecordSetPtr rs = firstRecordSet(map.get());
    std::string guids, entries, strings;
    if (RecordEntryPtr e = findEntry(rs.get(), 0x0002))
        rawData(e.get(), guids);
    if (RecordEntryPtr e = findEntry(rs.get(), 0x0003))
        rawData(e.get(), entries);
    if (RecordEntryPtr e = findEntry(rs.get(), 0x0004))
        rawData(e.get(), strings);
    for (std::size_t off = 0; off + 8 <= entries.size(); off += 8) {
        const std::uint32_t idOrOffset = bytes::le32(entries.data() + off);
        const std::uint32_t kindAndGuid = bytes::le16(reinterpret_cast<const std::uint8_t*>(entries.data()) + off + 4);
        const std::uint32_t index = bytes::le16(reinterpret_cast<const std::uint8_t*>(entries.data()) + off + 6);
        const bool isString = kindAndGuid & 1;
        const std::uint32_t guidIndex = kindAndGuid >> 1;
        NamedProp name;
        if (guidIndex == 1)
            name.guid = PS_MAPI();
        else if (guidIndex == 2)
            name.guid = PS_PUBLIC_STRINGS();
        // Offsets and lengths come from the file: bounds are checked in 64 bits, where they cannot wrap.
        else if (guidIndex >= 3 && std::uint64_t(guidIndex - 3) * 16 + 16 <= guids.size())
            name.guid = Guid::fromBytes(reinterpret_cast<const std::uint8_t*>(guids.data()) + (guidIndex - 3) * 16);
        else
            continue;
        if (isString) {
            if (std::uint64_t(idOrOffset) + 4 > strings.size())
                continue;
            const std::uint32_t len = bytes::le32(strings.data() + idOrOffset);
            if (std::uint64_t(idOrOffset) + 4 + len > strings.size())
                continue;
            name.kind = NamedProp::Kind::String;
            name.name = utf16leToUtf8(reinterpret_cast<const std::uint8_t*>(strings.data()) + idOrOffset + 4, len);
        } else {
            name.kind = NamedProp::Kind::Id;
            name.id = idOrOffset;
        }
        if (0x8000 + index <= 0xFFFE)
            f.names.add(name, static_cast<std::uint16_t>(0x8000 + index));
    }
}

HResult resolveNames(PstFile& f, const std::vector<NamedProp>& names, std::uint32_t flags, std::vector<PropTag>& tags)
{
    // Names in PS_MAPI by number are the plain property ids.
    std::vector<NamedProp> rest;
    std::vector<int> direct(names.size(), -1);
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i].kind == NamedProp::Kind::Id && names[i].guid == PS_MAPI() && names[i].id < 0x8000)
            direct[i] = static_cast<int>(names[i].id);
    bool anyDirect = false;
    for (int d : direct)
        anyDirect = anyDirect || d >= 0;
    if (!anyDirect)
        return f.names.resolve(names, flags, tags);
    tags.clear();
    HResult result = S_OK;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (direct[i] >= 0) {
            tags.push_back(PROP_TAG(PT_UNSPECIFIED, direct[i]));
            continue;
        }
        std::vector<PropTag> one;
        const HResult hr = f.names.resolve({names[i]}, flags, one);
        if (failed(hr))
            return hr;
        if (hr != S_OK)
            result = hr;
        tags.push_back(one.empty() ? PROP_TAG(PT_ERROR, 0) : one[0]);
    }
    return result;
}

// ---- objects --------------------------------------------------------------------------------

HResult openNode(const FilePtr& f, const EntryId& entryId, std::uint32_t& objType, std::unique_ptr<MapiProp>& object);

class PstMessage : public Message {
public:
    // Takes `item` (and `holder`, the attachment an embedded message came from); both are freed
    // under the file's lock.
    PstMessage(FilePtr f, libpff_item_t* item, libpff_item_t* holder = nullptr)
        : m_file(std::move(f)), m_item(item), m_holder(holder)
    {
    }
    ~PstMessage() override
    {
        std::lock_guard<std::mutex> lock(m_file->mutex);
        m_item.reset();
        m_holder.reset();
    }

    HResult GetProps(const std::vector<PropTag>& tags, std::uint32_t, std::vector<PropValue>& values) override
    {
        std::lock_guard<std::mutex> lock(m_file->mutex);
        return readColumns(*m_file, m_item.get(), tags, values);
    }
    HResult GetIDsFromNames(const std::vector<NamedProp>& names, std::uint32_t flags,
                            std::vector<PropTag>& tags) override
    {
        return resolveNames(*m_file, names, flags, tags);
    }
    HResult GetRecipients(std::vector<Recipient>& recipients) override
    {
        std::lock_guard<std::mutex> lock(m_file->mutex);
        recipients.clear();
        libpff_item_t* raw = nullptr;
        PffError err;
        const int found = libpff_message_get_recipients(m_item.get(), &raw, err.out());
        if (found == -1)
            return MAPI_E_CORRUPT_DATA;
        if (found == 0 || !raw)
            return S_OK;
        ItemPtr recips(raw);
        int count = 0;
        if (libpff_item_get_number_of_record_sets(recips.get(), &count, nullptr) != 1)
            return MAPI_E_CORRUPT_DATA;
        const int cp = ItemProps(m_item.get(), m_file->codePage).codePage();
        for (int i = 0; i < count; ++i) {
            libpff_record_set_t* rsRaw = nullptr;
            if (libpff_item_get_record_set_by_index(recips.get(), i, &rsRaw, nullptr) != 1)
                continue;
            RecordSetPtr rs(rsRaw);
            auto text = [&](std::uint32_t id) {
                RecordEntryPtr e = findEntry(rs.get(), id);
                return e ? entryValue(e.get(), PROP_TAG(PT_UNICODE, id), cp).str : std::string();
            };
            Recipient r;
            std::int32_t type = MAPI_TO;
            if (entryLong(rs.get(), 0x0C15, type))
                r.type = type;
            r.displayName = text(0x3001);
            r.addressType = text(0x3002);
            r.emailAddress = text(0x3003);
            r.smtpAddress = text(0x39FE);
            recipients.push_back(std::move(r));
        }
        return S_OK;
    }
    HResult GetBodies(MessageBodies& bodies) override
    {
        std::lock_guard<std::mutex> lock(m_file->mutex);
        bodies = MessageBodies();
        ItemProps props(m_item.get(), m_file->codePage);
        const PropValue plain = props.get(PR_BODY_W);
        if (!plain.isError()) {
            bodies.hasPlain = true;
            bodies.plain = plain.str;
        }
        size_t size = 0;
        if (libpff_message_get_html_body_size(m_item.get(), &size, nullptr) == 1 && size > 0) {
            std::string html(size, '\0');
            if (libpff_message_get_html_body(m_item.get(), reinterpret_cast<std::uint8_t*>(&html[0]), size, nullptr) == 1) {
                while (!html.empty() && html.back() == '\0')
                    html.pop_back();
                bodies.hasHtml = true;
                bodies.html = std::move(html);
                std::int32_t cp = 0;
                if (entryLong(props.recordSet(), 0x3FDE, cp) || entryLong(props.recordSet(), 0x3FFD, cp))
                    bodies.htmlCodePage = cp;
            }
        }
        size = 0;
        if (libpff_message_get_rtf_body_size(m_item.get(), &size, nullptr) == 1 && size > 0) {
            std::string rtf(size, '\0');
            if (libpff_message_get_rtf_body(m_item.get(), reinterpret_cast<std::uint8_t*>(&rtf[0]), size, nullptr) == 1) {
                while (!rtf.empty() && rtf.back() == '\0')
                    rtf.pop_back();
                bodies.hasRtf = true;
                bodies.rtf = std::move(rtf);
            }
        }
        return S_OK;
    }
    HResult GetAttachments(std::vector<AttachmentInfo>& attachments) override
    {
        std::lock_guard<std::mutex> lock(m_file->mutex);
        attachments.clear();
        int count = 0;
        if (libpff_message_get_number_of_attachments(m_item.get(), &count, nullptr) != 1)
            return S_OK;
        const int cp = ItemProps(m_item.get(), m_file->codePage).codePage();
        for (int i = 0; i < count; ++i) {
            libpff_item_t* raw = nullptr;
            PffError err;
            if (libpff_message_get_attachment(m_item.get(), i, &raw, err.out()) != 1) {
                log(LogLevel::Warning, "Attachment " + std::to_string(i) + " in " + m_file->path +
                                           " cannot be read: " + err.text());
                attachments.emplace_back();
                continue;
            }
            ItemPtr att(raw);
            AttachmentInfo a;
            ItemProps props(att.get(), cp);
            auto text = [&](std::uint32_t id) {
                const PropValue v = props.get(PROP_TAG(PT_UNICODE, id));
                return v.isError() ? std::string() : v.str;
            };
            a.shortFileName = text(0x3704);
            a.fileName = text(0x3707);
            if (a.fileName.empty())
                a.fileName = a.shortFileName;
            a.displayName = text(0x3001);
            a.mimeType = text(0x370E);
            a.contentId = text(0x3712);
            std::int32_t n = 0;
            if (entryLong(props.recordSet(), 0x3714, n))
                a.flags = n;
            if (entryLong(props.recordSet(), 0x3705, n))
                a.method = n;
            const PropValue hidden = props.get(PROP_TAG(PT_BOOLEAN, 0x7FFE));
            a.hidden = !hidden.isError() && hidden.l != 0;
            int type = 0;
            if (libpff_attachment_get_type(att.get(), &type, nullptr) == 1) {
                if (type == LIBPFF_ATTACHMENT_TYPE_ITEM) {
                    a.method = ATTACH_EMBEDDED_MSG;
                } else if (type == LIBPFF_ATTACHMENT_TYPE_DATA) {
                    readData(att.get(), i, a);
                }
            }
            attachments.push_back(std::move(a));
        }
        return S_OK;
    }
    HResult OpenEmbeddedMessage(std::size_t index, std::unique_ptr<Message>& message) override
    {
        std::lock_guard<std::mutex> lock(m_file->mutex);
        message.reset();
        libpff_item_t* raw = nullptr;
        if (libpff_message_get_attachment(m_item.get(), static_cast<int>(index), &raw, nullptr) != 1)
            return MAPI_E_NOT_FOUND;
        ItemPtr att(raw);
        int type = 0;
        if (libpff_attachment_get_type(att.get(), &type, nullptr) != 1 || type != LIBPFF_ATTACHMENT_TYPE_ITEM)
            return MAPI_E_NOT_FOUND;
        libpff_item_t* sub = nullptr;
        if (libpff_attachment_get_item(att.get(), &sub, nullptr) != 1 || !sub)
            return MAPI_E_CORRUPT_DATA;
        message = std::make_unique<PstMessage>(m_file, sub, att.release());
        return S_OK;
    }

private:
    // The data of by-value attachment `index`. Its size is what the file claims and may be damaged:
    // a size beyond the file's own is refused before anything is allocated, and the data is read
    // in blocks. Called with the file locked.
    void readData(libpff_item_t* att, int index, AttachmentInfo& a)
    {
        size64_t size = 0;
        if (libpff_attachment_get_data_size(att, &size, nullptr) != 1)
            return;
        if (size == 0) {
            a.hasData = true;
            return;
        }
        size64_t fileSize = 0;
        if (libpff_file_get_size(m_file->file, &fileSize, nullptr) != 1 || size > fileSize ||
            size >= (size64_t(1) << 31)) {
            log(LogLevel::Warning, "Attachment " + std::to_string(index) + " in " + m_file->path + " claims " +
                                       std::to_string(size) + " bytes, more than the file holds; left out");
            return;
        }
        constexpr std::size_t kBlock = 1 << 20;
        a.data.reserve(static_cast<std::size_t>(size));
        libpff_attachment_data_seek_offset(att, 0, SEEK_SET, nullptr);
        while (a.data.size() < size) {
            const std::size_t at = a.data.size();
            const std::size_t want = std::min<std::size_t>(kBlock, static_cast<std::size_t>(size) - at);
            a.data.resize(at + want);
            const ssize_t got = libpff_attachment_data_read_buffer(att, a.data.data() + at, want, nullptr);
            a.data.resize(at + (got > 0 ? static_cast<std::size_t>(got) : 0));
            if (got <= 0)
                break;
        }
        a.hasData = a.data.size() == size;
        if (!a.hasData)
            log(LogLevel::Warning,
                "Attachment " + std::to_string(index) + " in " + m_file->path + " cannot be read completely");
    }

    FilePtr m_file;
    ItemPtr m_item;
    ItemPtr m_holder;
};

class PstTable : public Table {
public:
    enum class Kind { Folders, Messages };
    PstTable(FilePtr f, libpff_item_t* folder, Kind kind, int count, std::vector<PropTag> columns, std::string name)
        : m_file(std::move(f)), m_folder(folder), m_kind(kind), m_count(count), m_columns(std::move(columns)),
          m_name(std::move(name))
    {
    }
    ~PstTable() override
    {
        std::lock_guard<std::mutex> lock(m_file->mutex);
        m_folder.reset();
    }

    HResult SetColumns(const std::vector<PropTag>& columns, std::uint32_t) override
    {
        m_columns = columns;
        return S_OK;
    }
    HResult QueryRows(std::int32_t rowCount, std::uint32_t, RowSet& rows) override
    {
        rows.clear();
        if (rowCount <= 0)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(m_file->mutex);
        while (m_pos < m_count && rows.size() < static_cast<std::size_t>(rowCount)) {
            const int index = m_pos++;
            libpff_item_t* raw = nullptr;
            PffError err;
            const int ok = m_kind == Kind::Folders
                               ? libpff_folder_get_sub_folder(m_folder.get(), index, &raw, err.out())
                               : libpff_folder_get_sub_message(m_folder.get(), index, &raw, err.out());
            if (ok != 1 || !raw) {
                log(LogLevel::Warning, std::string(m_kind == Kind::Folders ? "Subfolder " : "Item ") +
                                           std::to_string(index) + " of folder \"" + m_name + "\" in " +
                                           m_file->path + " cannot be read, skipped: " + err.text());
                continue;
            }
            ItemPtr item(raw);
            Row row;
            if (failed(readColumns(*m_file, item.get(), m_columns, row))) {
                log(LogLevel::Warning, std::string(m_kind == Kind::Folders ? "Subfolder " : "Item ") +
                                           std::to_string(index) + " of folder \"" + m_name + "\" in " +
                                           m_file->path + " has no readable properties, skipped");
                continue;
            }
            rows.push_back(std::move(row));
            if (m_kind == Kind::Messages) {
                m_file->lastRowNid = nodeIdOf(item.get());
                m_file->lastRow = std::move(item);
            }
        }
        return S_OK;
    }
    HResult GetRowCount(std::uint32_t, std::uint32_t& count) override
    {
        count = static_cast<std::uint32_t>(m_count);
        return S_OK;
    }
    HResult SeekToBeginning() override
    {
        m_pos = 0;
        return S_OK;
    }

private:
    FilePtr m_file;
    ItemPtr m_folder;
    Kind m_kind;
    int m_count;
    int m_pos = 0;
    std::vector<PropTag> m_columns;
    std::string m_name;
};

class PstFolder : public Folder {
public:
    PstFolder(FilePtr f, std::uint32_t nid) : m_file(std::move(f)), m_nid(nid) {}

    HResult GetProps(const std::vector<PropTag>& tags, std::uint32_t, std::vector<PropValue>& values) override
    {
        std::lock_guard<std::mutex> lock(m_file->mutex);
        ItemPtr item = open();
        if (!item)
            return MAPI_E_CORRUPT_DATA;
        return readColumns(*m_file, item.get(), tags, values);
    }
    HResult GetIDsFromNames(const std::vector<NamedProp>& names, std::uint32_t flags,
                            std::vector<PropTag>& tags) override
    {
        return resolveNames(*m_file, names, flags, tags);
    }
    HResult GetHierarchyTable(std::uint32_t, std::unique_ptr<Table>& table) override
    {
        return makeTable(PstTable::Kind::Folders, table);
    }
    HResult GetContentsTable(std::uint32_t, std::unique_ptr<Table>& table) override
    {
        return makeTable(PstTable::Kind::Messages, table);
    }
    HResult OpenEntry(const EntryId& entryId, std::uint32_t, std::uint32_t& objType,
                      std::unique_ptr<MapiProp>& object) override
    {
        return openNode(m_file, entryId, objType, object);
    }

private:
    ItemPtr open()
    {
        libpff_item_t* raw = nullptr;
        if (libpff_file_get_item_by_identifier(m_file->file, m_nid, &raw, nullptr) != 1 || !raw)
            return nullptr;
        return ItemPtr(raw);
    }

    HResult makeTable(PstTable::Kind kind, std::unique_ptr<Table>& table)
    {
        table.reset();
        std::lock_guard<std::mutex> lock(m_file->mutex);
        ItemPtr item = open();
        if (!item)
            return MAPI_E_CORRUPT_DATA;
        std::string name;
        {
            ItemProps props(item.get(), m_file->codePage);
            name = props.valid() ? props.get(PR_DISPLAY_NAME_W).str : std::string();
        }
        int count = 0;
        PffError err;
        const int ok = kind == PstTable::Kind::Folders
                           ? libpff_folder_get_number_of_sub_folders(item.get(), &count, err.out())
                           : libpff_folder_get_number_of_sub_messages(item.get(), &count, err.out());
        if (ok != 1) {
            log(LogLevel::Critical, std::string("The ") + (kind == PstTable::Kind::Folders ? "folder" : "contents") +
                                        " table of folder \"" + name + "\" in " + m_file->path +
                                        " cannot be read: " + err.text());
            return MAPI_E_CORRUPT_DATA;
        }
        std::vector<PropTag> columns = kind == PstTable::Kind::Folders
                                           ? std::vector<PropTag>{PR_DISPLAY_NAME_W, PR_ENTRYID}
                                           : std::vector<PropTag>{PR_ENTRYID, PR_SUBJECT_W, PR_MESSAGE_CLASS_W};
        table = std::make_unique<PstTable>(m_file, item.release(), kind, count, std::move(columns), name);
        return S_OK;
    }

    FilePtr m_file;
    std::uint32_t m_nid;
};

HResult openNode(const FilePtr& f, const EntryId& entryId, std::uint32_t& objType, std::unique_ptr<MapiProp>& object)
{
    object.reset();
    objType = 0;
    std::uint32_t nid = 0;
    if (!parseEntryId(entryId, f->uid, nid))
        return MAPI_E_INVALID_ENTRYID;
    std::lock_guard<std::mutex> lock(f->mutex);
    if (f->lastRow && f->lastRowNid == nid && isMessageNid(nid)) {
        objType = MAPI_MESSAGE;
        object = std::make_unique<PstMessage>(f, f->lastRow.release());
        f->lastRowNid = 0;
        return S_OK;
    }
    libpff_item_t* raw = nullptr;
    PffError err;
    const int ok = libpff_file_get_item_by_identifier(f->file, nid, &raw, err.out());
    if (ok != 1 || !raw) {
        if (ok == -1)
            log(LogLevel::Warning, "Entry " + hex32(nid) + " in " + f->path + " cannot be read: " + err.text());
        return ok == 0 ? MAPI_E_NOT_FOUND : MAPI_E_CORRUPT_DATA;
    }
    ItemPtr item(raw);
    if (isFolderNid(nid)) {
        objType = MAPI_FOLDER;
        object = std::make_unique<PstFolder>(f, nid);
        return S_OK;
    }
    if (isMessageNid(nid)) {
        objType = MAPI_MESSAGE;
        object = std::make_unique<PstMessage>(f, item.release());
        return S_OK;
    }
    return MAPI_E_INVALID_ENTRYID;
}

class PstMsgStore : public MsgStore {
public:
    explicit PstMsgStore(FilePtr f) : m_file(std::move(f)) {}

    HResult GetProps(const std::vector<PropTag>& tags, std::uint32_t, std::vector<PropValue>& values) override
    {
        std::lock_guard<std::mutex> lock(m_file->mutex);
        values.clear();
        libpff_item_t* raw = nullptr;
        ItemPtr store;
        if (libpff_file_get_message_store(m_file->file, &raw, nullptr) == 1 && raw)
            store.reset(raw);
        std::unique_ptr<ItemProps> props;
        if (store)
            props = std::make_unique<ItemProps>(store.get(), m_file->codePage);
        bool missing = false;
        for (PropTag t : tags) {
            PropValue v;
            if (PROP_ID(t) == PROP_ID(PR_IPM_SUBTREE_ENTRYID)) {
                if (m_file->subtreeNid != 0) {
                    PropValue id;
                    id.tag = PR_IPM_SUBTREE_ENTRYID;
                    id.bin = makeEntryId(m_file->uid, m_file->subtreeNid);
                    v = pickValue(&id, t);
                } else {
                    v = PropValue::error(t, MAPI_E_NOT_FOUND);
                }
            } else if (PROP_ID(t) == PROP_ID(PR_DISPLAY_NAME_W)) {
                PropValue name;
                name.tag = PR_DISPLAY_NAME_W;
                name.str = m_file->displayName;
                v = pickValue(&name, t);
            } else if (PROP_ID(t) == PROP_ID(PR_PST_PATH_W)) {
                PropValue path;
                path.tag = PR_PST_PATH_W;
                path.str = m_file->path;
                v = pickValue(&path, t);
            } else if (props && props->valid()) {
                v = props->get(t);
            } else {
                v = PropValue::error(t, MAPI_E_NOT_FOUND);
            }
            missing = missing || v.isError();
            values.push_back(std::move(v));
        }
        return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
    }
    HResult GetIDsFromNames(const std::vector<NamedProp>& names, std::uint32_t flags,
                            std::vector<PropTag>& tags) override
    {
        return resolveNames(*m_file, names, flags, tags);
    }
    HResult OpenEntry(const EntryId& entryId, std::uint32_t, std::uint32_t& objType,
                      std::unique_ptr<MapiProp>& object) override
    {
        return openNode(m_file, entryId, objType, object);
    }

private:
    FilePtr m_file;
};

EntryId storeEntryId(std::size_t index)
{
    const std::string text = "KELVORPSTSTORE:" + std::to_string(index);
    return EntryId(text.begin(), text.end());
}

class PstSession : public Session {
public:
    explicit PstSession(std::vector<FilePtr> files) : m_files(std::move(files)) {}

    HResult GetMsgStoresTable(std::uint32_t, std::unique_ptr<Table>& table) override
    {
        auto files = m_files;
        table = std::make_unique<LazyTable>(
            files.size(), std::vector<PropTag>{PR_DISPLAY_NAME_W, PR_ENTRYID},
            [files](std::size_t i, const std::vector<PropTag>& cols, Row& row, bool&) {
                row.clear();
                for (PropTag t : cols) {
                    PropValue v;
                    if (PROP_ID(t) == PROP_ID(PR_DISPLAY_NAME_W)) {
                        v.tag = PR_DISPLAY_NAME_W;
                        v.str = files[i]->displayName;
                        v = pickValue(&v, t);
                    } else if (PROP_ID(t) == PROP_ID(PR_ENTRYID)) {
                        v.tag = PR_ENTRYID;
                        v.bin = storeEntryId(i);
                        v = pickValue(&v, t);
                    } else {
                        v = PropValue::error(t, MAPI_E_NOT_FOUND);
                    }
                    row.push_back(std::move(v));
                }
                return S_OK;
            });
        return S_OK;
    }
    HResult OpenMsgStore(std::uintptr_t, const EntryId& entryId, std::uint32_t,
                         std::unique_ptr<MsgStore>& store) override
    {
        store.reset();
        for (std::size_t i = 0; i < m_files.size(); ++i) {
            if (storeEntryId(i) != entryId)
                continue;
            if (!m_files[i]->file)
                return MAPI_E_CORRUPT_DATA;
            if (m_files[i]->passwordProtected && !m_files[i]->unlocked) {
                const HResult hr = unlockStore(m_files[i]->path, m_files[i]->passwordCrc);
                if (failed(hr))
                    return hr;
                m_files[i]->unlocked = true;
            }
            store = std::make_unique<PstMsgStore>(m_files[i]);
            return S_OK;
        }
        return MAPI_E_INVALID_ENTRYID;
    }
    HResult Logoff(std::uintptr_t, std::uint32_t, std::uint32_t) override { return S_OK; }

private:
    std::vector<FilePtr> m_files;
};

// The IPM subtree of a file whose store lacks PR_IPM_SUBTREE_ENTRYID: a folder "IPM_SUBTREE" or
// "Top of ..." directly below the root folder (PST) or one level further down (OST: "Root -
// Mailbox/IPM_SUBTREE").
std::uint32_t findSubtreeBelow(PstFile& f, libpff_item_t* folder, int depth)
{
    int count = 0;
    if (libpff_folder_get_number_of_sub_folders(folder, &count, nullptr) != 1)
        return 0;
    std::vector<ItemPtr> children;
    for (int i = 0; i < count; ++i) {
        libpff_item_t* subRaw = nullptr;
        if (libpff_folder_get_sub_folder(folder, i, &subRaw, nullptr) != 1 || !subRaw)
            continue;
        ItemPtr sub(subRaw);
        ItemProps props(sub.get(), f.codePage);
        const PropValue name = props.get(PR_DISPLAY_NAME_W);
        if (!name.isError() && (name.str == "IPM_SUBTREE" || name.str.rfind("Top of ", 0) == 0))
            return nodeIdOf(sub.get());
        children.push_back(std::move(sub));
    }
    if (depth <= 0)
        return 0;
    // An OST holds "Root - Public" before "Root - Mailbox"; the mailbox is the user's.
    std::uint32_t firstFound = 0;
    for (auto& child : children) {
        const std::uint32_t found = findSubtreeBelow(f, child.get(), depth - 1);
        if (!found)
            continue;
        ItemProps props(child.get(), f.codePage);
        if (props.get(PR_DISPLAY_NAME_W).str == "Root - Mailbox")
            return found;
        if (!firstFound)
            firstFound = found;
    }
    return firstFound;
}

std::uint32_t findSubtreeByName(PstFile& f)
{
    libpff_item_t* raw = nullptr;
    if (libpff_file_get_root_folder(f.file, &raw, nullptr) != 1 || !raw)
        return 0;
    ItemPtr root(raw);
    return findSubtreeBelow(f, root.get(), 1);
}

// An ANSI file does not say which code page its 8-bit strings (folder names too) are in; the
// first message that names its own tells the writer's.
int guessAnsiCodePage(PstFile& f)
{
    libpff_item_t* raw = nullptr;
    if (libpff_file_get_root_folder(f.file, &raw, nullptr) != 1 || !raw)
        return 0;
    std::vector<ItemPtr> queue;
    queue.emplace_back(raw);
    for (std::size_t q = 0; q < queue.size() && q < 64; ++q) {
        libpff_item_t* folder = queue[q].get();
        int messages = 0;
        if (libpff_folder_get_number_of_sub_messages(folder, &messages, nullptr) == 1) {
            for (int i = 0; i < messages && i < 4; ++i) {
                libpff_item_t* msgRaw = nullptr;
                if (libpff_folder_get_sub_message(folder, i, &msgRaw, nullptr) != 1 || !msgRaw)
                    continue;
                ItemPtr msg(msgRaw);
                ItemProps props(msg.get(), 0);
                if (const int cp = props.codePage(); cp > 0)
                    return cp;
            }
        }
        int folders = 0;
        if (libpff_folder_get_number_of_sub_folders(folder, &folders, nullptr) == 1)
            for (int i = 0; i < folders; ++i) {
                libpff_item_t* subRaw = nullptr;
                if (libpff_folder_get_sub_folder(folder, i, &subRaw, nullptr) == 1 && subRaw)
                    queue.emplace_back(subRaw);
            }
    }
    return 0;
}

FilePtr openFile(const std::string& path, std::size_t index)
{
    auto f = std::make_shared<PstFile>();
    f->path = path;
    f->displayName = baseName(path);
    // Until the store tells its own, a per-profile id keeps entry ids of two files apart.
    const std::string fallback = "KELVORPST" + std::to_string(index);
    for (std::size_t i = 0; i < 16 && i < fallback.size(); ++i)
        f->uid[i] = static_cast<std::uint8_t>(fallback[i]);

    // Why a file cannot be used, in the words the user needs: missing, not readable, not an Outlook
    // data file (every .pst/.ost starts with "!BDN"), or damaged (libpff fails on it below).
    if (std::FILE* fp = std::fopen(path.c_str(), "rb")) {
        char magic[4] = {};
        const std::size_t got = std::fread(magic, 1, sizeof magic, fp);
        const int readError = std::ferror(fp) ? errno : 0;
        std::fclose(fp);
        if (readError != 0 && got < sizeof magic) {
            f->problem = readError == EISDIR ? StoreProblem::Kind::NotOutlookData : StoreProblem::Kind::NoAccess;
            f->openError = std::strerror(readError);
            return f;
        }
        if (got < sizeof magic || std::memcmp(magic, "!BDN", 4) != 0) {
            f->problem = StoreProblem::Kind::NotOutlookData;
            f->openError = "invalid file signature: not an Outlook data file";
            return f;
        }
    } else {
        const int e = errno;
        f->problem = (e == ENOENT || e == ENOTDIR) ? StoreProblem::Kind::Missing : StoreProblem::Kind::NoAccess;
        f->openError = std::strerror(e);
        return f;
    }

    PffError err;
    if (libpff_file_initialize(&f->file, err.out()) != 1) {
        f->openError = err.text();
        f->file = nullptr;
        return f;
    }
    f->io = readAheadHandle(path);
    if (!f->io || libpff_file_open_file_io_handle(f->file, f->io, LIBPFF_OPEN_READ, err.out()) != 1) {
        f->openError = f->io ? err.text() : std::string("out of memory");
        forgetPffNameLookups();
        libpff_file_free(&f->file, nullptr);
        f->file = nullptr;
        return f;
    }
    int cp = 0;
    if (libpff_file_get_ascii_codepage(f->file, &cp, nullptr) == 1 && cp > 0)
        f->codePage = cp;
    std::uint8_t fileType = 0;
    if (libpff_file_get_type(f->file, &fileType, nullptr) == 1 && fileType == LIBPFF_FILE_TYPE_32BIT)
        if (const int guessed = guessAnsiCodePage(*f); guessed > 0)
            f->codePage = guessed;

    libpff_item_t* raw = nullptr;
    ItemPtr store;
    if (libpff_file_get_message_store(f->file, &raw, err.out()) == 1 && raw)
        store.reset(raw);
    if (store) {
        ItemProps props(store.get(), f->codePage);
        const PropValue name = props.get(PR_DISPLAY_NAME_W);
        if (!name.isError() && !name.str.empty())
            f->displayName = name.str;
        const PropValue key = props.get(PR_RECORD_KEY);
        if (!key.isError() && key.bin.size() == 16)
            std::copy(key.bin.begin(), key.bin.end(), f->uid.begin());
        const PropValue top = props.get(PR_IPM_SUBTREE_ENTRYID);
        if (!top.isError() && top.bin.size() >= 4) {
            const auto& b = top.bin;
            const std::size_t n = b.size();
            f->subtreeNid = bytes::le32(b.data() + n - 4);
            libpff_item_t* check = nullptr;
            if (libpff_file_get_item_by_identifier(f->file, f->subtreeNid, &check, nullptr) == 1 && check)
                libpff_item_free(&check, nullptr);
            else
                f->subtreeNid = 0;
        }
        // PR_PST_PASSWORD: the CRC of the password of a protected .pst (an .ost uses the tag
        // otherwise). The store opens once the user gives a password that matches it.
        std::uint8_t contentType = 0;
        const PropValue password = props.get(PR_PST_PASSWORD);
        if (libpff_file_get_content_type(f->file, &contentType, nullptr) == 1 &&
            contentType == LIBPFF_FILE_CONTENT_TYPE_PST && !password.isError() && password.l != 0) {
            f->passwordProtected = true;
            f->passwordCrc = static_cast<std::uint32_t>(password.l);
        }
    }
    if (f->subtreeNid == 0)
        f->subtreeNid = findSubtreeByName(*f);
    if (f->subtreeNid == 0)
        log(LogLevel::Critical, "Outlook data file " + path + " has no readable top folder; its store is skipped");
    loadNameMap(*f);
    return f;
}

} // namespace

HResult logonPst(const std::vector<std::string>& paths, std::unique_ptr<Session>& session)
{
    session.reset();
    std::vector<FilePtr> files;
    std::vector<StoreProblem> problems;
    std::size_t usable = 0;
    for (const std::string& path : paths) {
        FilePtr f = openFile(path, files.size());
        if (!f->openError.empty()) {
            log(LogLevel::Critical, "Outlook data file " + path + " cannot be opened: " + f->openError);
            problems.push_back(StoreProblem{f->problem, path, f->openError});
        } else {
            ++usable;
            if (f->subtreeNid == 0)
                problems.push_back(StoreProblem{StoreProblem::Kind::Damaged, path, "no readable top folder"});
        }
        files.push_back(std::move(f));
    }
    reportStoreProblems(problems, usable > 0 && problems.size() < paths.size());
    if (usable == 0)
        return MAPI_E_LOGON_FAILED;
    session = std::make_unique<PstSession>(std::move(files));
    return S_OK;
}

} // namespace xmapi::detail
