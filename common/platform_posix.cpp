// SPDX-License-Identifier: MIT
// The platform operations on Linux. A named stream "file:name" is the extended attribute
// "user.name" of "file", the mapping ntfs-3g uses, so on an NTFS volume mounted by ntfs-3g the
// same calls reach the real NTFS streams. The Windows behaviour the tools rely on is kept:
// exclusive opens, the read-only attribute, no creation and no shortening.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "names.h"
#include "platform.h"

namespace ostrakit::platform {
namespace {

constexpr std::string_view USER_NAMESPACE = "user.";

// The one stream a run may have open for writing. An attribute can only be set whole, so its
// value is kept here and set again after every block. The kernel holds at most XATTR_SIZE_MAX
// bytes in a value. It starts out zero, with no initializers, so that it costs neither a
// start-up constructor nor 64 KiB of the program file; fd 0 means no stream, since a target
// descriptor is always above the standard three.
struct OpenStream {
    int fd;
    char attribute[XATTR_NAME_MAX + 1];
    unsigned char value[XATTR_SIZE_MAX];
    std::size_t size;
    std::size_t position;
};
OpenStream open_stream;

// The file part of a name, as its own terminated string.
char file_part[FULL_PATH_CAPACITY];
char current_directory[FULL_PATH_CAPACITY];

// The full path build_extended_path formed, and how much of it is the current directory it put
// in front of a relative name (0 for an absolute name).
const char* formed_path = nullptr;
std::size_t directory_part = 0;

bool fail(int code) {
    errno = code;
    return false;
}

// Copies the file part out of `split` and forms "user.<stream>" when there is a stream.
// Refuses names that no file system can hold.
bool prepare_names(const SplitName& split, char* attribute) {
    if (split.kind == NameKind::INVALID) return fail(EINVAL);
    std::memcpy(file_part, split.file.data(), split.file.size());
    file_part[split.file.size()] = '\0';
    if (split.kind != NameKind::NAMED_STREAM) return true;
    if (USER_NAMESPACE.size() + split.stream.size() > XATTR_NAME_MAX) return fail(ENAMETOOLONG);
    std::memcpy(attribute, USER_NAMESPACE.data(), USER_NAMESPACE.size());
    std::memcpy(attribute + USER_NAMESPACE.size(), split.stream.data(), split.stream.size());
    attribute[USER_NAMESPACE.size() + split.stream.size()] = '\0';
    return true;
}

// A regular file without its owner-write bit stands in for the read-only attribute, which
// refuses administrators too.
bool is_read_only(const struct stat& status) {
    return S_ISREG(status.st_mode) && (status.st_mode & S_IWUSR) == 0;
}

// Where the last piece of a name is looked up. A name shorter than PATH_MAX goes to the kernel
// in one call from AT_FDCWD. A longer one, which every single call refuses, is walked a piece
// at a time, each piece opened from the one before as a place to look up from (O_PATH), so that
// symbolic links and ".." mean just what they would in one call.
struct Place {
    int directory;
    const char* rest;
};

// Closes the walk's directory, keeping the code of a failure that is still to be reported.
void leave(const Place& place) {
    if (place.directory == AT_FDCWD) return;
    const int saved = errno;
    close(place.directory);
    errno = saved;
}

// A relative name is reached from the current directory itself, not by the full path formed
// from it: the kernel's current directory is the one the user was in even when that path now
// leads elsewhere (a file system mounted over it, a directory renamed meanwhile).
const char* as_named(const char* path) {
    if (directory_part == 0 || std::strncmp(path, formed_path, directory_part) != 0) return path;
    const char* relative = path + directory_part;
    return *relative == '\0' ? "." : relative;
}

bool find_place(const char* path, Place& place) {
    place = {AT_FDCWD, as_named(path)};
    char head[PATH_MAX];
    for (PathPiece piece = next_path_piece(place.rest, PATH_MAX); !piece.head.empty();
         piece = next_path_piece(place.rest, PATH_MAX)) {
        std::memcpy(head, piece.head.data(), piece.head.size());
        head[piece.head.size()] = '\0';
        const int next = openat(place.directory, head, O_PATH | O_DIRECTORY | O_CLOEXEC);
        leave(place);
        if (next < 0) return false;
        place = {next, piece.tail.data()};  // the tail ends where the whole name does
    }
    return true;
}

// Opens `path` and moves the descriptor above the standard three, so that nothing meant for
// standard error can land in the target. Callers add O_NONBLOCK, so that a FIFO without a
// reader is refused at once instead of hanging the open.
int open_above_standard_handles(const char* path, int flags) {
    Place place;
    if (!find_place(path, place)) return -1;
    const int fd = openat(place.directory, place.rest, flags | O_NOCTTY | O_CLOEXEC);
    leave(place);
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    // EINVAL: the descriptor limit leaves nothing above the three, which is EMFILE's case.
    const int saved = errno == EINVAL ? EMFILE : errno;
    close(fd);
    errno = saved;
    return moved;
}

// The checks of an open below each take the descriptor just opened, or -1 after a failure,
// and give it back, or -1 after closing it with the reason left in errno.

int close_failed(int fd, int code) {
    close(fd);
    errno = code;
    return -1;
}

// Takes the exclusive lock that stands in for "no sharing", then lets writes block again.
int lock_for_writing(int fd) {
    if (fd < 0) return fd;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return close_failed(fd, errno == EWOULDBLOCK ? EBUSY : errno);
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) return close_failed(fd, errno);
    return fd;
}

// Points standard error at /dev/null, or closes it when even that cannot be opened.
void cut_off_standard_error() {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, STDERR_FILENO) < 0) close(STDERR_FILENO);
    if (null >= 0) close(null);
}

