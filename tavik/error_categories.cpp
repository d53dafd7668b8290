#include <tavik/error.h>
#include <tavik/error_categories.h>

#include <windows.h>

namespace dedup {

namespace {

std::string to_utf8(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

} // namespace

const char* CommonErrorCategory::name() const noexcept { return "dedup.common"; }
std::string CommonErrorCategory::message(int code) const
{
    switch (code) {
    case 1: return "Already initialized";
    case 2: return "Not found";
    default: return "Unrecognized";
    }
}

const char* CreateErrorCategory::name() const noexcept { return "dedup.create"; }
std::string CreateErrorCategory::message(int code) const
{
    switch (code) {
    case 1: return "Folder already exists";
    case 2: return "Folder is invalid";
    case 3: return "Folder is already opened by another instance";
    default: return "Unrecognized";
    }
}

const char* InternalErrorCategory::name() const noexcept { return "dedup.internal"; }
std::string InternalErrorCategory::message(int code) const
{
    switch (code) {
    case 1: return "Internal invariant totally broken";
    case 2: return "Hash collision detected!";
    case 3: return "The parent is not a folder or does not exist. This likely indicates access violation error.";
    default: return "Unrecognized";
    }
}

const char* HRErrorCategory::name() const noexcept { return "dedup.io"; }
std::string HRErrorCategory::message(int code) const
{
    return to_utf8(tavik::details::hresult_error_impl::message(static_cast<HRESULT>(code)));
}

const CommonErrorCategory common_error_category;
const CreateErrorCategory create_error_category;
const InternalErrorCategory internal_error_category;
const HRErrorCategory hr_error_category;

} // namespace dedup
