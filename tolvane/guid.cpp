#include <tolvane/guid.h>

#include <cstdio>

#include <rpc.h>

namespace tolvane {

std::wstring guid_to_string(const GUID& id)
{
    wchar_t text[39];
    std::swprintf(text, 39, L"{%08lX-%04hX-%04hX-%02hhX%02hhX-%02hhX%02hhX%02hhX%02hhX%02hhX%02hhX}",
                  static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2],
                  id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return text;
}

std::wstring new_guid_text()
{
    UUID id{};
    if (UuidCreate(&id) != RPC_S_OK)
        id = UUID{};
    return guid_to_string(id);
}

} // namespace tolvane
