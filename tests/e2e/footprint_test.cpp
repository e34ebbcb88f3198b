// SPDX-License-Identifier: MIT
// What the built tools carry into every start: none of the C++ runtime's exception support.
#include <gtest/gtest.h>

#include "harness.h"

using namespace e2e;

// A bounds-checked library call (string_view::substr, say) links in the throwing path, and
// with it the runtime's terminate handler, demangler and unwinder, and a static constructor
// that allocates an emergency exception pool at every start. Its handler's message is the
// mark that this happened.
TEST(Footprint, ToolsCarryNoExceptionSupport) {
    for (const std::string& tool : {pour_path(), prune_path()}) {
        const std::string image = read_file(tool);
        EXPECT_EQ(image.find("terminate called"), std::string::npos)
            << tool << " links the C++ runtime's exception support";
    }
}
