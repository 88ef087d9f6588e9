#include "privatefiles.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int openPrivateFile(const QByteArray& path, PrivateOpen how)
{
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (how == PrivateOpen::Truncate)
        flags |= O_TRUNC;
    else if (how == PrivateOpen::Append)
        flags |= O_APPEND;
    int fd = -1;
    do {
        fd = ::open(path.constData(), flags, S_IRUSR | S_IWUSR);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    // An existing file keeps its mode on open: tighten it (a file of another user is left alone,
    // fchmod fails for it).
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
        (void)::fchmod(fd, st.st_mode & 0700);
    return fd;
}

std::FILE* openPrivateLog(const QByteArray& path, qint64 rotateAt)
{
    int fd = openPrivateFile(path, PrivateOpen::Append);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (rotateAt > 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > rotateAt) {
        ::close(fd);
        const QByteArray old = path + ".1";
        (void)::rename(path.constData(), old.constData());
        fd = openPrivateFile(path, PrivateOpen::Append);
        if (fd < 0)
            return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "ab");
    if (!file)
        ::close(fd);
    return file;
}

bool writePrivateFile(const QString& path, const QByteArray& data)
{
    // Overwritten in place and cut to the new length: truncating a file to zero before writing
    // makes ext4 start writeback of the old data (its protection of the replace-by-truncate
    // pattern), which cost several milliseconds per write, once per imported contact.
    const int fd = openPrivateFile(QFile::encodeName(path), PrivateOpen::InPlace);
    if (fd < 0)
        return false;
    const char* p = data.constData();
    qint64 left = data.size();
    off_t at = 0;
    bool ok = true;
    while (left > 0) {
        const ssize_t n = ::pwrite(fd, p, size_t(left), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= n;
        at += n;
    }
    if (ok && ::ftruncate(fd, off_t(data.size())) != 0)
        ok = false;
    return ::close(fd) == 0 && ok;
}

bool restrictToOwner(const QString& path, unsigned mode)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::lstat(name.constData(), &st) != 0 || S_ISLNK(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    if ((st.st_mode & 07777) == mode)
        return true;
    return ::chmod(name.constData(), mode) == 0;
}
