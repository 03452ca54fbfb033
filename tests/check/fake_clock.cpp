#include "tests/check/fake_clock.h"

#include "platform/rt_services.h"

std::uint64_t fakeNowMs = 0;

bool RtSleep(std::uint32_t milliseconds) {
    fakeNowMs += milliseconds;
    return true;
}
