// Hand assembly of kernel file records (types 13 to 18), written from the byte table of the
// record layout rather than through the decoder's offsets.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "proc_bytes.h"

struct file_rec {
    int kind = 0;  // record type - 13: 0 create, 2 rename, 5 attribute change
    uint32_t pid = 300, tgid = 300;
    uint64_t create_time = 5300;
    uint64_t atime = 1700000001, mtime = 1700000002, ctime = 1700000003;
    uint32_t uid = 0, gid = 0;
    uint16_t mode = 0100644, id = 1;
    uint8_t dir = 0, creat_type = 0;
    uint32_t new_uid = 0, new_gid = 0;
    uint16_t new_mode = 0;
    std::string name = "/tmp/a", name2;
    bool second = false;
    int names_len_delta = 0;  // lie about the names' length
    uint32_t exec_mark = 0;   // bytes 12..15
};

// Header (magic, len, type, pid), 4 unused bytes, then the fields at their offsets.
inline std::vector<unsigned char> build_file(const file_rec &r) {
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(0), w.u16(13 + r.kind), w.u32(r.pid), w.u32(r.exec_mark);
    w.u64(r.create_time), w.u64(r.atime), w.u64(r.mtime), w.u64(r.ctime);   // 16..47
    w.u32(r.tgid), w.u32(r.uid), w.u32(r.gid), w.u16(r.mode), w.u16(r.id);  // 48..63
    w.u8(r.dir);                                                            // 64
    if (r.kind == 0) w.u8(r.creat_type), w.u8(0);                           // 65, 66
    if (r.kind == 5) w.u32(0), w.u32(r.new_uid), w.u32(r.new_gid), w.u16(r.new_mode);
    std::string names = r.name + std::string(1, '\0');
    if (r.second) names += r.name2 + std::string(1, '\0');
    w.u16(((uint32_t)names.size() + r.names_len_delta) | (r.second ? 0x8000u : 0));
    w.b.insert(w.b.end(), names.begin(), names.end());
    uint16_t len = (uint16_t)w.b.size();
    w.b[4] = (unsigned char)len, w.b[5] = (unsigned char)(len >> 8);
    return w.b;
}
