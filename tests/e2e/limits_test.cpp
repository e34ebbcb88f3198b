// SPDX-License-Identifier: MIT
// The limits of streams and files: the longest stream name, the most a file system holds in a
// stream (about 4 KiB on ext4, 64 KiB on tmpfs) and the file-size limit, each failing loudly
// and keeping every block written before.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "harness.h"

using namespace e2e;

constexpr long EXT4_MAGIC = 0xEF53;
constexpr std::size_t STREAM_VALUE_MAX = 65536;  // the kernel's XATTR_SIZE_MAX

TEST(StreamLimits, NamesUpTo255BytesWithTheUserPrefixAndNotOneMore) {
    ScratchDir dir;
    write_file(dir / "f", "main");
    write_file(dir / "input", "input");
    const std::string longest(255 - 5, 'n'), over(256 - 5, 'n');
    set_stream(dir / "f", longest, "old");
    EXPECT_EQ(pour(dir / "f:" + longest, "N").status, 0);
    EXPECT_EQ(read_stream(dir / "f", longest), "Nld");

    expect_pour_refused(dir / "f:" + over, dir / "input", "CreateFile", ENAMETOOLONG);
    expect_failure(prune(dir / "f:" + over), "ostraprune", "DeleteFileW", ENAMETOOLONG);
    EXPECT_EQ(prune(dir / "f:" + longest).status, 0);
    EXPECT_FALSE(has_stream(dir / "f", longest));
    EXPECT_EQ(read_file(dir / "f"), "main");
}

TEST(StreamLimits, Ext4HoldsAboutFourKiBAndKeepsEveryBlockBeforeTheOneThatDidNotFit) {
    ScratchDir dir;
    struct statfs fs;
    ASSERT_EQ(statfs(dir.path().c_str(), &fs), 0);
    SKIP_UNLESS(fs.f_type == EXT4_MAGIC, dir.path() + " is not on ext4");
    write_file(dir / "f", "main");
    set_stream(dir / "f", "s", "");
    set_stream(dir / "f", "other", "untouched");
    const std::string input = binary_bytes(8000);
    // ext4 keeps all of a file's attributes in one block and says there is no room left.
    expect_failure(pour(dir / "f:s", input), "ostrapour", "WriteFile", ENOSPC);
    const std::string kept = read_stream(dir / "f", "s");
    EXPECT_EQ(kept.size() % 256, 0u);
    EXPECT_GE(kept.size(), 3000u);
    EXPECT_EQ(kept, input.substr(0, kept.size()));
    EXPECT_EQ(read_stream(dir / "f", "other"), "untouched");
    EXPECT_EQ(read_file(dir / "f"), "main");
}

TEST(StreamLimits, TmpfsHoldsExactly64KiBAndKeepsThemWhenOneMoreByteComes) {
    TmpfsMount tmpfs("4m");
    REQUIRE_OR_SKIP(!tmpfs.path().empty(), tmpfs.reason());
    write_file(tmpfs / "f", "main");
    set_stream(tmpfs / "f", "s", "");
    const std::string full = binary_bytes(STREAM_VALUE_MAX);
    EXPECT_EQ(pour(tmpfs / "f:s", full).status, 0);
    EXPECT_EQ(read_stream(tmpfs / "f", "s"), full);

    // Bytes that differ from those before at every offset a block could end on.
    std::string over = binary_bytes(STREAM_VALUE_MAX + 1);
    for (char& byte : over) byte = static_cast<char>(~byte);
    expect_failure(pour(tmpfs / "f:s", over), "ostrapour", "WriteFile", EFBIG);
    EXPECT_EQ(read_stream(tmpfs / "f", "s"), over.substr(0, STREAM_VALUE_MAX));
    EXPECT_EQ(read_file(tmpfs / "f"), "main");
}

