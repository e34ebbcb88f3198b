// SPDX-License-Identifier: MIT
// The platform operations on Linux. A named stream "file:name" is the extended attribute
// "user.name" of "file", as ntfs-3g maps NTFS streams, or else the attribute in which Samba or
// ksmbd keeps it for Windows clients (stream_forms.h). Nothing is kept between calls.
#include <fcntl.h>
#include <linux/limits.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "names.h"
#include "platform.h"
#include "samba.h"
#include "samba_record.h"
#include "stream_forms.h"
#include "volumes.h"

namespace ostrakit::platform {
namespace {

static_assert(STREAM_NAME_CAPACITY == XATTR_NAME_MAX + 1);
static_assert(STREAM_VALUE_CAPACITY == XATTR_SIZE_MAX && XATTR_SIZE_MAX == XATTR_LIST_MAX);

constexpr std::string_view USER_NAMESPACE = "user.";

bool fail(int code) {
    errno = code;
    return false;
}

// Forms "user.<stream>" in `attribute`, refusing a name no file system can hold.
bool form_attribute(std::string_view stream, char* attribute) {
    if (USER_NAMESPACE.size() + stream.size() > XATTR_NAME_MAX) return fail(ENAMETOOLONG);
    std::memcpy(attribute, USER_NAMESPACE.data(), USER_NAMESPACE.size());
    std::memcpy(attribute + USER_NAMESPACE.size(), stream.data(), stream.size());
    attribute[USER_NAMESPACE.size() + stream.size()] = '\0';
    return true;
}

// A regular file without its owner-write bit stands in for the read-only attribute, which
// refuses administrators too.
bool is_read_only(const struct stat& status) {
    return S_ISREG(status.st_mode) && (status.st_mode & S_IWUSR) == 0;
}

// Where the last piece of a name is looked up: a directory, and the piece itself, terminated.
// A name past PATH_MAX, which every single call refuses, is walked a piece at a time (O_PATH),
// so that symbolic links and ".." mean what they would in one call.
struct Place {
    int directory;
    char name[PATH_MAX];
};

// Closes the walk's directory, keeping the code of a failure that is still to be reported.
void leave(const Place& place) {
    if (place.directory == AT_FDCWD) return;
    const int saved = errno;
    close(place.directory);
    errno = saved;
}

// The file part of `path` as the kernel is to find it. A relative name goes from the current
// directory itself: the full path formed from it may lead elsewhere now (a mount over it, a
// rename meanwhile).
std::string_view as_named(const ExtendedPathBuffer& path, std::string_view file) {
    if (path.directory_length == 0) return file;
    const std::string_view relative(file.data() + path.directory_length,
                                    file.size() - path.directory_length);
    return relative.empty() ? std::string_view(".") : relative;
}

bool find_place(const ExtendedPathBuffer& path, std::string_view file, Place& place) {
    place.directory = AT_FDCWD;
    std::string_view rest = as_named(path, file);
    for (PathPiece piece = next_path_piece(rest, PATH_MAX); !piece.head.empty();
         piece = next_path_piece(rest, PATH_MAX)) {
        std::memcpy(place.name, piece.head.data(), piece.head.size());
        place.name[piece.head.size()] = '\0';
        const int next = openat(place.directory, place.name, O_PATH | O_DIRECTORY | O_CLOEXEC);
        leave(place);
        if (next < 0) return false;
        place.directory = next;
        rest = piece.tail;
    }
    // What is left has no slash to split at: one component longer than any name can be.
    if (rest.size() >= PATH_MAX) {
        leave(place);
        return fail(ENAMETOOLONG);
    }
    std::memcpy(place.name, rest.data(), rest.size());
    place.name[rest.size()] = '\0';
    return true;
}

// Moves a descriptor just opened above the standard three, so that nothing meant for standard
// error can land in the target. Returns it, or -1 after closing it with the reason in errno.
int above_standard_handles(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    // EINVAL: the descriptor limit leaves nothing above the three, which is EMFILE's case.
    const int saved = errno == EINVAL ? EMFILE : errno;
    close(fd);
    errno = saved;
    return moved;
}

// Opens the file part of `path`, above the standard handles. An open of what may be a FIFO adds
// O_NONBLOCK, so that a FIFO without a reader is refused at once instead of hanging the open.
int open_above_standard_handles(const ExtendedPathBuffer& path, std::string_view file,
                                int flags) {
    Place place;
    if (!find_place(path, file, place)) return -1;
    const int fd = openat(place.directory, place.name, flags | O_NOCTTY | O_CLOEXEC);
    leave(place);
    return above_standard_handles(fd);
}

// Closes a descriptor on a failure road and leaves `code` for the report.
bool close_failed(int fd, int code) {
    close(fd);
    errno = code;
    return false;
}

// Takes the lock `kind`: a writer's LOCK_EX stands in for "no sharing", held for the run for
// the file and for each of its streams; a deleter's LOCK_SH, held until the delete is done,
// keeps it from deleting under a writer, and a writer that starts meanwhile out.
bool take_lock(int fd, int kind) {
    if (flock(fd, kind | LOCK_NB) == 0) return true;
    return fail(errno == EWOULDBLOCK ? EBUSY : errno);
}

// True when another program holds a lock on the file. Where flock is POSIX locks underneath
// (NFSv4), a descriptor open for reading cannot take a write lock (EBADF), but can test for one.
bool lock_held_elsewhere(int fd) {
    struct flock whole = {};  // the whole file: from its start (SEEK_SET, 0), to its end
    whole.l_type = F_WRLCK;
    return fcntl(fd, F_GETLK, &whole) == 0 && whole.l_type != F_UNLCK;
}

// Clears the O_NONBLOCK that an open needed, so that writes to a FIFO wait for its reader.
bool make_blocking(int fd) { return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0; }

bool is_device(const struct stat& status) {
    return S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode);
}

// True when the mount table says that `device` is one of WSL's Windows drives.
bool on_windows_drive(dev_t device) {
    DrvfsSearch search(major(device), minor(device));
    const int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    char chunk[4096];
    for (ssize_t count; fd >= 0 && (count = read(fd, chunk, sizeof chunk)) > 0 &&
                        search.take({chunk, static_cast<std::size_t>(count)});) {
    }
    if (fd >= 0) close(fd);
    return search.found();
}

// Refuses a stream on a volume whose attributes are not streams, reading the mount table only
// where the magic number leaves that open (volumes.h).
bool volume_has_streams(int fd, dev_t device) {
    struct statfs volume;
    if (fstatfs(fd, &volume) != 0) return false;
    const VolumeStreams streams =
        streams_by_magic(static_cast<std::uint32_t>(volume.f_type), major(device) != 0);
    return streams == VolumeStreams::KEPT ||
           (streams == VolumeStreams::ASK_MOUNT_TABLE && !on_windows_drive(device)) ||
           fail(EOPNOTSUPP);
}

// Points standard error at /dev/null, or closes it when even that cannot be opened.
void cut_off_standard_error() {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, STDERR_FILENO) < 0) close(STDERR_FILENO);
    if (null >= 0) close(null);
}

