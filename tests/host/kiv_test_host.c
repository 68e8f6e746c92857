/* A host agent reduced to what the start-up tests need: it loads the library with dlopen,
 * starts it, injects records through the stand-in and shuts it down again.
 *
 *   kiv_test_host LIB COUNT   start, read one process description through the published
 *                             process_st, inject COUNT records into each ring, wait, stop
 *   kiv_test_host LIB fail    start must fail and leave the stand-in stopped
 *
 * Exits 0 when everything went as expected; otherwise prints why and exits 1. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "qxkiv/kemu.h"
#include "qxkiv/process_query.h"
#include "qxkiv/qxkiv.h"

#define SYMS(X)                                                                            \
    X(init_mod_manager)                                                                    \
    X(exit_mod_manager)                                                                    \
    X(set_module) X(get_log_ctm_header) X(kemu_inject) X(kemu_delivery) X(kemu_ring_stats) \
        X(kemu_set_process) X(_get_process_info) X(_memset_process_info)
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

static void put_le(unsigned char *p, uint64_t v, int width) {
    for (int i = 0; i < width; i++) p[i] = (unsigned char)(v >> (8 * i));
}

/* A kernel process record: 68 fixed bytes, then the flex block (9-byte header of packed
 * lengths: cmd_line in bits 0-9 of the u16 at 0, cur_path in bits 10-19 of the u32 at 0, path
 * in bits 0-9 of the u16 at 4; the other five strings empty), then the strings. */
static uint32_t make_process(unsigned char *b, uint32_t pid, const char *cmd, const char *cwd,
                             const char *path) {
    const uint32_t ids[9] = {11, 0, 12, 13, 21, 0, 22, 23, 31};
    size_t lc = strlen(cmd), lw = strlen(cwd), lp = strlen(path);
    memset(b, 0, 80);
    put_le(b, 0x1122334455667788ull, 8); /* create_time */
    put_le(b + 8, 0x99, 8);              /* parent_create_time */
    put_le(b + 16, pid, 4);
    put_le(b + 20, 1, 4); /* ppid */
    put_le(b + 24, 7, 4); /* sessionid */
    for (int i = 0; i < 9; i++) put_le(b + 28 + 4 * i, ids[i], 4);
    put_le(b + 64, 0755 | 1u << 12, 4); /* mode, task_event_id 1 */
    put_le(b + 68, lc | lw << 10, 4);
    put_le(b + 72, lp, 2);
    memcpy(b + 77, cmd, lc);
    memcpy(b + 77 + lc, cwd, lw);
    memcpy(b + 77 + lc + lw, path, lp);
    return (uint32_t)(77 + lc + lw + lp);
}

#define EXPECT(cond) \
    if (!(cond)) return fail("process_st: " #cond)

static int check_process_query(void) {
    static struct process_st st; /* over 5 KB: not on the stack */
    memset(&st, 0x5A, sizeof st);
    p__memset_process_info(&st);
    EXPECT(st.pid == 0 && st.ppid == 0 && st.createtime == 0 && st.xdg_session_id == -1);
    for (int i = 0; i < 9; i++) EXPECT(st.ids[i] == 0xFFFFFFFFu);
    EXPECT(st.guid[0] == 0 && st.cmd_line[0] == 0 && st.fd1[0] == 0 && st.group_name[0] == 0);

    unsigned char raw[256];
    uint32_t len = make_process(raw, 4242, "/bin/true --probe", "/srv", "/bin/true");
    if (p_kemu_set_process(raw, len) != 0) return fail("kemu_set_process");
    if (p__get_process_info(4242, &st) != 0) return fail("_get_process_info(4242)");
    const uint32_t ids[9] = {11, 0, 12, 13, 21, 0, 22, 23, 31};
    EXPECT(st.pid == 4242 && st.ppid == 1 && st.createtime == 0x1122334455667788ull);
    EXPECT(strcmp(st.guid, "0109255667788/bin/true --prob") == 0);
    EXPECT(strcmp(st.cmd_line, "/bin/true --probe") == 0);
    EXPECT(strcmp(st.current_dir, "/srv") == 0 && strcmp(st.path, "/bin/true") == 0);
    EXPECT(strlen(st.md5) == 32 && strlen(st.sha256) == 64);
    EXPECT(strcmp(st.user_name, "root") == 0 && strcmp(st.group_name, "root") == 0);
    EXPECT(memcmp(st.ids, ids, sizeof ids) == 0 && st.xdg_session_id == 7);
    EXPECT(strcmp(st.path_permit, "rwxr-xr-x") == 0);
    EXPECT(st.app_type[0] == 0 && st.fd0[0] == 0 && (st.flags & PROCESS_ST_FLAG_EXITED) == 0);
    return 0;
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
    if (check_process_query() != 0) return 1;

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
