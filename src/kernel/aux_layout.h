// Bodies of the library-load, signal and named-pipe records, decoded by copy (records may sit
// at any alignment) and checked against the record's own length.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernel/ring_layout.h"

// Library load (type 3) and pipe create/connect (types 19, 20): the process, then one path.
// Producers differ on whether the stated length counts the terminating NUL, so the NUL may
// sit anywhere up to one byte past it, as long as it is inside the record.
struct aux_path_record {
    uint64_t create_time;
    uint32_t pid;
    uint32_t path_len;
    const char *path;  // inside the record, NUL-terminated within path_len + 1 bytes
};
constexpr size_t AUX_PATH_OFFSET = 32;

// Signal (type 4): sender and target.
struct kill_record {
    uint64_t create_time;         // sender
    uint64_t killed_create_time;  // target
    uint32_t pid;                 // sender
    uint32_t killed_pid;
    int32_t signal;
};
constexpr size_t KILL_RECORD_LEN = 44;

enum aux_decode_result : int {
    AUX_DECODE_OK = 0,
    AUX_DECODE_SHORT = -1,     // record ends before the fixed fields
    AUX_DECODE_PAST_END = -2,  // stated path length runs past the record
    AUX_DECODE_NO_NUL = -3,    // no NUL within the stated length + 1 inside the record
};

inline uint32_t aux_le32(const char *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
inline size_t aux_record_len(const char *msg) {
    kiv_msg_hdr h;
    memcpy(&h, msg, sizeof h);
    return h.len;
}
inline int aux_record_type(const char *msg) {
    kiv_msg_hdr h;
    memcpy(&h, msg, sizeof h);
    return h.type;
}
inline uint64_t aux_le64(const char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

// msg: the whole record with its header; its `len` bounds every read.
inline int aux_path_record_decode(const char *msg, aux_path_record *out) {
    size_t len = aux_record_len(msg);
    if (len < AUX_PATH_OFFSET) return AUX_DECODE_SHORT;
    out->create_time = aux_le64(msg + 16);
    out->pid = aux_le32(msg + 24);
    out->path_len = aux_le32(msg + 28);
    if (out->path_len > len - AUX_PATH_OFFSET) return AUX_DECODE_PAST_END;
    out->path = msg + AUX_PATH_OFFSET;
    size_t room = len - AUX_PATH_OFFSET;
    size_t window = out->path_len < room ? out->path_len + 1 : room;
    if (!memchr(out->path, '\0', window)) return AUX_DECODE_NO_NUL;
    return AUX_DECODE_OK;
}

inline int kill_record_decode(const char *msg, kill_record *out) {
    if (aux_record_len(msg) < KILL_RECORD_LEN) return AUX_DECODE_SHORT;
    out->create_time = aux_le64(msg + 16);
    out->killed_create_time = aux_le64(msg + 24);
    out->pid = aux_le32(msg + 32);
    out->killed_pid = aux_le32(msg + 36);
    out->signal = static_cast<int32_t>(aux_le32(msg + 40));
    return AUX_DECODE_OK;
}

inline const char *aux_decode_error(int result) {
    switch (result) {
        case AUX_DECODE_SHORT:
            return "record shorter than its fixed fields";
        case AUX_DECODE_PAST_END:
            return "path length runs past the record's end";
        case AUX_DECODE_NO_NUL:
            return "path not NUL-terminated inside the record";
        default:
            return "bad record";
    }
}