// True when `fd` is open on the file that `examined` describes.
bool is_open_on(int fd, const struct stat& examined) {
    struct stat status;
    return fstat(fd, &status) == 0 && status.st_dev == examined.st_dev &&
           status.st_ino == examined.st_ino;
}

// True when the standard handle `standard` is open on the regular file `target`. With no
// sharing, the tool's own standard handles are openers of a target file like any other, as
// they are on Windows. Devices are left alone: "ostrapour /dev/null > /dev/null" is no conflict.
bool standard_handle_holds(int standard, const struct stat& target) {
    return S_ISREG(target.st_mode) && is_open_on(standard, target);
}

// A file the writer has named but not opened (O_PATH), what it was found to be, and how its
// name reached it.
struct NamedFile {
    const ExtendedPathBuffer& path;
    std::string_view file;
    int descriptor;
    struct stat status;
};

// "/proc/self/fd/N", through which the file that descriptor N stands for is opened once more.
struct DescriptorLink {
    char chars[sizeof "/proc/self/fd/" + 10];
    explicit DescriptorLink(int fd) {
        constexpr std::string_view PREFIX = "/proc/self/fd/";
        std::memcpy(chars, PREFIX.data(), PREFIX.size());
        *std::to_chars(chars + PREFIX.size(), chars + sizeof chars - 1, fd).ptr = '\0';
    }
};

