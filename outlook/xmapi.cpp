#include "xmapi.h"
#include "bytes.h"
#include "xmapi_internal.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace xmapi {

namespace {

std::mutex g_mutex;
ProfileDialog g_profileDialog;
PasswordPrompt g_passwordPrompt;
StoreProblemReport g_problemReport;
LogSink g_logSink;
int g_initCount = 0;

Guid guidOf(const char* text)
{
    Guid g;
    Guid::parse(text, g);
    return g;
}

std::vector<std::string> splitPaths(const std::string& list)
{
    std::vector<std::string> out;
    std::string cur;
    for (char c : list) {
        if (c == ':') {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

} // namespace

bool Guid::parse(const std::string& text, Guid& out)
{
    std::string s = text;
    if (s.size() == 38 && s.front() == '{' && s.back() == '}')
        s = s.substr(1, 36);
    if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-')
        return false;
    std::string h;
    for (char c : s)
        if (c != '-')
            h += c;
    if (h.size() != 32)
        return false;
    std::uint8_t b[16];
    for (int i = 0; i < 16; ++i) {
        int hi = bytes::hexDigit(h[2 * i]), lo = bytes::hexDigit(h[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        b[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    Guid g;
    g.data1 = (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) | b[3];
    g.data2 = static_cast<std::uint16_t>((b[4] << 8) | b[5]);
    g.data3 = static_cast<std::uint16_t>((b[6] << 8) | b[7]);
    for (int i = 0; i < 8; ++i)
        g.data4[i] = b[8 + i];
    out = g;
    return true;
}

Guid Guid::fromBytes(const std::uint8_t* b)
{
    Guid g;
    g.data1 = bytes::le32(b);
    g.data2 = bytes::le16(b + 4);
    g.data3 = bytes::le16(b + 6);
    for (int i = 0; i < 8; ++i)
        g.data4[i] = b[8 + i];
    return g;
}

std::array<std::uint8_t, 16> Guid::toBytes() const
{
    std::array<std::uint8_t, 16> b{};
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<std::uint8_t>(data1 >> (8 * i));
    b[4] = static_cast<std::uint8_t>(data2);
    b[5] = static_cast<std::uint8_t>(data2 >> 8);
    b[6] = static_cast<std::uint8_t>(data3);
    b[7] = static_cast<std::uint8_t>(data3 >> 8);
    for (int i = 0; i < 8; ++i)
        b[8 + i] = data4[i];
    return b;
}

std::string Guid::toString() const
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1, data2, data3, data4[0],
                  data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
    return buf;
}

bool Guid::operator<(const Guid& o) const
{
    if (data1 != o.data1)
        return data1 < o.data1;
    if (data2 != o.data2)
        return data2 < o.data2;
    if (data3 != o.data3)
        return data3 < o.data3;
    return data4 < o.data4;
}

Guid PSETID_Address() { return guidOf("{00062004-0000-0000-C000-000000000046}"); }
Guid PSETID_Appointment() { return guidOf("{00062002-0000-0000-C000-000000000046}"); }
Guid PSETID_Task() { return guidOf("{00062003-0000-0000-C000-000000000046}"); }
Guid PSETID_Common() { return guidOf("{00062008-0000-0000-C000-000000000046}"); }
Guid PS_PUBLIC_STRINGS() { return guidOf("{00020329-0000-0000-C000-000000000046}"); }
Guid PS_MAPI() { return guidOf("{00020328-0000-0000-C000-000000000046}"); }

void setProfileDialog(ProfileDialog dialog)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_profileDialog = std::move(dialog);
}

void setPasswordPrompt(PasswordPrompt prompt)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_passwordPrompt = std::move(prompt);
}

void setStoreProblemReport(StoreProblemReport report)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_problemReport = std::move(report);
}

std::uint32_t PasswordCrc(const std::string& bytes)
{
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0;
    for (unsigned char b : bytes)
        crc = table[(crc ^ b) & 0xFFu] ^ (crc >> 8);
    return crc;
}

bool PasswordMatches(const std::string& password, std::uint32_t crc)
{
    if (PasswordCrc(password) == crc)
        return true;
    // The same text in one byte per character, when every character has one.
    std::string narrow;
    for (std::size_t i = 0; i < password.size();) {
        const auto b = static_cast<unsigned char>(password[i]);
        if (b < 0x80) {
            narrow += static_cast<char>(b);
            ++i;
        } else if ((b & 0xE0u) == 0xC0u && i + 1 < password.size()) {
            const std::uint32_t cp =
                ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(password[i + 1]) & 0x3Fu);
            if (cp > 0xFF)
                return false;
            narrow += static_cast<char>(cp);
            i += 2;
        } else {
            return false;
        }
    }
    return narrow != password && PasswordCrc(narrow) == crc;
}

void setLogSink(LogSink sink)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_logSink = std::move(sink);
}

void log(LogLevel level, const std::string& text)
{
    LogSink sink;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        sink = g_logSink;
    }
    if (sink) {
        sink(level, text);
        return;
    }
    const char* prefix = level == LogLevel::Debug ? "Debug" : level == LogLevel::Warning ? "Warning" : "Critical";
    std::fprintf(stderr, "%s: %s\n", prefix, text.c_str());
}

