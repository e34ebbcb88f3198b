// SPDX-License-Identifier: MIT
// Which Linux volumes keep no streams, from their magic number and their mount table line.
#include "volumes.h"

#include <algorithm>
#include <charconv>

namespace ostrakit {
namespace {

constexpr std::uint32_t SMB2_MAGIC = 0xFE534D42;
constexpr std::uint32_t CIFS_MAGIC = 0xFF534D42;
constexpr std::uint32_t NTFS_MAGIC = 0x5346544E;   // the in-kernel ntfs driver
constexpr std::uint32_t NTFS3_MAGIC = 0x7366746E;
constexpr std::uint32_t V9FS_MAGIC = 0x01021997;
constexpr std::uint32_t FUSE_MAGIC = 0x65735546;
constexpr std::uint32_t WSLFS_MAGIC = 0x53464846;  // WSL 1's file systems, DrvFs among them

// The part of `rest` before the first of `separators`; `rest` loses it and that separator.
// (No substr: its throw would bring the C++ runtime's exception support into the tools.)
std::string_view next_part(std::string_view& rest, const char* separators) {
    const std::size_t end = std::min(rest.find_first_of(separators), rest.size());
    const std::string_view part(rest.data(), end);
    rest.remove_prefix(end < rest.size() ? end + 1 : end);
    return part;
}

std::string_view next_field(std::string_view& rest) { return next_part(rest, " "); }

// True when one of the options, split at commas and at the semicolons that 9p's "aname=drvfs;
// path=C:\;..." keeps in one option, is `wanted`.
bool has_option(std::string_view options, std::string_view wanted) {
    while (!options.empty())
        if (next_part(options, ",;") == wanted) return true;
    return false;
}

// True when the mount table line is of the device major:minor (its third field).
bool is_device_line(std::string_view line, unsigned major, unsigned minor) {
    next_field(line);
    next_field(line);
    const std::string_view device = next_field(line);
    const char* end = device.data() + device.size();
    unsigned found_major = 0, found_minor = 0;
    const auto colon = std::from_chars(device.data(), end, found_major);
    if (colon.ec != std::errc() || colon.ptr == end || *colon.ptr != ':') return false;
    const auto last = std::from_chars(colon.ptr + 1, end, found_minor);
    return last.ec == std::errc() && last.ptr == end && found_major == major &&
           found_minor == minor;
}

}  // namespace

VolumeStreams streams_by_magic(std::uint32_t magic, bool block_device) {
    switch (magic) {
        case SMB2_MAGIC:
        case CIFS_MAGIC:
        case NTFS_MAGIC:
        case NTFS3_MAGIC:
            return VolumeStreams::NONE;
        case WSLFS_MAGIC:
            return VolumeStreams::ASK_MOUNT_TABLE;
        case V9FS_MAGIC:
        case FUSE_MAGIC:
            return block_device ? VolumeStreams::KEPT : VolumeStreams::ASK_MOUNT_TABLE;
        default:
            return VolumeStreams::KEPT;
    }
}

// Fields: mount ID, parent ID, major:minor, root, mount point, options, optional fields
// ending at "-", then type, source and the file system's own options.
bool is_drvfs_mount(std::string_view line) {
    for (int field = 0; field < 6; ++field) next_field(line);
    while (!line.empty() && next_field(line) != "-") {
    }
    const std::string_view type = next_field(line), source = next_field(line);
    if (type == "drvfs") return true;
    if (type != "9p" && type != "virtiofs") return false;
    constexpr std::string_view DRVFS = "drvfs";
    return std::string_view(source.data(), std::min(source.size(), DRVFS.size())) == DRVFS ||
           has_option(line, "aname=drvfs");
}

bool DrvfsSearch::take(std::string_view bytes) {
    for (const char byte : bytes) {
        if (byte == '\n') {
            if (!end_line()) return false;
        } else if (length_ < LINE_CAPACITY) {
            line_[length_++] = byte;
        } else {
            cut_ = true;
        }
    }
    return true;
}

bool DrvfsSearch::end_line() {
    const std::string_view line(line_, length_);
    const bool judged = is_device_line(line, major_, minor_);
    if (judged) drvfs_ = cut_ || is_drvfs_mount(line);
    length_ = 0;
    cut_ = false;
    return !judged;
}

}  // namespace ostrakit
