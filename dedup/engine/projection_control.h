#pragma once
// The folder's virtualization instance as the removal of a folder needs it: a removal without force
// stops the projection before it looks at the folder for the last time (no application can then
// write a file the look would miss), and starts it again when it refuses.

#include <windows.h>

namespace dedup {

class projection_control {
public:
    // Stops the virtualization instance (PrjStopVirtualizing); nothing when it is not running.
    virtual void stop() noexcept = 0;
    // Starts the instance again after a stop.
    virtual HRESULT restart() noexcept = 0;

protected:
    ~projection_control() = default;
};

} // namespace dedup
