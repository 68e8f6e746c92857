/* Driving the in-process stand-in for the kernel module.
 *
 * The stand-in runs between the library's start-up and shut-down when `kernel_mode` is
 * "emulated" or "userspace". It is the only producer of the shared rings; tests, benchmarks
 * and tools put records in through these calls and read back what the library sent it. */
#ifndef QXKIV_KEMU_H
#define QXKIV_KEMU_H

#include <stdint.h>

#include "qxkiv/kiv_export.h"

/* Ring types, as in the record flow. */
#define KEMU_RING_UCTRL 0
#define KEMU_RING_LOW 1
#define KEMU_RING_MID 2
#define KEMU_RING_HIGH 3

/* Results. */
#define KEMU_OK 0
#define KEMU_FULL (-1)     /* ring lacks room; or: nothing recorded / bad process record */
#define KEMU_INACTIVE (-2) /* no stand-in running */
#define KEMU_OFF (-3)      /* event delivery switched off */
#define KEMU_BAD (-4)      /* invalid record header or argument */

/* A snapshot of one ring header, word for word in the header's own order. */
struct kemu_ring_stats {
    uint32_t r;
    uint32_t w;
    uint32_t put_cnt;
    uint32_t get_cnt;
    uint32_t size;
    uint32_t put_total;
    uint32_t full_cnt;
    uint32_t invalid_cnt;
    uint32_t bad_cnt : 31;
    uint32_t full_flag : 1;
    uint32_t skip_bytes;
};

#ifdef __cplusplus
static_assert(sizeof(struct kemu_ring_stats) == 40, "kemu_ring_stats mirrors the ring header");
#else
_Static_assert(sizeof(struct kemu_ring_stats) == 40, "kemu_ring_stats mirrors the ring header");
#endif

KIV_BEGIN_DECLS

/* Writes one complete record (12-byte header + body) into ring 0..3. 0, -1 full (counted in
 * full_cnt, full_flag set), -2 not active, -3 delivery off, -4 invalid header (magic,
 * 12 <= len <= 6144, type <= 28, len equal to the header's len) or ring type. */
KIV_API int kemu_inject(int ring_type, const void *record, uint32_t len);

/* The same bytes without any check (garbage, partial records); delivery is not consulted. */
KIV_API int kemu_inject_raw(int ring_type, const void *bytes, uint32_t len);

/* Snapshot of a ring header. 0, -2 not active, -4 bad ring type or null out. */
KIV_API int kemu_ring_stats(int ring_type, struct kemu_ring_stats *out);

/* 1 delivery on, 0 off, -2 not active. Delivery starts off. */
KIV_API int kemu_delivery(void);

/* Copies up to size bytes of the last payload of a control request and returns its full
 * length (0 for requests without payload); -1 none sent yet, -2 not active. */
KIV_API int kemu_last_control(uint32_t request, void *buf, uint32_t size);

/* The process table behind the process queries. A record is a raw_process_info (68 fixed
 * bytes, the flex block) keyed by {pid, create_time}; setting it again replaces it.
 * kemu_drop_process makes a process dead (-1 when unknown). kemu_lose_exit drops it too,
 * queues it as a lost exit and counts one refusal in the high ring's full_cnt.
 * 0, -1 bad record, -2 not active. */
KIV_API int kemu_set_process(const void *raw_process_info, uint32_t len);
KIV_API int kemu_drop_process(uint32_t pid, uint64_t create_time);
KIV_API int kemu_lose_exit(uint32_t pid, uint64_t create_time);

/* Module mode against the stand-in. With on non-zero, kernel_mode "module" starts the stand-in
 * playing the kernel: init_module and delete_module reach it, its devices open and the
 * module's /proc and /sys files exist under its root only while "qxkiv" is loaded. 0 (the
 * default) keeps the real system calls. Read at the next start. Returns 0. */
KIV_API int kemu_module_mode(int on);

/* A module already in the kernel before the library starts. */
struct kemu_module_preset {
    const char *version;   /* text of /sys/module/qxkiv/version as is; null: the library's build */
    int32_t refcnt;        /* /sys/module/qxkiv/refcnt */
    int32_t users;         /* users besides the asker that request 0x7309 reports */
    int32_t refuse_unload; /* non-zero: delete_module fails with EWOULDBLOCK */
};
/* Presets the module (null: none loaded); while the stand-in plays the kernel its files change
 * at once. 0. */
KIV_API int kemu_preset_module(const struct kemu_module_preset *preset);
/* From now on init_module fails with errno err (0: loads are accepted again). 0, -4 err < 0. */
KIV_API int kemu_refuse_load(int err);

struct kemu_module_info {
    int32_t loaded;    /* "qxkiv" is in the kernel */
    uint32_t loads;    /* successful init_module calls */
    uint32_t unloads;  /* successful delete_module calls */
    uint32_t attempts; /* init_module calls, refused ones included */
};
/* 0, -4 null out. Survives stand-in restarts, as a module outlives its loader. */
KIV_API int kemu_module_state(struct kemu_module_info *out);
/* Parameter text (terminated, up to size - 1 bytes) and image of the last init_module call,
 * refused or not; the full length, -1 none yet. */
KIV_API int kemu_module_params(char *buf, uint32_t size);
KIV_API int kemu_module_image(void *buf, uint32_t size);
/* Forgets everything: no module loaded, counters 0, loads accepted, module mode off. */
KIV_API void kemu_module_reset(void);

KIV_END_DECLS

#endif
