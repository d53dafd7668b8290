#include <tavik/error.h>
#include <tavik/error_categories.h>

#include <gtest/gtest.h>

#include <string>

using namespace tavik::details;

namespace {

// Which of the family's handlers catches what a raise helper throws.
enum class caught { cancelled, traceable };

template <class F>
std::pair<caught, HRESULT> classify(F raise)
{
    try {
        raise();
    } catch (const operation_cancelled& e) {
        return {caught::cancelled, e.code()};
    } catch (const traceable_error& e) {
        return {caught::traceable, e.code()};
    }
    ADD_FAILURE() << "nothing raised";
    return {caught::traceable, 0};
}

__attribute__((noinline)) traceable_error raise_at_depth(int depth)
{
    if (depth == 0)
        return traceable_error(E_FAIL);
    traceable_error e = raise_at_depth(depth - 1);
    asm volatile("" ::: "memory"); // keeps the recursion from becoming a loop
    return e;
}

std::size_t count_lines(const std::wstring& text)
{
    std::size_t lines = 0;
    for (std::size_t pos = 0; (pos = text.find(L"\r\n", pos)) != std::wstring::npos; pos += 2)
        ++lines;
    return lines;
}

} // namespace

TEST(raise_helpers, map_codes_to_the_right_error)
{
    struct row {
        const char* what;
        void (*raise)();
        caught kind;
        HRESULT code;
    };
    const row rows[] = {
        {"win32 1223", [] { throw_win32_error(1223); }, caught::cancelled, cancelled_hresult},
        {"hresult 0x800704C7", [] { throw_hresult(cancelled_hresult); }, caught::cancelled, cancelled_hresult},
        {"win32 5", [] { throw_win32_error(5); }, caught::traceable, HRESULT(0x80070005)},
        {"win32 0", [] { throw_win32_error(0); }, caught::traceable, 0},
        {"win32 negative", [] { throw_win32_error(int32_t(0x8007000E)); }, caught::traceable, HRESULT(0x8007000E)},
        {"win32 high bits dropped", [] { throw_win32_error(0x12345); }, caught::traceable, HRESULT(0x80072345)},
        {"success code 1", [] { throw_hresult(1); }, caught::traceable, 1},
        {"E_FAIL", [] { throw_hresult(E_FAIL); }, caught::traceable, E_FAIL},
        {"operation_cancelled", [] { throw_operation_cancelled(); }, caught::cancelled, cancelled_hresult},
        {"timer_cancelled", [] { throw_timer_cancelled(); }, caught::cancelled, cancelled_hresult},
        {"last error", [] { SetLastError(ERROR_FILE_NOT_FOUND); throw_last_error(); }, caught::traceable, HRESULT(0x80070002)},
        {"last error cancelled", [] { SetLastError(ERROR_CANCELLED); throw_last_error(); }, caught::cancelled, cancelled_hresult},
    };
    for (const row& r : rows) {
        auto [kind, code] = classify(r.raise);
        EXPECT_EQ(kind, r.kind) << r.what;
        EXPECT_EQ(code, r.code) << r.what;
    }
}

TEST(raise_helpers, make_last_error_builds_without_raising)
{
    SetLastError(ERROR_ACCESS_DENIED);
    traceable_error e = make_last_error();
    EXPECT_EQ(e.code(), HRESULT(0x80070005));
    EXPECT_EQ(make_operation_cancelled().code(), cancelled_hresult);
}

TEST(error_family, timer_cancelled_is_caught_as_cancellation_and_as_traceable_error)
{
    bool as_cancelled = false, as_traceable = false, as_impl = false;
    try {
        throw_timer_cancelled();
    } catch (const operation_cancelled&) {
        as_cancelled = true;
    }
    try {
        throw_timer_cancelled();
    } catch (const traceable_error& e) {
        as_traceable = e.code() == cancelled_hresult;
    }
    try {
        throw_timer_cancelled();
    } catch (const hresult_error_impl& e) {
        as_impl = e.code() == cancelled_hresult;
    }
    EXPECT_TRUE(as_cancelled);
    EXPECT_TRUE(as_traceable);
    EXPECT_TRUE(as_impl);
}

TEST(error_family, hresult_error_holds_only_the_code)
{
    static_assert(sizeof(hresult_error) == 4);
    try {
        throw hresult_error(1);
    } catch (const hresult_error& e) {
        EXPECT_EQ(e.code(), 1);
    }
}

TEST(error_messages, system_text_is_trimmed)
{
    const std::wstring text = hresult_error_impl::message(HRESULT(0x80070005));
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.find(L"ccess"), std::wstring::npos) << std::string(text.begin(), text.end());
    for (wchar_t edge : {text.front(), text.back()})
        EXPECT_EQ(std::wstring_view(L" \t\r\n").find(edge), std::wstring_view::npos);
    EXPECT_EQ(traceable_error(HRESULT(0x80070005)).message(), text);
}

