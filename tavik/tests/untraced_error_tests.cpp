// The errors as the build without traces has them: the HRESULT alone, caught as every other build's.
#include <tavik/error.h>

#include <gtest/gtest.h>

#include <type_traits>

namespace {

using namespace tavik::details;

static_assert(std::is_base_of_v<bases::empty, traceable_error>);
static_assert(sizeof(traceable_error) == sizeof(HRESULT));

TEST(UntracedErrors, CarryOnlyTheirHresult)
{
    try {
        throw_win32_error(ERROR_ACCESS_DENIED);
    } catch (const traceable_error& e) {
        EXPECT_EQ(e.code(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
        EXPECT_TRUE(e.frames().empty());
        EXPECT_EQ(e.trace_hash(), 0u);
        EXPECT_EQ(e.full_text(), e.message() + L"\r\n");
    }
    try {
        throw_hresult(cancelled_hresult);
    } catch (const hresult_error_impl& e) {
        EXPECT_EQ(e.code(), cancelled_hresult);
    }
    EXPECT_THROW(throw_hresult(cancelled_hresult), operation_cancelled);
}

} // namespace