// Opens the named file once more, above the standard handles, through its descriptor's link,
// so that no rename since it was examined can put another file there. Without /proc its name is
// walked again, without blocking, so that a FIFO put there cannot hold the open up. A file other
// than the one examined is busy.
int reopen(const NamedFile& named, int flags) {
    int fd = above_standard_handles(
        open(DescriptorLink(named.descriptor).chars, flags | O_NOCTTY | O_CLOEXEC));
    const bool walked = fd < 0 && errno == ENOENT;
    if (walked) fd = open_above_standard_handles(named.path, named.file, flags | O_NONBLOCK);
    if (fd < 0) return -1;
    if (is_open_on(fd, named.status) && (!walked || (flags & O_NONBLOCK) || make_blocking(fd)))
        return fd;
    close(fd);
    errno = EBUSY;
    return -1;
}

// True when the name in `place` leads to the file `examined` describes (to a symbolic link
// itself with AT_SYMLINK_NOFOLLOW in `flags`). A name that now leads to another file is busy.
bool leads_to(const Place& place, const struct stat& examined, int flags) {
    struct stat found;
    if (fstatat(place.directory, place.name, &found, flags) != 0) return false;
    return (found.st_dev == examined.st_dev && found.st_ino == examined.st_ino) || fail(EBUSY);
}

// True when the file that `held` describes, open and locked for the run, is still the one its
// name leads to: a file deleted before the lock is gone, and nothing written to it could be
// read again.
bool still_named(const ExtendedPathBuffer& path, std::string_view file, const struct stat& held) {
    Place place;
    if (!find_place(path, file, place)) return false;
    const bool there = leads_to(place, held, 0);
    leave(place);
    return there || fail(errno == EBUSY ? ENOENT : errno);
}

// True when Samba's record of the file's Windows attributes marks it read-only, as its SMB
// clients see it. Samba's records are 24 to 60 bytes: one too long for `record` is not its.
bool marked_read_only(int fd) {
    unsigned char record[256];
    const ssize_t size = fgetxattr(fd, SAMBA_RECORD_ATTRIBUTE, record, sizeof record);
    return size > 0 && (samba_dos_attributes(record, static_cast<std::size_t>(size)) &
                        READ_ONLY_ATTRIBUTE) != 0;
}

// Refuses, before any open for writing, a regular file that a file server marks read-only or
// that another writer holds, asking through a descriptor open for reading. The lock for the run
// is taken through the descriptor that writes, as NFS and SMB need: a writer that starts in
// between is refused there, as is every writer of a file it may not read.
bool refuse_marked_or_held_file(const NamedFile& named) {
    if (!S_ISREG(named.status.st_mode)) return true;
    const int asking = reopen(named, O_RDONLY);
    if (asking < 0) return errno == EACCES;
    int code = 0;
    if (marked_read_only(asking))
        code = EACCES;
    else if (!take_lock(asking, LOCK_EX) &&
             (errno == EBUSY || (errno == EBADF && lock_held_elsewhere(asking))))
        code = EBUSY;
    close(asking);
    return code == 0 || fail(code);
}

// Closes whatever the file's open has opened so far, and leaves `code` for the report.
bool give_up(const NamedFile& named, Target& target, int code) {
    for (const int fd : {target.descriptor, named.descriptor})
        if (fd >= 0) close(fd);
    errno = code;
    return false;
}

