#include "rtfbody.h"

#include "bytes.h"
#include "charsets.h"

#include <cctype>
#include <cstring>
#include <map>
#include <vector>

namespace {

// Groups whose text is not part of the document's body.
bool isSkippedDestination(const std::string& w)
{
    static const char* const names[] = {
        "colortbl",  "stylesheet", "info",       "pict",        "header",        "headerl",     "headerr",
        "headerf",   "footer",     "footerl",    "footerr",     "footerf",       "nonshppict",  "fldinst",
        "xe",        "tc",         "themedata",  "listtable",   "listoverridetable", "rsidtbl", "generator",
        "userprops", "docvar",     "revtbl",     "filetbl",     "latentstyles",  "datastore",   "xmlnstbl",
        "pgdsctbl",  "ftnsep",     "ftnsepc",    "aftnsep",     "aftnsepc",      "template",    "objdata",
        "objclass",  "bkmkstart",  "bkmkend",    "colorschememapping", "mmathPr", "wgrffmtfilter", "private",
    };
    for (const char* n : names)
        if (w == n)
            return true;
    return false;
}

class RtfReader {
public:
    explicit RtfReader(const std::string& in) : m_in(in) {}

    RtfBody read()
    {
        RtfBody result;
        std::size_t start = 0;
        while (start < m_in.size() && std::isspace(static_cast<unsigned char>(m_in[start])))
            ++start;
        if (m_in.compare(start, 5, "{\\rtf") != 0)
            return result;
        m_pos = start;
        m_stack.push_back(State());
        while (m_pos < m_in.size() && !m_stack.empty()) {
            const char c = m_in[m_pos++];
            switch (c) {
            case '{':
                flush();
                m_stack.push_back(m_stack.back());
                m_stack.back().groupStart = true;
                m_stack.back().ignorable = false;
                break;
            case '}':
                flush();
                if (m_stack.size() > 1)
                    m_stack.pop_back();
                else
                    m_stack.clear();
                break;
            case '\\':
                control();
                break;
            case '\r':
            case '\n':
                break;
            default:
                character(static_cast<unsigned char>(c));
                break;
            }
        }
        flush();
        result.kind = m_mode == Mode::Html ? RtfBody::Kind::Html : RtfBody::Kind::Text;
        result.encapsulated = m_mode != Mode::Rtf;
        if (m_mode == Mode::Rtf) {
            // Word processors end a document with a paragraph mark.
            while (!m_out.empty() && (m_out.back() == '\n' || m_out.back() == '\r'))
                m_out.pop_back();
        }
        makeValidUtf8(m_out); // a guard: every piece above is valid already
        result.text = std::move(m_out);
        return result;
    }

private:
    enum class Mode { Rtf, Html, Text };
    struct State {
        bool skip = false;
        bool fontTable = false;
        bool htmlrtf = false;
        bool htmltag = false;
        bool groupStart = false;
        bool ignorable = false; // \* seen at the start of this group
        int uc = 1;
        int font = -1;
    };

    State& st() { return m_stack.back(); }

    bool emitting()
    {
        const State& s = st();
        if (s.skip || s.fontTable)
            return false;
        if (m_mode == Mode::Rtf)
            return true;
        return s.htmltag || !s.htmlrtf;
    }

    int codePage()
    {
        const State& s = st();
        const int font = s.font >= 0 ? s.font : m_defaultFont;
        if (auto it = m_fontCodePage.find(font); it != m_fontCodePage.end() && it->second > 0)
            return it->second;
        return m_ansiCodePage;
    }

    void flush()
    {
        if (m_pending.empty())
            return;
        const char* cs = charsetOfCodePage(m_pendingCp);
        if (!cs || !m_decoder.append(m_pending.data(), m_pending.size(), cs, m_out))
            m_decoder.append(m_pending.data(), m_pending.size(), "CP1252", m_out);
        m_pending.clear();
    }

