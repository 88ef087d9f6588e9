// A read-only libbfio file handle for libpff that reads the file in windows (pffio.cpp).
#pragma once

#include <libbfio.h>

#include <string>

namespace xmapi::detail {

// A handle for the file at `path`, not yet open (libpff opens it); null when it cannot be made.
// Free it with libbfio_handle_free after the libpff file that uses it is freed.
libbfio_handle_t* readAheadHandle(const std::string& path);

} // namespace xmapi::detail
