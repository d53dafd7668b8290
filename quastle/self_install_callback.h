#pragma once
// The object the installer hands to AutoInstallEx3; this header is shared with the installer, and
// the table layout is the contract: set_busy is its only slot.

namespace quastle {

struct self_install_callback {
    // Called with true immediately before a long step of unknown length starts.
    virtual void set_busy(bool busy) = 0;
};

} // namespace quastle
