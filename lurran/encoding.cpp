#include <lurran/encoding.h>

#include <tavik/error.h>

namespace lurran::details {

void raise_malformed_body()
{
    tavik::details::throw_hresult(static_cast<HRESULT>(0x80070057));
}

} // namespace lurran::details