// Opens a file (not a stream) for writing. It is named (O_PATH) and examined first, so that a
// refused run gives a watcher no write event and overlayfs no cause to copy the file up; a
// directory the kernel refuses to open for writing (EISDIR).
bool open_file(const ExtendedPathBuffer& path, std::string_view file, Target& target) {
    target.descriptor = -1;
    target.is_stream = false;
    NamedFile named{path, file, open_above_standard_handles(path, file, O_PATH), {}};
    if (named.descriptor < 0) return false;
    if (fstat(named.descriptor, &named.status) != 0) return give_up(named, target, errno);
    // Standard error that leads into the target is cut off before any refusal is reported,
    // so that no diagnostic can land among the target's bytes.
    const bool error_leads_into_it = standard_handle_holds(STDERR_FILENO, named.status);
    if (error_leads_into_it) cut_off_standard_error();
    if (error_leads_into_it || standard_handle_holds(STDIN_FILENO, named.status) ||
        standard_handle_holds(STDOUT_FILENO, named.status))
        return give_up(named, target, EBUSY);
    if (is_read_only(named.status)) return give_up(named, target, EACCES);
    if (!refuse_marked_or_held_file(named)) return give_up(named, target, errno);
    // A regular file's open waits while another program's lease on it is broken, as every
    // opener's does (NFS delegations, Samba's oplocks); a FIFO or a device answers at once.
    const bool regular = S_ISREG(named.status.st_mode);
    target.descriptor = reopen(named, O_WRONLY | (regular ? 0 : O_NONBLOCK));
    if (target.descriptor < 0) return give_up(named, target, errno);
    // A device is not the tool's to lock: /dev/null takes any number of writers.
    if (!is_device(named.status) && !take_lock(target.descriptor, LOCK_EX))
        return give_up(named, target, errno);
    if (!still_named(path, file, named.status)) return give_up(named, target, errno);
    if (!regular && !make_blocking(target.descriptor)) return give_up(named, target, errno);
    close(named.descriptor);
    return true;
}

// A missing attribute is "No such file or directory", as a missing stream is on Windows.
int stream_error(int code) { return code == ENODATA ? ENOENT : code; }

// F2FS reports a value too large for it as E2BIG, whose text ("Argument list too long") would
// mislead; ext4 says ENOSPC, as for a full disk.
int set_stream_error(int code) { return code == E2BIG ? EFBIG : stream_error(code); }

// Opens the file that holds a stream, for reading, into `fd`; refuses it on a volume without
// streams, and when it or Samba's record says read-only. Anything but a regular file or a
// directory is refused with `no_streams` unopened: an open would let a FIFO's writer go.
bool open_stream_file(const ExtendedPathBuffer& path, std::string_view file, int no_streams,
                      int& fd) {
    NamedFile named{path, file, open_above_standard_handles(path, file, O_PATH), {}};
    if (named.descriptor < 0) return false;
    int code = 0;
    if (fstat(named.descriptor, &named.status) != 0)
        code = errno;
    else if (!S_ISREG(named.status.st_mode) && !S_ISDIR(named.status.st_mode))
        code = no_streams;
    else if ((fd = reopen(named, O_RDONLY)) < 0)
        code = errno;
    close(named.descriptor);
    if (code != 0) return fail(code);
    if (!volume_has_streams(fd, named.status.st_dev)) return close_failed(fd, errno);
    if (is_read_only(named.status) || marked_read_only(fd))
        return close_failed(fd, EACCES);
    return true;
}

// Puts in `attribute` the name Samba compares as `stream`, from the list read into `scratch`.
// A list longer than the kernel hands out (tmpfs and xfs keep one) holds no stream to find.
bool find_folded_stream(int fd, std::string_view stream, char* attribute, char* scratch) {
    const ssize_t size = flistxattr(fd, scratch, XATTR_LIST_MAX);
    if (size < 0) return fail(errno == E2BIG || errno == ERANGE ? ENODATA : errno);
    const std::string_view name =
        find_samba_stream({scratch, static_cast<std::size_t>(size)}, stream);
    if (name.empty() || name.size() >= STREAM_NAME_CAPACITY) return fail(ENODATA);
    std::memcpy(attribute, name.data(), name.size());
    attribute[name.size()] = '\0';
    return true;
}

