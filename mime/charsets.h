// Windows code pages and Internet code page ids as iconv charset names, and decoding to UTF-8.
#pragma once

#include <cstddef>
#include <string>

// The iconv name of a Windows code page or Internet code page id (PR_INTERNET_CPID,
// PR_MESSAGE_CODEPAGE, RTF \ansicpg); nullptr when unknown or 0.
const char* charsetOfCodePage(int codePage);

// The Windows code page of an RTF \fcharset value; 0 when it names none (ANSI default, symbol).
int codePageOfRtfCharset(int fcharset);

// Appends `data` decoded from `charset` to `out` as UTF-8. Bytes that are not valid in the
// charset become U+FFFD each, so nothing stops the rest from being decoded. False when iconv does
// not know the charset (nothing appended).
bool appendAsUtf8(const char* data, std::size_t size, const char* charset, std::string& out);

// True when `data` is valid UTF-8.
bool isValidUtf8(const char* data, std::size_t size);
