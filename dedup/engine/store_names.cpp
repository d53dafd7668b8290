#include <dedup/engine/store_names.h>

#include <limits>

namespace dedup {

namespace {

std::wstring join(std::wstring_view folder, std::wstring_view name)
{
    std::wstring path;
    path.reserve(folder.size() + 1 + name.size());
    path.append(folder);
    if (!path.empty() && path.back() != L'\\')
        path.push_back(L'\\');
    path.append(name);
    return path;
}

std::wstring appended(std::wstring_view path, std::wstring_view suffix)
{
    std::wstring result;
    result.reserve(path.size() + suffix.size());
    result.append(path);
    result.append(suffix);
    return result;
}

// Canonical decimal: digits only, no leading zero except "0" itself, at most `max`.
std::optional<std::uint64_t> parse_canonical_decimal(std::wstring_view text, std::uint64_t max)
{
    if (text.empty() || (text.size() > 1 && text.front() == L'0'))
        return std::nullopt;
    std::uint64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        std::uint64_t digit = static_cast<std::uint64_t>(c - L'0');
        if (value > (max - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

constexpr std::wstring_view compressed_extension = L".dcb";
constexpr std::wstring_view uncompressed_extension = L".dub";

} // namespace

std::wstring store_folder_path(std::wstring_view folder_path) { return appended(folder_path, L".dedup"); }
std::wstring lock_file_path(std::wstring_view store_folder) { return join(store_folder, L"lock"); }
std::wstring file_info_path(std::wstring_view store_folder) { return join(store_folder, L"files.deinfo"); }
std::wstring block_folder_path(std::wstring_view store_folder) { return join(store_folder, L"blocks"); }
std::wstring block_index_path(std::wstring_view block_folder) { return join(block_folder, L"blocks.ddb"); }

std::wstring replacement_path(std::wstring_view target) { return appended(target, L".new"); }
std::wstring backup_path(std::wstring_view target) { return appended(target, L".backup"); }

std::wstring block_subfolder_name(std::uint64_t number) { return std::to_wstring(number / block_files_per_folder); }

std::wstring block_file_name(std::uint64_t number, bool uncompressed)
{
    return appended(std::to_wstring(number % block_files_per_folder),
                    uncompressed ? uncompressed_extension : compressed_extension);
}

std::wstring block_subfolder_path(std::wstring_view block_folder, std::uint64_t number)
{
    return join(block_folder, block_subfolder_name(number));
}

std::wstring block_file_path(std::wstring_view block_folder, std::uint64_t number, bool uncompressed)
{
    return join(block_subfolder_path(block_folder, number), block_file_name(number, uncompressed));
}

std::optional<std::uint64_t> parse_block_subfolder_name(std::wstring_view name)
{
    // Past this a file number would not fit in 64 bits.
    return parse_canonical_decimal(name, std::numeric_limits<std::uint64_t>::max() / block_files_per_folder);
}

std::optional<block_file_name_parts> parse_block_file_name(std::wstring_view name)
{
    if (name.size() <= compressed_extension.size())
        return std::nullopt;
    std::wstring_view extension = name.substr(name.size() - compressed_extension.size());
    bool uncompressed;
    if (extension == compressed_extension)
        uncompressed = false;
    else if (extension == uncompressed_extension)
        uncompressed = true;
    else
        return std::nullopt;
    auto index = parse_canonical_decimal(name.substr(0, name.size() - extension.size()), block_files_per_folder - 1);
    if (!index)
        return std::nullopt;
    return block_file_name_parts{static_cast<std::uint32_t>(*index), uncompressed};
}

} // namespace dedup
