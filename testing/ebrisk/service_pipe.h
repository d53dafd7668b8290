#pragma once
// The stand-in's service pipe; see service_pipe.cpp.

namespace ebrisk {

// Serves until the process is ended; returns non-zero when the pipe cannot be created.
int serve(int argc, wchar_t** argv);

} // namespace ebrisk
