// Starting or restarting the master driver before the checks run.
#pragma once

#include <cstdint>

// 0 when a driver runs with the wanted ENI (or the running one was left
// alone), else the failure status, already printed.
std::uint32_t StartMasterDriver(const char* eniArgument);
