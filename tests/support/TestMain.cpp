#include "tests/support/TestFolders.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

namespace HalyardTest {

std::map<std::string, int (*)()>& ChildRoutines()
{
    static std::map<std::string, int (*)()> routines;
    return routines;
}

ChildRoutine::ChildRoutine(const char* name, int (*routine)())
{
    ChildRoutines()[name] = routine;
}

} // namespace HalyardTest

// "--child NAME" runs a routine registered by the test file instead of the tests: a test that needs
// a process of its own (debugger capture, a fresh trace line counter) relaunches its own binary.
int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) {
        const auto routine = HalyardTest::ChildRoutines().find(argv[2]);
        return routine == HalyardTest::ChildRoutines().end() ? 97 : routine->second();
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