// True when the stream whose first value is `attribute` goes on in further pieces (Samba
// 4.24). Their numbering is not documented: the first may be 0 or 1, asked for by name.
bool has_pieces(int fd, const char* attribute) {
    char piece[STREAM_NAME_CAPACITY];
    for (const unsigned index : {0u, 1u})
        if (form_piece_attribute(samba_stream_name(attribute), index, piece, sizeof piece) &&
            fgetxattr(fd, piece, nullptr, 0) >= 0)
            return true;
    return false;
}

// Reads into `value` a stream as a file server keeps it, leaving its attribute in `attribute`:
// its exact name first, as Samba tries it, then one Samba compares as the same. A file whose
// streams are in a depot, and a stream in pieces, are refused.
bool read_server_stream(int fd, std::string_view stream, char* attribute, StreamValue& value) {
    if (fgetxattr(fd, "user.SAMBA_STREAMS", nullptr, 0) >= 0) return fail(EOPNOTSUPP);
    ssize_t length = -1;
    errno = ENODATA;
    if (form_server_attribute(stream, attribute, STREAM_NAME_CAPACITY))
        length = fgetxattr(fd, attribute, value.bytes, value.capacity);
    if (length < 0 && errno == ENODATA &&
        find_folded_stream(fd, stream, attribute, reinterpret_cast<char*>(value.bytes)))
        length = fgetxattr(fd, attribute, value.bytes, value.capacity);
    if (length < 0) return false;
    value.length = static_cast<std::size_t>(length);
    value.form = value_form(value.bytes, value.length);
    // From Samba 4.24 the last byte of a first piece counts the further ones: only a raw value
    // that is not empty may be one.
    return value.form == ValueForm::SAMBA || value.length == 0 || !has_pieces(fd, attribute) ||
           fail(EOPNOTSUPP);
}

// ERANGE: a value larger than the kernel can set again; writing it would shorten it. ntfs-3g
// says E2BIG for a stream past that size.
int value_error(int code) { return code == ERANGE || code == E2BIG ? EFBIG : stream_error(code); }

// Reads into `value` the value of "user.<stream>", raw, or else the stream as a file server
// keeps it, whose attribute it leaves in the target.
bool read_stream(Target& target, std::string_view stream, StreamValue& value) {
    const ssize_t size =
        fgetxattr(target.descriptor, target.attribute, value.bytes, value.capacity);
    if (size >= 0) value.length = static_cast<std::size_t>(size);
    return size >= 0 || (errno == ENODATA && read_server_stream(target.descriptor, stream,
                                                                target.attribute, value));
}

// Reads the stream into the target, then sets it again, unchanged: that asks whether it may be
// written at all (a read-only mount, an immutable file) before any input is read. Want of space
// is reported by the first write that needs it, as for a file.
bool load_stream(Target& target, std::string_view stream) {
    StreamValue value{target.value, sizeof target.value, 0, ValueForm::RAW};
    if (!read_stream(target, stream, value)) return fail(value_error(errno));
    target.form = value.form;
    target.position = 0;
    const bool settable = fsetxattr(target.descriptor, target.attribute, target.value,
                                    value.length, XATTR_REPLACE) == 0;
    if (settable || errno == ENOSPC || errno == EDQUOT) return true;
    return fail(set_stream_error(errno));
}

