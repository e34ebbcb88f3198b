// SPDX-License-Identifier: MIT
// The Linux build on a Samba file server: the streams that vfs_streams_xattr keeps for Windows
// clients, written and deleted on the server and read back by a client, smbclient, over SMB.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using namespace e2e;
using std::chrono::steady_clock;

namespace {

constexpr auto SERVER_WAIT = std::chrono::seconds(20);

// Binds (`port` 0: any free port) or connects a socket on the loopback interface at `port`;
// returns the port it is bound or connected to, or -1.
int loopback(int port, bool bind_it) {
    const int socket_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)),
                        {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    const bool done = bind_it ? bind(socket_fd, any, length) == 0 &&
                                    getsockname(socket_fd, any, &length) == 0
                              : connect(socket_fd, any, length) == 0;
    close(socket_fd);
    return done ? ntohs(address.sin_port) : -1;
}

// smbd with a configuration of its own: loopback only, a free port, every file of its own in
// the test's directory, and one share on a tmpfs that sets nothing but vfs_streams_xattr, with
// the directory "depot" in it shared as well with vfs_streams_depot.
// Clients come as guests and act as root, as the tools do. It runs in the foreground as our
// child, and is stopped by its pid when the test ends.
class SambaShare : public testing::Test {
protected:
    ~SambaShare() override {
        if (!smbd) return;
        smbd->kill(SIGTERM);
        smbd->wait();
    }

