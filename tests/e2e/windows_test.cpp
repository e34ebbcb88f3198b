// SPDX-License-Identifier: MIT
// What only the Windows build shows, run under Wine: text-mode line ends, names already in
// extended form, and the program name printed through the ANSI code page.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "harness.h"

using namespace e2e;

// CTest runs this first, on its own: the global set-up starts the Wine session that the later
// test processes share, and reports here if it cannot.
TEST(WineSession, Starts) {}

TEST(WindowsBuild, LinesEndInCrLfAndTheSystemTextKeepsItsOwn) {
    const Result screen = run(prune_path(), {});
    EXPECT_EQ(screen.status, 1);
    EXPECT_EQ(screen.error, usage("ostraprune", windows_name(prune_path())));
    EXPECT_NE(screen.error.find("tools\r\nDeletes"), std::string::npos) << "not in text mode";

    ScratchDir dir;
    const Result missing = pour(dir / "absent.txt", "x");
    EXPECT_EQ(missing.status, 1);
    // The text's own CR LF goes through text mode as "\r\r\n"; the format's "\n" follows.
    const std::string tail = "): File not found.\r\r\n\r\n";
    ASSERT_GE(missing.error.size(), tail.size());
    EXPECT_EQ(missing.error.substr(missing.error.size() - tail.size()), tail);
    EXPECT_EQ(missing.error, diagnostic("ostrapour", "CreateFile", system_text(ENOENT)));
    EXPECT_FALSE(exists(dir / "absent.txt"));

    // Wine resolves the empty name to nothing without a reason; the tools give it one.
    EXPECT_EQ(prune("").error,
              diagnostic("ostraprune", "GetFullPathNameW", "Invalid name.\r\n"));
}

// A Windows pipe ends in a failed read (ERROR_BROKEN_PIPE) once its writer has closed it,
// where a Linux pipe, as Wine passes it on, gives an empty one. Before that, an empty read is a
// writer's empty write, and a message longer than the block comes in blocks.
TEST(WindowsBuild, TheEndOfAWindowsPipeIsTheEndOfInput) {
    ScratchDir dir;
    std::string pieces = "AB";  // then an empty write, a 300-byte message and the rest
    for (int i = 0; i < 300; ++i) pieces += static_cast<char>('a' + i % 26);
    pieces += "CD";
    const std::string original(400, 'o');
    for (const auto& [feeder, input] : {std::pair<std::string, std::string>{"", "AB"},
                                        {"--message=2,0,300", pieces},
                                        {"--byte=2,0,300", pieces}}) {
        write_file(dir / "target.txt", original);
        write_file(dir / "input", input);
        e2e::Run how = {.args = {pour_path(), dir / "target.txt"}, .input = Input::FILE,
                   .path = dir / "input"};
        if (!feeder.empty()) how.args.insert(how.args.begin(), feeder);
        expect_success(run(OSTRAKIT_MINGW_DIR "/pipe_feeder.exe", how), feeder);
        EXPECT_EQ(read_file(dir / "target.txt"), input + original.substr(input.size())) << feeder;
    }
}

TEST(WindowsBuild, NamesAlreadyInExtendedFormAreTakenAsTheyAre) {
    ScratchDir dir;
    const std::string extended = "\\\\?\\" + windows_name(dir.path()) + "\\";
    write_file(dir / "target.txt", "0123456789");
    write_file(dir / "victim.txt", "x");
    const Result poured = pour(extended + "target.txt", "AB");
    EXPECT_EQ(poured.status, 0);
    EXPECT_EQ(poured.error, "");
    EXPECT_EQ(read_file(dir / "target.txt"), "AB23456789");
    // Resolving the name again would drop its trailing dot and reach "t" instead.
    write_file(dir / "t.", "dot");
    write_file(dir / "t", "plain");
    expect_success(pour(extended + "t.", "D"));
    EXPECT_EQ(read_file(dir / "t.") + read_file(dir / "t"), "Dotplain");

    const Result pruned = prune(extended + "victim.txt");
    EXPECT_EQ(pruned.status, 0);
    EXPECT_EQ(pruned.error, "");
    EXPECT_FALSE(exists(dir / "victim.txt"));

    const Result missing = pour(extended + "absent.txt", "x");
    EXPECT_EQ(missing.error, diagnostic("ostrapour", "CreateFile", system_text(ENOENT)));
    EXPECT_FALSE(exists(dir / "absent.txt"));
}

TEST(WindowsBuild, ProgramNameIsPrintedThroughTheAnsiCodePageUpToTheFirstUnmappable) {
    // Wine's user locale here is English with code page 1252.
    ScratchDir dir;
    const std::string folder = windows_name(dir.path()) + "\\";
    struct Case {
        const char* file;     // UTF-8, as Wine reads Linux names
        std::string printed;  // code page 1252
    };
    for (const Case& c : {
             Case{"pour\xc3\xa9" "copy.exe", folder + "pour\xe9" "copy.exe"},   // é maps exactly
             Case{"pour\xc4\x80" "copy.exe", folder + "pourAcopy.exe"},         // Ā: best fit A
             Case{"pour\xe4\xb8\xad" "copy.exe", folder + "pour"},              // 中: unmappable
         }) {
        std::filesystem::copy_file(pour_path(), dir / c.file);
        EXPECT_EQ(run(dir / c.file, {}).error, usage("ostrapour", c.printed)) << c.file;
    }
}