TEST(error_messages, unknown_code_gives_empty_text)
{
    EXPECT_EQ(hresult_error_impl::message(HRESULT(0xA1B2C3D4)), L"");
}

TEST(stack_trace, keeps_exactly_the_captured_frames)
{
    const traceable_error shallow = raise_at_depth(0);
    const traceable_error deep = raise_at_depth(300); // past the quick on-stack capture
    ASSERT_FALSE(shallow.frames().empty());
    EXPECT_GE(deep.frames().size(), shallow.frames().size() + 300);
    EXPECT_NE(deep.trace_hash(), 0u);
    // The error keeps its frames and a small header, never the 65,535-entry capture buffer.
    EXPECT_EQ(deep.trace_bytes(), 16 + deep.frames().size() * sizeof(std::uint64_t));
    EXPECT_LT(shallow.trace_bytes(), 4096u);
}

TEST(stack_trace, copies_share_frames_hash_and_code)
{
    const traceable_error original = raise_at_depth(5);
    traceable_error copy = original;
    EXPECT_EQ(copy.code(), E_FAIL);
    EXPECT_EQ(copy.trace_hash(), original.trace_hash());
    ASSERT_EQ(copy.frames().size(), original.frames().size());
    EXPECT_TRUE(std::equal(copy.frames().begin(), copy.frames().end(), original.frames().begin()));
    copy = raise_at_depth(0);
    EXPECT_EQ(original.frames().size() > copy.frames().size(), true);
}

TEST(stack_trace, full_text_is_message_then_one_line_per_frame)
{
    const traceable_error e = raise_at_depth(3);
    const std::wstring text = e.full_text();
    const std::wstring message = e.message();
    ASSERT_EQ(text.substr(0, message.size() + 2), message + L"\r\n");
    EXPECT_EQ(count_lines(text), e.frames().size() + 1);
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
    // Frames of this program are named after its module.
    EXPECT_NE(text.find(L"tavik_tests.exe"), std::wstring::npos);
}

TEST(stack_trace, empty_policy_records_nothing)
{
    using untraced = basic_traceable_error<hresult_error_impl, bases::empty>;
    const untraced e(E_ACCESSDENIED);
    EXPECT_EQ(e.code(), E_ACCESSDENIED);
    EXPECT_TRUE(e.frames().empty());
    EXPECT_EQ(e.trace_hash(), 0u);
    EXPECT_EQ(e.full_text(), e.message() + L"\r\n");
}

TEST(error_categories, names_and_texts)
{
    struct row {
        const std::error_category& category;
        const char* name;
        int code;
        const char* text;
    };
    const row rows[] = {
        {dedup::common_error_category, "dedup.common", 1, "Already initialized"},
        {dedup::common_error_category, "dedup.common", 2, "Not found"},
        {dedup::common_error_category, "dedup.common", 7, "Unrecognized"},
        {dedup::create_error_category, "dedup.create", 1, "Folder already exists"},
        {dedup::create_error_category, "dedup.create", 2, "Folder is invalid"},
        {dedup::create_error_category, "dedup.create", 3, "Folder is already opened by another instance"},
        {dedup::create_error_category, "dedup.create", 7, "Unrecognized"},
        {dedup::internal_error_category, "dedup.internal", 1, "Internal invariant totally broken"},
        {dedup::internal_error_category, "dedup.internal", 2, "Hash collision detected!"},
        {dedup::internal_error_category, "dedup.internal", 3,
         "The parent is not a folder or does not exist. This likely indicates access violation error."},
        {dedup::internal_error_category, "dedup.internal", 7, "Unrecognized"},
        {dedup::internal_error_category, "dedup.internal", 0, "Unrecognized"},
    };
    for (const row& r : rows) {
        EXPECT_STREQ(r.category.name(), r.name);
        EXPECT_EQ(r.category.message(r.code), r.text) << r.name << " " << r.code;
    }
}

TEST(error_categories, io_category_holds_hresults_with_system_text)
{
    EXPECT_STREQ(dedup::hr_error_category.name(), "dedup.io");
    const std::wstring wide = hresult_error_impl::message(HRESULT(0x80070005));
    EXPECT_EQ(dedup::hr_error_category.message(int(0x80070005)), std::string(wide.begin(), wide.end()));

    const std::error_code from_error = traceable_error(HRESULT(0x80070020)).to_error_code();
    EXPECT_EQ(&from_error.category(), &dedup::hr_error_category);
    EXPECT_EQ(from_error.value(), int(0x80070020));
}

TEST(error_categories, enums_convert_to_error_codes)
{
    const std::error_code exists = dedup::create_error::folder_already_exists;
    EXPECT_EQ(exists, std::error_code(1, dedup::create_error_category));
    EXPECT_NE(exists, std::error_code(1, dedup::common_error_category));
    EXPECT_EQ(exists.message(), "Folder already exists");
    EXPECT_EQ(std::error_code(dedup::internal_error::hash_collision).value(), 2);
    EXPECT_EQ(std::error_code(dedup::common_error::not_found).message(), "Not found");
}
