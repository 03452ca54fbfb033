// The four-step bus check and its verdict.
#pragma once

#include <cstdint>

#include "client/master_api.h"

std::uint32_t RunChecks();

std::uint16_t CheckNetworkOpen(MasterHandle* handle);
std::uint16_t CompareSlaveCounts(MasterHandle handle, std::uint16_t* eniCount,
                                 std::uint16_t* onlineCount);
std::uint16_t CompareSlaveIdentities(MasterHandle handle, std::uint16_t eniCount,
                                     std::uint16_t onlineCount);
void CompareEepromValue(MasterHandle handle, std::uint16_t position, std::uint16_t byteOffset,
                        std::uint16_t byteCount, std::uint32_t eniValue, const char* name,
                        bool* headerPending);
std::uint16_t ConfirmStateChanges(MasterHandle handle, std::uint16_t eniCount,
                                  std::uint16_t onlineCount);
std::uint16_t ChangeStateAndWait(MasterHandle handle, std::uint16_t state, std::uint32_t timeoutMs);