// Locks the stream's file for the run. Over NFSv4 a descriptor open for reading holds no write
// lock (EBADF): once the stream is found and no writer holds the file, the file is opened for
// writing to take it. A directory cannot be: "No locks available".
bool lock_stream_file(const NamedFile& held, Target& target, std::string_view stream) {
    if (take_lock(target.descriptor, LOCK_EX)) return true;
    if (errno != EBADF) return false;
    if (S_ISDIR(held.status.st_mode)) return fail(ENOLCK);
    if (lock_held_elsewhere(target.descriptor)) return fail(EBUSY);
    StreamValue found{target.value, sizeof target.value, 0, ValueForm::RAW};
    if (!read_stream(target, stream, found)) return fail(value_error(errno));
    if (!form_attribute(stream, target.attribute)) return false;
    const int writer = reopen(held, O_WRONLY);
    if (writer < 0) return false;
    close(target.descriptor);
    target.descriptor = writer;
    return take_lock(writer, LOCK_EX);
}

// The stream's file holds the lock itself, opened for writing only where the lock needs it.
// Samba's own records are not streams to write.
bool open_stream(const ExtendedPathBuffer& path, const SplitName& split, Target& target) {
    target.is_stream = true;
    if (is_samba_record_name(split.stream)) return fail(EINVAL);
    if (!form_attribute(split.stream, target.attribute)) return false;
    if (!open_stream_file(path, split.file, ENOENT, target.descriptor)) return false;
    NamedFile held{path, split.file, target.descriptor, {}};
    if (fstat(target.descriptor, &held.status) != 0 ||
        !lock_stream_file(held, target, split.stream) ||
        !still_named(path, split.file, held.status) || !load_stream(target, split.stream))
        return close_failed(target.descriptor, errno);
    return true;
}

// Puts the block into the stream's value as it is now, read again just before it is set:
// whatever another writer (an SMB client, say) changed meanwhile stays, but for the bytes the
// block writes. A value it shortened below the block, or that lost Samba's form, is busy.
bool write_stream(Target& stream, const void* data, std::uint32_t size, std::uint32_t* taken) {
    const ssize_t length =
        fgetxattr(stream.descriptor, stream.attribute, stream.value, sizeof stream.value);
    if (length < 0) return fail(value_error(errno));
    StreamValue value{stream.value, sizeof stream.value, static_cast<std::size_t>(length),
                      stream.form};
    std::size_t count = 0;
    const Placing placing = place_block(value, stream.position,
                                        static_cast<const unsigned char*>(data), size, count);
    if (placing != Placing::PLACED) return fail(placing == Placing::FULL ? EFBIG : EBUSY);
    // XATTR_REPLACE: a stream removed meanwhile is never created again.
    if (fsetxattr(stream.descriptor, stream.attribute, stream.value, value.length,
                  XATTR_REPLACE) != 0)
        return fail(set_stream_error(errno));
    stream.position += count;
    *taken = static_cast<std::uint32_t>(count);
    return true;
}

// A regular file that a file server marks read-only, or that a writer holds, is not deleted;
// one that cannot be opened to ask is (the lock is advisory). `lock` is left holding the
// shared lock until the delete is done, or -1.
bool may_delete_entry(const NamedFile& named, int& lock) {
    lock = -1;
    if (!S_ISREG(named.status.st_mode)) return true;
    lock = reopen(named, O_RDONLY);
    if (lock < 0) return errno == EACCES;
    if (marked_read_only(lock)) return fail(EACCES);
    return take_lock(lock, LOCK_SH);
}

// The entry itself: a symbolic link goes, not its target; directories never do. It is unlinked
// once its name is seen to lead to it still; a rename over the name after that last look is the
// one window left, since the kernel unlinks by name alone.
bool delete_entry(const ExtendedPathBuffer& path, std::string_view file) {
    Place place;
    if (!find_place(path, file, place)) return false;
    NamedFile named{path, file,
                    openat(place.directory, place.name, O_PATH | O_NOFOLLOW | O_CLOEXEC), {}};
    int code = 0, lock = -1;
    if (named.descriptor < 0 || fstat(named.descriptor, &named.status) != 0)
        code = errno;
    else if (S_ISDIR(named.status.st_mode))
        code = EISDIR;
    else if (is_read_only(named.status))
        code = EACCES;
    else if (!may_delete_entry(named, lock) ||
             !leads_to(place, named.status, AT_SYMLINK_NOFOLLOW) ||
             unlinkat(place.directory, place.name, 0) != 0)
        code = errno;
    for (const int fd : {lock, named.descriptor})
        if (fd >= 0) close(fd);
    leave(place);
    return code == 0 || fail(code);
}

