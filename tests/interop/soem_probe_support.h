/* What the masters built on the peer library (SOEM) share: the library's
 * context, the process image, the start on the interface and the requests
 * of a state. */
#pragma once

#include <cstdio>

#include "soem/soem.h"

namespace probe {

inline ecx_contextt ctx;
inline uint8 iomap[65536];

/* Checks that there are `want` arguments, opens a socket on argv[1] and lets
 * the library find the slaves and configure them from SII and CoE. 0 when
 * it has, else the exit status after a line that says why. */
inline int start(int argc, char* argv[], int want, const char* usage) {
    if (argc != want) {
        std::printf("usage: %s\n", usage);
        return 2;
    }
    if (!ecx_init(&ctx, argv[1])) {
        std::printf("FAIL init: no socket on %s\n", argv[1]);
        return 1;
    }
    if (ecx_config_init(&ctx) <= 0) {
        ecx_close(&ctx);
        std::printf("FAIL scan: no slaves\n");
        return 1;
    }
    return 0;
}

/* Requests `state` (with the acknowledge bit when `ack`) of every slave and
 * waits up to 5 s until all show it, calling `between` (when given) before
 * each 10 ms check. */
inline int reach(uint16 state, int ack, void (*between)(void)) {
    ctx.slavelist[0].state = ack ? (uint16)(state | EC_STATE_ACK) : state;
    ecx_writestate(&ctx, 0);
    for (int i = 0; i < 500; i++) {
        if (between)
            between();
        if (ecx_statecheck(&ctx, 0, state, 10000) == state)
            return 1;
    }
    return 0;
}

}  // namespace probe
