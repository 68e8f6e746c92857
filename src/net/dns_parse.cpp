#include "net/dns_parse.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "base/log.h"
#include "base/mem.h"
#include "comm/dns_name.h"
#include "net/net.h"

namespace {

// Bounds of the message being parsed on this thread, so every helper checks against the
// same frame without passing it around.
thread_local const uint8_t *s_org_answer_data = nullptr;
thread_local int s_org_answer_len = 0;
thread_local bool s_keep_aaaa = false;

constexpr int kMaxLabel = 63;
constexpr int kMaxQuestionName = 256;
constexpr int kMaxOwnerName = 254;
constexpr uint16_t kTypeOpt = 41;

// Whether [pos, pos + n) lies inside the message; logs the refused visit.
bool dnsa_visit_ok(size_t pos, size_t n) {
    size_t len = (size_t)s_org_answer_len;
    if (pos <= len && n <= len - pos) return true;
    KIV_LOG(1,
            "Dns answer visit addr llegal,s_org_answer_data:%p,s_org_answer_len:%d,visit:%p,"
            "visit_len:%d\n",
            (const void *)s_org_answer_data, s_org_answer_len,
            (const void *)((uintptr_t)s_org_answer_data + pos), (int)n);
    return false;
}

uint16_t load_be16(size_t pos) {
    return (uint16_t)(s_org_answer_data[pos] << 8 | s_org_answer_data[pos + 1]);
}

// Wire length of the question name at `pos`, added to `*len`. Pointers are refused here:
// a question name must be spelled out.
int dnsa_getdomainoffset(int *len, size_t pos) {
    int n = 0;
    for (;;) {
        if (!dnsa_visit_ok(pos, 1)) return -1;
        uint8_t label = s_org_answer_data[pos];
        if (label == 0) break;
        if (label > kMaxLabel) {
            KIV_LOG(4, "[dns] error dns\n");
            return -1;
        }
        if (!dnsa_visit_ok(pos + 1, label)) return -1;
        n += label + 1;
        pos += (size_t)label + 1;
    }
    *len += n + 1;
    return 0;
}

// Text of the first question's name, the root as "": escaped, in presentation form (escapes
// that make it longer than out holds cut it to its start and end), or raw, its label bytes
// (a name that would reach 256 characters fails). Its wire length has been checked.
int dnsa_getdomainname(const uint8_t *msg, char *out, bool escape) {
    size_t pos = DNSA_HEADER_LEN;
    dns_text name(escape);
    for (;;) {
        if (!dnsa_visit_ok(pos, 1)) return -1;
        uint8_t label = msg[pos];
        if (label == 0) break;
        if (label > kMaxLabel || !dnsa_visit_ok(pos + 1, label) ||
            !name.add_label(msg + pos + 1, label))
            return -1;
        pos += (size_t)label + 1;
    }
    if (name.copy_to(out, kMaxQuestionName))
        KIV_LOG(4, "[dns] question name of %zu characters cut: %s\n", name.len, out);
    return 0;
}

// Wire length of a resource record's owner name at `pos`, or -1. A pointer ends the name
// and is not followed.
int dnsa_getlabeloffset(size_t pos, const uint8_t *msg) {
    if (!dnsa_visit_ok(pos, 1)) return -1;
    if (msg[pos] >= 0xC0) return 2;
    int n = 0;
    for (;;) {
        if (!dnsa_visit_ok(pos + (size_t)n, 1)) return -1;
        uint8_t label = msg[pos + (size_t)n];
        if (label == 0) return n + 1;
        if (label >= 0xC0) return n + 2;
        if (label > kMaxLabel) return -1;
        n += label + 1;
        if (n > kMaxOwnerName) return -1;
    }
}

// Decodes the resource record at `pos` into `rec` (its data still points into the
// message) and its wire length into `*rec_len`. The name is left to the caller, which copies
// it only into the records it keeps.
int dnsa_getsecfromdns(size_t pos, const uint8_t *msg, dnsa_record *rec, size_t *rec_len) {
    int name_len = dnsa_getlabeloffset(pos, msg);
    if (name_len < 0) {
        KIV_LOG(3, "[dns] get label offset error!\n");
        return -1;
    }
    size_t fixed = pos + (size_t)name_len;
    if (!dnsa_visit_ok(fixed, 10)) return -1;
    uint16_t type = load_be16(fixed);
    uint16_t data_len = load_be16(fixed + 8);
    size_t len = (size_t)name_len + 10 + data_len;
    switch (type) {
        case 28:
            if (!s_keep_aaaa) {
                rec->type = DNSA_KIND_OTHER;
                break;
            }
            [[fallthrough]];
        case 1: {
            if (!dnsa_visit_ok(pos, len)) return -1;
            // Shorter data cannot be rendered as an address without reading past it.
            uint16_t need = type == 1 ? 4 : 16;
            if (data_len < need) {
                KIV_LOG(1, "[dns] address record data length %d is short\n", data_len);
                return -1;
            }
            rec->type = type == 1 ? DNSA_KIND_A : DNSA_KIND_AAAA;
            memcpy(&rec->rr_type, msg + fixed, 2);
            memcpy(&rec->rr_class, msg + fixed + 2, 2);
            memcpy(&rec->rr_ttl, msg + fixed + 4, 4);
            memcpy(&rec->data_len, msg + fixed + 8, 2);
            rec->data = const_cast<uint8_t *>(msg + fixed + 10);
            rec->next = nullptr;
            break;
        }
        case 5:
            rec->type = DNSA_KIND_CNAME;
            break;
        case 2:
        case 6:
        case 15:
            rec->type = DNSA_KIND_OTHER;
            break;
        default:
            KIV_LOG(1, "[dns] not support type(0x%x)!\n", type);
            return -1;
    }
    *rec_len = len;
    return 0;
}

// Decodes `count` records from `*pos`; address records are noted in `kept` (their data still
// pointing into the message) when `keep` is set.
int dnsa_walk_section(size_t *pos, int count, bool keep, std::vector<dnsa_record> &kept) {
    for (int i = 0; i < count; i++) {
        dnsa_record rec;
        size_t rec_len = 0;
        if (dnsa_getsecfromdns(*pos, s_org_answer_data, &rec, &rec_len) != 0) return -1;
        *pos += rec_len;
        if (keep && (rec.type == DNSA_KIND_A || rec.type == DNSA_KIND_AAAA)) kept.push_back(rec);
    }
    return 0;
}

// The kept records as one list in one block: the records, then their data.
dnsa_record *dnsa_copy_out(const std::vector<dnsa_record> &kept, const char *qname) {
    if (kept.empty()) return nullptr;
    size_t data = 0;
    for (const dnsa_record &r : kept) data += ntohs(r.data_len);
    size_t size = kept.size() * sizeof(dnsa_record) + data;
    auto *block = (dnsa_record *)kiv_malloc(size, MALLOC_FOR_NET_DNSA_RECORD);
    if (block == nullptr) {
        KIV_LOG(0, "malloc ptr error\n");
        return nullptr;
    }
    auto *bytes = (uint8_t *)(block + kept.size());
    size_t name_len = strlen(qname) + 1;
    for (size_t i = 0; i < kept.size(); i++) {
        dnsa_record &out = block[i];
        const dnsa_record &in = kept[i];
        memcpy(out.name, qname, name_len);
        out.type = in.type;
        out.rr_type = in.rr_type;
        out.rr_class = in.rr_class;
        out.rr_ttl = in.rr_ttl;
        out.data_len = in.data_len;
        out.data = bytes;
        memcpy(bytes, in.data, ntohs(in.data_len));
        bytes += ntohs(in.data_len);
        out.next = i + 1 < kept.size() ? &block[i + 1] : nullptr;
    }
    return block;
}

dnsa_record *dnsa_parse(const uint8_t *msg, char *name, int name_size, char *raw, int raw_size) {
    uint8_t flags = msg[3];
    if ((flags & 0x80) == 0 || (flags & 0x40) != 0) {
        KIV_LOG(4, "[dns] not standard response or dns head flags error,*flags:0x%x, dns->z:%d\n",
                (unsigned)load_be16(2), (flags >> 6) & 1);
        return nullptr;
    }
    int qd = load_be16(4), an = load_be16(6), ns = load_be16(8), ar = load_be16(10);
    if (qd == 0) {
        KIV_LOG(3, "[dns] dns->q_count is zero.\n");
        return nullptr;
    }

    size_t pos = DNSA_HEADER_LEN;
    int totqlen = 0;
    for (int i = 0; i < qd; i++) {
        int qlen = 0;
        if (dnsa_getdomainoffset(&qlen, pos) != 0) {
            KIV_LOG(3, "[dns] dns get domain offset error!\n");
            return nullptr;
        }
        if (qlen > kMaxQuestionName) {
            KIV_LOG(3, "[dns] qlen(%d) is overlimit.\n", qlen);
            return nullptr;
        }
        pos += (size_t)qlen + 4;
        totqlen += qlen + 4;
        KIV_LOG(4, "totqlen:%d\n", totqlen);
    }
    if (!dnsa_visit_ok(pos, 1)) return nullptr;

    char qname[DNSA_NAME_LEN];
    const bool escape = g_net_config.dns_name_escape != 0;
    if (dnsa_getdomainname(msg, qname, escape) != 0) {
        KIV_LOG(3, "[dns] get dns domain name error!\n");
        return nullptr;
    }
    size_t cut = strnlen(qname, (size_t)name_size - 1);
    memcpy(name, qname, cut);
    name[cut] = '\0';
    if (raw && raw_size > 0) {
        // The form a kernel that copies label bytes gives the query, so that it pairs too.
        char plain[DNSA_NAME_LEN] = "";
        if (escape && dnsa_getdomainname(msg, plain, false) != 0) plain[0] = '\0';
        const char *r = escape ? plain : qname;
        size_t n = strnlen(r, (size_t)raw_size - 1);
        memcpy(raw, r, n);
        raw[n] = '\0';
    }

    // Kept records gather here first so that the list costs one allocation.
    thread_local std::vector<dnsa_record> kept;
    kept.clear();
    if (dnsa_walk_section(&pos, an, true, kept) != 0 ||
        dnsa_walk_section(&pos, ns, false, kept) != 0)
        return nullptr;
    // An EDNS OPT record (root owner, type one byte on) leads the additional section:
    // nothing after it is of interest.
    bool opt_first =
        ar != 0 && pos + 3 <= (size_t)s_org_answer_len && load_be16(pos + 1) == kTypeOpt;
    if (!opt_first && dnsa_walk_section(&pos, ar, true, kept) != 0) return nullptr;
    dnsa_record *head = dnsa_copy_out(kept, qname);
    dnsa_debug_print_answers(head);
    return head;
}

}  // namespace

