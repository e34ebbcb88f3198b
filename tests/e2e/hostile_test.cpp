// SPDX-License-Identifier: MIT
// Hostile start-ups: however the tools are started they end with status 0 or 1, and the
// target never receives a byte that did not come from standard input.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>

#include "harness.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

constexpr const char* ORIGINAL = "original content";

std::string failure(const std::string& tool, const std::string& operation, int code) {
    return diagnostic(tool, operation, std::strerror(code));
}

void close_or_place(bool closed, int fd, const std::string& path, int flags) {
    if (closed)
        close(fd);
    else
        place_file(fd, path, flags);
}

// One start of a tool in a directory holding "f" (ORIGINAL, with the stream "s" = "value"), a
// hard link "hard" to it, and the inputs "input" ("INPUT") and "blocks" (BLOCKS). The current
// directory is that directory. A target or input name is taken in it unless it starts with "/",
// or with "./", which the tool gets as it stands.
struct Start {
    const char* what;
    const char* tool = "ostrapour";
    std::string target = "f";
    std::string input = "input";       // standard input
    std::function<void()> setup = {};  // in the child, just before the tool starts
    // Run as nobody, after `setup`, from a copy of the tool beside the target: the build tree
    // may be out of nobody's reach (a checkout in root's home).
    bool as_nobody = false;
    int code = 0;                      // 0: success; else the errno of the expected report
    const char* operation = "CreateFile";
    int occurrence = 1;                // which of the tool's report sites for `operation`
    std::string file = ORIGINAL;       // what "f" holds afterwards
    std::string stream = "value";      // and its stream "s"
    // Standard error leads into the target: status 1, and nothing may reach the target.
    bool unreported = false;
    // Run in the test before the tool starts; returns a descriptor to close after it, -1, or
    // UNAVAILABLE for a scene this machine cannot set (the row skips, or fails where everything
    // is required).
    std::function<int(const ScratchDir&)> scene = {};
    int held_as = -1;  // the standard handle that the scene's descriptor becomes in the tool
    // The target is watched (inotify): the tool's refusal comes before any open for writing,
    // so it gives no write event (IN_MODIFY, IN_CLOSE_WRITE).
    bool watched = false;
    std::function<void(const ScratchDir&)> after = {};  // checks and undoes the scene
    // Why the row does not apply to the tools of this run, if it does not (see harness.h).
    std::string (*unless)() = nullptr;
};

constexpr int UNAVAILABLE = -2;

const std::string BLOCKS = binary_bytes(1000);

std::function<void()> place(int fd, const std::string& path, int flags) {
    return [=] { place_file(fd, path, flags); };
}
const auto ERROR_APPENDS_TO_F = place(STDERR_FILENO, "f", O_WRONLY | O_APPEND);

