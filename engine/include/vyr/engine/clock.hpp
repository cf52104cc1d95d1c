// The engine's sense of time: the wall clock (seconds since the epoch, as
// time.time() gives it) and a monotonic clock for processor shares. Tests
// inject a clock they move by hand.
#pragma once

#include <memory>

namespace vyr::engine {

class Clock {
public:
    virtual ~Clock() = default;
    virtual double wall() = 0;
    virtual double monotonic() = 0;
};

std::shared_ptr<Clock> system_clock();

}  // namespace vyr::engine
