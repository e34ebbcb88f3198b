#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Makes one plausible fault at a time in the tools' own code, runs the suite on it, and says
which faults no test caught. Each fault is one edit of one line that still compiles and would
hurt a user. Run from the checkout after both builds (scripts/test.sh builds them); the tree is
restored after every fault, also when the run is cut short.
    scripts/mutate.py [WORD...]     only the faults whose description holds one of the words
"""
import pathlib, re, subprocess, sys, time

ROOT = pathlib.Path(__file__).resolve().parent.parent
POUR, PRUNE = "ostrapour/ostrapour.cpp", "ostraprune/ostraprune.cpp"
FRAME, LINUX, WIN32 = "common/frame.cpp", "common/platform_linux.cpp", "common/platform_win32.cpp"
NAMES = "common/names.cpp"
SAMBA, RECORD = "common/samba.cpp", "common/samba_record.cpp"
STREAM_FORMS, VOLUMES = "common/stream_forms.cpp", "common/volumes.cpp"

# (file, text as it stands, text with the fault, what the fault does to a user)
FAULTS = [
    (POUR, "written += taken;", "written = delivered;", "copy: a short write skips the rest of the block"),
    (POUR, "READ_BLOCK_SIZE = 256", "READ_BLOCK_SIZE = 512", "copy: blocks of 512 bytes"),
    (POUR, "READ_BLOCK_SIZE, &delivered", "READ_BLOCK_SIZE - 1, &delivered", "copy: reads one byte short of a block"),
    (POUR, "if (platform::is_broken_pipe(platform::last_error())) return;", "", "copy: a closed pipe is a read failure"),
    (POUR, "if (!platform::close_target(target)) REPORT_AND_EXIT(\"WriteFile\");", "platform::close_target(target);", "close: a lost write-back ends with status 0"),
    (POUR, "if (argc != 2) {", "if (argc < 2) {", "frame: extra arguments are ignored"),
    (POUR, "print_usage(argv[0], DESCRIPTION);", "print_usage(argv[argc - 1], DESCRIPTION);", "frame: usage names the last argument"),
    (PRUNE, "if (argc != 2) {", "if (argc < 2) {", "frame: extra arguments are ignored (deleter)"),
    (FRAME, "return std::setlocale(LC_ALL, \"C\") != nullptr;", "return false;", "frame: an uninstalled user locale stops the tools"),
    (FRAME, "if (program_name == nullptr) program_name = NO_NAME;", "", "frame: no argument vector prints a null name"),
    (FRAME, "platform::exit_process(EXIT_FAILURE_STATUS);", "platform::exit_process(EXIT_OK);", "frame: a failure ends with status 0"),
    (FRAME, "\"%s:%s(%d): %s\\n\"", "\"%s:%s(%d): %s\"", "frame: a diagnostic without its line end"),
    (LINUX, "!is_device(named.status) && !take_lock(target.descriptor, LOCK_EX)", "!is_device(named.status) && !take_lock(target.descriptor, LOCK_SH)", "open: the writer shares its target"),
    (LINUX, "return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;", "return true;", "open: writes to a FIFO stay non-blocking"),
    (LINUX, "    if (is_read_only(named.status)) return give_up(named, target, EACCES);\n", "", "open: read-only files are written"),
    (LINUX, "if (is_read_only(named.status) || marked_read_only(fd))", "if (marked_read_only(fd))", "open: the streams of read-only files are written and deleted"),
    (LINUX, "    if (error_leads_into_it || standard_handle_holds(STDIN_FILENO, named.status) ||\n        standard_handle_holds(STDOUT_FILENO, named.status))\n        return give_up(named, target, EBUSY);\n", "", "open: standard handles on the target are no openers"),
    (LINUX, "if (error_leads_into_it) cut_off_standard_error();", "", "open: a diagnostic may land in the target"),
    (LINUX, "if (fd < 0 || fd > STDERR_FILENO) return fd;", "return fd;", "open: the target may take a standard descriptor"),
    (LINUX, "O_WRONLY | (regular ? 0 : O_NONBLOCK)", "O_WRONLY", "open: a FIFO without a reader hangs the writer"),
    (LINUX, "int stream_error(int code) { return code == ENODATA ? ENOENT : code; }", "int stream_error(int code) { return code; }", "stream: a missing stream says ENODATA"),
    (LINUX, "code == ERANGE || code == E2BIG ? EFBIG", "code == ERANGE ? EFBIG", "stream: ntfs-3g's E2BIG misreported"),
    (LINUX, "value.length,\n                  XATTR_REPLACE) != 0)", "value.length,\n                  0) != 0)", "stream: a removed stream is created again"),
    (STREAM_FORMS, "    if (end > held) {\n", "    if (true) {\n", "stream: a shorter input shortens the stream"),
    (STREAM_FORMS, "    if (position >= value.capacity - trailer) return Placing::FULL;\n", "", "stream: the write past 64 KiB makes no progress"),
    (LINUX, "if (settable || errno == ENOSPC || errno == EDQUOT) return true;", "if (settable) return true;", "stream: a full volume fails the open"),
    (LINUX, "if (settable || errno == ENOSPC || errno == EDQUOT) return true;", "return true;", "stream: the open does not ask whether the stream may be written"),
    (LINUX, "return streams == VolumeStreams::KEPT ||", "return true ||", "stream: volume attributes that are no streams (SMB mounts, ntfs, ntfs3) taken for streams"),
    (LINUX, "out.directory_length = std::strlen(out.chars) - std::strlen(name);", "out.directory_length = 0;", "path: relative names go by the formed path"),
    (LINUX, "return relative.empty() ? std::string_view(\".\") : relative;", "return relative;", "path: a stream of the current directory is not found"),
    (LINUX, "if (name[0] == '\\0') return fail(ENOENT);", "", "path: the empty name means the current directory"),
    (LINUX, "if (rest.size() >= PATH_MAX) {", "if (rest.size() > PATH_MAX) {", "path: a component of PATH_MAX bytes overflows"),
    (LINUX, "else if (is_read_only(named.status))\n        code = EACCES;", "", "delete: read-only files are deleted"),
    (LINUX, "O_PATH | O_NOFOLLOW | O_CLOEXEC", "O_PATH | O_CLOEXEC", "delete: a link is judged by its target"),
    (LINUX, "return take_lock(lock, LOCK_SH);", "return true;", "delete: a held target is deleted"),
    (LINUX, "if (lock < 0) return errno == EACCES;", "if (lock < 0) return false;", "delete: an unreadable file cannot be deleted"),
    (LINUX, "    if (!take_lock(fd, LOCK_SH)) return close_failed(fd, errno);\n", "", "delete: a held stream is deleted"),
    (LINUX, "std::signal(SIGPIPE, SIG_IGN);", "", "process: a vanished reader of standard error kills the tool"),
    (LINUX, "std::signal(SIGXFSZ, SIG_IGN);", "", "process: the file-size limit kills the writer"),
    (LINUX, "if (poll(&ready, 1, -1) < 0 && errno != EINTR) return false;", "", "read: non-blocking input is spun on"),
    (LINUX, "if (count < 0 && errno == EINTR) continue;", "", "write: an interrupted write fails the copy"),
    (LINUX, "if (count == 0 && size != 0) return fail(EIO);", "", "write: a write of 0 bytes loops for ever"),
    (LINUX, "if (to.is_stream) return write_stream(to, data, size, taken);", "", "write: a stream's bytes go to its file"),
    (WIN32, "if (has_extended_prefix(name, name_length)) {", "if (false) {", "windows: an extended name is resolved again"),
    (WIN32, "    if (name_length == 0) {\n        SetLastError(ERROR_INVALID_NAME);\n        return false;\n    }\n", "", "windows: the empty name reports no reason"),
    (WIN32, "if (names_file_itself(path.chars) && is_directory(handle)) {", "if (false) {", "windows: a directory reads input and fails late"),
    (WIN32, "GENERIC_WRITE, 0, nullptr, OPEN_EXISTING", "GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING", "windows: a held target may be deleted"),
    (WIN32, "GENERIC_WRITE, 0, nullptr, OPEN_EXISTING", "GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS", "windows: a missing target is created"),
    (WIN32, "if (count <= 0 || used + static_cast<std::size_t>(count) >= capacity) break;", "if (count <= 0) continue;", "windows: an unmappable name character is skipped"),
    (WIN32, "bool is_broken_pipe(ErrorCode code) { return code == ERROR_BROKEN_PIPE; }", "bool is_broken_pipe(ErrorCode) { return false; }", "windows: a closed pipe is a read failure"),
    (WIN32, "if (!ok && GetLastError() == ERROR_MORE_DATA && count != 0) ok = true;", "", "windows: a message longer than a block fails the run"),
    (WIN32, "} while (ok && count == 0 && from.is_pipe);", "} while (false);", "windows: an empty write ends a pipe's input"),
    (WIN32, "GetNamedPipeInfo(handle, &flags, nullptr, nullptr, nullptr) != 0;", "(GetNamedPipeInfo(handle, &flags, nullptr, nullptr, nullptr), true);", "windows: a socket, or a Linux pipe under Wine, is read again for ever at its end"),
    (NAMES, "if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');", "", "names: $data in lower case is refused"),
    (NAMES, "const std::size_t colon = path.find(':', component);", "const std::size_t colon = path.find(':');", "names: a colon in a directory splits the name"),
    (POUR, "if (delivered == 0) return;", "", "copy: the end of input is read again for ever"),
    (STREAM_FORMS, "taken = size < room ? size : room;", "taken = room;", "stream: a write takes more than it was given"),
    (LINUX, "    stream.position += count;\n", "", "stream: each block goes over the stream's start"),
    (LINUX, "fgetxattr(stream.descriptor, stream.attribute, stream.value, sizeof stream.value);", "fgetxattr(stream.descriptor, stream.attribute, nullptr, 0);", "stream: a block goes into the value as this writer left it, undoing another writer's bytes"),
    (LINUX, "if (USER_NAMESPACE.size() + stream.size() > XATTR_NAME_MAX)", "if (USER_NAMESPACE.size() + stream.size() >= XATTR_NAME_MAX)", "stream: the longest stream name is refused"),
    (LINUX, "    if (take_lock(target.descriptor, LOCK_EX)) return true;\n", "    return true;\n", "open: a stream's writer holds no lock"),
    (LINUX, "return fail(errno == EWOULDBLOCK ? EBUSY : errno);", "return fail(errno);", "open, delete: a held target says EAGAIN"),
    (LINUX, "status.st_dev == examined.st_dev &&\n           status.st_ino == examined.st_ino;", "status.st_dev == examined.st_dev;", "open: any file on the input's volume is held"),
    (LINUX, "if (error_leads_into_it || standard_handle_holds(STDIN_FILENO", "if (standard_handle_holds(STDIN_FILENO", "open: standard error into the target goes unseen"),
    (LINUX, "const int code = removed ? 0 : stream_error(errno);", "const int code = removed ? 0 : errno;", "delete: a missing stream says ENODATA"),
    (LINUX, "unlinkat(place.directory, place.name, 0)", "unlinkat(AT_FDCWD, place.name, 0)", "delete: a long path's last piece is looked up from the current directory"),
    (LINUX, "    if (!S_ISREG(named.status.st_mode)) return true;\n    lock = reopen", "    lock = reopen", "delete: a link or device is opened to test its lock"),
    (LINUX, "return fail(errno == ERANGE ? ENAMETOOLONG : errno);", "return fail(errno);", "path: a current directory too long says ERANGE"),
    (LINUX, "        *taken = static_cast<std::uint32_t>(count);\n        return true;\n    }\n}", "        *taken = size;\n        return true;\n    }\n}", "write: a short write counts as whole"),
    (WIN32, "GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,\n                                      FILE_FLAG_BACKUP_SEMANTICS", "GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,\n                                      0", "windows: a directory's streams cannot be written"),
    (NAMES, "if ((cwd.empty() || cwd.back() != '/') && !append(\"/\")) return false;", "if (!append(\"/\")) return false;", "names: the root gets a second slash"),
    (NAMES, "if (part.size() >= capacity - length) return false;", "if (part.size() > capacity - length) return false;", "names: a full path one byte too long overflows"),
    (NAMES, "split.kind = split.has_type ? NameKind::FILE_ITSELF : NameKind::INVALID;", "split.kind = NameKind::INVALID;", "names: file::$DATA is refused"),
    (NAMES, "return {part(path, 0, slash == 0 ? 1 : slash)", "return {part(path, 0, slash)", "names: a long path from the root loses its root"),
    (LINUX, "    if (is_read_only(named.status)) return give_up(named, target, EACCES);\n    if (!refuse_marked_or_held_file(named)) return give_up(named, target, errno);\n", "    if (!refuse_marked_or_held_file(named)) return give_up(named, target, errno);\n", "open: a read-only file is opened for writing before it is refused"),
    (LINUX, "        return give_up(named, target, EBUSY);\n    if (is_read_only(named.status))", "        ;\n    if (is_read_only(named.status))", "open: a file the standard handles hold is opened for writing before it is refused"),
    (LINUX, "    if (!S_ISREG(named.status.st_mode)) return true;\n    const int asking", "    return true;\n    const int asking", "open: a held file is opened for writing before it is refused"),
    (LINUX, "if (asking < 0) return errno == EACCES;", "if (asking < 0) return false;", "open: a file that may be written but not read is refused"),
    (LINUX, "target.descriptor = reopen(named, O_WRONLY", "target.descriptor = open_above_standard_handles(path, file, O_WRONLY", "open: the write open looks the name up again, finding a file renamed in meanwhile"),
    (LINUX, "const bool walked = fd < 0 && errno == ENOENT;", "const bool walked = false;", "open: without /proc no file can be written"),
    (LINUX, "if (is_open_on(fd, named.status) && (", "if ((walked || is_open_on(fd, named.status)) && (", "open: without /proc a file renamed in meanwhile is written"),
    (LINUX, "if (is_open_on(fd, named.status) && (", "if ((!walked || is_open_on(fd, named.status)) && (", "open: a /proc that is not the kernel's leads the reopen to another file"),
    (LINUX, "const bool there = leads_to(place, held, 0);", "const bool there = true;", "open: a file renamed away before the lock is written"),
    (LINUX, "             !leads_to(place, named.status, AT_SYMLINK_NOFOLLOW) ||\n", "", "delete: a file renamed over the one examined is deleted"),
    (LINUX, "    else if (!S_ISREG(named.status.st_mode) && !S_ISDIR(named.status.st_mode))\n        code = no_streams;\n", "", "stream: a FIFO is opened to look for its streams"),
    (LINUX, "O_WRONLY | (regular ? 0 : O_NONBLOCK)", "O_WRONLY | O_NONBLOCK", "open: a file under another program's lease is refused at once"),
    (LINUX, "if (!is_device(named.status) && !take_lock", "if (!take_lock", "open: a device is locked, refusing a second writer"),
    (LINUX, "(errno == ENODATA && read_server_stream(target.descriptor", "(false && read_server_stream(target.descriptor", "samba: a client's stream is not found"),
    (LINUX, "if (!removed && errno == ENODATA) {", "if (false) {", "samba: a client's stream is not deleted"),
    (STREAM_FORMS, "value.length = end + trailer;", "value.length = end;", "samba: the NUL after a stream's bytes is lost"),
    (LINUX, "    if (marked_read_only(asking))\n", "    if (false)\n", "samba: a file a client made read-only is written"),
    (LINUX, "if (is_read_only(named.status) || marked_read_only(fd))", "if (is_read_only(named.status) || (S_ISREG(named.status.st_mode) && marked_read_only(fd)))", "samba: the streams of a directory a client made read-only are written and deleted"),
    (LINUX, "if (is_read_only(named.status) || marked_read_only(fd))", "if (is_read_only(named.status))", "samba: the streams of a file a client made read-only are written and deleted"),
    (LINUX, "if (form_server_attribute(stream, attribute, STREAM_NAME_CAPACITY))", "if (false)", "samba: a stream is not asked for by its exact name before names are compared"),
    (STREAM_FORMS, "return length > 0 && value[length - 1] == 0 ? ValueForm::SAMBA", "return length > 0 ? ValueForm::SAMBA", "ksmbd: a raw value loses its last byte and gains a NUL"),
    (STREAM_FORMS, "    if (position > held) return Placing::CHANGED;\n", "", "stream: a value another writer cut short gets bytes from nowhere"),
    (STREAM_FORMS, "if (trailer != 0 && value_form(value.bytes, value.length) != ValueForm::SAMBA)", "if (false)", "samba: a value that lost its NUL meanwhile is cut"),
    (LINUX, "return value.form == ValueForm::SAMBA || value.length == 0 || !has_pieces(fd, attribute) ||", "return true ||", "samba: a stream in pieces is cut or half-deleted"),
    (LINUX, "for (const unsigned index : {0u, 1u})", "for (const unsigned index : {1u})", "samba: pieces numbered from 0 are missed"),
    (LINUX, "    if (fgetxattr(fd, \"user.SAMBA_STREAMS\", nullptr, 0) >= 0) return fail(EOPNOTSUPP);\n", "", "samba: a file whose streams are in a depot gets attributes as streams"),
    (LINUX, "    if (marked_read_only(lock)) return fail(EACCES);\n", "", "samba: a file a client made read-only is deleted"),
    (SAMBA, "{ return samba_names_equal(a, b); }", "{ return a == b; }", "samba: stream names are compared with regard to case"),
    (SAMBA, "if (samba_names_equal(stream, name)) return true;", "if (stream == name) return true;", "samba: its private records, named in another case, are written and deleted as streams"),
    (RECORD, "if (pull.at + 1 >= size) return hex_text", "if (pull.at + 1 >= size || record[0] == '0') return hex_text", "samba: a text its record goes on past is read instead of the record"),
    (RECORD, "    if (!number) return UNDEFINED_ATTRIBUTES;\n", "    if (!number) return 0;\n", "samba: a text without a number, which Samba reads as anything, counts as no attribute"),
    (RECORD, "!pull.need(FIELDS[version], 4)) return 0;", "!pull.need(8, 4)) return 0;", "samba: a record cut short, which Samba rejects, is read"),
    (LINUX, "if (!read_stream(target, stream, found)) return fail(value_error(errno));", "if (!read_stream(target, stream, found) && errno != E2BIG) return fail(value_error(errno));", "nfs: a stream too large is refused only once its file is open for writing"),
    (SAMBA, "if (same_stream_name(samba_stream_name(name), stream)) return name;", "if (!samba_stream_name(name).empty()) return name;", "samba: the first stream on the list is taken for any name"),
    (LINUX, "(streams == VolumeStreams::ASK_MOUNT_TABLE && !on_windows_drive(device))", "streams == VolumeStreams::ASK_MOUNT_TABLE", "volume: WSL's Windows drives taken for streams"),
    (VOLUMES, "drvfs_ = cut_ || is_drvfs_mount(line);", "drvfs_ = is_drvfs_mount(line);", "volume: a mount table line too long to read is taken for no Windows drive"),
    (LINUX, "    if (lock_held_elsewhere(target.descriptor)) return fail(EBUSY);\n", "", "nfs: a stream another writer holds is opened for writing before its lock is refused"),
    (LINUX, "(errno == EBUSY || (errno == EBADF && lock_held_elsewhere(asking)))", "errno == EBUSY", "nfs: a file another writer holds is opened for writing before its lock is refused"),
    (LINUX, "if (length < 0 && errno == ENODATA &&", "if (false &&", "samba: a stream named in another case than its attribute is not found"),
]


def run(command, timeout):
    """The command's status (-1 when it ran out of time) and its standard output."""
    try:
        done = subprocess.run(command, cwd=ROOT, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              timeout=timeout, text=True, errors="replace")
        return done.returncode, done.stdout
    except subprocess.TimeoutExpired:
        return -1, ""