TEST(StreamLimits, AStreamThatCannotBeWrittenIsRefusedAtTheOpenBeforeAnyInput) {
    TmpfsMount tmpfs("1m");
    REQUIRE_OR_SKIP(!tmpfs.path().empty(), tmpfs.reason());
    ScratchDir dir;
    write_file(dir / "input", "input");
    write_file(tmpfs / "f", "main");
    set_stream(tmpfs / "f", "s", "value");
    ASSERT_EQ(mount(nullptr, tmpfs.path().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                    nullptr),
              0);
    for (const std::string& input : {dir / "input", std::string("/dev/null")})
        expect_pour_refused(tmpfs / "f:s", input, "CreateFile", EROFS, input);
    EXPECT_EQ(read_stream(tmpfs / "f", "s"), "value");
}

TEST(FileLimits, TheFileSizeLimitFailsTheWriteInsteadOfKillingTheWriter) {
    ScratchDir dir;
    const std::string input = binary_bytes(100000);
    write_file(dir / "input", input);
    write_file(dir / "f", "");
    const Result result = run(pour_path(), {.args = {dir / "f"}, .input = Input::FILE,
                                            .path = dir / "input", .setup = [] {
        const struct rlimit limit = {10240, 10240};
        setrlimit(RLIMIT_FSIZE, &limit);
    }});
    expect_failure(result, "ostrapour", "WriteFile", EFBIG);
    EXPECT_EQ(read_file(dir / "f"), input.substr(0, 10240));
}

// Offsets past 2 GiB need 64-bit file offsets, which a 32-bit build has only when asked.
TEST(FileLimits, AFileOfThreeGibibytesIsWrittenInPlaceAndDeleted) {
    ScratchDir dir;
    const off_t size = 3LL << 30;
    write_file(dir / "f", "");
    ASSERT_EQ(truncate((dir / "f").c_str(), size), 0);
    expect_success(pour(dir / "f", "NEW"));
    std::ifstream file(dir / "f", std::ios::binary);
    char head[4] = {};
    EXPECT_TRUE(file.read(head, 4)) << "reading the first bytes";
    EXPECT_EQ(std::string(head, 4), std::string("NEW\0", 4));
    EXPECT_EQ(std::filesystem::file_size(dir / "f"), static_cast<std::uintmax_t>(size));
    expect_success(prune(dir / "f"));
    EXPECT_FALSE(exists(dir / "f"));
}

TEST(FileLimits, AFullFileSystemFailsTheWriteAndKeepsWhatFitted) {
    TmpfsMount tmpfs("256k");
    REQUIRE_OR_SKIP(!tmpfs.path().empty(), tmpfs.reason());
    write_file(tmpfs / "f", "");
    const std::string input = binary_bytes(1024 * 1024);
    expect_failure(pour(tmpfs / "f", input), "ostrapour", "WriteFile", ENOSPC);
    const std::string kept = read_file(tmpfs / "f");
    EXPECT_GE(kept.size(), 200u * 1024);
    EXPECT_EQ(kept, input.substr(0, kept.size()));
}

