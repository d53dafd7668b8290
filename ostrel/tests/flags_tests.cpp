#include <ostrel/flags.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace {

enum class test_flag : std::uint32_t { a = 1, b = 2, big = 0x1000 };

TEST(Flags, BitSet)
{
    Ostrel::details::flags<test_flag> set(test_flag::a);
    set.set(test_flag::big);
    EXPECT_TRUE(set.has(test_flag::a));
    EXPECT_FALSE(set.has(test_flag::b));
    EXPECT_EQ(set.bits(), 0x1001u);
    EXPECT_EQ(Ostrel::details::flags<test_flag>::from_bits(3).clear(test_flag::a).bits(), 2u);
}

} // namespace
