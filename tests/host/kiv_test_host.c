/* A host agent reduced to what the start-up tests need: it loads the library with dlopen,
 * starts it, injects records through the stand-in and shuts it down again.
 *
 *   kiv_test_host LIB COUNT   start, inject COUNT records into each ring, wait, stop
 *   kiv_test_host LIB fail    start must fail and leave the stand-in stopped
 *
 * Exits 0 when everything went as expected; otherwise prints why and exits 1. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"

#define SYMS(X)                                                                             \
    X(init_mod_manager)                                                                     \
    X(exit_mod_manager) X(set_module) X(get_log_ctm_header) X(kemu_inject) X(kemu_delivery) \
        X(kemu_ring_stats)
#define DECLARE(name) static __typeof__(name) *p_##name;
SYMS(DECLARE)

static int fail(const char *what) {
    fprintf(stderr, "kiv_test_host: %s\n", what);
    return 1;
}

static int load(const char *lib) {
    void *h = dlopen(lib, RTLD_NOW);
    if (!h) return fprintf(stderr, "dlopen: %s\n", dlerror()), -1;
#define LOAD(name) \
    if (!(*(void **)&p_##name = dlsym(h, #name))) return fprintf(stderr, "no %s\n", #name), -1;
    SYMS(LOAD)
    return 0;
}

/* A record of `len` bytes: magic, len, type, pid, little-endian, the body zeroed. */
static void make_record(unsigned char *b, uint16_t len, uint16_t type, uint32_t pid) {
    uint32_t magic = 0xFEDCCDEFu;
    memset(b, 0, len);
    memcpy(b, &magic, 4);
    memcpy(b + 4, &len, 2);
    memcpy(b + 6, &type, 2);
    memcpy(b + 8, &pid, 4);
}

static int drained(void) {
    for (int rt = KEMU_RING_UCTRL; rt <= KEMU_RING_HIGH; rt++) {
        struct kemu_ring_stats st;
        if (p_kemu_ring_stats(rt, &st) != 0 || st.r != st.w) return 0;
    }
    return 1;
}

static int run(int count) {
    if (p_init_mod_manager() != 0) return fail("init_mod_manager failed");
    struct upload_header h;
    if (p_get_log_ctm_header(&h) != 0 || h.seq_id != 0) return fail("first header");
    if (p_kemu_delivery() != 0) return fail("delivery on before set_module");
    if (p_set_module(1) != 0 || p_kemu_delivery() != 1) return fail("set_module(1)");

    unsigned char rec[24]; /* the uctrl ring holds only 64 bytes */
    for (int i = 0; i < count; i++) {
        for (int rt = KEMU_RING_UCTRL; rt <= KEMU_RING_HIGH; rt++) {
            make_record(rec, sizeof(rec), 1, (uint32_t)(1000 + i));
            /* A full ring is drained by the collector: wait and retry. */
            int rc, tries = 0;
            while ((rc = p_kemu_inject(rt, rec, sizeof(rec))) == KEMU_FULL && tries++ < 500)
                usleep(10000);
            if (rc != KEMU_OK) {
                fprintf(stderr, "inject into ring %d: %d\n", rt, rc);
                return 1;
            }
        }
    }
    for (int tries = 0; !drained(); tries++) {
        if (tries > 1000) return fail("rings not drained");
        usleep(10000);
    }
    if (p_set_module(0) != 0 || p_kemu_delivery() != 0) return fail("set_module(0)");
    p_exit_mod_manager();
    if (p_kemu_delivery() != KEMU_INACTIVE) return fail("stand-in still running");
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 3) return fail("usage: kiv_test_host LIB COUNT|fail");
    if (load(argv[1]) != 0) return 1;
    if (strcmp(argv[2], "fail") == 0) {
        if (p_init_mod_manager() != -1) return fail("init_mod_manager did not fail");
        if (p_kemu_delivery() != KEMU_INACTIVE) return fail("stand-in left running");
        if (p_set_module(1) != -1) return fail("set_module before start");
        return 0;
    }
    return run(atoi(argv[2]));
}
