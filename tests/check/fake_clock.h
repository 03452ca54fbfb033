// A fake clock behind RtSleep: each sleep advances fake time.
#pragma once

#include <cstdint>

extern std::uint64_t fakeNowMs;
