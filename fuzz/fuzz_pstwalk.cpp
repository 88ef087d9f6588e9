// The .pst/.ost back-end on a damaged file: the input becomes an in-memory file, walked completely.
#include "storewalk.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzwalk::walkPstBytes(data, size);
    return 0;
}