int read_only(const ScratchDir& dir) {
    chmod((dir / "f").c_str(), 0444);
    return -1;
}
int locked(const ScratchDir& dir) {
    const int holder = open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC);
    if (flock(holder, LOCK_EX) != 0) ADD_FAILURE() << "flock: " << std::strerror(errno);
    return holder;
}
int fifo(const ScratchDir& dir) {
    mkfifo((dir / "fifo").c_str(), 0644);
    return -1;
}
// Opened by the caller, so that the tool's closing it is not the last close, which is a write
// event of its own.
int appending(const ScratchDir& dir) {
    return open((dir / "f").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
}
// Written by all, read by its owner alone: run as nobody, the tool may write f but not read it.
int write_only(const ScratchDir& dir) {
    chmod(dir.path().c_str(), 0755);
    chmod((dir / "f").c_str(), 0622);
    return -1;
}
int decoy(const ScratchDir& dir) {
    write_file(dir / "decoy", "decoy");
    return -1;
}
// A read-only file of a container's image: overlayfs, with the lower layer (the image) and the
// upper one (the container's) each on a tmpfs of its own.
int image_layers(const ScratchDir& dir) {
    for (const char* name : {"lower", "upper", "merged"}) mkdir((dir / name).c_str(), 0755);
    if (mount("tmpfs", (dir / "lower").c_str(), "tmpfs", 0, "size=1m") != 0 ||
        mount("tmpfs", (dir / "upper").c_str(), "tmpfs", 0, "size=1m") != 0)
        return UNAVAILABLE;
    write_file(dir / "lower/f", ORIGINAL);
    chmod((dir / "lower/f").c_str(), 0444);
    mkdir((dir / "upper/layer").c_str(), 0755);
    mkdir((dir / "upper/work").c_str(), 0755);
    const std::string layers = "lowerdir=" + dir / "lower" + ",upperdir=" + dir / "upper/layer" +
                               ",workdir=" + dir / "upper/work";
    return mount("overlay", (dir / "merged").c_str(), "overlay", 0, layers.c_str()) == 0
               ? -1
               : UNAVAILABLE;
}
void no_copy_up(const ScratchDir& dir) {
    EXPECT_FALSE(exists(dir / "upper/layer/f")) << "copied up into the container's layer";
    for (const char* name : {"merged", "upper", "lower"}) umount2((dir / name).c_str(), MNT_DETACH);
}
std::function<void()> shim(const char* mode) {
    return [=] { preload_shim(mode); };
}
// Another writer holds f over NFSv4, whose client takes a POSIX lock for flock: the lock the
// shim's "nfs4-locks" takes for the tool.
int locked_over_nfs(const ScratchDir& dir) {
    const int holder = open((dir / "f").c_str(), O_WRONLY | O_CLOEXEC);
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(holder, F_OFD_SETLK, &whole) != 0) ADD_FAILURE() << "lock: " << std::strerror(errno);
    return holder;
}
// A row over NFSv4: the shim's "nfs4-locks" unless the row says otherwise.
Start nfs4(Start start) {
    if (!start.setup) start.setup = shim("nfs4-locks");
    start.unless = cannot_preload;
    return start;
}
// Samba's form of the stream "t": its bytes and one NUL.
const std::string SAMBA_FORM = "DosStream.t:$DATA";
int samba_stream(const ScratchDir& dir) {
    set_stream(dir / "f", SAMBA_FORM, std::string("value\0", 6));
    return -1;
}
int directory_with_stream(const ScratchDir& dir) {
    mkdir((dir / "d").c_str(), 0755);
    set_stream(dir / "d", "s", "value");
    return -1;
}
// With standard input closed the target could only be opened as descriptor 0.
void only_three_descriptors() {
    close(STDIN_FILENO);
    const struct rlimit limit = {3, 3};
    setrlimit(RLIMIT_NOFILE, &limit);
}
void in_deleted_directory() {
    if (mkdir("gone", 0755) != 0 || chdir("gone") != 0 || rmdir("../gone") != 0) _exit(125);
}
// Root reads everything: run as nobody instead.
void as_nobody() {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                           setresuid(65534, 65534, 65534) != 0))
        _exit(125);
}
// As in a chroot: no /proc, so no descriptor's link to open its file again through.
void without_proc() {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        umount2("/proc", MNT_DETACH) != 0)
        _exit(125);
}
// Another program renames a decoy over f between the tool's checks and its open for writing.
void renamed_over() { preload_shim("rename-at-lock"); }
int read_only_decoy(const ScratchDir& dir) {
    decoy(dir);
    chmod((dir / "decoy").c_str(), 0444);
    return -1;
}
// A pruner deletes f, both its names, between the tool's checks and its lock for the run.
void pruned_meanwhile() { preload_shim("unlink-at-lock"); }
void gone(const ScratchDir& dir) {
    EXPECT_FALSE(exists(dir / "f") || exists(dir / "hard")) << "not deleted";
    write_file(dir / "f", ORIGINAL);  // what the row's checks read
}
// As in a container whose /proc is not the kernel's: each descriptor link leads to the decoy.
void proc_leads_to_decoy() {
    char directory[PATH_MAX];
    if (getcwd(directory, sizeof directory) == nullptr || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/proc", "tmpfs", 0, "size=64k") != 0 || mkdir("/proc/self", 0755) != 0 ||
        mkdir("/proc/self/fd", 0755) != 0)
        _exit(125);
    for (int fd = 3; fd < 16; ++fd)
        if (symlink((std::string(directory) + "/decoy").c_str(),
                    ("/proc/self/fd/" + std::to_string(fd)).c_str()) != 0)
            _exit(125);
}
// Another program holds a lease on f and gives it up when the kernel asks (SIGIO), as an NFS
// server's delegation or Samba's oplock does.
int lease_holder = -1;
int leased(const ScratchDir& dir) {
    lease_holder = open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC);
    std::signal(SIGIO, [](int) { fcntl(lease_holder, F_SETLEASE, F_UNLCK); });
    return fcntl(lease_holder, F_SETLEASE, F_RDLCK) == 0 ? lease_holder : UNAVAILABLE;
}
int device_held(const ScratchDir&) {
    const int holder = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (flock(holder, LOCK_EX) != 0) ADD_FAILURE() << "flock: " << std::strerror(errno);
    return holder;
}
// A writer waits in the FIFO's open for a reader: a tool that opened the FIFO to look for a
// stream would let it go, to write to nobody.
std::atomic<bool> writer_let_go;
std::thread waiting_writer;
int fifo_with_waiting_writer(const ScratchDir& dir) {
    fifo(dir);
    writer_let_go = false;
    waiting_writer = std::thread([fifo = dir / "fifo"] {
        const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        writer_let_go = true;
        close(fd);
    });
    std::this_thread::sleep_for(50ms);  // into its open
    return -1;
}
void writer_still_waits(const ScratchDir& dir) {
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(writer_let_go) << "the FIFO was opened";
    close(open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    waiting_writer.join();
}

std::string in(const ScratchDir& dir, const std::string& name) {
    return name.starts_with("/") || name.starts_with("./") ? name : dir / name;
}

void expect_start(const Start& start) {
    SCOPED_TRACE(start.what);
    if (const std::string why = start.unless ? start.unless() : ""; !why.empty()) {
        std::cout << start.what << ": does not apply to the tools of this run: " << why << "\n";
        return;
    }
    ScratchDir dir;
    write_file(dir / "f", ORIGINAL);
    set_stream(dir / "f", "s", "value");
    ASSERT_EQ(link((dir / "f").c_str(), (dir / "hard").c_str()), 0);
    write_file(dir / "input", "INPUT");
    write_file(dir / "blocks", BLOCKS);
    const int held = start.scene ? start.scene(dir) : -1;
    if (held == UNAVAILABLE) {
        if (start.after) start.after(dir);
        if (everything_required()) ADD_FAILURE() << "cannot set the scene";
        std::cout << start.what << ": skipped, the scene cannot be set here\n";
        return;
    }
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (start.watched) {
        // A stream's file: no open for writing of it either.
        std::string target = in(dir, start.target);
        target = target.substr(0, target.find(':', target.rfind('/')));
        EXPECT_GE(inotify_add_watch(watch, target.c_str(), IN_MODIFY | IN_CLOSE_WRITE), 0);
    }
    const bool pours = std::string_view(start.tool) == "ostrapour";
    std::string program = pours ? pour_path() : prune_path();
    if (start.as_nobody) {
        std::filesystem::copy_file(program, dir / "tool");
        program = dir / "tool";
    }
    const Result result = run(program, {.args = {in(dir, start.target)}, .input = Input::FILE,
                                        .path = in(dir, start.input), .cwd = dir.path(),
                                        .setup = [&] {
        if (start.held_as >= 0) dup2(held, start.held_as);
        if (start.setup) start.setup();
        if (start.as_nobody) as_nobody();
    }, .timeout = 10s});
    alignas(inotify_event) char event[4096];
    EXPECT_EQ(read(watch, event, sizeof event), -1) << "IN_MODIFY or IN_CLOSE_WRITE on the target";
    close(watch);
    if (held >= 0) close(held);
    if (start.after) start.after(dir);
    if (start.unreported) {
        EXPECT_TRUE(result.exited) << "signal " << result.signal;
        EXPECT_EQ(result.status, 1);
    } else if (start.code != 0) {
        expect_failure(result, start.tool, start.operation, start.code, "", start.occurrence);
    } else {
        expect_success(result);
    }
    EXPECT_EQ(read_file(dir / "f"), start.file);
    EXPECT_EQ(has_stream(dir / "f", "s") ? read_stream(dir / "f", "s") : "<none>", start.stream);
}

}  // namespace

