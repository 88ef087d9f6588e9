// The .pst/.ost back-end on a damaged file: the input becomes an in-memory file (memfd), opened
// through its /proc path like any profile file, then walked completely.
#include "storewalk.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int fd = memfd_create("fuzz.pst", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n <= 0)
            break;
        written += std::size_t(n);
    }
    if (written == size) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        std::unique_ptr<xmapi::Session> session;
        if (!xmapi::failed(xmapi::logonPstFiles({path}, session)) && session)
            fuzzwalk::walkSession(*session);
    }
    ::close(fd);
    return 0;
}