// Not under sanitizers: their runtime must come first among the preloaded libraries.
UNSANITIZED_BUILD_TEST(StreamLimits, TheVolumeDecidesWhetherStreamsOpen) {
    SKIP_FOR_BUILD(cannot_preload());
    ScratchDir dir;
    TmpfsMount tmpfs("1m");  // a device number of no block device, as 9p's and virtiofs's
    write_file(dir / "input", "INPUT");
    // A line of the mount table the tool is shown, "DEV" standing for the volume's device.
    const char* const drvfs = "95 84 DEV / /mnt/c rw,noatime - 9p C:\\134 rw,dirsync,"
                              "aname=drvfs;path=C:\\134;uid=1000;gid=1000,trans=virtio";
    const char* const virtiofs_drvfs = "90 84 DEV / /mnt/d rw,noatime - virtiofs drvfsD rw";
    const char* const qemu_share = "40 29 DEV / /mnt/host rw,relatime - 9p hostshare rw,"
                                   "sync,dirsync,access=client,msize=512000,trans=virtio";
    struct Case {
        const char* volume;  // what the preloaded fault library makes of the volume
        bool prune;
        const char *name, *input;
        int code;                    // 0: success
        const char *file, *stream;  // f ("original") and f:s ("value") afterwards
        const char* mounted = nullptr;  // the volume's line in the mount table
        bool anonymous = false;         // on the tmpfs
    };
    const Case cases[] = {
        // ntfs3 keeps user.* attributes as NTFS extended attributes, which Windows never shows
        // as streams: refused before any input is read. Files are files there as anywhere.
        {"ntfs3", false, "f:s", "input", EOPNOTSUPP, "original", "value"},
        {"ntfs3", true, "f:s", "input", EOPNOTSUPP, "original", "value"},
        {"ntfs3", false, "f", "input", 0, "INPUTnal", "value"},
        // So do the in-kernel ntfs driver, and an SMB client, whose user.* are the server's
        // extended attributes.
        {"ntfs", false, "f:s", "input", EOPNOTSUPP, "original", "value"},
        {"smb2", false, "f:s", "input", EOPNOTSUPP, "original", "value"},
        {"cifs", true, "f:s", "input", EOPNOTSUPP, "original", "value"},
        // WSL's Windows drives, known by their line in the mount table.
        {"9p", false, "f:s", "input", EOPNOTSUPP, "original", "value", drvfs, true},
        {"9p", true, "f:s", "input", EOPNOTSUPP, "original", "value", drvfs, true},
        {"fuse", false, "f:s", "input", EOPNOTSUPP, "original", "value", virtiofs_drvfs, true},
        {"9p", false, "f:s", "input", 0, "original", "INPUT", qemu_share, true},
        // The table is read only for 9p or FUSE on no block device: ntfs-3g mounted by root
        // (fuseblk) and tmpfs itself are not asked about, whatever it says.
        {"fuse", false, "f:s", "input", 0, "original", "INPUT", drvfs},
        {"", false, "f:s", "input", 0, "original", "INPUT", drvfs, true},
        // Want of space for the open's unchanged rewrite is no refusal of the stream.
        {"full-once", false, "f:s", "/dev/null", 0, "original", "value"},
        {"full-once", false, "f:s", "input", 0, "original", "INPUT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.volume) + " " + c.name + (c.mounted ? c.mounted : ""));
        if (c.anonymous && tmpfs.path().empty()) {
            REQUIRE_OR_SKIP(false, tmpfs.reason());
            continue;
        }
        const std::string base = c.anonymous ? tmpfs.path() : dir.path();
        write_file(base + "/f", "original");
        set_stream(base + "/f", "s", "value");
        std::string table = "36 25 8:1 / / rw - ext4 /dev/sda1 rw\n";
        if (c.mounted) {
            struct stat volume;
            ASSERT_EQ(stat(base.c_str(), &volume), 0);
            const std::string line = c.mounted, device = std::to_string(major(volume.st_dev)) +
                                                         ":" + std::to_string(minor(volume.st_dev));
            const std::size_t at = line.find("DEV");
            table += line.substr(0, at) + device + line.substr(at + 3) + "\n";
        }
        write_file(dir / "mountinfo", table);
        const std::string input = c.input[0] == '/' ? c.input : dir / c.input;
        const Result result = run(c.prune ? prune_path() : pour_path(),
                                  {.args = {base + "/" + c.name}, .input = Input::FILE,
                                   .path = input, .setup = [&] {
            preload_shim(c.volume);
            setenv("OSTRAKIT_SHIM_MOUNTINFO", (dir / "mountinfo").c_str(), 1);
        }});
        if (c.code == 0) {
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.error, "");
        } else {
            expect_failure(result, c.prune ? "ostraprune" : "ostrapour",
                           c.prune ? "DeleteFileW" : "CreateFile", c.code);
            EXPECT_EQ(result.input_consumed, 0);
        }
        EXPECT_EQ(read_file(base + "/f"), c.file);
        EXPECT_EQ(has_stream(base + "/f", "s") ? read_stream(base + "/f", "s") : "<none>",
                  c.stream);
    }
}