TEST(HostileHandles, EveryCombinationOfClosedStandardHandles) {
    ScratchDir dir;
    write_file(dir / "input", "INPUT");
    for (int closed = 0; closed < 8; ++closed) {
        const bool in = closed & 1, out = closed & 2, err = closed & 4;
        const std::string what = "closed mask " + std::to_string(closed);
        write_file(dir / "f", ORIGINAL);
        write_file(dir / "err", "");
        const auto handles = [&](const std::string& input) {
            return [&, input] {
                close_or_place(in, STDIN_FILENO, input, O_RDONLY);
                close_or_place(out, STDOUT_FILENO, dir / "out", O_WRONLY | O_CREAT | O_TRUNC);
                close_or_place(err, STDERR_FILENO, dir / "err", O_WRONLY | O_CREAT | O_TRUNC);
            };
        };
        const std::string target = dir / "f";
        Result poured = run(pour_path(), {.args = {target}, .setup = handles(dir / "input")});
        EXPECT_TRUE(poured.exited) << what;
        EXPECT_EQ(poured.status, in ? 1 : 0) << what;
        EXPECT_EQ(read_file(dir / "f"), in ? ORIGINAL : "INPUTnal content") << what;
        EXPECT_EQ(read_file(dir / "err"),
                  in && !err ? failure("ostrapour", "ReadFile", EBADF) : "") << what;

        // A failing read with standard error closed: the target must not stand in for it.
        poured = run(pour_path(), {.args = {target}, .setup = handles(dir.path())});
        EXPECT_EQ(poured.status, 1) << what;
        EXPECT_EQ(read_file(dir / "f"), in ? ORIGINAL : "INPUTnal content") << what;

        const Result pruned = run(prune_path(), {.args = {dir / "f"}, .setup = handles("/")});
        EXPECT_EQ(pruned.status, 0) << what;
        EXPECT_FALSE(exists(dir / "f")) << what;
        const Result missing = run(prune_path(), {.args = {dir / "f"}, .setup = handles("/")});
        EXPECT_EQ(missing.status, 1) << what;
        EXPECT_EQ(read_file(dir / "err"), err ? "" : failure("ostraprune", "DeleteFileW", ENOENT))
            << what;
    }
}

