// Byte and hex helpers of the store layer, shared with the MIME converter and the runs (not part
// of the store interface). Standard C++ only, so that a back-end without Qt can use them; the
// QString form of a result code exists where Qt Core is there.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef QT_CORE_LIB
#include <QString>
#endif

namespace xmapi::bytes {

// The value of one hexadecimal digit, -1 for any other character.
constexpr int hexDigit(char c)
{
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// Little-endian unsigned integers at `p`; the caller has checked that the bytes are there.
inline std::uint16_t le16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t le32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}
inline std::uint32_t le32(const char* p) { return le32(reinterpret_cast<const std::uint8_t*>(p)); }

#ifdef QT_CORE_LIB
// A result code or property tag as the logs show it: lower-case hexadecimal of its 32 bits, never
// signed ("80040111"); a result code converts to these 32 bits unchanged.
inline QString hexOf(std::uint32_t value)
{
    return QString::number(value, 16);
}
#endif

} // namespace xmapi::bytes
