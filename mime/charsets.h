// Windows code pages and Internet code page ids as iconv charset names, and decoding to UTF-8.
#pragma once

#include <cstddef>
#include <map>
#include <string>

// The iconv name of a Windows code page or Internet code page id (PR_INTERNET_CPID,
// PR_MESSAGE_CODEPAGE, RTF \ansicpg); nullptr when unknown or 0.
const char* charsetOfCodePage(int codePage);

// The Windows code page of an RTF \fcharset value; 0 when it names none (ANSI default, symbol).
int codePageOfRtfCharset(int fcharset);

// Appends `data` decoded from `charset` to `out` as UTF-8. Bytes that are not valid in the
// charset become U+FFFD each, so nothing stops the rest from being decoded; NUL bytes are dropped
// (no mail text carries them). The result is always valid UTF-8, also for "UTF-8" input, which is
// checked rather than trusted. False when iconv does not know the charset (nothing appended).
bool appendAsUtf8(const char* data, std::size_t size, const char* charset, std::string& out);

// The same for many short runs in a few charsets (the text runs of one RTF body): each charset's
// converter is opened once and kept until the decoder is destroyed. One thread at a time.
class Utf8Decoder {
public:
    Utf8Decoder() = default;
    Utf8Decoder(const Utf8Decoder&) = delete;
    Utf8Decoder& operator=(const Utf8Decoder&) = delete;
    ~Utf8Decoder();

    bool append(const char* data, std::size_t size, const char* charset, std::string& out);

private:
    std::map<std::string, void*> m_converters; // charset name -> GIConv; (void*)-1 when unknown
};

// True when `data` is valid UTF-8.
bool isValidUtf8(const char* data, std::size_t size);

// Appends `data` to `out` with every sequence that is not valid UTF-8 replaced by U+FFFD (one per
// byte) and NUL bytes dropped.
void appendValidUtf8(const char* data, std::size_t size, std::string& out);

// `text` made valid in place the same way; cheap when it already is.
void makeValidUtf8(std::string& text);
