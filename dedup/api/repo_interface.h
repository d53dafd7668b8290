#pragma once
// The folder server's interface, as both of its ends see it: dedup::api::RepoInterface, which the
// folder server serves on each folder's pipe, and dedup::api::RepoClient, the progress call-back
// that a client serves on the same connection.
//
// Wire forms (little-endian, no padding; texts are a u32 count of UTF-16 units and the units):
//
//   method                      id          kind      request body               reply body
//   RepoInterface::info         0xECC42F9B  request   empty                      32: folder_statistics
//   RepoInterface::resync       0x7E276E3D  request   16: u64 cookie, i32 level, 65: 01 + resync_stats
//                                                     u32 purge flags            or 5: 00 + HRESULT
//   RepoInterface::recover      0xD3E1F0DB  request   8: u64 cookie              9: 01 + recover_stats
//                                                                                or 5: 00 + HRESULT
//   RepoInterface::delete_folder 0xDB9215FD request   1: force (0 or 1)          4: HRESULT
//   RepoInterface::stop         0xA6241A29  one-way   empty                      none
//   RepoClient::progress        0xCB084E46  one-way   u64 cookie, text stage,    none
//                                                     u64 done, u64 total
//
// A reader takes any non-zero has-value byte as has-value. The progress cookie is the caller's
// own number, passed back unchanged in every progress message of that operation.

#include <dedup/engine/folder_statistics.h>
#include <dedup/engine/operation_results.h>

#include <lurran/connection.h>
#include <lurran/interface.h>
#include <lurran/pipe_transport.h>

#include <cstdint>
#include <expected>
#include <string>

namespace dedup::api {

struct RepoInterface {
    using info = lurran::method<0xECC42F9B, dedup::folder_statistics()>;
    using resync = lurran::method<0x7E276E3D, std::expected<dedup::resync_stats, long>(std::uint64_t, std::int32_t,
                                                                                       dedup::purge_flags)>;
    using recover = lurran::method<0xD3E1F0DB, std::expected<dedup::recover_stats, long>(std::uint64_t)>;
    using delete_folder = lurran::method<0xDB9215FD, std::int32_t(bool)>;
    using stop = lurran::one_way_method<0xA6241A29>;
    // Index order: the handler slots of the serving side and the proxy slots of the caller.
    using methods = lurran::method_list<info, resync, recover, delete_folder, stop>;
};

struct RepoClient {
    using progress = lurran::one_way_method<0xCB084E46, std::uint64_t, std::wstring, std::uint64_t, std::uint64_t>;
    using methods = lurran::method_list<progress>;
};

// The folder server's end of a client's connection.
using repo_server_connection =
    lurran::details::connection<lurran::details::pipe::pipe_transport, lurran::server_of<RepoInterface>,
                                lurran::client_of<RepoClient>>;

// A client's end: serves the progress call-back, calls the folder server.
using repo_client_connection =
    lurran::details::connection<lurran::details::pipe::pipe_transport, lurran::server_of<RepoClient>,
                                lurran::client_of<RepoInterface>>;

} // namespace dedup::api