// However it is started, and whatever else holds its target, a tool ends with status 0 or 1
// and the target holds nothing that did not come from standard input.
TEST(HostileStarts, EndWithStatusZeroOrOneAndNothingButInputInTheTarget) {
    const Start starts[] = {
        // With no sharing, the tool's own standard handles are other openers of the file.
        {.what = "stderr appends to it", .setup = ERROR_APPENDS_TO_F, .unreported = true},
        {.what = "stderr writes at its start", .setup = place(STDERR_FILENO, "f", O_RDWR),
         .unreported = true},
        {.what = "stderr to a hard link, read fails", .input = ".",
         .setup = place(STDERR_FILENO, "hard", O_WRONLY | O_APPEND), .unreported = true},
        {.what = "stdin reads it", .input = "f", .code = EBUSY, .watched = true},
        {.what = "stderr appends to it, opened by the caller", .unreported = true,
         .scene = appending, .held_as = STDERR_FILENO, .watched = true},
        {.what = "stdout writes to it", .setup = place(STDOUT_FILENO, "f", O_WRONLY),
         .code = EBUSY},
        // Refused for another reason first, the report still cannot land in the target.
        {.what = "read-only, stderr into it", .setup = ERROR_APPENDS_TO_F, .unreported = true,
         .scene = read_only},
        {.what = "locked, stderr into it", .setup = ERROR_APPENDS_TO_F, .unreported = true,
         .scene = locked},
        // Refused before any open for writing: nothing a watcher could take for a write.
        {.what = "read-only", .code = EACCES, .scene = read_only, .watched = true},
        {.what = "locked by another writer", .code = EBUSY, .scene = locked, .watched = true},
        {.what = "a directory", .target = ".", .code = EISDIR, .watched = true},
        {.what = "read-only in an image under overlayfs", .target = "merged/f", .code = EACCES,
         .scene = image_layers, .watched = true, .after = no_copy_up},
        // A file that may be written but not read is locked once it is open for writing.
        {.what = "written but not read", .as_nobody = true, .file = "INPUTnal content",
         .scene = write_only},
        // The same files reached through the process's own descriptor links.
        {.what = "named as /proc/self/fd/0", .target = "/proc/self/fd/0", .input = "f",
         .setup = ERROR_APPENDS_TO_F, .unreported = true},
        {.what = "named as /proc/self/fd/2", .target = "/proc/self/fd/2", .input = "f",
         .setup = ERROR_APPENDS_TO_F, .unreported = true},
        // Streams are shared one by one: the file's own content may feed one of its streams,
        // and standard error into the file lands beside the stream, not in it.
        {.what = "a stream fed from its own file", .target = "f:s", .input = "f",
         .setup = ERROR_APPENDS_TO_F, .stream = ORIGINAL},
        // Devices are not files that two openers could spoil for each other.
        {.what = "a device, stdout on it too", .target = "/dev/null",
         .setup = place(STDOUT_FILENO, "/dev/null", O_WRONLY)},
        {.what = "write-only input", .setup = place(STDIN_FILENO, "other", O_WRONLY | O_CREAT),
         .code = EBADF, .operation = "ReadFile"},
        {.what = "relative name, current directory deleted", .target = "./f",
         .input = "/dev/null", .setup = in_deleted_directory, .code = ENOENT,
         .operation = "GetFullPathNameW"},
        {.what = "absolute name, current directory deleted", .input = "/dev/null",
         .setup = in_deleted_directory},
        {.what = "a fifo without a reader", .target = "fifo", .input = "/dev/zero",
         .code = ENXIO, .scene = fifo},
        // A FIFO has no streams, and is not opened to look for one.
        {.what = "a stream of a fifo", .target = "fifo:s", .code = ENOENT,
         .scene = fifo_with_waiting_writer, .after = writer_still_waits},
        {.what = "a stream of a fifo, deleted", .tool = "ostraprune", .target = "fifo:s",
         .code = EPERM, .operation = "DeleteFileW", .scene = fifo_with_waiting_writer,
         .after = writer_still_waits},
        // The open waits while the holder of a lease gives it up, as every opener's does.
        {.what = "leased by another program", .file = "INPUTnal content", .scene = leased},
        {.what = "a device that another program locks", .target = "/dev/null",
         .scene = device_held},
        // A user locale that is not installed leaves the tools in the "C" locale.
        {.what = "a locale that is not installed", .setup = [] { setenv("LC_ALL", "xx_XX", 1); },
         .file = "INPUTnal content"},
    };
    for (const Start& start : starts) expect_start(start);
}

