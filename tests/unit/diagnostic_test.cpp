// SPDX-License-Identifier: MIT
// The diagnostic line's exact shape, with an injected error code, and the usage screen's
// program name.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "frame.h"

namespace {

std::string diagnose(const char* file, const char* operation, int line, int code) {
    std::FILE* out = std::tmpfile();
    ostrakit::write_diagnostic(out, file, operation, line, code);
    std::string text(static_cast<std::size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    EXPECT_EQ(std::fread(text.data(), 1, text.size(), out), text.size());
    std::fclose(out);
    return text;
}

}  // namespace

TEST(Diagnostic, FourFieldsOnOneLine) {
    EXPECT_EQ(diagnose("/src/ostrapour/ostrapour.cpp", "CreateFile", 57, ENOENT),
              std::string("/src/ostrapour/ostrapour.cpp:CreateFile(57): ") + std::strerror(ENOENT) +
                  "\n");
    EXPECT_EQ(diagnose("t.cpp", "WriteFile", 1, ENOSPC),
              std::string("t.cpp:WriteFile(1): ") + std::strerror(ENOSPC) + "\n");
}

TEST(Diagnostic, UnknownCodesStillGiveOneLine) {
    const std::string line = diagnose("t.cpp", "ReadFile", 9, 123456);
    EXPECT_EQ(line.rfind("t.cpp:ReadFile(9): ", 0), 0u);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
}

// Linux since 5.18 starts a program given no argument vector with the name "", so a null name
// reaches the usage screen only on older kernels and other systems.
TEST(Usage, NoProgramNameIsAnEmptyOne) {
    testing::internal::CaptureStderr();
    ostrakit::print_usage(nullptr, "Description.\n");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Description.\n FileName[:StreamName]\n"),
              std::string::npos);
}
