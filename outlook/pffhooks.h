// Faster stand-ins for two inner functions of libpff (pffhooks.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace xmapi::detail {

// True when the stand-ins work (the libpff loaded is the version they were written for); otherwise
// libpff's own functions answer every call.
bool pffStandInsActive();

// Drops every remembered name-to-id answer. Call before a libpff file is freed: its list of entries
// goes with it, and a list allocated later may reuse the address.
void forgetPffNameLookups();

// How often libpff's name-to-id lookup was answered from the index (hits) or asked of libpff
// (misses), and how many answers the index holds.
struct PffNameLookupStats {
    std::uint64_t hits = 0;
    std::uint64_t misses = 0;
    std::size_t entries = 0;
};
PffNameLookupStats pffNameLookupStats();

// The block checksum as libpff computes it: through the stand-in, or (viaLibpff) libpff's own
// function. 0 when it cannot be computed.
std::uint32_t pffBlockChecksum(const std::uint8_t* data, std::size_t size, std::uint32_t initial, bool viaLibpff);

} // namespace xmapi::detail
