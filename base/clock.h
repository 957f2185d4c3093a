// Where worker threads read the time and sleep. The system clock sleeps for
// real; tests drive simulated audio from a clock of their own.
#pragma once

#include <chrono>
#include <memory>

namespace base {

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic time.
    virtual std::chrono::nanoseconds now() = 0;
    // Sleeps for d (a sleep cut short is resumed for the remaining time).
    virtual void sleep(std::chrono::nanoseconds d) = 0;
};

// The steady clock of the system, shared by every caller.
std::shared_ptr<Clock> system_clock();

}  // namespace base