HResult MAPIInitialize()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_initCount;
    return S_OK;
}

void MAPIUninitialize()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_initCount > 0)
        --g_initCount;
}

HResult MAPILogonEx(std::uintptr_t /*uiParam*/, std::uint32_t flags, std::unique_ptr<Session>& session)
{
    session.reset();
    ProfileDialog dialog;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_initCount == 0)
            return MAPI_E_NOT_INITIALIZED;
        dialog = g_profileDialog;
    }
    if (const char* fixture = std::getenv("KELVOR_STORE"); fixture && *fixture)
        return detail::logonMemory(fixture, session);
    std::vector<std::string> files;
    if (const char* pst = std::getenv("KELVOR_PST"); pst && *pst) {
        files = splitPaths(pst);
    } else {
        if (!(flags & MAPI_LOGON_UI) || !dialog) {
            log(LogLevel::Critical, "No Outlook data file: neither KELVOR_STORE nor KELVOR_PST is set");
            return MAPI_E_LOGON_FAILED;
        }
        files = dialog();
        if (files.empty())
            return MAPI_E_USER_CANCEL;
    }
    if (files.empty())
        return MAPI_E_LOGON_FAILED;
    return detail::logonPst(files, session);
}

HResult logonMemoryFixture(const std::string& fixturePath, std::unique_ptr<Session>& session)
{
    return detail::logonMemory(fixturePath, session);
}

HResult logonMemoryFixtureText(const std::string& json, std::unique_ptr<Session>& session)
{
    return detail::logonMemoryText(json, "(text)", session);
}

HResult logonPstFiles(const std::vector<std::string>& paths, std::unique_ptr<Session>& session)
{
    return detail::logonPst(paths, session);
}

HResult HrGetOneProp(MapiProp& object, PropTag tag, PropValue& value)
{
    std::vector<PropValue> values;
    HResult hr = object.GetProps({tag}, 0, values);
    if (failed(hr))
        return hr;
    if (values.size() != 1 || values[0].isError())
        return values.size() == 1 && values[0].l < 0 ? values[0].l : MAPI_E_NOT_FOUND;
    value = std::move(values[0]);
    return S_OK;
}

HResult HrQueryAllRows(Table& table, const std::vector<PropTag>& columns, RowSet& rows)
{
    rows.clear();
    HResult hr = table.SetColumns(columns, 0);
    if (failed(hr))
        return hr;
    hr = table.SeekToBeginning();
    if (failed(hr))
        return hr;
    for (;;) {
        RowSet some;
        hr = table.QueryRows(256, 0, some);
        if (hr != S_OK)
            return hr;
        if (some.empty())
            return S_OK;
        for (auto& r : some)
            rows.push_back(std::move(r));
    }
}

namespace detail {

HResult unlockStore(const std::string& file, std::uint32_t crc)
{
    PasswordPrompt prompt;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        prompt = g_passwordPrompt;
    }
    for (int attempt = 1; prompt && attempt <= PasswordAttempts; ++attempt) {
        std::string password;
        if (!prompt(file, attempt, password))
            break;
        if (PasswordMatches(password, crc)) {
            log(LogLevel::Debug, "Outlook data file " + file + " opened with its password");
            return S_OK;
        }
        if (attempt == PasswordAttempts) {
            log(LogLevel::Critical,
                "Outlook data file " + file + ": wrong password given " + std::to_string(attempt) + " times; it is skipped");
            reportStoreProblems({StoreProblem{StoreProblem::Kind::WrongPassword, file, "wrong password"}}, true);
            return MAPI_E_NO_ACCESS;
        }
    }
    log(LogLevel::Critical, "Outlook data file " + file + " is password-protected; it is skipped");
    return MAPI_E_USER_CANCEL;
}

