// The main of every test program: runs a child role when the program was started as its own child
// (child_process.h), and the tests otherwise.
#include "child_process.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (auto exit_code = test_support::run_child_role_from_command_line())
        return *exit_code;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
