// The memory back-end's JSON fixture loader, then a full walk of what it loaded.
#include "storewalk.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::unique_ptr<xmapi::Session> session;
    const std::string json(reinterpret_cast<const char*>(data), size);
    if (xmapi::failed(xmapi::logonMemoryFixtureText(json, session)) || !session)
        return 0;
    fuzzwalk::walkSession(*session);
    return 0;
}