void reportStoreProblems(const std::vector<StoreProblem>& problems, bool anyUsable)
{
    if (problems.empty())
        return;
    StoreProblemReport report;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        report = g_problemReport;
    }
    if (report)
        report(problems, anyUsable);
}

std::string hex32(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

namespace {

std::string iconvName(int cp)
{
    switch (cp) {
    case 20127:
        return "ASCII";
    case 20866:
        return "KOI8-R";
    case 21866:
        return "KOI8-U";
    case 50220:
    case 50221:
    case 50222:
        return "ISO-2022-JP";
    case 51932:
        return "EUC-JP";
    case 51949:
        return "EUC-KR";
    case 52936:
        return "HZ";
    case 54936:
        return "GB18030";
    case 10000:
        return "MACINTOSH";
    case 1200:
        return "UTF-16LE";
    case 1201:
        return "UTF-16BE";
    default:
        break;
    }
    if (cp >= 28591 && cp <= 28606)
        return "ISO-8859-" + std::to_string(cp - 28590);
    return "CP" + std::to_string(cp);
}

void appendUtf8(std::string& out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool iconvDecode(const char* data, std::size_t size, const std::string& from, std::string& out)
{
    iconv_t cd = iconv_open("UTF-8", from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    out.clear();
    char* in = const_cast<char*>(data);
    std::size_t inLeft = size;
    char buf[4096];
    while (inLeft > 0) {
        char* o = buf;
        std::size_t oLeft = sizeof buf;
        std::size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, static_cast<std::size_t>(o - buf));
        if (r == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // EILSEQ or EINVAL (incomplete sequence at the end): replace one byte, go on.
            out += "\xEF\xBF\xBD";
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    char* o = buf;
    std::size_t oLeft = sizeof buf;
    iconv(cd, nullptr, nullptr, &o, &oLeft);
    out.append(buf, static_cast<std::size_t>(o - buf));
    iconv_close(cd);
    return true;
}

} // namespace

std::string utf16leToUtf8(const std::uint8_t* data, std::size_t size)
{
    std::string out;
    std::size_t n = size / 2;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t c = bytes::le16(data + 2 * i);
        if (c == 0)
            break;
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n) {
            std::uint32_t d = bytes::le16(data + 2 * i + 2);
            if (d >= 0xDC00 && d < 0xE000) {
                appendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00));
                ++i;
                continue;
            }
        }
        if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;
        appendUtf8(out, c);
    }
    return out;
}

std::string decodeCodePage(const char* data, std::size_t size, int codePage)
{
    if (codePage == 1200)
        return utf16leToUtf8(reinterpret_cast<const std::uint8_t*>(data), size);
    std::size_t len = 0;
    while (len < size && data[len] != '\0')
        ++len;
    bool ascii = true;
    for (std::size_t i = 0; i < len && ascii; ++i)
        ascii = static_cast<unsigned char>(data[i]) < 0x80;
    if (ascii)
        return std::string(data, len);
    std::string out;
    if (codePage == 65001) {
        if (iconvDecode(data, len, "UTF-8", out))
            return out;
    } else if (codePage > 0 && iconvDecode(data, len, iconvName(codePage), out)) {
        return out;
    }
    if (iconvDecode(data, len, "CP1252", out))
        return out;
    out.clear();
    for (std::size_t i = 0; i < len; ++i)
        appendUtf8(out, static_cast<unsigned char>(data[i]));
    return out;
}

bool convertStringType(PropValue& value, PropType wanted)
{
    const PropType have = value.type();
    if (have == wanted)
        return true;
    const bool single = (have == PT_STRING8 || have == PT_UNICODE) && (wanted == PT_STRING8 || wanted == PT_UNICODE);
    const bool multi =
        (have == PT_MV_STRING8 || have == PT_MV_UNICODE) && (wanted == PT_MV_STRING8 || wanted == PT_MV_UNICODE);
    if (!single && !multi)
        return false;
    value.tag = CHANGE_PROP_TYPE(value.tag, wanted);
    return true;
}

} // namespace detail

} // namespace xmapi