    void byte(unsigned char b)
    {
        if (m_skipChars > 0) {
            --m_skipChars;
            return;
        }
        // A NUL is no text, in any code page an RTF body uses (like \u0).
        if (b == 0 || !emitting())
            return;
        flushSurrogate();
        const int cp = codePage();
        if (!m_pending.empty() && cp != m_pendingCp)
            flush();
        m_pendingCp = cp;
        m_pending.push_back(static_cast<char>(b));
    }

    void text(const char* utf8)
    {
        if (!emitting())
            return;
        flush();
        flushSurrogate();
        m_out += utf8;
    }

    void unicode(std::uint32_t u)
    {
        flush();
        if (u >= 0xD800 && u <= 0xDBFF) {
            flushSurrogate();
            m_highSurrogate = u;
            return;
        }
        if (u >= 0xDC00 && u <= 0xDFFF) {
            if (!m_highSurrogate) {
                appendCodePoint(0xFFFD);
                return;
            }
            u = 0x10000 + ((m_highSurrogate - 0xD800) << 10) + (u - 0xDC00);
            m_highSurrogate = 0;
        } else {
            flushSurrogate();
        }
        appendCodePoint(u);
    }

    void flushSurrogate()
    {
        if (m_highSurrogate) {
            m_highSurrogate = 0;
            appendCodePoint(0xFFFD);
        }
    }

    void appendCodePoint(std::uint32_t u)
    {
        if (u == 0)
            return;
        char buf[4];
        int n = 0;
        if (u < 0x80) {
            buf[n++] = static_cast<char>(u);
        } else if (u < 0x800) {
            buf[n++] = static_cast<char>(0xC0 | (u >> 6));
            buf[n++] = static_cast<char>(0x80 | (u & 0x3F));
        } else if (u < 0x10000) {
            buf[n++] = static_cast<char>(0xE0 | (u >> 12));
            buf[n++] = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            buf[n++] = static_cast<char>(0x80 | (u & 0x3F));
        } else {
            buf[n++] = static_cast<char>(0xF0 | (u >> 18));
            buf[n++] = static_cast<char>(0x80 | ((u >> 12) & 0x3F));
            buf[n++] = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            buf[n++] = static_cast<char>(0x80 | (u & 0x3F));
        }
        m_out.append(buf, static_cast<std::size_t>(n));
    }

    void character(unsigned char c)
    {
        st().groupStart = false;
        byte(c);
    }

    void control()
    {
        if (m_pos >= m_in.size())
            return;
        const char c = m_in[m_pos];
        if (!std::isalpha(static_cast<unsigned char>(c))) {
            ++m_pos;
            symbol(c);
            return;
        }
        std::string word;
        while (m_pos < m_in.size() && std::isalpha(static_cast<unsigned char>(m_in[m_pos])) && word.size() < 32)
            word += m_in[m_pos++];
        bool hasParam = false;
        long param = 0;
        bool negative = false;
        if (m_pos < m_in.size() && m_in[m_pos] == '-') {
            negative = true;
            ++m_pos;
        }
        int digits = 0;
        while (m_pos < m_in.size() && std::isdigit(static_cast<unsigned char>(m_in[m_pos]))) {
            if (digits < 10)
                param = param * 10 + (m_in[m_pos] - '0');
            ++digits;
            ++m_pos;
        }
        hasParam = digits > 0;
        if (negative)
            param = -param;
        if (m_pos < m_in.size() && m_in[m_pos] == ' ')
            ++m_pos;
        controlWord(word, hasParam, param);
    }

    void symbol(char c)
    {
        switch (c) {
        case '\'': {
            if (m_pos + 2 <= m_in.size()) {
                const int hi = xmapi::bytes::hexDigit(m_in[m_pos]);
                const int lo = xmapi::bytes::hexDigit(m_in[m_pos + 1]);
                if (hi >= 0 && lo >= 0) {
                    m_pos += 2;
                    st().groupStart = false;
                    byte(static_cast<unsigned char>(hi * 16 + lo));
                }
            } else {
                m_pos = m_in.size(); // cut off inside the escape
            }
            break;
        }
        case '\\':
        case '{':
        case '}':
            character(static_cast<unsigned char>(c));
            break;
        case '~':
            st().groupStart = false;
            if (m_skipChars > 0)
                --m_skipChars;
            else
                text("\xC2\xA0");
            break;
        case '_':
            st().groupStart = false;
            text("-");
            break;
        case '*':
            if (st().groupStart)
                st().ignorable = true;
            break;
        case '\r':
        case '\n':
            paragraph();
            break;
        case '-': // optional hyphen
        default:
            break;
        }
    }

