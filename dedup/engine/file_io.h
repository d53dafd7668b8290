#pragma once
// The runtime's asynchronous file I/O, under the names the store engine uses for it.

#include <tavik/io/directory_reader.h>
#include <tavik/io/io_join.h>
#include <tavik/io/overlapped_io.h>
#include <tavik/io/page_buffer.h>

namespace dedup {

using tavik::io::directory_reader;
using tavik::io::file_io_calls;
using tavik::io::io_join;
using tavik::io::overlapped_file;
using tavik::io::overlapped_io_awaiter;
using tavik::io::page_buffer;
using tavik::io::page_buffer_pool;
using tavik::io::system_file_io_calls;

} // namespace dedup
