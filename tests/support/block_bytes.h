// Hand assembly of the kernel's block reports (types 24, 25, 26), written from the byte
// tables of the record layout rather than through the decoder's constants.
#pragma once
#include <arpa/inet.h>

#include <cstdint>
#include <string>
#include <vector>

#include "proc_bytes.h"

namespace block_bytes {

using bytes = std::vector<unsigned char>;

// Above the largest pid_max: /proc never has them, only the fork tree does.
constexpr uint32_t kPid = 4194400, kPPid = 4194399, kTarget = 4194401;

struct block_rec {
    uint16_t type = 24;
    uint32_t group = 2;
    uint64_t rule_id = 0x500000007ull;  // only the low 32 bits are reported
    uint32_t action = 1;
    uint32_t pid = kPid, ppid = kPPid, uid = 0;
    std::string name = "evil", pname = "bash";
    uint32_t opr = 1;  // file and process operation
    // process report
    uint32_t t_pid = kTarget, t_ppid = 1, t_ns = 4026531836u, t_uid = 0, t_euid = 0;
    std::string t_name = "sshd", t_pname = "systemd";
    uint16_t t_port = 22;
    // network report
    std::string sip = "10.0.0.5", dip = "93.184.216.34";
    uint16_t proto = 6, family = 2, sport = 40000, dport = 443;
    uint32_t direction = 2;
    // Texts 1..3, each written with its NUL; an empty one has length 0.
    std::string text[3] = {"/usr/bin/evil", "", ""};
    int len_delta[3] = {};      // added to the stated lengths
    bool unterminated = false;  // text 1 without its NUL
    bool full_name = false;     // the process name fills its 64 bytes
};

inline void put_text(proc_bytes &w, const std::string &s, size_t size) {
    for (size_t i = 0; i < size; i++) w.u8(i < s.size() ? (unsigned char)s[i] : 0);
}
inline void put_addr(proc_bytes &w, int family, const std::string &ip) {
    unsigned char a[16] = {};
    inet_pton(family == 2 ? AF_INET : AF_INET6, ip.c_str(), a);
    for (unsigned char c : a) w.u8(c);
}
inline void put_be16(proc_bytes &w, uint16_t v) {
    w.u8(v >> 8), w.u8(v & 0xff);
}

inline bytes build(const block_rec &r) {
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(0), w.u16(r.type), w.u32(r.pid);       // 0..11
    w.u32(r.group), w.u64(r.rule_id), w.u32(r.action);              // 12..27
    w.u32(r.pid), w.u32(r.ppid), w.u32(0), w.u32(r.uid), w.u32(0);  // 28..47
    if (r.full_name)
        put_text(w, std::string(64, 'n'), 64);
    else
        put_text(w, r.name, 64);  // 48..111
    put_text(w, r.pname, 72);     // 112..183
    int ntexts = 3;
    if (r.type == 24) {
        w.u64(0), w.u32(r.opr);  // 184..195
    } else if (r.type == 25) {
        w.u32(r.t_pid), w.u32(r.t_ppid), w.u32(r.t_ns), w.u32(r.t_uid), w.u32(r.t_euid);
        put_text(w, r.t_name, 64), put_text(w, r.t_pname, 68);  // 204..335
        w.u16(r.t_port), w.u16(0), w.u32(r.opr), w.u32(0);      // 336..347
    } else {
        put_addr(w, r.family, r.sip), put_addr(w, r.family, r.dip);  // 184..215
        w.u16(r.proto), w.u16(r.family);
        put_be16(w, r.sport), put_be16(w, r.dport);
        w.u32(r.direction);  // 224..227
        ntexts = 1;
    }
    std::string body;
    for (int i = 0; i < ntexts; i++) {
        size_t n = r.text[i].empty() ? 0 : r.text[i].size() + 1;
        if (i == 0 && r.unterminated) n = r.text[i].size();
        w.u16((unsigned)((int)n + r.len_delta[i]));
        body.append(r.text[i].data(), n == 0 ? 0 : r.text[i].size());
        if (n > r.text[i].size()) body.push_back('\0');
    }
    w.b.insert(w.b.end(), body.begin(), body.end());
    w.b[4] = (unsigned char)w.b.size(), w.b[5] = (unsigned char)(w.b.size() >> 8);
    return w.b;
}

}  // namespace block_bytes
