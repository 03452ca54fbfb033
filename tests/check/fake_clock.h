// A fake clock behind RtSleep: each sleep is recorded and advances fake time.
#pragma once

#include <cstdint>
#include <vector>

extern std::uint64_t fakeNowMs;
extern std::vector<std::uint32_t> fakeSleeps;
