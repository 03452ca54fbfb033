#include "tests/check/fake_clock.h"

#include "platform/rt_services.h"

std::uint64_t fakeNowMs = 0;
std::vector<std::uint32_t> fakeSleeps;

bool RtSleep(std::uint32_t milliseconds) {
    fakeSleeps.push_back(milliseconds);
    fakeNowMs += milliseconds;
    return true;
}