// With no sharing, the tool's own standard handles are openers of a target file like any
// other, as they are on Windows. Standard error that leads into the target is cut off before
// any refusal is reported, so that no diagnostic can land among the target's bytes. Devices
// are left alone: "ostrapour /dev/null > /dev/null" is no conflict.
bool held_by_standard_handles(const struct stat& target) {
    if (!S_ISREG(target.st_mode)) return false;
    bool held = false;
    for (int standard = STDIN_FILENO; standard <= STDERR_FILENO; ++standard) {
        struct stat status;
        if (fstat(standard, &status) != 0 || status.st_dev != target.st_dev ||
            status.st_ino != target.st_ino)
            continue;
        held = true;
        if (standard == STDERR_FILENO) cut_off_standard_error();
    }
    return held;
}

// Refuses a read-only target and, when the target is the file itself rather than a stream of
// it, one that the tool's own standard handles hold: streams are shared one by one, so
// "ostrapour f:s < f" is no conflict.
int refuse_read_only(int fd, bool whole_file = false) {
    struct stat status;
    if (fd < 0) return fd;
    if (fstat(fd, &status) != 0) return close_failed(fd, errno);
    if (whole_file && held_by_standard_handles(status)) return close_failed(fd, EBUSY);
    return is_read_only(status) ? close_failed(fd, EACCES) : fd;
}

// A missing attribute is "No such file or directory", as a missing stream is on Windows.
int stream_error(int code) { return code == ENODATA ? ENOENT : code; }

// F2FS reports a value too large for it as E2BIG, whose text ("Argument list too long") would
// mislead; ext4 says ENOSPC, as for a full disk.
int set_stream_error(int code) { return code == E2BIG ? EFBIG : stream_error(code); }

Handle open_stream_for_writing() {
    OpenStream& stream = open_stream;
    // A directory cannot be opened for writing, but its streams can be written.
    const int opened = open_above_standard_handles(file_part, O_RDONLY | O_NONBLOCK);
    const int fd = lock_for_writing(refuse_read_only(opened));
    if (fd < 0) return INVALID_HANDLE;
    const ssize_t size = fgetxattr(fd, stream.attribute, stream.value, sizeof stream.value);
    int code = 0;
    // ERANGE: a value larger than the kernel can set again; writing it would shorten it.
    // ntfs-3g says E2BIG for a stream past that size.
    if (size < 0)
        code = errno == ERANGE || errno == E2BIG ? EFBIG : stream_error(errno);
    // Setting the value again, unchanged, asks what the read-only open cannot: may this stream
    // be written at all (permissions, a read-only or immutable file)? The answer belongs to the
    // open, before any input is read.
    else if (fsetxattr(fd, stream.attribute, stream.value, static_cast<std::size_t>(size),
                       XATTR_REPLACE) != 0)
        code = set_stream_error(errno);
    if (code != 0) {
        close_failed(fd, code);
        return INVALID_HANDLE;
    }
    stream.fd = fd;
    stream.size = static_cast<std::size_t>(size);
    stream.position = 0;
    return Handle{fd};
}

bool write_stream(const void* data, std::uint32_t size, std::uint32_t* taken) {
    OpenStream& stream = open_stream;
    if (stream.position >= sizeof stream.value) return fail(EFBIG);
    std::size_t count = sizeof stream.value - stream.position;
    if (size < count) count = size;
    std::memcpy(stream.value + stream.position, data, count);
    const std::size_t end = stream.position + count;
    const std::size_t new_size = end > stream.size ? end : stream.size;
    // XATTR_REPLACE: a stream removed meanwhile is never created again.
    if (fsetxattr(stream.fd, stream.attribute, stream.value, new_size, XATTR_REPLACE) != 0)
        return fail(set_stream_error(errno));
    stream.position = end;
    stream.size = new_size;
    *taken = static_cast<std::uint32_t>(count);
    return true;
}

