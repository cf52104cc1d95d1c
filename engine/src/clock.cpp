#include "vyr/engine/clock.hpp"

#include <ctime>

#include "pymath.hpp"

namespace vyr::engine {

namespace {

class SystemClock : public Clock {
public:
    double wall() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return py::seconds(ts);
    }
    double monotonic() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return py::seconds(ts);
    }
};

}  // namespace

std::shared_ptr<Clock> system_clock() { return std::make_shared<SystemClock>(); }

}  // namespace vyr::engine
