// SPDX-License-Identifier: MIT
// What the built tools carry into every start: the C library alone, and none of the C++
// runtime's exception support.
#include <gtest/gtest.h>

#include <unistd.h>

#include "harness.h"

using namespace e2e;

// A bounds-checked library call (string_view::substr, say) links in the throwing path, and
// with it the runtime's terminate handler, demangler and unwinder, and a static constructor
// that allocates an emergency exception pool at every start. Its handler's message is the
// mark that this happened. A tool that needs the C++ runtime's shared libraries names them in
// its list of needed libraries. Not in a sanitizer build, whose runtimes need the shared C++
// runtime: the release binaries this guards are the native build's and the Windows build's.
UNSANITIZED_BUILD_TEST(Footprint, ToolsCarryNoExceptionSupportAndNeedOnlyTheCLibrary) {
    std::vector<std::string> tools = {pour_path(), prune_path()};
    for (const char* exe : {"/ostrapour.exe", "/ostraprune.exe"})
        if (access((OSTRAKIT_MINGW_DIR + std::string(exe)).c_str(), R_OK) == 0)
            tools.push_back(OSTRAKIT_MINGW_DIR + std::string(exe));
    for (const std::string& tool : tools) {
        const std::string image = read_file(tool);
        EXPECT_EQ(image.find("terminate called"), std::string::npos)
            << tool << " links the C++ runtime's exception support";
        for (const char* library : {"libstdc++", "libgcc_s"})
            EXPECT_EQ(image.find(library), std::string::npos) << tool << " needs " << library;
    }
}
