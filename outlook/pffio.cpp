// A read-only file handle for libpff that reads ahead.
//
// libpff reads a .pst/.ost file in blocks of 512 bytes to 8 KiB, each with a seek and a read of its
// own, so that reading a message cost some thirty system calls, a fifth of the CPU time of reading
// and converting it. This handle keeps its position itself (a seek costs nothing) and reads the
// file in windows of 16 KiB with pread(); blocks that lie in the last window read come from memory.
// The blocks of one item are often written close together: on the OST sample one read in eight is
// served from the window, and the system calls per message fall from 31 to 14. (Larger windows
// serve more reads but copy more than they save.)
//
// libbfio calls these functions through the handle; one handle serves one libpff file, which is
// used by one thread at a time, so the handle needs no lock.
#include "pffio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace xmapi::detail {

namespace {

constexpr std::size_t kWindow = 16 * 1024;
constexpr off64_t kAlign = 4096;

struct ReadAhead {
    std::string path;
    int fd = -1;
    off64_t offset = 0;
    off64_t size = 0;
    std::vector<std::uint8_t> window;
    off64_t windowStart = 0;
    std::size_t windowLength = 0; // bytes of the window that hold file data
};

ReadAhead* self(intptr_t* h) { return reinterpret_cast<ReadAhead*>(h); }

int freeHandle(intptr_t** h, libbfio_error_t**)
{
    if (h && *h) {
        ReadAhead* r = self(*h);
        if (r->fd >= 0)
            ::close(r->fd);
        delete r;
        *h = nullptr;
    }
    return 1;
}

int cloneHandle(intptr_t** destination, intptr_t* source, libbfio_error_t**)
{
    if (!destination || *destination || !source)
        return -1;
    auto* r = new ReadAhead;
    r->path = self(source)->path;
    *destination = reinterpret_cast<intptr_t*>(r);
    return 1;
}

int openHandle(intptr_t* h, int flags, libbfio_error_t**)
{
    ReadAhead* r = self(h);
    if (!r || r->fd >= 0 || (flags & LIBBFIO_ACCESS_FLAG_WRITE))
        return -1;
    r->fd = ::open(r->path.c_str(), O_RDONLY | O_CLOEXEC);
    if (r->fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(r->fd, &st) != 0) {
        ::close(r->fd);
        r->fd = -1;
        return -1;
    }
    r->size = st.st_size;
    r->offset = 0;
    r->windowLength = 0;
    return 1;
}

int closeHandle(intptr_t* h, libbfio_error_t**)
{
    ReadAhead* r = self(h);
    if (!r || r->fd < 0)
        return -1;
    ::close(r->fd);
    r->fd = -1;
    r->windowLength = 0;
    return 0;
}

// pread() until `size` bytes or the end of the file; -1 on an error.
ssize_t readAt(int fd, std::uint8_t* buffer, std::size_t size, off64_t offset)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread64(fd, buffer + done, size - done, offset + off64_t(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += std::size_t(got);
    }
    return ssize_t(done);
}

ssize_t readHandle(intptr_t* h, std::uint8_t* buffer, std::size_t size, libbfio_error_t**)
{
    ReadAhead* r = self(h);
    if (!r || r->fd < 0 || !buffer)
        return -1;
    if (size == 0 || r->offset >= r->size)
        return 0;
    const bool inWindow = r->windowLength > 0 && r->offset >= r->windowStart &&
                          r->offset + off64_t(size) <= r->windowStart + off64_t(r->windowLength);
    if (!inWindow) {
        if (size > kWindow / 2) {
            const ssize_t got = readAt(r->fd, buffer, size, r->offset);
            if (got > 0)
                r->offset += got;
            return got;
        }
        r->window.resize(kWindow);
        r->windowStart = r->offset - r->offset % kAlign;
        const ssize_t got = readAt(r->fd, r->window.data(), kWindow, r->windowStart);
        if (got < 0) {
            r->windowLength = 0;
            return -1;
        }
        r->windowLength = std::size_t(got);
    }
    const off64_t at = r->offset - r->windowStart;
    const std::size_t available = at < off64_t(r->windowLength) ? r->windowLength - std::size_t(at) : 0;
    const std::size_t n = size < available ? size : available;
    std::memcpy(buffer, r->window.data() + at, n);
    r->offset += off64_t(n);
    return ssize_t(n);
}

ssize_t writeHandle(intptr_t*, const std::uint8_t*, std::size_t, libbfio_error_t**) { return -1; }

off64_t seekHandle(intptr_t* h, off64_t offset, int whence, libbfio_error_t**)
{
    ReadAhead* r = self(h);
    if (!r || r->fd < 0)
        return -1;
    off64_t to = offset;
    if (whence == SEEK_CUR)
        to = r->offset + offset;
    else if (whence == SEEK_END)
        to = r->size + offset;
    else if (whence != SEEK_SET)
        return -1;
    if (to < 0)
        return -1;
    r->offset = to;
    return to;
}

int existsHandle(intptr_t* h, libbfio_error_t**)
{
    ReadAhead* r = self(h);
    if (!r)
        return -1;
    return ::access(r->path.c_str(), F_OK) == 0 ? 1 : 0;
}

int isOpenHandle(intptr_t* h, libbfio_error_t**)
{
    ReadAhead* r = self(h);
    if (!r)
        return -1;
    return r->fd >= 0 ? 1 : 0;
}

int getSizeHandle(intptr_t* h, size64_t* size, libbfio_error_t**)
{
    ReadAhead* r = self(h);
    if (!r || r->fd < 0 || !size)
        return -1;
    *size = size64_t(r->size);
    return 1;
}

} // namespace

libbfio_handle_t* readAheadHandle(const std::string& path)
{
    auto* r = new ReadAhead;
    r->path = path;
    libbfio_handle_t* handle = nullptr;
    if (libbfio_handle_initialize(&handle, reinterpret_cast<intptr_t*>(r), freeHandle, cloneHandle, openHandle,
                                  closeHandle, readHandle, writeHandle, seekHandle, existsHandle, isOpenHandle,
                                  getSizeHandle, LIBBFIO_FLAG_IO_HANDLE_MANAGED | LIBBFIO_FLAG_IO_HANDLE_CLONE_BY_FUNCTION,
                                  nullptr) != 1) {
        delete r;
        return nullptr;
    }
    return handle;
}

} // namespace xmapi::detail
