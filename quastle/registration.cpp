#include <quastle/registration.h>

#include <quastle/guids.h>

namespace quastle {
namespace {

using platform::registrar::key_record;
using platform::registrar::removal;

// A replacement every table is given; missing, it reads as an empty text.
std::wstring replacement(const registry_replacements& replacements, const wchar_t* name)
{
    const auto found = replacements.find(name);
    return found == replacements.end() ? std::wstring() : found->second;
}

} // namespace

std::vector<key_record> app_id_keys(const registry_replacements& replacements)
{
    const std::wstring app_id = replacement(replacements, L"APPID");
    return {
        {L"AppID", removal::no_remove, {}},
        {L"AppID\\" + app_id, removal::remove, {{L"", L"quastle"}}},
        {L"AppID\\quastle.dll", removal::remove, {{L"AppID", app_id}}},
    };
}

std::vector<key_record> class_keys(const registry_replacements& replacements)
{
    const std::wstring clsid = explorer_command_clsid_text;
    const std::wstring key = L"CLSID\\" + clsid;
    return {
        {L"CLSID", removal::no_remove, {}},
        {key, removal::force_remove, {{L"", L"ExplorerCommand class"}}},
        {key + L"\\ProgID", removal::remove, {{L"", L"quvandedup.ExplorerCommand.1"}}},
        {key + L"\\VersionIndependentProgID", removal::remove, {{L"", L"quvandedup.ExplorerCommand"}}},
        {key + L"\\InprocServer32", removal::remove,
         {{L"", replacement(replacements, L"MODULE")}, {L"ThreadingModel", L"Both"}}},
        {key + L"\\TypeLib", removal::remove, {{L"", library_id_text}}},
        {L"Directory", removal::no_remove, {}},
        {L"Directory\\Background", removal::no_remove, {}},
        {L"Directory\\Background\\shell", removal::no_remove, {}},
        {L"Directory\\Background\\shell\\quvandedup", removal::remove, {{L"ExplorerCommandHandler", clsid}}},
        {L"Directory\\shell", removal::no_remove, {}},
        {L"Directory\\shell\\quvandedup", removal::remove, {{L"ExplorerCommandHandler", clsid}}},
    };
}

} // namespace quastle
