// The recovery of a body from a message's RTF on any bytes: no crash, and the text it gives is
// valid UTF-8 without NUL (it goes into parts labelled utf-8), whatever code page the RTF claims.
#include "charsets.h"
#include "rtfbody.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const RtfBody body = DecodeRtfBody(std::string(reinterpret_cast<const char*>(data), size));
    if (!isValidUtf8(body.text.data(), body.text.size())) // also false on a NUL
        std::abort();
    return 0;
}
