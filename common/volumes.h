// SPDX-License-Identifier: MIT
// Which Linux volumes keep no streams, judged from what the kernel reports of them: the file
// system's magic number and, for WSL's Windows drives, the volume's line in the mount table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ostrakit {

enum class VolumeStreams { KEPT, NONE, ASK_MOUNT_TABLE };

// What statfs's magic number says of a volume's user attributes. An SMB client mount (CIFS,
// SMB2) shows the server's extended attributes, and the kernel's NTFS drivers keep NTFS
// extended attributes: neither are streams. 9p and FUSE (virtiofs reports FUSE's number) on a
// device number of no block device, and WSL 1's own file systems, may be WSL's Windows drives,
// which only the mount table tells apart.
VolumeStreams streams_by_magic(std::uint32_t magic, bool block_device);

// True when the line of /proc/self/mountinfo `line` is a mount of WSL's DrvFs: type "drvfs"
// (WSL 1), or a 9p or virtiofs mount whose source or options name drvfs (WSL 2).
bool is_drvfs_mount(std::string_view line);

// Reads /proc/self/mountinfo a piece at a time, as the kernel hands it out, for the line of
// the device major:minor, and judges that line alone.
class DrvfsSearch {
  public:
    DrvfsSearch(unsigned major, unsigned minor) : major_(major), minor_(minor) {}
    // Takes the next bytes of the table; false once the device's line has been judged.
    bool take(std::string_view bytes);
    // True when the device's line names DrvFs. A line of that device too long to be read
    // whole is counted as one: its streams are refused rather than risked.
    bool found() const { return drvfs_; }

  private:
    bool end_line();

    static constexpr std::size_t LINE_CAPACITY = 8192;
    unsigned major_, minor_;
    char line_[LINE_CAPACITY];
    std::size_t length_ = 0;
    bool cut_ = false, drvfs_ = false;
};

}  // namespace ostrakit