def caught(path):
    """The verdict on the fault now in the tree, with the tests that failed on it."""
    # Both builds every time, even for a fault in one backend: the other build may still hold
    # the fault before this one, and the Wine run needs both.
    for preset in ("native", "mingw"):
        if run(["cmake", "--build", "--preset", preset], 600)[0] != 0:
            return "does not compile"
    # The first failure is verdict enough: a fault that hangs the tools would otherwise wait
    # out the watchdog in every test.
    tests = ["ctest", "--preset", "native", "-j2", "--timeout", "60", "--stop-on-failure"]
    if path == WIN32:
        tests += ["-R", "wine"]
    status, output = run(tests, 1800)
    if status == 0 and path != WIN32 and (ROOT / "build" / "asan").is_dir():
        # A fault that only corrupts memory shows in the sanitizer build alone.
        if run(["cmake", "--build", "--preset", "asan"], 1200)[0] != 0:
            return "does not compile"
        status, output = run(["ctest", "--preset", "asan"] + tests[3:], 1800)
        output = output.replace(" - ", " - asan:")
    if status == 0:
        return "SURVIVED"
    # CTest lists them as "  NN - name (Failed)" at the end.
    failed = re.findall(r"^\s*\d+ - (\S+) \(", output, re.MULTILINE)
    return "caught by " + (", ".join(failed) if failed else "the run itself")


def main():
    words = sys.argv[1:]
    survived = 0
    for path, old, new, what in FAULTS:
        if words and not any(w in what for w in words):
            continue
        file = ROOT / path
        text = file.read_text()
        if text.count(old) != 1:
            print(f"stale fault (text not found once): {path}: {what}")
            continue
        start = time.monotonic()
        try:
            file.write_text(text.replace(old, new))
            verdict = caught(path)
        finally:
            file.write_text(text)
        survived += verdict == "SURVIVED"
        print(f"{time.monotonic() - start:4.0f} s  {path}: {what}\n        {verdict}", flush=True)
    for preset in ("native", "mingw"):
        run(["cmake", "--build", "--preset", preset], 600)
    print(f"{survived} fault(s) survived")
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
