// SPDX-License-Identifier: MIT
// The Linux backend's open and delete take any path buffer the caller fills, not only one that
// resolution produced: nothing of the name is copied into storage of a size of its own. And
// the volumes it refuses streams on, as the kernel reports them (volumes.h).
#include <gtest/gtest.h>

#include <linux/limits.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "platform.h"
#include "volumes.h"

namespace {

using namespace ostrakit;

ExtendedPathBuffer path;
Target target;

TEST(PlatformBuffers, NamesAsLongAsTheBufferHoldsAreRefusedCleanly) {
    // Filled to capacity; and, walked from the root, a last piece of PATH_MAX bytes, one more
    // than a piece the walk may copy.
    for (const std::size_t length : {FULL_PATH_CAPACITY - 1, std::size_t{PATH_MAX} + 1}) {
        for (const char* stream : {"", ":s"}) {
            const std::string what = std::to_string(length) + stream;
            std::memset(path.chars, 'n', length);
            path.chars[0] = '/';
            std::memcpy(path.chars + length - std::strlen(stream), stream, std::strlen(stream));
            path.chars[length] = '\0';
            path.directory_length = 0;
            errno = 0;
            EXPECT_FALSE(platform::open_existing_for_writing(path, target)) << what;
            EXPECT_EQ(errno, ENAMETOOLONG) << what;
            errno = 0;
            EXPECT_FALSE(platform::delete_file(path)) << what;
            EXPECT_EQ(errno, ENAMETOOLONG) << what;
        }
    }
}

// Mount table lines as WSL 1, WSL 2 (9p over a descriptor or virtio; virtiofs) and others show
// them in /proc/self/mountinfo; 9p and virtiofs shares of other hosts are no Windows drives.
TEST(PlatformVolumes, WslWindowsDrivesAreKnownByTheirMountTableLine) {
    const struct {
        const char* line;
        bool drvfs;
    } rows[] = {
        {"39 36 0:24 / /mnt/c rw,noatime shared:11 - drvfs C:\\134 rw,uid=1000,gid=1000,case=off",
         true},
        {"95 84 0:53 / /mnt/c rw,noatime - 9p C:\\134 rw,dirsync,aname=drvfs;path=C:\\134;"
         "uid=1000;gid=1000;symlinkroot=/mnt/,mmap,access=client,msize=262144,trans=virtio",
         true},
        {"80 70 0:45 / /mnt/c rw,noatime - 9p drvfs rw,dirsync,aname=drvfs;path=C:\\134;"
         "uid=1000;gid=1000;symlinkroot=/mnt/,mmap,access=client,msize=65536,trans=fd,rfd=8,"
         "wfd=8",
         true},
        {"101 84 0:60 / /mnt/d rw,relatime shared:1 master:2 - 9p D: rw,aname=drvfs;path=D:;"
         "uid=0;gid=0;symlinkroot=/mnt/,mmap,access=client,msize=262144,trans=virtio",
         true},
        {"90 84 0:48 / /mnt/c rw,noatime - virtiofs drvfsC rw", true},
        {"40 29 0:36 / /mnt/host rw,relatime - 9p hostshare rw,sync,dirsync,access=client,"
         "msize=512000,trans=virtio",
         false},
        {"83 61 0:40 / /usr/lib/wsl/drivers ro,nosuid,nodev,noatime - 9p drivers ro,dirsync,"
         "aname=drivers;fmask=222;dmask=222,mmap,access=client,msize=65536,trans=fd,rfd=7,wfd=7",
         false},
        {"50 29 0:45 / /mnt/shared rw,relatime - virtiofs myfs rw", false},
        {"29 1 254:0 / / rw,relatime - ext4 /dev/vda rw", false},
        {"30 29 8:1 / /mnt/drvfs rw,relatime - ext4 drvfs rw,aname=drvfs", false},
        {"45 29 7:0 / /mnt/win rw,relatime - fuseblk /dev/loop0 rw,user_id=0,group_id=0,"
         "allow_other,blksize=4096",
         false},
    };
    for (const auto& row : rows) EXPECT_EQ(is_drvfs_mount(row.line), row.drvfs) << row.line;
}

TEST(PlatformVolumes, TheMagicNumberDecidesAndTheMountTableIsAskedOnlyWhereItCannot) {
    using enum VolumeStreams;
    const struct {
        std::uint32_t magic;
        bool block_device;
        VolumeStreams streams;
    } rows[] = {
        // ext4, tmpfs, xfs, btrfs; ntfs-3g mounted by root (fuseblk)
        {0xEF53, true, KEPT}, {0x01021994, false, KEPT}, {0x58465342, true, KEPT},
        {0x9123683E, false, KEPT}, {0x65735546, true, KEPT},
        // SMB2, CIFS, ntfs, ntfs3
        {0xFE534D42, false, NONE}, {0xFF534D42, false, NONE}, {0x5346544E, true, NONE},
        {0x7366746E, true, NONE},
        // 9p, on a block device and not; virtiofs (FUSE); WSL 1
        {0x01021997, false, ASK_MOUNT_TABLE}, {0x01021997, true, KEPT},
        {0x65735546, false, ASK_MOUNT_TABLE}, {0x53464846, true, ASK_MOUNT_TABLE},
    };
    for (const auto& row : rows)
        EXPECT_EQ(streams_by_magic(row.magic, row.block_device), row.streams) << row.magic;
}

// The table comes a piece at a time: the device's line is found whatever the pieces, by its
// whole number, and a line of that device too long to read whole is taken for DrvFs.
TEST(PlatformVolumes, TheDevicesLineIsFoundInTheTableHoweverItComes) {
    const std::string other = "29 1 0:5 / /dev rw - devtmpfs udev rw\n";
    const std::string drvfs = "95 84 0:53 / /mnt/c rw - 9p drvfs rw,aname=drvfs\n";
    const std::string share = "40 29 0:53 / /mnt/host rw - 9p hostshare rw,trans=virtio\n";
    const std::string long_drvfs = "95 84 0:53 / /" + std::string(9000, 'd') + " rw - 9p x rw\n";
    const std::string long_other = "95 84 0:6 / /" + std::string(9000, 'd') + drvfs.substr(13);
    const struct {
        std::string table;
        bool drvfs;
    } rows[] = {
        {other + drvfs, true},  {other + share + drvfs, false}, {other, false},
        {drvfs.substr(0, 40), false},  // cut short: no line of the device is whole
        {long_drvfs, true},     {long_other + share, false},
    };
    for (const auto& row : rows) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, row.table.size()}) {
            DrvfsSearch search(0, 53);
            for (std::size_t at = 0; at < row.table.size(); at += piece)
                if (!search.take(std::string_view(row.table).substr(at, piece))) break;
            EXPECT_EQ(search.found(), row.drvfs) << row.table.substr(0, 60) << " by " << piece;
        }
    }
}

}  // namespace