// Not under sanitizers: their runtime must come first among the preloaded libraries, and needs
// descriptors before main.
UNSANITIZED_BUILD_TEST(HostileStarts, AFaultySystemOrTooFewDescriptorsNeverLoseAByteSilently) {
    const Start starts[] = {
        // Each block is written whole, however little each write takes, before the next read.
        {.what = "short writes", .input = "blocks", .setup = shim("short-write"),
         .file = BLOCKS, .unless = cannot_preload},
        {.what = "interrupted writes", .input = "blocks", .setup = shim("eintr-write"),
         .file = BLOCKS, .unless = cannot_preload},
        // A write that takes nothing would be retried for ever.
        {.what = "writes that take nothing", .input = "blocks", .setup = shim("zero-write"),
         .code = EIO, .operation = "WriteFile", .unless = cannot_preload},
        // A write lost at the close is a failure, reported at the check of the target's close.
        {.what = "the close fails", .setup = shim("close-eio"), .code = EIO,
         .operation = "WriteFile", .occurrence = 2, .file = "INPUTnal content",
         .unless = cannot_preload},
        {.what = "too few descriptors", .setup = only_three_descriptors, .code = EMFILE,
         .unless = cannot_watch_the_process},
        // The checked file, no longer at its name once locked, is not written: only "hard"
        // leads to it now.
        {.what = "renamed over once checked", .setup = renamed_over, .code = ENOENT,
         .file = "decoy", .stream = "<none>", .scene = decoy, .after = [](const ScratchDir& dir) {
             EXPECT_EQ(read_file(dir / "hard"), ORIGINAL);
         }, .unless = cannot_preload},
        // A /proc that is not the kernel's cannot lead the reopen to another file.
        {.what = "/proc leads elsewhere", .setup = proc_leads_to_decoy, .code = EBUSY,
         .scene = decoy, .after = [](const ScratchDir& dir) {
             EXPECT_EQ(read_file(dir / "decoy"), "decoy");
         }, .unless = cannot_watch_the_process},
        // Deleted by a pruner before the lock for the run: no bytes go into a file that is gone.
        {.what = "pruned once checked", .setup = pruned_meanwhile, .code = ENOENT,
         .stream = "<none>", .after = gone, .unless = cannot_preload},
        {.what = "pruned once checked, a stream", .target = "f:s", .setup = pruned_meanwhile,
         .code = ENOENT, .stream = "<none>", .after = gone, .unless = cannot_preload},
        // The deleter deletes only the file it checked: a read-only file renamed over it stays.
        {.what = "renamed over once checked, deleted", .tool = "ostraprune",
         .setup = renamed_over, .code = EBUSY, .operation = "DeleteFileW", .file = "decoy",
         .stream = "<none>", .scene = read_only_decoy, .after = [](const ScratchDir& dir) {
             EXPECT_EQ(read_file(dir / "hard"), ORIGINAL);
         }, .unless = cannot_preload},
        // Without /proc the name is looked up again, and another file found there is refused.
        {.what = "no /proc", .setup = without_proc, .file = "INPUTnal content"},
        {.what = "renamed over once checked, no /proc", .setup = [] {
             without_proc();
             renamed_over();
         }, .code = EBUSY, .file = "decoy", .stream = "<none>", .scene = decoy,
         .after = [](const ScratchDir& dir) { EXPECT_EQ(read_file(dir / "hard"), ORIGINAL); },
         .unless = cannot_preload},
        // Over NFSv4 a write lock needs a descriptor open for writing, which the stream's file
        // is opened as only once nothing refuses the stream; a directory's never is.
        nfs4({.what = "NFSv4, a stream", .target = "f:s", .stream = "INPUT"}),
        nfs4({.what = "NFSv4, a stream another writer holds", .target = "f:s", .code = EBUSY,
              .scene = locked_over_nfs, .watched = true}),
        nfs4({.what = "NFSv4, a stream in Samba's form", .target = "f:t", .input = "blocks",
              .scene = samba_stream, .after = [](const ScratchDir& dir) {
                  EXPECT_EQ(read_stream(dir / "f", SAMBA_FORM), BLOCKS + '\0');
              }}),
        nfs4({.what = "NFSv4, a stream larger than a value holds", .target = "f:s",
              .setup = shim("nfs4-large"), .code = EFBIG, .watched = true}),
        nfs4({.what = "NFSv4, a missing stream", .target = "f:t", .code = ENOENT,
              .watched = true}),
        nfs4({.what = "NFSv4, a file another writer holds", .code = EBUSY,
              .scene = locked_over_nfs, .watched = true}),
        nfs4({.what = "NFSv4, a stream of a directory", .target = "d:s", .code = ENOLCK,
              .scene = directory_with_stream}),
        nfs4({.what = "NFSv4, a stream deleted", .tool = "ostraprune", .target = "f:s",
              .operation = "DeleteFileW", .stream = "<none>"}),
        nfs4({.what = "NFSv4, a stream another writer holds, deleted", .tool = "ostraprune",
              .target = "f:s", .code = EBUSY, .operation = "DeleteFileW",
              .scene = locked_over_nfs}),
        nfs4({.what = "NFSv4, a file", .file = "INPUTnal content"}),
        {.what = "too few descriptors to delete a stream", .tool = "ostraprune",
         .target = "f:s", .setup = only_three_descriptors, .code = EMFILE,
         .operation = "DeleteFileW", .unless = cannot_watch_the_process},
    };
    for (const Start& start : starts) expect_start(start);
}