    void SetUp() override {
        REQUIRE_OR_SKIP(!find_program("smbd").empty() && !find_program("smbclient").empty(),
                        "smbd or smbclient missing (Debian: samba, samba-vfs-modules, smbclient)");
        REQUIRE_OR_SKIP(!share.path().empty(), share.reason());
        port = std::to_string(loopback(0, true));
        const std::string state = dir / "state";
        std::filesystem::create_directory(state);
        std::filesystem::create_directory(share / "depot");
        write_file(config, "[global]\n"
                           "interfaces = lo\nbind interfaces only = yes\n"
                           "smb ports = " + port + "\ndisable netbios = yes\n"
                           "server role = standalone server\n"
                           "map to guest = Bad User\nguest account = root\n"
                           "lock directory = " + state + "\nstate directory = " + state +
                           "\ncache directory = " + state + "\nprivate dir = " + state +
                           "\npid directory = " + state + "\nncalrpc dir = " + state +
                           "/ncalrpc\nlog file = " + state + "/log\n"
                           "passdb backend = tdbsam:" + state + "/passdb.tdb\n"
                           "load printers = no\nprinting = bsd\nprintcap name = /dev/null\n"
                           "[share]\npath = " + share.path() + "\n"
                           "guest ok = yes\nread only = no\n"
                           "vfs objects = streams_xattr\n"
                           "[depot]\npath = " + share / "depot" + "\n"
                           "guest ok = yes\nread only = no\n"
                           "vfs objects = streams_depot\n");
        smbd = std::make_unique<Child>(find_program("smbd"), e2e::Run{
            .args = {"--foreground", "-s", config},
            .input = Input::FILE, .path = "/dev/null", .output = Output::DISCARD,
            .setup = [] { prctl(PR_SET_PDEATHSIG, SIGTERM); },
            .timeout = std::chrono::minutes(10), .helper = true});
        for (const auto until = steady_clock::now() + SERVER_WAIT; loopback(std::stoi(port), false) < 0;) {
            ASSERT_TRUE(smbd->running()) << "smbd ended: see " << state << "/log";
            ASSERT_LT(steady_clock::now(), until) << "smbd did not listen on port " << port;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Runs smbclient's `commands` against the share `on` and returns what it printed; the
    // status it must end with is `status`.
    std::string client(const std::string& commands, const std::string& on = "share",
                       int status = 0) {
        const Result result = run(find_program("smbclient"), {
            .args = {"//127.0.0.1/" + on, "-p", port, "-N", "-s", config, "-c", commands},
            .input = Input::FILE, .path = "/dev/null", .helper = true});
        EXPECT_EQ(result.status, status) << commands << ": " << result.output << result.error;
        return result.output;
    }

    // What a client reads from the stream `stream` of `file` (its main content for ""), or
    // "<none>" when the server does not list that stream.
    std::string client_reads(const std::string& stream, const std::string& file = "f.txt",
                             const std::string& on = "share") {
        if (client("allinfo " + file, on).find("stream: [:" + stream + ":$DATA]") ==
            std::string::npos)
            return "<none>";
        const std::string local = dir / "read";
        std::filesystem::remove(local);
        client("get " + file + (stream.empty() ? "" : ":" + stream) + " " + local, on);
        return read_file(local);
    }

    void client_writes(const std::string& name, const std::string& bytes) {
        write_file(dir / "written", bytes);
        client("put " + dir / "written" + " " + name);
    }

    ScratchDir dir;
    TmpfsMount share{"16m"};
    const std::string config = dir / "smb.conf";
    std::string port;
    std::unique_ptr<Child> smbd;
};

// One tool run on the server, after smbclient's `client` commands, if any.
struct Step {
    std::string client;
    const char* tool = "ostrapour";
    std::string target = "f.txt:note";
    std::string input;
    int code = 0;
    const char* operation = "CreateFile";
};

// Runs the step's tool on `target`, the step's target on the share, and checks its outcome.
void run_step(const std::string& target, const Step& step) {
    const Result result = std::string_view(step.tool) == "ostrapour" ? pour(target, step.input)
                                                                      : prune(target);
    if (step.code == 0)
        expect_success(result, step.target);
    else
        expect_failure(result, step.tool, step.operation, step.code, step.target);
}

// The file f.txt with the stream "note" that a client made (`note`, or none for "<none>"),
// the steps, and what a client then reads from "note".
struct ServerRow {
    const char* what;
    std::string note;
    std::vector<Step> steps;
    std::string read;
};

const std::string BLOCKS = binary_bytes(1000);
const std::string LARGEST(65535, 'L');

}  // namespace

// Not in the Windows suite: it is the Linux build that runs on a file server.
TEST_F(SambaShare, AClientsStreamsAreWrittenAndDeletedOnTheServerAndReadBackByTheClient) {
    const ServerRow rows[] = {
        {"poured shorter", "hello world", {{.input = "HEY"}}, "HEYlo world"},
        {"poured longer", "hi", {{.input = "a longer value"}}, "a longer value"},
        {"made empty, then filled", "", {{.input = "filled"}}, "filled"},
        {"binary over several blocks", "x", {{.input = BLOCKS}}, BLOCKS},
        {"the name in other case", "hello", {{.target = "f.txt:NOTE", .input = "J"}}, "Jello"},
        {"a missing stream", "<none>", {
            {.target = "f.txt:absent", .input = "x", .code = ENOENT},
            {.tool = "ostraprune", .target = "f.txt:absent", .code = ENOENT,
             .operation = "DeleteFileW"}}, "<none>"},
        {"pruned", "doomed", {{.tool = "ostraprune", .operation = "DeleteFileW"}}, "<none>"},
        {"read-only, then cleared", "value", {
            {.client = "setmode f.txt +r", .input = "X", .code = EACCES},
            {.target = "f.txt", .input = "X", .code = EACCES},
            {.tool = "ostraprune", .code = EACCES, .operation = "DeleteFileW"},
            {.tool = "ostraprune", .target = "f.txt", .code = EACCES, .operation = "DeleteFileW"},
            {.client = "setmode f.txt -r", .input = "V"}}, "Value"},
        {"65,535 bytes, then one more", "", {
            {.input = LARGEST},
            {.input = std::string(65536, 'M'), .code = EFBIG, .operation = "WriteFile"}},
         std::string(65535, 'M')},
        {"Samba's records", "kept", {
            {.target = "f.txt:DOSATTRIB", .input = "x", .code = EINVAL},
            {.tool = "ostraprune", .target = "f.txt:DOSATTRIB", .code = EINVAL,
             .operation = "DeleteFileW"},
            {.target = "f.txt:DosStream.note:$DATA", .input = "x", .code = EINVAL},
            {.tool = "ostraprune", .target = "f.txt:DosStream.note:$DATA", .code = EINVAL,
             .operation = "DeleteFileW"}}, "kept"},
    };
    for (const ServerRow& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove(share / "f.txt");
        client_writes("f.txt", "file");
        if (row.note != "<none>") client_writes("f.txt:note", row.note);
        const std::string record = read_stream(share / "f.txt", "DOSATTRIB");
        bool client_changed_it = false;
        for (const Step& step : row.steps) {
            if (!step.client.empty()) client(step.client);
            client_changed_it |= !step.client.empty();
            run_step(share / step.target, step);
        }
        EXPECT_EQ(client_reads("note"), row.read);
        EXPECT_EQ(client_reads(""), "file");
        // Neither form of a stream is ever created, and Samba's record is the server's alone.
        std::vector<std::string> kept = {"user.DOSATTRIB"};
        if (row.read != "<none>") kept.push_back("user.DosStream.note:$DATA");
        EXPECT_EQ(attribute_names(share / "f.txt"), kept);
        if (!client_changed_it) {
            EXPECT_EQ(read_stream(share / "f.txt", "DOSATTRIB"), record);
        }
    }
}

// Samba's record of Windows attributes, set on the server in each form: the tools refuse
// exactly when a client sees the file read-only. (Each form's reading: the unit tests.)
TEST_F(SambaShare, TheToolsRefuseExactlyWhenAClientSeesTheFileReadOnly) {
    const std::string v5 = std::string("\0\0\5\0\5\0\0\0\x11\0\0\0", 12), when(8, '\0');
    const struct {
        const char* what;
        std::string record;
        bool read_only;
    } rows[] = {
        {"version 5, read-only", v5 + std::string("\x21\0\0\0", 4) + when, true},
        {"version 5, archive", v5 + std::string("\x20\0\0\0", 4) + when, false},
        {"text without 0x", std::string("1\0", 2), true},
        {"text up to a byte of CP850", std::string("0x1\x80\0", 5), true},
        {"text, then a read-only record",
         std::string("0x0\0\5\0\5\0\x11\0\0\0\x21\0\0\0", 16) + when, true},
        {"text, then a record of none",
         std::string("0xf\0\5\0\5\0\x11\0\0\0\x20\0\0\0", 16) + when, false},
        {"read-only, its flags saying nothing",
         std::string("\0\0\5\0\5\0\0\0\0\0\0\0\x21\0\0\0", 16) + when, true},
        {"version 5 cut short", v5 + std::string("\x21\0\0\0", 4) + "1234567", false},
        {"version 6",
         std::string("\0\0\6\0\6\0\0\0\x11\0\0\0\x21\0\0\0", 16) + when, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove(share / "f.txt");
        client_writes("f.txt", "file");
        client_writes("f.txt:note", "note");
        set_stream(share / "f.txt", "DOSATTRIB", row.record);
        const int code = row.read_only ? EACCES : 0;
        for (const Step& step : {Step{.input = "N", .code = code},
                                 Step{.target = "f.txt", .input = "F", .code = code},
                                 Step{.tool = "ostraprune", .code = code,
                                      .operation = "DeleteFileW"}})
            run_step(share / step.target, step);
        const std::string info = client("allinfo f.txt");
        const std::size_t at = info.find("attributes: ");
        ASSERT_NE(at, std::string::npos) << info;
        const std::string shown = info.substr(at, info.find(' ', at + 12) - at);
        EXPECT_EQ(shown.find('R') != std::string::npos, row.read_only) << shown;
    }
}

// Not in the Windows suite: it is the Linux build that runs on a file server. Each row works on
// files of its own.
TEST_F(SambaShare, TheToolsReachTheStreamSmbdReachesOrRefuseAsItRefusesItsClients) {
    const std::string value = dir / "value";
    write_file(value, "value");
    const std::string NUL(1, '\0');
    const struct {
        const char* what;
        const char* share;  // "share" (streams_xattr) or "depot" (streams_depot)
        std::string setup;  // the client's commands
        std::vector<std::pair<std::string, std::string>> server;  // set on f.txt, less "user."
        std::string refused;  // a client's command the server refuses, as it refuses the tools
        std::vector<Step> steps;
        std::vector<std::vector<std::string>> reads;  // stream, file, the bytes a client reads
    } rows[] = {
        {"two names that differ in case", "share", "put " + value + " f.txt",
         {{"DosStream.note:$DATA", "lower" + NUL}, {"DosStream.NOTE:$DATA", "UPPER" + NUL}}, "",
         {{.target = "f.txt:NOTE", .input = "X"},
          {.tool = "ostraprune", .target = "f.txt:note", .operation = "DeleteFileW"}},
         {{"NOTE", "f.txt", "XPPER"}, {"note", "f.txt", "<none>"}}},
        {"a read-only directory", "share", "mkdir dd; put " + value + " dd:s; setmode dd +r", {},
         "put " + value + " dd:s",
         {{.target = "dd:s", .input = "X", .code = EACCES},
          {.tool = "ostraprune", .target = "dd:s", .code = EACCES, .operation = "DeleteFileW"}},
         {{"s", "dd", "value"}}},
        {"streams in a depot", "depot", "put " + value + " f.txt; put " + value + " f.txt:note",
         {}, "",
         {{.target = "depot/f.txt:note", .input = "X", .code = EOPNOTSUPP},
          {.tool = "ostraprune", .target = "depot/f.txt:note", .code = EOPNOTSUPP,
           .operation = "DeleteFileW"}},
         {{"note", "f.txt", "value"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        client(row.setup, row.share);
        for (const auto& [name, bytes] : row.server) set_stream(share / "f.txt", name, bytes);
        if (!row.refused.empty()) client(row.refused, row.share, 1);
        for (const Step& step : row.steps) run_step(share / step.target, step);
        for (const auto& read : row.reads)
            EXPECT_EQ(client_reads(read[0], read[1], row.share), read[2]) << read[0];
    }
}
