// SPDX-License-Identifier: MIT
// Both builds on genuine NTFS named streams: a small volume formatted by mkntfs and mounted
// through ntfs-3g, each build under the stream interface that matches its own platform, and
// every result read back through both interfaces.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "harness.h"

using namespace e2e;

namespace {

using std::chrono::steady_clock;
constexpr auto MOUNT_WAIT = std::chrono::seconds(15);

// A 16 MiB NTFS volume in an image file. ntfs-3g stays attached as our child (no_detach), so an
// unmount is complete, and the image written back, once that child has ended. The destructor
// unmounts whatever happened in the test, lazily if the volume is busy.
class NtfsVolume {
public:
    explicit NtfsVolume(const ScratchDir& dir)
        : image_(dir / "volume.ntfs"), mount_point_(dir / "mnt") {}
    ~NtfsVolume() { unmount(); }
    NtfsVolume(const NtfsVolume&) = delete;
    NtfsVolume& operator=(const NtfsVolume&) = delete;

    std::string operator/(const std::string& name) const { return mount_point_ + "/" + name; }

    bool format() {
        std::filesystem::create_directory(mount_point_);
        write_file(image_, "");
        std::filesystem::resize_file(image_, 16 << 20);
        return execute({find_program("mkntfs"), "-F", "-Q", "-q", image_}) == 0;
    }

