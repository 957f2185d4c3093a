#include "base/clock.h"

#include <thread>

namespace base {

namespace {

class SystemClock final : public Clock {
public:
    std::chrono::nanoseconds now() override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    }
    void sleep(std::chrono::nanoseconds d) override {
        if (d <= std::chrono::nanoseconds::zero()) return;
        // sleep_until resumes after an interruption until the deadline.
        std::this_thread::sleep_until(std::chrono::steady_clock::now() + d);
    }
};

}  // namespace

std::shared_ptr<Clock> system_clock() {
    static const std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
    return clock;
}

}  // namespace base