// Not under sanitizers: their runtime must come first among the preloaded libraries.
UNSANITIZED_BUILD_TEST(HostileStarts, InputIsReadAndWrittenIn256ByteBlocksOneAtATime) {
    SKIP_FOR_BUILD(cannot_preload());
    ScratchDir dir;
    write_file(dir / "f", "");
    write_file(dir / "blocks", BLOCKS);
    const std::string log = dir / "log";
    expect_success(run(pour_path(), {.args = {dir / "f"}, .input = Input::FILE,
                                     .path = dir / "blocks", .setup = [&] {
        preload_shim("", log);
    }}));
    EXPECT_EQ(read_file(dir / "f"), BLOCKS);
    EXPECT_EQ(read_file(log), "read 256 256\nwrite 256 256\nread 256 256\nwrite 256 256\n"
                              "read 256 256\nwrite 256 256\nread 256 232\nwrite 232 232\n"
                              "read 256 0\n");
}

TEST(HostileHandles, StandardErrorFullOrWithItsReaderGone) {
    ScratchDir dir;
    write_file(dir / "f", ORIGINAL);
    int broken[2];
    ASSERT_EQ(pipe(broken), 0);
    close(broken[0]);
    const auto gone = [&] { dup2(broken[1], STDERR_FILENO); };
    const auto full = [] { place_file(STDERR_FILENO, "/dev/full", O_WRONLY); };
    for (const auto& setup : {std::function<void()>(gone), std::function<void()>(full)}) {
        const auto with = [&](const std::vector<std::string>& args) {
            return run(pour_path(), {.args = args, .input = Input::FILE, .path = "/dev/null",
                                     .setup = setup});
        };
        for (const auto& args : {std::vector<std::string>{}, {dir / "absent"}, {""}}) {
            const Result outcome = with(args);
            EXPECT_TRUE(outcome.exited) << "signal " << outcome.signal;
            EXPECT_EQ(outcome.status, 1);
        }
        const Result pruned = run(prune_path(), {.args = {dir / "absent"}, .setup = setup});
        EXPECT_TRUE(pruned.exited) << "signal " << pruned.signal;
        EXPECT_EQ(pruned.status, 1);
        EXPECT_EQ(with({dir / "f"}).status, 0);
    }
    close(broken[1]);
    const Result full_output = run(pour_path(), {.args = {dir / "f"}, .input = Input::FILE,
                                                 .path = "/dev/null", .setup = [] {
        place_file(STDOUT_FILENO, "/dev/full", O_WRONLY);
    }});
    EXPECT_EQ(full_output.status, 0);
    EXPECT_EQ(read_file(dir / "f"), ORIGINAL);
}

TEST(HostileNames, BytesThatAreNotTextAndControlCharactersAreNamesLikeAnyOther) {
    ScratchDir dir;
    const std::string stream = "s\x1b[2J\n\xff";
    for (const std::string name : {"\x01\x02\x1b[31m\n\r\t\x7f", "\xff\xfe\xc3\x28 \xe9", " * ?",
                                   "--help", "-", "$HOME"}) {
        write_file(dir / name, ORIGINAL);
        set_stream(dir / name, stream, "0123");
        EXPECT_EQ(pour(name, "IN", dir.path()).error, "");
        EXPECT_EQ(pour(dir / name + ":" + stream, "ab").status, 0);
        EXPECT_EQ(read_file(dir / name), "INiginal content");
        EXPECT_EQ(read_stream(dir / name, stream), "ab23");
        EXPECT_EQ(prune(dir / name + ":" + stream).status, 0);
        EXPECT_FALSE(has_stream(dir / name, stream));
        EXPECT_EQ(prune(name, dir.path()).status, 0);
        EXPECT_FALSE(exists(dir / name));
        // A diagnostic never echoes the name.
        EXPECT_EQ(prune(name, dir.path()).error,
                  failure("ostraprune", "DeleteFileW", ENOENT));
    }
    // The empty name is no name, as the kernel has it, not the current directory.
    EXPECT_EQ(pour("", "x", dir.path()).error,
              failure("ostrapour", "GetFullPathNameW", ENOENT));
    EXPECT_EQ(prune("", dir.path()).error,
              failure("ostraprune", "GetFullPathNameW", ENOENT));
    // With no argument vector at all there is no program name to show; an emulator always
    // gives one.
    if (!cannot_watch_the_process().empty()) return;
    for (const auto& [tool, program] : {std::pair{"ostrapour", pour_path()},
                                        std::pair{"ostraprune", prune_path()}}) {
        const Result bare = run(program, {.empty_argv = true});
        EXPECT_EQ(bare.status, 1) << tool;
        EXPECT_EQ(bare.error, usage(tool, "")) << tool;
    }
}

