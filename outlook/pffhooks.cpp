// Faster stand-ins for two of libpff's inner functions, with the same answers.
//
// A profile of reading and converting messages put two thirds of the time into these two:
//
// - Whenever libpff reads the property table of an item (a message, a recipient table, an
//   attachment), it attaches to every value with an id of 0x8000 or above the file's name-to-id
//   entry of that id, found by walking the file's whole list of entries from its start. A mailbox's
//   list holds hundreds to thousands of entries and a message carries dozens of named values. The
//   stand-in asks libpff once per (list, id) and answers every later question from an index.
// - Every block read from the file is checked against its CRC-32, computed a byte at a time. The
//   stand-in computes the same sum with zlib, which works on eight bytes at a time.
//
// libpff calls both through its exported symbols, so the definitions here take their place in any
// program that links this library; libpff's own functions stay reachable through dlsym(RTLD_NEXT)
// and take over whenever the arguments are unusual (they also report those errors).
//
// Both functions are inside libpff, not part of its interface: their arguments and meaning are
// those of libpff 20180714 (Debian 12's libpff1), the version these stand-ins were written and
// checked against. With any other libpff version (libpff_get_version()) the stand-ins do nothing
// but hand their arguments on to libpff's own function unchanged.
//
// The name-to-id list belongs to an open file: pststore.cpp calls forgetPffNameLookups() before it
// frees a file, so no index entry outlives the list that it points into (a list allocated later may
// get the same address).
#include "pffhooks.h"

#include <libpff.h>

#include <dlfcn.h>
#include <zlib.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace {

// The libpff whose inner functions these stand-ins replace.
constexpr const char* kLibpffVersion = "20180714";

bool standInsApply()
{
    static const bool apply = [] {
        const char* v = libpff_get_version();
        return v && std::strcmp(v, kLibpffVersion) == 0;
    }();
    return apply;
}

template <typename F>
F libpffOwn(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// ---- named-property entries ------------------------------------------------------------------

// libpff: int (libcdata_list_t*, uint32_t, libpff_internal_name_to_id_map_entry_t**, libcerror_error_t**)
// 1 found, 0 not found, -1 error.
using NameLookup = int (*)(void* list, std::uint32_t identifier, void** entry, void** error);

struct Key {
    const void* list;
    std::uint32_t identifier;
    bool operator==(const Key& o) const { return list == o.list && identifier == o.identifier; }
};

struct KeyHash {
    std::size_t operator()(const Key& k) const
    {
        return std::hash<const void*>()(k.list) ^ (std::size_t(k.identifier) * 0x9E3779B97F4A7C15ull);
    }
};

struct NameIndex {
    std::mutex mutex;
    std::unordered_map<Key, void*, KeyHash> entries; // null: the list holds no entry of that id
    std::uint64_t hits = 0;
    std::uint64_t misses = 0;
};

NameIndex& nameIndex()
{
    static NameIndex* index = new NameIndex; // never destroyed: libpff may still read while statics go
    return *index;
}

NameLookup ownNameLookup()
{
    static const NameLookup own = libpffOwn<NameLookup>("libpff_name_to_id_map_entry_get_entry_by_identifier");
    return own;
}

// ---- block checksums -------------------------------------------------------------------------

// libfmapi (inside libpff): int (uint32_t* crc32, const uint8_t* buffer, size_t size,
// uint32_t initial_value, libcerror_error_t** error): the reflected CRC-32 (polynomial 0xEDB88320)
// of the buffer, started from initial_value, without the inversions before and after that zlib's
// crc32 applies.
using WeakCrc = int (*)(std::uint32_t* crc32, const std::uint8_t* buffer, std::size_t size, std::uint32_t initialValue,
                        void** error);

WeakCrc ownWeakCrc()
{
    static const WeakCrc own = libpffOwn<WeakCrc>("libfmapi_checksum_calculate_weak_crc32");
    return own;
}

} // namespace

extern "C" int libpff_name_to_id_map_entry_get_entry_by_identifier(void* list, std::uint32_t identifier, void** entry,
                                                                   void** error)
{
    const NameLookup own = ownNameLookup();
    if (!own)
        return -1;
    if (!standInsApply() || !entry || !list)
        return own(list, identifier, entry, error);
    NameIndex& index = nameIndex();
    {
        std::lock_guard<std::mutex> lock(index.mutex);
        const auto it = index.entries.find(Key{list, identifier});
        if (it != index.entries.end()) {
            ++index.hits;
            *entry = it->second;
            return it->second ? 1 : 0;
        }
    }
    const int result = own(list, identifier, entry, error);
    if (result == 1 || result == 0) {
        std::lock_guard<std::mutex> lock(index.mutex);
        ++index.misses;
        index.entries.emplace(Key{list, identifier}, result == 1 ? *entry : nullptr);
    }
    return result;
}

extern "C" int libfmapi_checksum_calculate_weak_crc32(std::uint32_t* crc32, const std::uint8_t* buffer,
                                                      std::size_t size, std::uint32_t initialValue, void** error)
{
    if (!standInsApply() || !crc32 || !buffer || size > static_cast<std::size_t>(SSIZE_MAX)) {
        const WeakCrc own = ownWeakCrc();
        return own ? own(crc32, buffer, size, initialValue, error) : -1;
    }
    *crc32 = ~static_cast<std::uint32_t>(crc32_z(~initialValue & 0xFFFFFFFFu, buffer, size));
    return 1;
}

namespace xmapi::detail {

bool pffStandInsActive() { return standInsApply() && ownNameLookup() && ownWeakCrc(); }

void forgetPffNameLookups()
{
    NameIndex& index = nameIndex();
    std::lock_guard<std::mutex> lock(index.mutex);
    index.entries.clear();
}

PffNameLookupStats pffNameLookupStats()
{
    NameIndex& index = nameIndex();
    std::lock_guard<std::mutex> lock(index.mutex);
    return PffNameLookupStats{index.hits, index.misses, index.entries.size()};
}

std::uint32_t pffBlockChecksum(const std::uint8_t* data, std::size_t size, std::uint32_t initial, bool viaLibpff)
{
    std::uint32_t crc = 0;
    const WeakCrc f = viaLibpff ? ownWeakCrc() : &libfmapi_checksum_calculate_weak_crc32;
    if (!f || f(&crc, data, size, initial, nullptr) != 1)
        return 0;
    return crc;
}

} // namespace xmapi::detail