dnsa_record *dnsa_get_response_ip(const uint8_t *msg, int msg_len, char *name, int name_size,
                                  bool aaaa, char *raw, int raw_size) {
    if (msg == nullptr || name == nullptr || name_size < 1 || msg_len <= DNSA_HEADER_LEN) {
        KIV_LOG(1, "[dns] invalid param(buf_len:%d,domain_len:%d)\n", msg_len, name_size);
        return nullptr;
    }
    s_org_answer_data = msg;
    s_org_answer_len = msg_len;
    s_keep_aaaa = aaaa;
    if (raw && raw_size > 0) raw[0] = '\0';
    dnsa_record *head = dnsa_parse(msg, name, name_size, raw, raw_size);
    s_org_answer_data = nullptr;
    s_org_answer_len = 0;
    return head;
}

void dnsa_clean(dnsa_record *list) {
    // The whole list is the one block its head starts.
    if (list != nullptr) kiv_free(list);
}

void dnsa_debug_print_answers(const dnsa_record *list) {
    // Rendering the addresses is the costly part; skip it when the lines would be dropped.
    if (g_framework_config.log_level < 4 || !log_mod_enable()) return;
    for (const dnsa_record *r = list; r != nullptr; r = r->next) {
        char ip[INET6_ADDRSTRLEN] = "";
        if (r->type == DNSA_KIND_AAAA)
            inet_ntop(AF_INET6, r->data, ip, sizeof(ip));
        else if (ntohs(r->data_len) >= 4)
            inet_ntop(AF_INET, r->data, ip, sizeof(ip));
        KIV_LOG(4, "domain name=%s\n", r->name);
        KIV_LOG(4, "domain type=%d\n", r->type);
        KIV_LOG(4, "domain return ip=%s\n", ip);
    }
}
