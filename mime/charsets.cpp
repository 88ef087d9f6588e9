#include "charsets.h"

#include <glib.h>

#include <cerrno>

const char* charsetOfCodePage(int cp)
{
    switch (cp) {
    case 65001: return "UTF-8";
    case 65000: return "UTF-7";
    case 1200: return "UTF-16LE";
    case 1201: return "UTF-16BE";
    case 20127: return "US-ASCII";
    case 28591: return "ISO-8859-1";
    case 28592: return "ISO-8859-2";
    case 28593: return "ISO-8859-3";
    case 28594: return "ISO-8859-4";
    case 28595: return "ISO-8859-5";
    case 28596: return "ISO-8859-6";
    case 28597: return "ISO-8859-7";
    case 28598: case 38598: return "ISO-8859-8";
    case 28599: return "ISO-8859-9";
    case 28603: return "ISO-8859-13";
    case 28605: return "ISO-8859-15";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 50220: case 50221: case 50222: return "ISO-2022-JP";
    case 51932: case 20932: return "EUC-JP";
    case 932: return "CP932";
    case 936: return "GBK";
    case 54936: return "GB18030";
    case 52936: return "HZ-GB-2312";
    case 949: case 51949: return "CP949";
    case 50225: return "ISO-2022-KR";
    case 950: return "BIG5";
    case 874: return "CP874";
    case 437: return "CP437";
    case 850: return "CP850";
    case 866: return "CP866";
    case 10000: return "MACINTOSH";
    case 1250: case 1251: case 1252: case 1253: case 1254: case 1255: case 1256: case 1257: case 1258: {
        static const char* names[] = {"CP1250", "CP1251", "CP1252", "CP1253", "CP1254",
                                      "CP1255", "CP1256", "CP1257", "CP1258"};
        return names[cp - 1250];
    }
    default:
        return nullptr;
    }
}

int codePageOfRtfCharset(int fcharset)
{
    switch (fcharset) {
    case 0: return 1252;
    case 77: return 10000;
    case 128: return 932;
    case 129: return 949;
    case 134: return 936;
    case 136: return 950;
    case 161: return 1253;
    case 162: return 1254;
    case 163: return 1258;
    case 177: return 1255;
    case 178: return 1256;
    case 186: return 1257;
    case 204: return 1251;
    case 222: return 874;
    case 238: return 1250;
    case 254: return 437;
    default: return 0; // 1 default, 2 symbol: the document's code page
    }
}

namespace {

const GIConv kNoConverter = reinterpret_cast<GIConv>(-1);

bool isUtf8Name(const char* charset)
{
    return g_ascii_strcasecmp(charset, "UTF-8") == 0 || g_ascii_strcasecmp(charset, "UTF8") == 0;
}

void convert(GIConv cd, const char* data, std::size_t size, std::string& out)
{
    gchar* in = const_cast<gchar*>(data);
    gsize inLeft = size;
    char buf[4096];
    const std::size_t start = out.size();
    while (inLeft > 0) {
        gchar* o = buf;
        gsize oLeft = sizeof buf;
        const gsize r = g_iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, sizeof buf - oLeft);
        if (r == static_cast<gsize>(-1)) {
            if (errno == E2BIG)
                continue;
            // Invalid or incomplete sequence: mark it and go on after the byte.
            out.append("\xEF\xBF\xBD");
            ++in;
            --inLeft;
            g_iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    // Flush a shift state (ISO-2022-JP ends in ASCII), and leave the converter in its initial state
    // for the next run.
    gchar* o = buf;
    gsize oLeft = sizeof buf;
    g_iconv(cd, nullptr, nullptr, &o, &oLeft);
    out.append(buf, sizeof buf - oLeft);
    // iconv's output is meant to be UTF-8, but a charset that is a UTF-8 variant passes overlong
    // and out-of-range forms through, and a NUL in the input comes out as NUL.
    if (!isValidUtf8(out.data() + start, out.size() - start)) {
        const std::string tail = out.substr(start);
        out.resize(start);
        appendValidUtf8(tail.data(), tail.size(), out);
    }
}

} // namespace

bool appendAsUtf8(const char* data, std::size_t size, const char* charset, std::string& out)
{
    Utf8Decoder decoder;
    return decoder.append(data, size, charset, out);
}

Utf8Decoder::~Utf8Decoder()
{
    for (auto& [name, cd] : m_converters)
        if (static_cast<GIConv>(cd) != kNoConverter)
            g_iconv_close(static_cast<GIConv>(cd));
}

bool Utf8Decoder::append(const char* data, std::size_t size, const char* charset, std::string& out)
{
    if (isUtf8Name(charset)) {
        appendValidUtf8(data, size, out);
        return true;
    }
    auto it = m_converters.find(charset);
    if (it == m_converters.end())
        it = m_converters.emplace(charset, static_cast<void*>(g_iconv_open("UTF-8", charset))).first;
    const GIConv cd = static_cast<GIConv>(it->second);
    if (cd == kNoConverter)
        return false;
    if (size > 0)
        convert(cd, data, size, out);
    return true;
}

bool isValidUtf8(const char* data, std::size_t size)
{
    return g_utf8_validate(data, static_cast<gssize>(size), nullptr);
}

void appendValidUtf8(const char* data, std::size_t size, std::string& out)
{
    // g_utf8_validate stops at a NUL as at an invalid byte: a NUL is dropped, anything else that
    // stopped it becomes U+FFFD.
    while (size > 0) {
        const gchar* end = nullptr;
        const bool valid = g_utf8_validate(data, static_cast<gssize>(size), &end);
        const auto good = static_cast<std::size_t>(end - data);
        out.append(data, good);
        if (valid)
            return;
        if (data[good] != '\0')
            out.append("\xEF\xBF\xBD");
        data += good + 1;
        size -= good + 1;
    }
}

void makeValidUtf8(std::string& text)
{
    if (isValidUtf8(text.data(), text.size()))
        return;
    std::string valid;
    valid.reserve(text.size() + 16);
    appendValidUtf8(text.data(), text.size(), valid);
    text.swap(valid);
}
