// Decoding of the three block reports: every length and text held to the record's end.
#include <arpa/inet.h>

#include <cstring>

#include "base/log.h"
#include "block_logger/block_logger.h"
#include "framework/ring.h"

namespace {

template <class T>
T ld(const char *msg, uint32_t off) {
    T v;
    memcpy(&v, msg + off, sizeof v);
    return v;
}

// A fixed-size name field must hold its terminator.
bool fixed_text(const char *msg, uint32_t off, uint32_t size, const char *what, int type,
                const char **out) {
    if (!memchr(msg + off, 0, size)) {
        KIV_LOG(1, "block report type %d: %s not terminated within %u bytes, drop it\n", type, what,
                size);
        return false;
    }
    *out = msg + off;
    return true;
}

// n texts whose 16-bit lengths sit at len_off, back to back from text_off.
bool var_texts(const char *msg, uint32_t len, int type, uint32_t len_off, uint32_t text_off, int n,
               const char **out) {
    uint32_t l[3] = {}, total = text_off;
    for (int i = 0; i < n; i++) total += l[i] = ld<uint16_t>(msg, len_off + 2 * i);
    if (total > len) {
        KIV_LOG(1,
                "block report type %d: texts of %u+%u+%u bytes run past its end (%u > %u), "
                "drop it\n",
                type, l[0], l[1], l[2], total, len);
        return false;
    }
    uint32_t off = text_off;
    for (int i = 0; i < n; i++) {
        if (l[i] == 0) {
            out[i] = "";
        } else if (!memchr(msg + off, 0, l[i])) {
            KIV_LOG(1,
                    "block report type %d: text %d not terminated within its %u bytes, drop it\n",
                    type, i + 1, l[i]);
            return false;
        } else {
            out[i] = msg + off;
        }
        off += l[i];
    }
    return true;
}

uint32_t fixed_size(int type) {
    switch (type) {
        case EV_DEFENSE_FILE_BLOCK:
            return BLOG_FILE_TEXT_OFF;
        case EV_DEFENSE_PROC_BLOCK:
            return BLOG_PROC_TEXT_OFF;
        case EV_DEFENSE_NET_BLOCK:
            return BLOG_NET_TEXT_OFF;
        default:
            return 0;
    }
}

}  // namespace

int block_report_decode(const char *msg, uint32_t len, block_report *r) {
    *r = block_report{};
    r->type = kiv_msg_hdr_get(msg).type;
    uint32_t need = fixed_size(r->type);
    if (need == 0) {
        KIV_LOG(1, "block report of type %d is not known, drop it\n", r->type);
        return -1;
    }
    if (len < need) {
        KIV_LOG(1, "block report type %d of %u bytes is shorter than its %u fixed bytes, drop it\n",
                r->type, len, need);
        return -1;
    }
    r->group = ld<uint32_t>(msg, 12);
    r->rule_id = ld<uint64_t>(msg, 16);
    r->action = ld<uint32_t>(msg, 24);
    r->pid = ld<uint32_t>(msg, 28);
    r->ppid = ld<uint32_t>(msg, 32);
    r->uid = ld<uint32_t>(msg, 40);
    if (!fixed_text(msg, BLOG_COMM_NAME_OFF, BLOG_COMM_NAME_LEN, "process name", r->type,
                    &r->name) ||
        !fixed_text(msg, BLOG_PCOMM_NAME_OFF, BLOG_PCOMM_NAME_LEN, "parent name", r->type,
                    &r->pname))
        return -1;
    r->text[0] = r->text[1] = r->text[2] = "";
    switch (r->type) {
        case EV_DEFENSE_FILE_BLOCK:
            r->file_opr = ld<uint32_t>(msg, 192);
            return var_texts(msg, len, r->type, 196, BLOG_FILE_TEXT_OFF, 3, r->text) ? 0 : -1;
        case EV_DEFENSE_PROC_BLOCK:
            r->t_pid = ld<uint32_t>(msg, 184);
            r->t_ppid = ld<uint32_t>(msg, 188);
            r->t_ns = ld<uint32_t>(msg, 192);
            r->t_uid = ld<uint32_t>(msg, 196);
            r->t_euid = ld<uint32_t>(msg, 200);
            if (!fixed_text(msg, 204, 64, "target name", r->type, &r->t_name) ||
                !fixed_text(msg, 268, 68, "target parent name", r->type, &r->t_pname))
                return -1;
            r->t_port = ld<uint16_t>(msg, 336);
            r->proc_opr = ld<uint32_t>(msg, 340);
            return var_texts(msg, len, r->type, 348, BLOG_PROC_TEXT_OFF, 3, r->text) ? 0 : -1;
        default:  // EV_DEFENSE_NET_BLOCK
            memcpy(r->saddr, msg + 184, 16);
            memcpy(r->daddr, msg + 200, 16);
            r->protocol = ld<uint16_t>(msg, 216);
            r->family = ld<uint16_t>(msg, 218);
            r->sport = ntohs(ld<uint16_t>(msg, 220));
            r->dport = ntohs(ld<uint16_t>(msg, 222));
            r->direction = ld<uint32_t>(msg, 224);
            return var_texts(msg, len, r->type, 228, BLOG_NET_TEXT_OFF, 1, r->text) ? 0 : -1;
    }
}
