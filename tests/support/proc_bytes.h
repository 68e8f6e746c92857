// Hand assembly of kernel process records, written from the byte tables of the record layout
// rather than through the decoder's own field descriptions.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct proc_bytes {
    std::vector<unsigned char> b;

    void u8(unsigned v) { b.push_back((unsigned char)v); }
    void u16(unsigned v) { u8(v & 0xff), u8(v >> 8); }
    void u32(uint32_t v) { u16(v & 0xffff), u16(v >> 16); }
    void u64(uint64_t v) { u32((uint32_t)v), u32((uint32_t)(v >> 32)); }
    // OR v << shift into the width-byte little-endian word at header byte at.
    static void put_bits(unsigned char *h, int at, int width, int shift, uint32_t v) {
        uint32_t w = 0;
        for (int i = 0; i < width; i++) w |= (uint32_t)h[at + i] << (8 * i);
        w |= v << shift;
        for (int i = 0; i < width; i++) h[at + i] = (unsigned char)(w >> (8 * i));
    }
    // Lengths in type order: cmd_line, cur_path, path, fd0, fd1, app_type, user, group.
    static void flex_header(unsigned char h[9], const uint32_t len[8]) {
        for (int i = 0; i < 9; i++) h[i] = 0;
        put_bits(h, 0, 2, 0, len[0]);   // bits 0-9 of the u16 at byte 0
        put_bits(h, 0, 4, 10, len[1]);  // bits 10-19 of the u32 at byte 0
        put_bits(h, 4, 2, 0, len[2]);   // bits 0-9 of the u16 at byte 4
        put_bits(h, 4, 4, 10, len[3]);  // bits 10-19 of the u32 at byte 4
        put_bits(h, 6, 2, 4, len[4]);   // bits 4-13 of the u16 at byte 6
        h[8] = (unsigned char)len[5];   // byte 8
        put_bits(h, 2, 2, 4, len[6]);   // bits 4-9 of the u16 at byte 2
        put_bits(h, 3, 1, 2, len[7]);   // bits 2-7 of byte 3
    }
};

struct proc_fields {
    uint64_t create_time = 0x1122334455667788ull, parent_create_time = 0x99;
    uint32_t pid = 100, ppid = 1, sessionid = 3;
    uint32_t uid[4] = {1000, 1001, 1002, 1003}, gid[4] = {2000, 2001, 2002, 2003};
    uint32_t owner_id = 0, mode = 0755, event_id = 1;
    std::string s[8];  // flex strings in type order
};

// The record bytes with its real length.
inline std::vector<unsigned char> build_proc(const proc_fields &f) {
    proc_bytes w;
    w.u64(f.create_time), w.u64(f.parent_create_time);
    w.u32(f.pid), w.u32(f.ppid), w.u32(f.sessionid);
    for (uint32_t v : f.uid) w.u32(v);
    for (uint32_t v : f.gid) w.u32(v);
    w.u32(f.owner_id);
    w.u32((f.mode & 0xfff) | (f.event_id & 0xffff) << 12);
    uint32_t len[8];
    for (int t = 0; t < 8; t++) len[t] = (uint32_t)f.s[t].size();
    unsigned char h[9];
    proc_bytes::flex_header(h, len);
    w.b.insert(w.b.end(), h, h + 9);
    for (const auto &s : f.s) w.b.insert(w.b.end(), s.begin(), s.end());
    return w.b;
}

// A whole process record (header, four unused bytes, body) of type 0 fork, 1 exec or 2 exit.
inline std::vector<unsigned char> process_record(const proc_fields &f, unsigned type = 1) {
    std::vector<unsigned char> body = build_proc(f);
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(16 + (unsigned)body.size()), w.u16(type), w.u32(f.pid), w.u32(0);
    w.b.insert(w.b.end(), body.begin(), body.end());
    return w.b;
}