    // Mounts with ntfs-3g's streams_interface `interface` ("windows": "file:stream" paths;
    // "xattr": attributes "user.stream"), after unmounting any earlier mount.
    bool mount(const std::string& interface) {
        if (!unmount()) return false;
        daemon_ = std::make_unique<Child>(find_program("ntfs-3g"), Run{
            .args = {"-o", "no_detach,streams_interface=" + interface, image_, mount_point_},
            .input = Input::FILE, .path = "/dev/null", .output = Output::DISCARD,
            // Should the test process die before its destructors run, ntfs-3g is told to
            // end, and unmounts on its way out.
            .setup = [] { prctl(PR_SET_PDEATHSIG, SIGTERM); },
            .timeout = MOUNT_WAIT});
        for (const auto until = steady_clock::now() + MOUNT_WAIT; steady_clock::now() < until;) {
            if (is_mounted()) return true;
            if (!daemon_->running()) {
                daemon_->wait();
                daemon_.reset();
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        unmount();
        return false;
    }

    // Unmounts and waits for ntfs-3g to end, killing it when it does not.
    bool unmount() {
        if (!daemon_) return true;
        if (is_mounted() && execute({find_program("umount"), mount_point_}) != 0)
            execute({find_program("umount"), "-l", mount_point_});
        const bool ended = !daemon_->wait().timed_out;
        daemon_.reset();
        return ended;
    }

private:
    bool is_mounted() const {
        struct stat inside, outside;
        return stat(mount_point_.c_str(), &inside) == 0 &&
               stat(std::filesystem::path(mount_point_).parent_path().c_str(), &outside) == 0 &&
               inside.st_dev != outside.st_dev;
    }

    std::string image_;
    std::string mount_point_;
    std::unique_ptr<Child> daemon_;
};

// What this machine lacks for an NTFS volume, or nothing.
std::string missing_for_ntfs() {
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "no usable /dev/fuse";
    if (find_program("mkntfs").empty() || find_program("ntfs-3g").empty())
        return "mkntfs or ntfs-3g missing (Debian: ntfs-3g)";
    if (find_program("umount").empty()) return "no umount";
    return "";
}

#define NEEDS_NTFS_VOLUME(volume)                                                   \
    REQUIRE_OR_SKIP(missing_for_ntfs().empty(), missing_for_ntfs());                \
    ASSERT_TRUE((volume).format()) << "mkntfs failed";                              \
    REQUIRE_OR_SKIP((volume).mount("windows"), "ntfs-3g could not mount a volume")

// The interface under which the build under test finds streams as its own platform does.
std::string own_interface() { return windows_target() ? "windows" : "xattr"; }

// The attribute names of `path`, sorted; under the xattr interface these are its streams.
std::vector<std::string> attribute_names(const std::string& path) {
    std::string names(4096, '\0');
    const ssize_t size = listxattr(path.c_str(), names.data(), names.size());
    if (size < 0) return {"listxattr failed: " + std::string(std::strerror(errno))};
    std::vector<std::string> list;
    for (std::size_t start = 0; start < static_cast<std::size_t>(size);) {
        list.emplace_back(names.c_str() + start);
        start += list.back().size() + 1;
    }
    std::sort(list.begin(), list.end());
    return list;
}

std::vector<std::string> directory_names(const std::string& path) {
    std::vector<std::string> list;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        list.push_back(entry.path().filename());
    std::sort(list.begin(), list.end());
    return list;
}

// A file with two streams, made through Windows-style paths. "report.txt" rather than a short
// name: under Wine "f:s" would be drive F:.
void make_report(NtfsVolume& volume, const std::string& data) {
    write_file(volume / "report.txt", "main content");
    write_file(volume / "report.txt:data", data);
    write_file(volume / "report.txt:other", "untouched");
}

}  // namespace

TEST(NtfsStreams, PourWritesAStreamInPlaceAndBothInterfacesReadIt) {
    ScratchDir dir;
    NtfsVolume volume(dir);
    NEEDS_NTFS_VOLUME(volume);
    make_report(volume, "0123456789");
    ASSERT_TRUE(volume.mount(own_interface()));
    const std::string bytes = binary_bytes(60 * 1024);
    expect_success(pour(volume / "report.txt:data", bytes));
    expect_success(pour(volume / "report.txt:data", "ABC"));
    const std::string expected = "ABC" + bytes.substr(3);

    ASSERT_TRUE(volume.mount("windows"));
    EXPECT_EQ(read_file(volume / "report.txt:data"), expected);
    EXPECT_EQ(read_file(volume / "report.txt:other"), "untouched");
    EXPECT_EQ(read_file(volume / "report.txt"), "main content");
    ASSERT_TRUE(volume.mount("xattr"));
    EXPECT_EQ(read_stream(volume / "report.txt", "data"), expected);
    EXPECT_EQ(attribute_names(volume / "report.txt"),
              (std::vector<std::string>{"user.data", "user.other"}));
}

TEST(NtfsStreams, PruneDeletesOneStreamAndLeavesTheFileAndTheOthers) {
    ScratchDir dir;
    NtfsVolume volume(dir);
    NEEDS_NTFS_VOLUME(volume);
    make_report(volume, "doomed");
    ASSERT_TRUE(volume.mount(own_interface()));
    expect_success(prune(volume / "report.txt:data"));

    ASSERT_TRUE(volume.mount("windows"));
    EXPECT_FALSE(exists(volume / "report.txt:data"));
    EXPECT_EQ(read_file(volume / "report.txt:other"), "untouched");
    EXPECT_EQ(read_file(volume / "report.txt"), "main content");
    ASSERT_TRUE(volume.mount("xattr"));
    EXPECT_EQ(attribute_names(volume / "report.txt"), std::vector<std::string>{"user.other"});
}

TEST(NtfsStreams, MissingStreamsAndFilesAreNeitherCreatedNorFed) {
    ScratchDir dir;
    NtfsVolume volume(dir);
    NEEDS_NTFS_VOLUME(volume);
    make_report(volume, "data");
    ASSERT_TRUE(volume.mount(own_interface()));
    write_file(dir / "input", "input");
    for (const std::string name : {"report.txt:absent", "absent.txt", "absent.txt:data"}) {
        const Result poured = run(pour_path(), {.args = {volume / name}, .input = Input::FILE,
                                                .path = dir / "input"});
        expect_failure(poured, "ostrapour", "CreateFile", ENOENT, name);
        EXPECT_EQ(poured.input_consumed, 0) << name;
        expect_failure(prune(volume / name), "ostraprune", "DeleteFileW",
                       ENOENT, name);
    }

    ASSERT_TRUE(volume.mount("windows"));
    EXPECT_FALSE(exists(volume / "report.txt:absent"));
    EXPECT_EQ(directory_names(volume / ""), std::vector<std::string>{"report.txt"});
    EXPECT_EQ(read_file(volume / "report.txt:data"), "data");
    ASSERT_TRUE(volume.mount("xattr"));
    EXPECT_EQ(attribute_names(volume / "report.txt"),
              (std::vector<std::string>{"user.data", "user.other"}));
}

TEST(NtfsStreams, AStreamBeyondWhatAnAttributeHoldsIsWrittenByWindowsAndRefusedWholeByLinux) {
    ScratchDir dir;
    NtfsVolume volume(dir);
    NEEDS_NTFS_VOLUME(volume);
    const std::string large(100000, 'z');
    make_report(volume, large);
    ASSERT_TRUE(volume.mount(own_interface()));
    const Result result = pour(volume / "report.txt:data", "AB");
    ASSERT_TRUE(volume.mount("windows"));
    if (windows_target()) {
        expect_success(result);
        EXPECT_EQ(read_file(volume / "report.txt:data"), "AB" + large.substr(2));
    } else {
        // An attribute value holds at most 64 KiB: writing back less would shorten the stream.
        expect_failure(result, "ostrapour", "CreateFile", EFBIG);
        EXPECT_EQ(read_file(volume / "report.txt:data"), large);
    }
    EXPECT_EQ(read_file(volume / "report.txt:other"), "untouched");
}
