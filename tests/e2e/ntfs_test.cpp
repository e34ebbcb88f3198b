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

// What this machine lacks for an NTFS volume, or nothing.
std::string missing_for_ntfs() {
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "no usable /dev/fuse";
    if (find_program("mkntfs").empty() || find_program("ntfs-3g").empty())
        return "mkntfs or ntfs-3g missing (Debian: ntfs-3g)";
    if (find_program("umount").empty()) return "no umount";
    return "";
}

// The interface under which the build under test finds streams as its own platform does.
std::string own_interface() { return windows_target() ? "windows" : "xattr"; }

using Names = std::vector<std::string>;

Names directory_names(const std::string& path) {
    Names list;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        list.push_back(entry.path().filename());
    std::sort(list.begin(), list.end());
    return list;
}

// Each test on a fresh 16 MiB NTFS volume in an image file, first mounted with the Windows
// interface. ntfs-3g stays attached as our child (no_detach), so an unmount is complete, and the
// image written back, once that child has ended. The volume is unmounted after the test whatever
// happened in it, lazily if it is busy.
class NtfsStreams : public testing::Test {
protected:
    ~NtfsStreams() override { unmount(); }

    void SetUp() override {
        REQUIRE_OR_SKIP(missing_for_ntfs().empty(), missing_for_ntfs());
        std::filesystem::create_directory(mount_point);
        write_file(image, "");
        std::filesystem::resize_file(image, 16 << 20);
        ASSERT_EQ(execute({find_program("mkntfs"), "-F", "-Q", "-q", image}), 0)
            << "mkntfs failed";
        REQUIRE_OR_SKIP(mount("windows"), "ntfs-3g could not mount a volume");
    }

    std::string on(const std::string& name) const { return mount_point + "/" + name; }

    // Mounts with ntfs-3g's streams_interface `interface` ("windows": "file:stream" paths;
    // "xattr": attributes "user.stream"), after unmounting any earlier mount.
    bool mount(const std::string& interface) {
        if (!unmount()) return false;
        ntfs_3g = std::make_unique<Child>(find_program("ntfs-3g"), e2e::Run{
            .args = {"-o", "no_detach,streams_interface=" + interface, image, mount_point},
            .input = Input::FILE, .path = "/dev/null", .output = Output::DISCARD,
            // Should the test process die before its destructors run, ntfs-3g is told to
            // end, and unmounts on its way out.
            .setup = [] { prctl(PR_SET_PDEATHSIG, SIGTERM); },
            .timeout = MOUNT_WAIT, .helper = true});
        for (const auto until = steady_clock::now() + MOUNT_WAIT; steady_clock::now() < until;) {
            if (is_mounted()) return true;
            if (!ntfs_3g->running()) break;  // it gave up
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        unmount();
        return false;
    }

    // Unmounts and waits for ntfs-3g to end, killing it when it does not.
    bool unmount() {
        if (!ntfs_3g) return true;
        if (is_mounted() && execute({find_program("umount"), mount_point}) != 0)
            execute({find_program("umount"), "-l", mount_point});
        const bool ended = !ntfs_3g->wait().timed_out;
        ntfs_3g.reset();
        return ended;
    }

    bool is_mounted() const {
        struct stat inside, outside;
        return stat(mount_point.c_str(), &inside) == 0 &&
               stat(dir.path().c_str(), &outside) == 0 && inside.st_dev != outside.st_dev;
    }

    // A file with two streams, made through Windows-style paths, and then the volume mounted
    // for the build under test. "report.txt" rather than a short name: under Wine "f:s" would
    // be drive F:.
    bool make_report(const std::string& data) {
        write_file(on("report.txt"), "main content");
        write_file(on("report.txt:data"), data);
        write_file(on("report.txt:other"), "untouched");
        return mount(own_interface());
    }

    ScratchDir dir;
    const std::string image = dir / "volume.ntfs", mount_point = dir / "mnt";
    std::unique_ptr<Child> ntfs_3g;
};

}  // namespace

TEST_F(NtfsStreams, PourWritesAStreamInPlaceAndBothInterfacesReadIt) {
    ASSERT_TRUE(make_report("0123456789"));
    const std::string bytes = binary_bytes(60 * 1024);
    expect_success(pour(on("report.txt:data"), bytes));
    expect_success(pour(on("report.txt:data"), "ABC"));
    const std::string expected = "ABC" + bytes.substr(3);

    ASSERT_TRUE(mount("windows"));
    EXPECT_EQ(read_file(on("report.txt:data")), expected);
    EXPECT_EQ(read_file(on("report.txt:other")), "untouched");
    EXPECT_EQ(read_file(on("report.txt")), "main content");
    ASSERT_TRUE(mount("xattr"));
    EXPECT_EQ(read_stream(on("report.txt"), "data"), expected);
    EXPECT_EQ(attribute_names(on("report.txt")), (Names{"user.data", "user.other"}));
}

TEST_F(NtfsStreams, PruneDeletesOneStreamAndLeavesTheFileAndTheOthers) {
    ASSERT_TRUE(make_report("doomed"));
    expect_success(prune(on("report.txt:data")));

    ASSERT_TRUE(mount("windows"));
    EXPECT_FALSE(exists(on("report.txt:data")));
    EXPECT_EQ(read_file(on("report.txt:other")), "untouched");
    EXPECT_EQ(read_file(on("report.txt")), "main content");
    ASSERT_TRUE(mount("xattr"));
    EXPECT_EQ(attribute_names(on("report.txt")), Names{"user.other"});
}

TEST_F(NtfsStreams, MissingStreamsAndFilesAreNeitherCreatedNorFed) {
    ASSERT_TRUE(make_report("data"));
    write_file(dir / "input", "input");
    for (const std::string name : {"report.txt:absent", "absent.txt", "absent.txt:data"}) {
        expect_pour_refused(on(name), dir / "input", "CreateFile", ENOENT, name);
        expect_failure(prune(on(name)), "ostraprune", "DeleteFileW", ENOENT, name);
    }

    ASSERT_TRUE(mount("windows"));
    EXPECT_FALSE(exists(on("report.txt:absent")));
    EXPECT_EQ(directory_names(on("")), Names{"report.txt"});
    EXPECT_EQ(read_file(on("report.txt:data")), "data");
    ASSERT_TRUE(mount("xattr"));
    EXPECT_EQ(attribute_names(on("report.txt")), (Names{"user.data", "user.other"}));
}

TEST_F(NtfsStreams, AStreamBeyondWhatAnAttributeHoldsIsWrittenByWindowsAndRefusedWholeByLinux) {
    const std::string large(100000, 'z');
    ASSERT_TRUE(make_report(large));
    const Result result = pour(on("report.txt:data"), "AB");
    ASSERT_TRUE(mount("windows"));
    if (windows_target()) {
        expect_success(result);
        EXPECT_EQ(read_file(on("report.txt:data")), "AB" + large.substr(2));
    } else {
        // An attribute value holds at most 64 KiB: writing back less would shorten the stream.
        expect_failure(result, "ostrapour", "CreateFile", EFBIG);
        EXPECT_EQ(read_file(on("report.txt:data")), large);
    }
    EXPECT_EQ(read_file(on("report.txt:other")), "untouched");
}
