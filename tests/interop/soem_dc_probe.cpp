/* A master built on the independent peer library (SOEM) that sets up
 * distributed clocks on our emulated slaves the library's way: measures the
 * propagation delays (ecx_configdc), starts SYNC0 on every DC slave
 * (ecx_dcsync0) and runs process data every millisecond, whose first frame
 * distributes the reference's time (FRMW 0x0910). Then it takes the line to
 * OP, which DC-synchronous slaves allow only with SYNC0 running, and keeps it
 * there for a second.
 *
 * Prints "slave N delay D" per DC slave, "sync0 A B" (slave 1's next SYNC0
 * read twice, 20 ms apart), "slave N difference D" (0x092C decoded) after
 * the second in OP, "ok STEP" or "FAIL STEP ..."; exits 0 when every step
 * held.
 *   usage: soem_dc_probe IFNAME CYCLE_NS
 */
#include <cstdio>
#include <cstdlib>

#include "tests/interop/soem_probe_support.h"

namespace {

using namespace probe;

int fail(const char* step, const char* why) {
    int i;
    ecx_readstate(&ctx);
    std::printf("FAIL %s: %s\n", step, why);
    for (i = 1; i <= ctx.slavecount; i++) {
        uint8 activation = 0;
        uint32 cycle = 0;
        ecx_FPRD(&ctx.port, ctx.slavelist[i].configadr, 0x0981, 1, &activation, EC_TIMEOUTRET);
        ecx_FPRD(&ctx.port, ctx.slavelist[i].configadr, 0x09A0, 4, &cycle, EC_TIMEOUTRET);
        std::printf("  slave %d state 0x%02x AL status code 0x%04x 0x0981 0x%02x 0x09A0 %u\n", i,
                    ctx.slavelist[i].state, ctx.slavelist[i].ALstatuscode, activation,
                    (unsigned)etohl(cycle));
    }
    return 1;
}

/* `n` process-data cycles, 1 ms apart. */
void cycles(int n) {
    int i;
    for (i = 0; i < n; i++) {
        ecx_send_processdata(&ctx);
        ecx_receive_processdata(&ctx, EC_TIMEOUTRET);
        osal_usleep(1000);
    }
}

void cycle(void) {
    cycles(1);
}

uint64 read64(uint16 slave, uint16 ado) {
    uint64 v = 0;
    ecx_FPRD(&ctx.port, ctx.slavelist[slave].configadr, ado, sizeof v, &v, EC_TIMEOUTRET);
    return etohll(v);
}

long difference(uint16 slave) {
    uint32 raw = 0;
    ecx_FPRD(&ctx.port, ctx.slavelist[slave].configadr, 0x092C, sizeof raw, &raw, EC_TIMEOUTRET);
    raw = etohl(raw);
    const long magnitude = (long)(raw & 0x7FFFFFFFu);
    return (raw & 0x80000000u) ? -magnitude : magnitude;
}

int start_sync0(uint32 cycle) {
    int i;
    uint64 first, second;
    if (!ecx_configdc(&ctx))
        return fail("configdc", "no DC slave");
    for (i = 1; i <= ctx.slavecount; i++) {
        if (ctx.slavelist[i].hasdc)
            std::printf("slave %d delay %d\n", i, (int)ctx.slavelist[i].pdelay);
    }
    /* Before the mapping, which asks for SAFEOP: drives check SYNC0 then. */
    for (i = 1; i <= ctx.slavecount; i++) {
        if (ctx.slavelist[i].hasdc)
            ecx_dcsync0(&ctx, (uint16)i, TRUE, cycle, 0);
    }
    ecx_config_map_group(&ctx, iomap, 0);
    cycles(200);
    first = read64(1, 0x0990);
    cycles(20);
    second = read64(1, 0x0990);
    std::printf("sync0 %llu %llu\n", (unsigned long long)first, (unsigned long long)second);
    if (second <= first)
        return fail("sync0", "the next SYNC0 did not move on");
    std::printf("ok sync0\n");
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    int i, failed = start(argc, argv, 3, "soem_dc_probe IFNAME CYCLE_NS");
    if (failed)
        return failed;
    failed = start_sync0((uint32)std::strtoul(argv[2], nullptr, 10));
    if (!failed && !reach(EC_STATE_SAFE_OP, 0, cycle))
        failed = fail("safeop", "not every slave reached SAFEOP");
    if (!failed && !reach(EC_STATE_OPERATIONAL, 0, cycle))
        failed = fail("op", "not every slave reached OP");
    if (!failed) {
        std::printf("ok op\n");
        cycles(1000);
        ecx_readstate(&ctx);
        for (i = 1; i <= ctx.slavecount; i++) {
            if (ctx.slavelist[i].hasdc)
                std::printf("slave %d difference %ld\n", i, difference((uint16)i));
        }
        if (ecx_statecheck(&ctx, 0, EC_STATE_OPERATIONAL, 10000) != EC_STATE_OPERATIONAL)
            failed = fail("op held", "a slave left OP");
        else
            std::printf("ok op held\n");
    }
    ctx.slavelist[0].state = EC_STATE_INIT | EC_STATE_ACK;
    ecx_writestate(&ctx, 0);
    ecx_close(&ctx);
    return failed;
}