TEST(HostileNames, ARelativeNameMeansTheCurrentDirectoryEvenWhenItsPathLeadsElsewhere) {
    // The tools start in m/sub, and then a file system is mounted over m with a sub/victim of
    // its own: the path of the current directory now leads to the decoy.
    ScratchDir dir;
    ASSERT_EQ(mkdir((dir / "m").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "m/sub").c_str(), 0755), 0);
    write_file(dir / "m/sub/victim", "under");
    write_file(dir / "input", "NEW");
    const int start = open((dir / "m/sub").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(start, 0);
    const auto from_start = [&] {
        if (fchdir(start) != 0) _exit(125);
    };
    TmpfsMount cover("1m");
    REQUIRE_OR_SKIP(!cover.path().empty(), cover.reason());
    {
        ASSERT_EQ(mount(cover.path().c_str(), (dir / "m").c_str(), nullptr, MS_BIND, nullptr), 0);
        struct Uncover {
            std::string at;
            ~Uncover() { umount2(at.c_str(), MNT_DETACH); }
        } uncover{dir / "m"};
        ASSERT_EQ(mkdir((dir / "m/sub").c_str(), 0755), 0);
        write_file(dir / "m/sub/victim", "decoy");

        EXPECT_EQ(run(pour_path(), {.args = {"victim"}, .input = Input::FILE,
                                    .path = dir / "input", .setup = from_start}).status, 0);
        EXPECT_EQ(run(prune_path(), {.args = {"victim"}, .setup = from_start}).status, 0);
        EXPECT_EQ(read_file(dir / "m/sub/victim"), "decoy");
    }
    close(start);
    EXPECT_FALSE(exists(dir / "m/sub/victim"));
}

// Not under sanitizers: their runtime's memory is not the tool's.
UNSANITIZED_BUILD_TEST(HostileInput, EndlessZerosFillTheTargetWithoutGrowingMemory) {
    SKIP_FOR_BUILD(cannot_watch_the_process());
    TmpfsMount small("1m"), larger("16m");
    REQUIRE_OR_SKIP(!small.path().empty() && !larger.path().empty(), small.reason());
    write_file(small / "f", "");
    write_file(larger / "f", "");
    write_file(larger / "g", "");
    set_stream(larger / "g", "s", "");
    // Each run is measured while it writes its one diagnostic, at the very end.
    const auto from_zeros = [](const std::string& target, int code) {
        const Result outcome = run(pour_path(), {.args = {target}, .input = Input::FILE,
                                                 .path = "/dev/zero",
                                                 .hold_at_first_diagnostic = true});
        EXPECT_EQ(outcome.status, 1) << target;
        EXPECT_EQ(outcome.error, failure("ostrapour", "WriteFile", code)) << target;
        EXPECT_GT(outcome.peak_virtual_kib, 0) << target;
        std::cout << "zeros into " << target << ": peak resident " << outcome.peak_rss_kib
                  << " KiB, peak virtual " << outcome.peak_virtual_kib << " KiB, anonymous "
                  << outcome.anonymous_kib << " KiB\n";
        return outcome;
    };
    // 16 MiB of zeros leave no more behind than 1 MiB did, nor than failing at once did.
    const Result at_once = from_zeros("/dev/full", ENOSPC);
    const Result one = from_zeros(small / "f", ENOSPC), sixteen = from_zeros(larger / "f", ENOSPC);
    for (const Result& run : {one, sixteen}) {
        EXPECT_LE(run.peak_virtual_kib, at_once.peak_virtual_kib + 64);
        EXPECT_LE(run.anonymous_kib, at_once.anonymous_kib + 16);
    }
    // A stream is set whole: its one 64 KiB value buffer is touched, and nothing more.
    const Result stream = from_zeros(larger / "g:s", EFBIG);
    EXPECT_LE(stream.peak_virtual_kib, at_once.peak_virtual_kib + 64);
    EXPECT_LE(stream.anonymous_kib, at_once.anonymous_kib + 64 + 16);
    EXPECT_EQ(read_file(small / "f"), std::string(1024 * 1024, '\0'));
    EXPECT_EQ(read_file(larger / "f").size(), 16u * 1024 * 1024);
    EXPECT_EQ(read_stream(larger / "g", "s"), std::string(65536, '\0'));
}

