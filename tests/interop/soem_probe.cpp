/* A master built on the independent peer library (SOEM), run against our
 * emulated slaves on a veth pair: walks every slave INIT -> PREOP -> SAFEOP
 * -> OP -> INIT with the library's own configuration (from SII and CoE),
 * asks one slave for a transition it must refuse (PREOP -> OP, AL status
 * code 0x0011), and stops the process data in OP until the SM watchdog takes
 * a slave with outputs back to SAFEOP+ERROR with 0x001B.
 *
 * Prints one line per step ("ok STEP ..." or "FAIL STEP ...") and the slaves
 * it found ("slave N vendor product revision"); exits 0 when every step held.
 *   usage: soem_probe IFNAME
 */
#include <cstdio>

#include "tests/interop/soem_probe_support.h"

namespace {

using namespace probe;

int fail(const char* step, const char* why) {
    int i;
    ecx_readstate(&ctx);
    std::printf("FAIL %s: %s\n", step, why);
    for (i = 1; i <= ctx.slavecount; i++)
        std::printf("  slave %d state 0x%02x AL status code 0x%04x\n", i, ctx.slavelist[i].state,
                    ctx.slavelist[i].ALstatuscode);
    return 1;
}

void cycle(void) {
    ecx_send_processdata(&ctx);
    ecx_receive_processdata(&ctx, EC_TIMEOUTRET);
}

/* The first slave with outputs, 0 when there is none. */
int first_with_outputs(void) {
    int i;
    for (i = 1; i <= ctx.slavecount; i++)
        if (ctx.slavelist[i].Obytes > 0 || ctx.slavelist[i].Obits > 0)
            return i;
    return 0;
}

int refuse_illegal(void) {
    ec_slavet* s = &ctx.slavelist[1];
    s->state = EC_STATE_OPERATIONAL;
    ecx_writestate(&ctx, 1);
    ecx_statecheck(&ctx, 1, EC_STATE_PRE_OP | EC_STATE_ERROR, EC_TIMEOUTSTATE);
    ecx_readstate(&ctx);
    if (s->state != (EC_STATE_PRE_OP | EC_STATE_ERROR) || s->ALstatuscode != 0x0011)
        return fail("refuse", "PREOP -> OP was not refused with 0x0011");
    std::printf("ok refuse slave 1 state 0x%02x AL status code 0x%04x\n", s->state,
                s->ALstatuscode);
    s->state = EC_STATE_PRE_OP | EC_STATE_ACK;
    ecx_writestate(&ctx, 1);
    if (ecx_statecheck(&ctx, 1, EC_STATE_PRE_OP, EC_TIMEOUTSTATE) != EC_STATE_PRE_OP)
        return fail("refuse", "the error was not acknowledged");
    return 0;
}

int watchdog(void) {
    int i, slave = first_with_outputs();
    ec_slavet* s;
    if (slave == 0)
        return fail("watchdog", "no slave with outputs");
    s = &ctx.slavelist[slave];
    /* No more frames to the process data: only AL status reads, every
     * 50 ms, for up to 3 s (the watchdog's default is 100 ms). */
    for (i = 0; i < 60; i++) {
        osal_usleep(50000);
        ecx_readstate(&ctx);
        if (s->state == (EC_STATE_SAFE_OP | EC_STATE_ERROR) && s->ALstatuscode == 0x001B)
            break;
    }
    if (i == 60)
        return fail("watchdog", "no slave with outputs dropped to SAFEOP+ERROR with 0x001B");
    std::printf("ok watchdog slave %d state 0x%02x AL status code 0x%04x\n", slave, s->state,
                s->ALstatuscode);
    return 0;
}
}  // namespace

int main(int argc, char* argv[]) {
    int i, failed = start(argc, argv, 2, "soem_probe IFNAME");
    if (failed)
        return failed;
    for (i = 1; i <= ctx.slavecount; i++)
        std::printf("slave %d %08x %08x %08x\n", i, (unsigned)ctx.slavelist[i].eep_man,
                    (unsigned)ctx.slavelist[i].eep_id, (unsigned)ctx.slavelist[i].eep_rev);
    if (ecx_statecheck(&ctx, 0, EC_STATE_PRE_OP, EC_TIMEOUTSTATE) != EC_STATE_PRE_OP)
        failed = fail("preop", "not every slave reached PREOP");
    else
        std::printf("ok preop\n");
    if (!failed)
        failed = refuse_illegal();
    if (!failed) {
        ecx_config_map_group(&ctx, iomap, 0);
        if (!reach(EC_STATE_SAFE_OP, 0, nullptr))
            failed = fail("safeop", "not every slave reached SAFEOP");
        else
            std::printf("ok safeop\n");
    }
    if (!failed) {
        for (i = 0; i < 10; i++)
            cycle();
        if (!reach(EC_STATE_OPERATIONAL, 0, cycle))
            failed = fail("op", "not every slave reached OP");
        else
            std::printf("ok op\n");
    }
    if (!failed)
        failed = watchdog();
    /* Acknowledged: the watchdog left a slave in error. */
    if (!reach(EC_STATE_INIT, 1, nullptr))
        failed = fail("init", "not every slave went back to INIT");
    else
        std::printf("ok init\n");
    ecx_close(&ctx);
    return failed;
}