// Samba's own records are not streams to delete.
bool delete_stream(const ExtendedPathBuffer& path, const SplitName& split) {
    if (is_samba_record_name(split.stream)) return fail(EINVAL);
    char attribute[STREAM_NAME_CAPACITY];
    if (!form_attribute(split.stream, attribute)) return false;
    int fd = -1;
    if (!open_stream_file(path, split.file, EPERM, fd)) return false;
    if (!take_lock(fd, LOCK_SH)) return close_failed(fd, errno);
    bool removed = fremovexattr(fd, attribute) == 0;
    if (!removed && errno == ENODATA) {
        // A server's value is read first, to learn whether its stream is in pieces.
        static unsigned char bytes[STREAM_VALUE_CAPACITY];  // static, as the writer's value is
        StreamValue value{bytes, sizeof bytes, 0, ValueForm::RAW};
        removed = read_server_stream(fd, split.stream, attribute, value) &&
                  fremovexattr(fd, attribute) == 0;
    }
    const int code = removed ? 0 : stream_error(errno);
    close(fd);
    return removed || fail(code);
}

}  // namespace

void prepare_process() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

bool build_extended_path(const char* name, ExtendedPathBuffer& out) {
    // The kernel's answer to an empty name, which forming would turn into the current directory.
    if (name[0] == '\0') return fail(ENOENT);
    char directory[FULL_PATH_CAPACITY];
    std::string_view cwd;
    if (name[0] != '/') {
        if (getcwd(directory, sizeof directory) == nullptr)
            return fail(errno == ERANGE ? ENAMETOOLONG : errno);
        cwd = directory;
    }
    if (!form_full_path(cwd, name, out.chars, FULL_PATH_CAPACITY)) return fail(ENAMETOOLONG);
    out.directory_length = std::strlen(out.chars) - std::strlen(name);
    return true;
}

bool open_existing_for_writing(const ExtendedPathBuffer& path, Target& target) {
    const SplitName split = split_stream_name(path.chars);
    if (split.kind == NameKind::INVALID) return fail(EINVAL);
    if (split.kind == NameKind::NAMED_STREAM) return open_stream(path, split, target);
    return open_file(path, split.file, target);
}

Handle standard_input() { return Handle{STDIN_FILENO, false}; }

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

bool write_block(Target& to, const void* data, std::uint32_t size, std::uint32_t* taken) {
    if (to.is_stream) return write_stream(to, data, size, taken);
    for (;;) {
        const ssize_t count = write(to.descriptor, data, size);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return false;
        // Success without progress would make the caller loop for ever.
        if (count == 0 && size != 0) return fail(EIO);
        *taken = static_cast<std::uint32_t>(count);
        return true;
    }
}

bool close_target(Target& target) { return close(target.descriptor) == 0; }

void close_input(Handle input) { close(static_cast<int>(input.native)); }

bool delete_file(const ExtendedPathBuffer& path) {
    const SplitName split = split_stream_name(path.chars);
    if (split.kind == NameKind::INVALID) return fail(EINVAL);
    if (split.kind == NameKind::NAMED_STREAM) return delete_stream(path, split);
    return delete_entry(path, split.file);
}

ErrorCode last_error() { return errno; }

bool is_broken_pipe(ErrorCode) { return false; }

char* system_text(ErrorCode code, char*, std::size_t) { return std::strerror(code); }

void release_system_text(char*, const char*) {}

const char* program_name_for_display(const char* name, char*, std::size_t) { return name; }

void exit_process(int status) {
    std::fflush(stderr);
    _exit(status);
}

}  // namespace ostrakit::platform
