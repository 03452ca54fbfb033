#include "launcher/last_status.h"

std::uint32_t LastStatus = 0;