// The entry itself: a symbolic link goes, not its target; directories never do.
bool delete_entry() {
    Place place;
    if (!find_place(file_part, place)) return false;
    struct stat status;
    int code = 0;
    if (fstatat(place.directory, place.rest, &status, AT_SYMLINK_NOFOLLOW) != 0)
        code = errno;
    else if (S_ISDIR(status.st_mode))
        code = EISDIR;
    else if (is_read_only(status))
        code = EACCES;
    else if (unlinkat(place.directory, place.rest, 0) != 0)
        code = errno;
    leave(place);
    return code == 0 || fail(code);
}

bool delete_stream(const char* attribute) {
    const int opened = open_above_standard_handles(file_part, O_RDONLY | O_NONBLOCK);
    const int fd = refuse_read_only(opened);
    if (fd < 0) return false;
    const bool removed = fremovexattr(fd, attribute) == 0;
    const int code = removed ? 0 : stream_error(errno);
    close(fd);
    return removed || fail(code);
}

}  // namespace

void prepare_process() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

bool select_user_locale() {
    if (std::setlocale(LC_ALL, "") != nullptr) return true;
    return std::setlocale(LC_ALL, "C") != nullptr;
}

bool build_extended_path(const char* name, ExtendedPathBuffer& out) {
    // The kernel's answer to an empty name, which forming would turn into the current directory.
    if (name[0] == '\0') return fail(ENOENT);
    std::string_view directory;
    if (name[0] != '/') {
        if (getcwd(current_directory, sizeof current_directory) == nullptr)
            return fail(errno == ERANGE ? ENAMETOOLONG : errno);
        directory = current_directory;
    }
    if (!form_full_path(directory, name, out.chars, FULL_PATH_CAPACITY)) return fail(ENAMETOOLONG);
    formed_path = out.chars;
    directory_part = std::strlen(out.chars) - std::strlen(name);
    return true;
}

Handle open_existing_for_writing(const char* path) {
    const SplitName split = split_stream_name(path);
    if (!prepare_names(split, open_stream.attribute)) return INVALID_HANDLE;
    if (split.kind == NameKind::NAMED_STREAM) return open_stream_for_writing();
    const int opened = open_above_standard_handles(file_part, O_WRONLY | O_NONBLOCK);
    const int fd = lock_for_writing(refuse_read_only(opened, true));
    return fd < 0 ? INVALID_HANDLE : Handle{fd};
}

Handle standard_input() { return Handle{STDIN_FILENO}; }

bool read_block(Handle from, void* buffer, std::uint32_t size, std::uint32_t* delivered) {
    const int fd = static_cast<int>(from.native);
    for (;;) {
        const ssize_t count = read(fd, buffer, size);
        if (count >= 0) {
            *delivered = static_cast<std::uint32_t>(count);
            return true;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        // Standard input left non-blocking by whoever started us: wait for data.
        struct pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, -1) < 0 && errno != EINTR) return false;
    }
}

bool write_block(Handle to, const void* data, std::uint32_t size, std::uint32_t* taken) {
    const int fd = static_cast<int>(to.native);
    if (fd == open_stream.fd) return write_stream(data, size, taken);
    for (;;) {
        const ssize_t count = write(fd, data, size);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return false;
        // Success without progress would make the caller loop for ever.
        if (count == 0 && size != 0) return fail(EIO);
        *taken = static_cast<std::uint32_t>(count);
        return true;
    }
}

bool close_handle(Handle handle) {
    const int fd = static_cast<int>(handle.native);
    if (fd == open_stream.fd) open_stream.fd = 0;
    return close(fd) == 0;
}

bool delete_file(const char* path) {
    char attribute[XATTR_NAME_MAX + 1];
    const SplitName split = split_stream_name(path);
    if (!prepare_names(split, attribute)) return false;
    return split.kind == NameKind::NAMED_STREAM ? delete_stream(attribute) : delete_entry();
}

ErrorCode last_error() { return errno; }

bool is_broken_pipe(ErrorCode) { return false; }

char* system_text(ErrorCode code) { return std::strerror(code); }

void release_system_text(char*) {}

const char* program_name_for_display(const char* name, char*, std::size_t) { return name; }

void exit_process(int status) {
    std::fflush(stderr);
    _exit(status);
}

}  // namespace ostrakit::platform
