// Empties the process-wide option table between test cases.
#pragma once

#include <cstdlib>

#include "app/options.h"

inline void ResetOptionTable() {
    for (OptionEntry* entry = OptionTable; entry->name != nullptr; ++entry) {
        std::free(entry->value);
        entry->value = nullptr;
    }
}
