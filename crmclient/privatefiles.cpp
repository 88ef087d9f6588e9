#include "privatefiles.h"

#include <QFile>

#include <cerrno>
#include <map>
#include <mutex>
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

namespace
{

bool writeAllAt(int fd, const QByteArray& data, off_t at, bool append)
{
    const char* p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = append ? ::write(fd, p, size_t(left)) : ::pwrite(fd, p, size_t(left), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
        at += n;
    }
    return true;
}

// The files kept open between writes, by path as the callers give it. Relative paths need no
// care: each write looks the path up again, and a lookup from another current folder finds another
// file. Few paths are ever written this way (the HTTP logs and the request dump); when more pile
// up, all are closed.
class KeptFiles
{
public:
    static KeptFiles& instance()
    {
        static KeptFiles* files = new KeptFiles; // never destroyed: writes may come late at exit
        return *files;
    }

    // Appends or rewrites under one lock, so that writers on several threads never interleave.
    bool append(const QByteArray& path, const QByteArray& data, qint64 rotateAt)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        struct stat st;
        int fd = keptFor(path, PrivateOpen::Append, &st);
        if (fd >= 0 && rotateAt > 0 && S_ISREG(st.st_mode) && st.st_size > rotateAt) {
            forget(path);
            const QByteArray old = path + ".1";
            (void)::rename(path.constData(), old.constData());
            fd = keptFor(path, PrivateOpen::Append, &st);
        }
        return fd >= 0 && writeAllAt(fd, data, 0, true);
    }

    bool replace(const QByteArray& path, const QByteArray& data)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        struct stat st;
        const int fd = keptFor(path, PrivateOpen::InPlace, &st);
        // Overwritten in place and cut to the new length (only when it was longer): truncating a
        // file to zero before writing makes ext4 start writeback of the old data (its protection of
        // the replace-by-truncate pattern), which cost several milliseconds per write, once per
        // imported contact.
        if (fd < 0 || !writeAllAt(fd, data, 0, false))
            return false;
        return st.st_size <= data.size() || ::ftruncate(fd, off_t(data.size())) == 0;
    }

private:
    struct Kept {
        int fd;
        dev_t device;
        ino_t inode;
        PrivateOpen how;
    };

    // The open descriptor for name, opened anew when the path no longer names the kept file; st
    // receives the file's state. -1 when it cannot be opened.
    int keptFor(const QByteArray& name, PrivateOpen how, struct stat* st)
    {
        auto it = m_files.find(name);
        if (it != m_files.end()) {
            if (::stat(name.constData(), st) == 0 && st->st_dev == it->second.device &&
                st->st_ino == it->second.inode && it->second.how == how) {
                if (S_ISREG(st->st_mode) && (st->st_mode & 077) != 0)
                    (void)::fchmod(it->second.fd, st->st_mode & 0700);
                return it->second.fd;
            }
            forget(name);
        }
        if (m_files.size() >= 8)
            forgetAll();
        const int fd = openPrivateFile(name, how);
        if (fd < 0)
            return -1;
        if (::fstat(fd, st) != 0) {
            ::close(fd);
            return -1;
        }
        m_files.emplace(name, Kept{fd, st->st_dev, st->st_ino, how});
        return fd;
    }

    void forget(const QByteArray& name)
    {
        auto it = m_files.find(name);
        if (it == m_files.end())
            return;
        ::close(it->second.fd);
        m_files.erase(it);
    }

    void forgetAll()
    {
        for (auto& entry : m_files)
            ::close(entry.second.fd);
        m_files.clear();
    }

    std::mutex m_mutex;
    std::map<QByteArray, Kept> m_files;
};

} // namespace

bool appendPrivateLog(const QByteArray& path, const QByteArray& data, qint64 rotateAt)
{
    return KeptFiles::instance().append(path, data, rotateAt);
}

bool writePrivateFile(const QString& path, const QByteArray& data)
{
    return KeptFiles::instance().replace(QFile::encodeName(path), data);
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
