// The test program is also the peer of the two-process tests: started with "--lurran-peer" it
// plays the other end of a pipe instead of running tests.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--lurran-peer") == 0)
        return lurran_test::run_peer(argc - 2, argv + 2);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
