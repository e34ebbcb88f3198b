// SPDX-License-Identifier: MIT
// Preloaded into a tool to make the system misbehave as some file systems do, or to record
// what the tool asks of it. OSTRAKIT_SHIM names the behaviour for descriptors above the
// standard three:
//   short-write  a write takes at most 100 bytes of what it is given
//   zero-write   a write reports success but takes nothing
//   eintr-write  every other write is interrupted (EINTR) before it takes anything
//   close-eio    a close reports EIO, as NFS or FUSE do when a write-back fails; the descriptor
//                is closed all the same
//   ntfs3, ntfs, smb2, cifs, 9p, fuse  fstatfs reports that file system's magic number: the
//                kernel's NTFS drivers, an SMB client mount, a 9p or FUSE (virtiofs) mount
//   nfs4-locks   flock takes POSIX locks, as the NFSv4 client does: a write lock only through a
//                descriptor open for writing (EBADF otherwise), a read lock only through one
//                open for reading
//   nfs4-large   as nfs4-locks, and the stream "s" is larger than a value can hold (E2BIG, as
//                ntfs-3g says for a stream past 64 KiB)
//   full-once    the first attribute set is refused for want of space, as a full xfs did once
//   rename-at-lock  the first lock taken (flock) is preceded by a rename of "decoy" over "f" in
//                the current directory, as another program may make it at any moment
//   unlink-at-lock  the first lock taken is preceded by a delete of "f" and its other name
//                "hard" in the current directory, as a pruner may make it at any moment
//   rewrite-at-set  the second attribute set (the first block's; the open's unchanged one is
//                the first) is followed by another writer's, which leaves the attribute holding
//                the bytes of the file "meddled" in the current directory
//   remove-at-set  the third attribute set (the second block's) is preceded by another
//                program's removal of the attribute
// With OSTRAKIT_SHIM_MOUNTINFO set, an open of /proc/self/mountinfo opens that file instead.
// With OSTRAKIT_SHIM_LOG set, each read of standard input and each write above the standard
// three appends "read ASKED GOT" or "write ASKED GOT" to that file.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <class Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using Write = ssize_t (*)(int, const void*, size_t);
using Read = ssize_t (*)(int, void*, size_t);
using Close = int (*)(int);

bool mode_is(const char* name) {
    const char* mode = std::getenv("OSTRAKIT_SHIM");
    return mode != nullptr && std::strcmp(mode, name) == 0;
}

void record(const char* call, size_t asked, ssize_t got) {
    static const Write real_write = real<Write>("write");
    static int log = -2;
    if (log == -2) {
        const char* path = std::getenv("OSTRAKIT_SHIM_LOG");
        log = path ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
    }
    if (log < 0) return;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%s %zu %zd\n", call, asked, got);
    real_write(log, line, static_cast<size_t>(length));
}

}  // namespace

extern "C" ssize_t write(int fd, const void* data, size_t size) {
    static const Write real_write = real<Write>("write");
    static bool interrupted = false;
    if (fd <= 2) return real_write(fd, data, size);
    ssize_t result;
    if (mode_is("zero-write") && size > 0) {
        result = 0;
    } else if (mode_is("eintr-write") && (interrupted = !interrupted)) {
        errno = EINTR;
        result = -1;
    } else {
        result = real_write(fd, data, mode_is("short-write") && size > 100 ? 100 : size);
    }
    const int saved = errno;
    record("write", size, result);
    errno = saved;
    return result;
}

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
    static const Read real_read = real<Read>("read");
    const ssize_t result = real_read(fd, buffer, size);
    if (fd == 0) {
        const int saved = errno;
        record("read", size, result);
        errno = saved;
    }
    return result;
}

extern "C" int close(int fd) {
    static const Close real_close = real<Close>("close");
    const int result = real_close(fd);
    if (fd <= 2 || result != 0 || !mode_is("close-eio")) return result;
    errno = EIO;
    return -1;
}

extern "C" int fstatfs(int fd, struct statfs* volume) {
    static const auto real_fstatfs = real<int (*)(int, struct statfs*)>("fstatfs");
    static const struct {
        const char* mode;
        unsigned long magic;
    } volumes[] = {{"ntfs3", 0x7366746e}, {"ntfs", 0x5346544e}, {"smb2", 0xfe534d42},
                   {"cifs", 0xff534d42},  {"9p", 0x01021997},   {"fuse", 0x65735546}};
    const int result = real_fstatfs(fd, volume);
    for (const auto& faked : volumes)
        if (result == 0 && mode_is(faked.mode))
            volume->f_type = static_cast<decltype(volume->f_type)>(faked.magic);
    return result;
}

extern "C" int open(const char* path, int flags, ...) {
    static const auto real_open = real<int (*)(const char*, int, ...)>("open");
    std::va_list rest;
    va_start(rest, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    const char* table = std::getenv("OSTRAKIT_SHIM_MOUNTINFO");
    if (table != nullptr && std::strcmp(path, "/proc/self/mountinfo") == 0) path = table;
    return real_open(path, flags, mode);
}

namespace {

// Another writer's set of the whole attribute, from the file "meddled".
void meddle(int fd, const char* name) {
    static char value[65536];
    const int file = open("meddled", O_RDONLY | O_CLOEXEC);
    const ssize_t size = file < 0 ? -1 : read(file, value, sizeof value);
    if (file >= 0) close(file);
    if (size >= 0) fsetxattr(fd, name, value, static_cast<size_t>(size), 0);
}

}  // namespace

extern "C" int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
    static const auto real_fsetxattr =
        real<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr");
    static bool refused = false;
    static int sets = 0;
    if (mode_is("full-once") && !refused) {
        refused = true;
        errno = ENOSPC;
        return -1;
    }
    ++sets;
    if (mode_is("remove-at-set") && sets == 3) fremovexattr(fd, name);
    const int result = real_fsetxattr(fd, name, value, size, flags);
    if (result == 0 && mode_is("rewrite-at-set") && sets == 2) meddle(fd, name);
    return result;
}

extern "C" ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) {
    static const auto real_fgetxattr =
        real<ssize_t (*)(int, const char*, void*, size_t)>("fgetxattr");
    if (!mode_is("nfs4-large") || std::strcmp(name, "user.s") != 0)
        return real_fgetxattr(fd, name, value, size);
    errno = E2BIG;
    return -1;
}

extern "C" int flock(int fd, int operation) {
    static const auto real_flock = real<int (*)(int, int)>("flock");
    static bool meddled = false;
    if (mode_is("rename-at-lock") && !meddled) {
        meddled = true;
        std::rename("decoy", "f");
    }
    if (mode_is("unlink-at-lock") && !meddled) {
        meddled = true;
        unlink("f");
        unlink("hard");
    }
    if (!mode_is("nfs4-locks") && !mode_is("nfs4-large")) return real_flock(fd, operation);
    const int access = fcntl(fd, F_GETFL) & O_ACCMODE;
    const bool exclusive = operation & LOCK_EX, shared = operation & LOCK_SH;
    if ((exclusive && access == O_RDONLY) || (shared && access == O_WRONLY)) {
        errno = EBADF;
        return -1;
    }
    struct flock whole = {};
    whole.l_type = exclusive ? F_WRLCK : shared ? F_RDLCK : F_UNLCK;
    whole.l_whence = SEEK_SET;
    return fcntl(fd, (operation & LOCK_NB) ? F_OFD_SETLK : F_OFD_SETLKW, &whole);
}
