#pragma once
// Where the progress of a long operation goes: a stage text and a (done, total) pair. Its one
// implementation is the progress dialog; the optimize command's folder-server connection feeds it.

#include <cstdint>
#include <string_view>

class progress {
public:
    virtual ~progress() = default;
    // Callable from any thread while the owner holds the target.
    virtual void set_stage(std::wstring_view stage) = 0;
    // total 0: the stage has no known total yet.
    virtual void set_progress(std::uint64_t done, std::uint64_t total) = 0;
};
