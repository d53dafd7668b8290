#pragma once
// The deduplication service's interface, dedup::api::ServiceInterface, served by the service on
// the pipe "Quvan-dedupapi.service-v1.0" of the local machine and called by the configuration
// utility. The service never calls back: a client serves nothing and answers any request from the
// service with E_INVALIDARG.
//
// Wire forms (little-endian; a text is a u32 count of UTF-16 units and the units, no terminator;
// a bool is one byte):
//
//   method                           id          request body            reply body
//   ServiceInterface::list_folders   0x3EFBA905  empty                   u32 count, count texts
//   ServiceInterface::convert        0x26BB595D  text path, bool         i32 HRESULT
//   ServiceInterface::delete_folder  0xDB9215FD  text path, bool force   i32 HRESULT
//
// An HRESULT in a reply is the service's verdict, not a failure of the call: negative is a
// refusal; delete_folder answers 0x80070091 for a folder that still holds files when force is 0.
// delete_folder shares its id with RepoInterface::delete_folder, on another pipe.

#include <lurran/connection.h>
#include <lurran/interface.h>
#include <lurran/pipe_transport.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dedup::api {

inline constexpr wchar_t service_pipe_name[] = L"Quvan-dedupapi.service-v1.0";

struct ServiceInterface {
    using list_folders = lurran::method<0x3EFBA905, std::vector<std::wstring>()>;
    using convert = lurran::method<0x26BB595D, std::int32_t(std::wstring, bool)>;
    using delete_folder = lurran::method<0xDB9215FD, std::int32_t(std::wstring, bool)>;
    // Index order of the proxy slots.
    using methods = lurran::method_list<list_folders, convert, delete_folder>;
};

// A client's end: calls the service, serves nothing.
using service_client_connection =
    lurran::details::connection<lurran::details::pipe::pipe_transport, lurran::server_of<lurran::no_interface>,
                                lurran::client_of<ServiceInterface>>;

} // namespace dedup::api