    void paragraph() { text("\r\n"); }

    void controlWord(const std::string& w, bool hasParam, long param)
    {
        State& s = st();
        const bool first = s.groupStart;
        s.groupStart = false;
        if (first && s.ignorable) {
            s.ignorable = false;
            if (w == "htmltag" && m_mode == Mode::Html) {
                s.htmltag = true;
                s.skip = false;
                return;
            }
            s.skip = true;
            return;
        }
        if (w == "bin") {
            // Binary data: skip it unread.
            const std::size_t n = hasParam && param > 0 ? static_cast<std::size_t>(param) : 0;
            m_pos = n > m_in.size() - m_pos ? m_in.size() : m_pos + n;
            return;
        }
        if (s.skip)
            return;
        if (w == "fonttbl") {
            s.fontTable = true;
            return;
        }
        if (s.fontTable) {
            if (w == "f" && hasParam)
                m_tableFont = static_cast<int>(param);
            else if (w == "fcharset" && hasParam)
                m_fontCodePage[m_tableFont] = codePageOfRtfCharset(static_cast<int>(param));
            else if (w == "cpg" && hasParam && param > 0)
                m_fontCodePage[m_tableFont] = static_cast<int>(param);
            return;
        }
        if (isSkippedDestination(w)) {
            s.skip = true;
            return;
        }
        if (w == "fromhtml") {
            m_mode = Mode::Html;
        } else if (w == "fromtext") {
            if (m_mode == Mode::Rtf)
                m_mode = Mode::Text;
        } else if (w == "htmlrtf") {
            s.htmlrtf = !hasParam || param != 0;
        } else if (w == "ansicpg" && hasParam && param > 0) {
            m_ansiCodePage = static_cast<int>(param);
        } else if (w == "deff" && hasParam) {
            m_defaultFont = static_cast<int>(param);
        } else if (w == "f" && hasParam) {
            s.font = static_cast<int>(param);
        } else if (w == "uc" && hasParam && param >= 0) {
            s.uc = static_cast<int>(param);
        } else if (w == "u" && hasParam) {
            if (emitting()) {
                const long v = param < 0 ? param + 65536 : param;
                unicode(static_cast<std::uint32_t>(v & 0xFFFF));
            }
            m_skipChars = s.uc;
        } else if (w == "par" || w == "line" || w == "row" || w == "page" || w == "sect") {
            paragraph();
        } else if (w == "tab" || w == "cell") {
            text("\t");
        } else if (w == "emdash") {
            text("\xE2\x80\x94");
        } else if (w == "endash") {
            text("\xE2\x80\x93");
        } else if (w == "bullet") {
            text("\xE2\x80\xA2");
        } else if (w == "lquote") {
            text("\xE2\x80\x98");
        } else if (w == "rquote") {
            text("\xE2\x80\x99");
        } else if (w == "ldblquote") {
            text("\xE2\x80\x9C");
        } else if (w == "rdblquote") {
            text("\xE2\x80\x9D");
        } else if (w == "emspace" || w == "enspace" || w == "qmspace") {
            text(" ");
        }
    }

    const std::string& m_in;
    std::size_t m_pos = 0;
    std::vector<State> m_stack;
    Mode m_mode = Mode::Rtf;
    int m_ansiCodePage = 1252;
    int m_defaultFont = -1;
    int m_tableFont = -1;
    std::map<int, int> m_fontCodePage;
    int m_skipChars = 0;
    std::string m_pending;
    int m_pendingCp = 1252;
    Utf8Decoder m_decoder; // one converter per code page for the whole body
    std::uint32_t m_highSurrogate = 0;
    std::string m_out;
};

} // namespace

RtfBody DecodeRtfBody(const std::string& rtf)
{
    return RtfReader(rtf).read();
}
