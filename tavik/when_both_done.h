#pragma once
// Join of two futures of void.

#include <tavik/future.h>

namespace tavik::details {

// Completes when both futures have completed; fails with the first failure in argument order.
future<void> when_both_done(future<void> a, future<void> b);

} // namespace tavik::details