TEST(HostileInput, ATerminalDeliversItsLinesUntilEndOfFile) {
    int terminal = -1, device = -1;
    REQUIRE_OR_SKIP(openpty(&terminal, &device, nullptr, nullptr, nullptr) == 0,
                    std::string("no pseudo-terminal: ") + std::strerror(errno));
    ScratchDir dir;
    write_file(dir / "f", ORIGINAL);
    // ^D after "partial" hands over the unfinished line; ^D on an empty line is end of input.
    const std::string typed = "first line\npartial\x04\x04";
    ASSERT_EQ(write(terminal, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    const Result outcome = run(pour_path(), {.args = {dir / "f"}, .setup = [&] {
        dup2(device, STDIN_FILENO);
    }});
    close(device);
    close(terminal);
    EXPECT_FALSE(outcome.timed_out);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(read_file(dir / "f"), "first line\npartial");
}

TEST(HostileInput, NonBlockingInputIsWaitedForNotSpunOn) {
    ScratchDir dir;
    write_file(dir / "f", ORIGINAL);
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(fcntl(input[0], F_SETFL, O_NONBLOCK), 0);
    // A second of waiting: a tool spinning on the empty pipe uses a good part of it even on a
    // loaded machine; one that waits uses a few milliseconds.
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        EXPECT_EQ(write(input[1], "late", 4), 4);
        close(input[1]);
    });
    const Result outcome = run(pour_path(), {.args = {dir / "f"}, .setup = [&] {
        dup2(input[0], STDIN_FILENO);
        close(input[1]);
    }});
    late.join();
    close(input[0]);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_LT(outcome.cpu_seconds, 0.1);
    EXPECT_EQ(read_file(dir / "f"), "lateinal content");
}

// Without a reader a fifo is refused at once (HostileStarts); with one the bytes flow, and a
// reader slower than the writer makes the writer wait, not fail.
TEST(HostileTargets, AFifoWithAReaderTakesTheBytesAsAnyOtherTarget) {
    ScratchDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    const int reader = open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const std::string bytes = binary_bytes(256 * 1024);  // four times what a pipe holds
    write_file(dir / "input", bytes);
    Child writer(pour_path(), {.args = {dir / "fifo"}, .input = Input::FILE,
                               .path = dir / "input"});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::string received;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (received.size() < bytes.size() && std::chrono::steady_clock::now() < until) {
        char chunk[4096];
        const ssize_t count = read(reader, chunk, sizeof chunk);
        if (count > 0)
            received.append(chunk, static_cast<std::size_t>(count));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    close(reader);
    expect_success(writer.wait());
    EXPECT_TRUE(received == bytes) << received.size() << " of " << bytes.size() << " bytes";
}

// Not under sanitizers: their runtime needs descriptors before main.
UNSANITIZED_BUILD_TEST(HostileLimits, APathPastPathMaxNeedsOneDescriptorMore) {
    SKIP_FOR_BUILD(cannot_watch_the_process());
    // One for the directory the path is walked from while the target is named: with three
    // standard handles there is none left for the name (HostileStarts has the plain case).
    ScratchDir dir;
    const DirectoryAlias deep(make_deep_directory(dir.path(), 6000));
    write_file(deep / "f", ORIGINAL);
    const Result result = run(pour_path(), {.args = {make_deep_directory(dir.path(), 6000) + "/f"},
                                            .input = Input::FILE, .path = "/dev/null",
                                            .setup = [] {
        const struct rlimit limit = {4, 4};
        setrlimit(RLIMIT_NOFILE, &limit);
    }});
    expect_failure(result, "ostrapour", "CreateFile", EMFILE);
    EXPECT_EQ(read_file(deep / "f"), ORIGINAL);
}

// A pruner that cannot open a file to ask whether a writer holds it deletes it as before: the
// lock it would test is advisory anyway, and a file one may not read is still one's to delete.
TEST(HostileTargets, AFileThePrunerCannotReadIsStillDeleted) {
    ScratchDir dir;
    write_file(dir / "f", "original");
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    ASSERT_EQ(chmod((dir / "f").c_str(), 0200), 0);
    // The build tree may be out of nobody's reach (a checkout in root's home): the pruner runs
    // from a copy beside the file. Nobody may write the directory but not read f.
    const std::string pruner = dir / "pruner";
    std::filesystem::copy_file(prune_path(), pruner);
    ASSERT_EQ(chmod(pruner.c_str(), 0755), 0);
    const Result result = run(pruner, {.args = {dir / "f"}, .setup = as_nobody});
    expect_success(result);
    EXPECT_FALSE(exists(dir / "f"));
}