namespace xmapi::detail {

PropValue pickValue(const PropValue* stored, PropTag tag)
{
    if (!stored)
        return PropValue::error(tag, MAPI_E_NOT_FOUND);
    const PropType wanted = PROP_TYPE(tag);
    PropValue v = *stored;
    if (wanted == PT_UNSPECIFIED || v.type() == PT_ERROR) {
        v.tag = CHANGE_PROP_TYPE(tag, v.type());
        return v;
    }
    v.tag = CHANGE_PROP_TYPE(tag, v.type());
    if (!convertStringType(v, wanted))
        return PropValue::error(tag, MAPI_E_NOT_FOUND);
    return v;
}

LazyTable::LazyTable(std::size_t count, std::vector<PropTag> defaultColumns, Reader reader, HResult setColumnsResult)
    : m_count(count), m_columns(std::move(defaultColumns)), m_reader(std::move(reader)),
      m_setColumnsResult(setColumnsResult)
{
}

HResult LazyTable::SetColumns(const std::vector<PropTag>& columns, std::uint32_t)
{
    if (failed(m_setColumnsResult))
        return m_setColumnsResult;
    m_columns = columns;
    return S_OK;
}

HResult LazyTable::QueryRows(std::int32_t rowCount, std::uint32_t, RowSet& rows)
{
    rows.clear();
    if (rowCount <= 0)
        return E_INVALIDARG;
    while (m_pos < m_count && rows.size() < static_cast<std::size_t>(rowCount)) {
        Row row;
        bool skip = false;
        HResult hr = m_reader(m_pos, m_columns, row, skip);
        ++m_pos;
        if (failed(hr))
            return hr;
        if (!skip)
            rows.push_back(std::move(row));
    }
    return S_OK;
}

HResult LazyTable::GetRowCount(std::uint32_t, std::uint32_t& count)
{
    count = static_cast<std::uint32_t>(m_count);
    return S_OK;
}

HResult LazyTable::SeekToBeginning()
{
    m_pos = 0;
    return S_OK;
}

EntryId makeEntryId(const std::array<std::uint8_t, 16>& storeUid, std::uint32_t nodeId)
{
    EntryId id(24, 0);
    for (int i = 0; i < 16; ++i)
        id[4 + i] = storeUid[i];
    for (int i = 0; i < 4; ++i)
        id[20 + i] = static_cast<std::uint8_t>(nodeId >> (8 * i));
    return id;
}

bool parseEntryId(const EntryId& id, const std::array<std::uint8_t, 16>& storeUid, std::uint32_t& nodeId)
{
    if (id.size() != 24)
        return false;
    for (int i = 0; i < 16; ++i)
        if (id[4 + i] != storeUid[i])
            return false;
    nodeId = bytes::le32(id.data() + 20);
    return true;
}

} // namespace xmapi::detail

namespace xmapi::detail {

NameMap::Key NameMap::keyOf(const NamedProp& n)
{
    if (n.kind == NamedProp::Kind::Id)
        return Key{n.guid, 0, n.id, std::string()};
    return Key{n.guid, 1, 0, n.name};
}

void NameMap::add(const NamedProp& name, std::uint16_t propId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ids.emplace(keyOf(name), propId);
    if (propId > m_highest)
        m_highest = propId;
}

int NameMap::find(const NamedProp& name) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_ids.find(keyOf(name));
    return it == m_ids.end() ? -1 : it->second;
}

std::size_t NameMap::size() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ids.size();
}

HResult NameMap::resolve(const std::vector<NamedProp>& names, std::uint32_t flags, std::vector<PropTag>& tags)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (names.empty())
        return MAPI_E_INVALID_PARAMETER;
    tags.clear();
    bool missing = false;
    for (const auto& n : names) {
        auto it = m_ids.find(keyOf(n));
        if (it != m_ids.end()) {
            tags.push_back(PROP_TAG(PT_UNSPECIFIED, it->second));
        } else if ((flags & MAPI_CREATE) && m_highest < 0xFFFE) {
            const auto id = static_cast<std::uint16_t>(++m_highest);
            m_ids.emplace(keyOf(n), id);
            tags.push_back(PROP_TAG(PT_UNSPECIFIED, id));
        } else {
            tags.push_back(PROP_TAG(PT_ERROR, 0));
            missing = true;
        }
    }
    return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
}

} // namespace xmapi::detail
