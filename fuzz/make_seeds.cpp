// Writes the seed corpora of the fuzz targets from the tests' own record writers (the byte
// tables in tests/support), never from the decoders. Run from the source tree:
//   build/fuzz/fuzz/make_fuzz_seeds fuzz/corpus
// Each target's inputs are laid out in the framing its source describes.
#include <arpa/inet.h>
#include <elf.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "block_bytes.h"
#include "spool.h"
#include "file_bytes.h"
#include "proc_bytes.h"
#include "spool.h"
#include "ring_util.h"

namespace {

using bytes = std::vector<unsigned char>;

std::string s_out;

void seed(const std::string &target, const std::string &name, const bytes &b) {
    std::string dir = s_out + "/" + target;
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char *>(b.data()), (std::streamsize)b.size());
}
void seed(const std::string &target, const std::string &name, const std::string &s) {
    seed(target, name, bytes(s.begin(), s.end()));
}

bytes read_file(const std::string &path, size_t limit = SIZE_MAX) {
    std::ifstream in(path, std::ios::binary);
    bytes b((std::istreambuf_iterator<char>(in)), {});
    if (b.size() > limit) b.resize(limit);
    return b;
}

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes u16(unsigned v) {
    proc_bytes w;
    w.u16(v);
    return w.b;
}
bytes u32(uint32_t v) {
    proc_bytes w;
    w.u32(v);
    return w.b;
}
bytes str(const std::string &s) {
    return bytes(s.begin(), s.end());
}
bytes led(const bytes &b) {
    return cat({u16((unsigned)b.size()), b});
}

// ---- records ----------------------------------------------------------------------------

proc_fields sample_proc(int variant) {
    proc_fields f;
    f.pid = 4242, f.ppid = 1;
    f.s[0] = "/usr/bin/python3 -c print(1)", f.s[1] = "/home/user", f.s[2] = "/usr/bin/python3";
    if (variant == 1) {  // every string present, the long ones at their limits
        f.s[0] = std::string(1023, 'c'), f.s[1] = std::string(1023, 'd');
        f.s[2] = std::string(1023, 'p'), f.s[3] = "/dev/pts/0", f.s[4] = "socket:[123]";
        f.s[5] = std::string(128, 'a'), f.s[6] = std::string(32, 'u'),
        f.s[7] = std::string(32, 'g');
    } else if (variant == 2) {  // a kernel thread: no strings but its name
        f.s[0] = "[kworker/0:1]", f.s[1] = f.s[2] = "";
    }
    return f;
}

bytes exit_record(uint32_t pid, uint64_t ct, uint16_t id, uint8_t code) {
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(16 + 15), w.u16(2), w.u32(pid), w.u32(0);
    w.u64(ct), w.u32(pid), w.u16(id), w.u8(code);
    return w.b;
}

// Network records from the layout table: connection (types 5, 7, 8, 9, 10, 11), listen (6),
// reset (12).
bytes net_addr(const std::string &ip) {
    bytes b(16, 0);
    inet_pton(ip.find(':') != std::string::npos ? AF_INET6 : AF_INET, ip.c_str(), b.data());
    return b;
}
void set_len(bytes &b) {
    b[4] = (unsigned char)b.size(), b[5] = (unsigned char)(b.size() >> 8);
}
bytes net_conn(int type, uint16_t proto, const std::string &sip, uint16_t sport,
               const std::string &dip, uint16_t dport, const bytes &tail = {}) {
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(0), w.u16(type), w.u32(300), w.u32(0);
    w.u64(5300), w.u32(300), w.u16(sip.find(':') != std::string::npos ? 10 : 2), w.u16(proto);
    w.u8(sport >> 8), w.u8(sport & 0xff), w.u8(dport >> 8), w.u8(dport & 0xff);
    bytes b = cat({w.b, net_addr(sip), net_addr(dip)});
    if (type == 10 || type == 11) b = cat({b, u32(0), tail});
    set_len(b);
    return b;
}
bytes net_listen(const std::string &ip, uint16_t port) {
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(0), w.u16(6), w.u32(300), w.u32(0);
    w.u64(5300), w.u32(300), w.u16(0), w.u8(port >> 8), w.u8(port & 0xff);
    bytes addr = net_addr(ip);
    bytes b = cat({w.b, bytes(addr.begin(), addr.begin() + 4)});
    set_len(b);
    return b;
}
bytes net_rst(const std::string &sip, uint16_t sport, const std::string &dip, uint16_t dport) {
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(0), w.u16(12), w.u32(0), w.u16(0), w.u8(1), w.u8(2);
    w.u8(sport >> 8), w.u8(sport & 0xff), w.u8(dport >> 8), w.u8(dport & 0xff);
    bytes b = cat({w.b, net_addr(sip), net_addr(dip)});
    set_len(b);
    return b;
}
bytes dns_name_field(const std::string &name) {
    bytes b(256, 0);
    memcpy(b.data(), name.data(), name.size());
    return b;
}
// One step of the network target: type, flags (retry, IPv6), length, record.
bytes net_step(const bytes &rec, int flags = 0) {
    unsigned type = rec[6] | rec[7] << 8;
    return cat({bytes{(unsigned char)(type - 5), (unsigned char)flags}, led(rec)});
}

// A captured packet from its IP header: IPv4 or IPv6 (by the address text), UDP or TCP; a
// TCP payload is led by its 2-byte length as DNS over TCP sends it.
bytes packet(const std::string &src, uint16_t sport, const std::string &dst, uint16_t dport,
             uint8_t proto, const bytes &msg) {
    bool v6 = src.find(':') != std::string::npos;
    bytes pl = proto == 6 ? cat({bytes{(unsigned char)(msg.size() >> 8), (unsigned char)msg.size()},
                                 msg})
                          : msg;
    size_t ih = v6 ? 40 : 20, th = proto == 6 ? 20 : 8, total = ih + th + pl.size();
    bytes p(ih + th, 0);
    bytes s = net_addr(src), d = net_addr(dst);
    if (v6) {
        p[0] = 0x60, p[6] = proto, p[4] = (unsigned char)((total - 40) >> 8);
        p[5] = (unsigned char)(total - 40);
        memcpy(&p[8], s.data(), 16), memcpy(&p[24], d.data(), 16);
    } else {
        p[0] = 0x45, p[9] = proto, p[2] = (unsigned char)(total >> 8), p[3] = (unsigned char)total;
        memcpy(&p[12], s.data(), 4), memcpy(&p[16], d.data(), 4);
    }
    p[ih] = (unsigned char)(sport >> 8), p[ih + 1] = (unsigned char)sport;
    p[ih + 2] = (unsigned char)(dport >> 8), p[ih + 3] = (unsigned char)dport;
    if (proto == 6)
        p[ih + 12] = 0x50;
    else
        p[ih + 4] = (unsigned char)((8 + pl.size()) >> 8), p[ih + 5] = (unsigned char)(8 + pl.size());
    return cat({p, pl});
}
// One step of the live packet target: a send or connect event naming a port's owner.
bytes owner_event(uint32_t kind, const std::string &src, uint16_t sport, const std::string &dst,
                  uint16_t dport) {
    proc_bytes w;
    w.u32(kind), w.u32(4242), w.u64(3000000000ull);
    bytes ev = cat({w.b, net_addr(src), net_addr(dst)});
    proc_bytes t;
    t.u8(sport >> 8), t.u8(sport & 0xff), t.u8(dport >> 8), t.u8(dport & 0xff);
    t.u16(src.find(':') != std::string::npos ? 10 : 2), t.u8(1), t.u8(0);
    return cat({bytes{1}, ev, t.b, bytes{5}});
}
// One step of the live packet target: a packet arriving on loopback.
bytes packet_step(const bytes &p) {
    return cat({bytes{4}, led(p), bytes{5}});
}

// One chunk of the ring target.
bytes ring_chunk(int ring, const bytes &b) {
    return cat({bytes{(unsigned char)ring}, led(b)});
}
bytes ring_starts(unsigned back) {
    return cat({u16(back), u16(back), u16(back), u16(back)});
}

}  // namespace

// A small 64-bit ELF file as the loader's reader sees one: one loaded segment holding it all,
// a dynamic section naming the file (soname, when given) and an interpreter (when given).
bytes elf64(const std::string &soname, const std::string &interp) {
    const size_t nph = interp.empty() ? 2 : 3;
    const size_t interp_off = sizeof(Elf64_Ehdr) + nph * sizeof(Elf64_Phdr);
    const size_t strtab_off = interp_off + interp.size() + 1;
    const std::string strtab = std::string(1, '\0') + soname + '\0';
    const size_t dyn_off = (strtab_off + strtab.size() + 7) & ~size_t(7);
    const size_t total = dyn_off + 3 * sizeof(Elf64_Dyn);
    bytes b(total, 0);
    Elf64_Ehdr eh{};
    memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64, eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_DYN, eh.e_machine = EM_X86_64, eh.e_version = EV_CURRENT;
    eh.e_phoff = sizeof eh, eh.e_ehsize = sizeof eh;
    eh.e_phentsize = sizeof(Elf64_Phdr), eh.e_phnum = (uint16_t)nph;
    memcpy(b.data(), &eh, sizeof eh);
    Elf64_Phdr ph[3] = {};
    ph[0].p_type = PT_LOAD, ph[0].p_filesz = ph[0].p_memsz = total, ph[0].p_flags = PF_R | PF_X;
    ph[1].p_type = PT_DYNAMIC, ph[1].p_offset = ph[1].p_vaddr = dyn_off;
    ph[1].p_filesz = ph[1].p_memsz = 3 * sizeof(Elf64_Dyn);
    ph[2].p_type = PT_INTERP, ph[2].p_offset = ph[2].p_vaddr = interp_off;
    ph[2].p_filesz = ph[2].p_memsz = interp.size() + 1;
    memcpy(b.data() + sizeof eh, ph, nph * sizeof(Elf64_Phdr));
    memcpy(b.data() + interp_off, interp.data(), interp.size());
    memcpy(b.data() + strtab_off, strtab.data(), strtab.size());
    Elf64_Dyn dyn[3] = {};
    dyn[0].d_tag = DT_STRTAB, dyn[0].d_un.d_ptr = strtab_off;
    dyn[1].d_tag = soname.empty() ? DT_DEBUG : DT_SONAME, dyn[1].d_un.d_val = 1;
    dyn[2].d_tag = DT_NULL;
    memcpy(b.data() + dyn_off, dyn, sizeof dyn);
    return b;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    s_out = argv[1];
    const std::string data = KIV_TEST_DATA_DIR;

    // Executed files as the loader's reader sees them, and a loader's command line.
    seed("elf", "loader.bin", elf64("ld-linux-x86-64.so.2", ""));
    seed("elf", "program.bin", elf64("", "/lib64/ld-linux-x86-64.so.2"));
    seed("elf", "library.bin", elf64("libc.so.6", "/lib64/ld-linux-x86-64.so.2"));
    seed("elf", "cmdline.txt", "/lib64/ld-linux-x86-64.so.2 --argv0 sshd --preload a.so ./x -d");

    // Process and exit records.
    for (int v = 0; v < 3; v++)
        for (unsigned type : {0u, 1u})
            seed("process", "proc" + std::to_string(type) + "_" + std::to_string(v) + ".bin",
                 process_record(sample_proc(v), type));
    seed("process", "exit.bin", exit_record(4242, 0x1122334455667788ull, 7, 1));

    // File records of every kind, a rename with both names.
    for (int kind = 0; kind < 6; kind++) {
        file_rec r;
        r.kind = kind, r.id = (uint16_t)(100 + kind), r.name = "/var/www/html/upload.php";
        if (kind == 2) r.second = true, r.name2 = "/var/www/html/tmp.php";
        if (kind == 5) r.new_uid = 33, r.new_gid = 33, r.new_mode = 0755;
        seed("file_event", "kind" + std::to_string(kind) + ".bin", build_file(r));
    }
    file_rec dir;
    dir.dir = 1, dir.name = "/etc/cron.d";
    seed("file_event", "create_dir.bin", build_file(dir));

    // Network: a connect and its establishment, a query and its answer from the DNS test
    // vectors, a listen, a reset and a UDP send.
    bytes conn = net_conn(8, 6, "10.0.0.5", 40000, "93.184.216.34", 443);
    bytes est = net_conn(9, 6, "10.0.0.5", 40000, "93.184.216.34", 443);
    seed("net_event", "connect_established.bin", cat({net_step(conn), net_step(est, 1)}));
    seed("net_event", "accept.bin", net_step(net_conn(7, 6, "10.0.0.5", 22, "10.0.0.9", 51000)));
    seed("net_event", "udp_send.bin", net_step(net_conn(5, 17, "10.0.0.5", 5353, "10.0.0.1", 161)));
    seed("net_event", "listen.bin", net_step(net_listen("0.0.0.0", 8080)));
    seed("net_event", "reset.bin", net_step(net_rst("10.0.0.9", 51000, "10.0.0.5", 23)));
    // The vectors and the names they ask for (tests/data/make_dns_vectors.sh).
    const std::pair<const char *, const char *> vectors[] = {
        {"a_single", "www.example.test"},     {"a_cname_chain", "web.example.test"},
        {"a_many", "many.example.test"},      {"aaaa_only", "v6.example.test"},
        {"nxdomain", "nothere.example.test"}, {"mx_with_glue", "example.test"}};
    for (const auto &[v, name] : vectors) {
        bytes msg = read_file(data + "/dns/" + v + ".bin");
        bytes req = net_conn(10, 17, "10.0.0.5", 33333, "10.0.0.1", 53, dns_name_field(name));
        bytes rsp = net_conn(11, 17, "10.0.0.5", 33333, "10.0.0.1", 53, led(msg));
        seed("net_event", std::string("dns_") + v + ".bin", cat({net_step(req), net_step(rsp, 1)}));
    }

    // The same over IPv6, decoded.
    bytes conn6 = net_conn(8, 6, "2001:db8::5", 40000, "2001:db8::80", 443);
    bytes est6 = net_conn(9, 6, "2001:db8::5", 40000, "2001:db8::80", 443);
    seed("net_event", "connect_established6.bin", cat({net_step(conn6, 2), net_step(est6, 3)}));
    bytes msg6 = read_file(data + "/dns/aaaa_only.bin");
    bytes req6 = net_conn(10, 17, "::1", 33333, "::1", 53, dns_name_field("v6.example.test"));
    bytes rsp6 = net_conn(11, 17, "::1", 33333, "::1", 53, led(msg6));
    seed("net_event", "dns_aaaa6.bin", cat({net_step(req6, 2), net_step(rsp6, 3)}));

    // Live packets: a query and its answer over UDP, over TCP, and over IPv6, each after the
    // event that names its sender (a send, a connect to the DNS port).
    bytes q = read_file(data + "/dns/a_single.bin"), a6 = read_file(data + "/dns/aaaa_only.bin");
    if (q.size() > 2) q[2] &= 0x7f;  // the answer's bytes with the query flag
    seed("live_packet", "udp.bin",
         cat({bytes{0}, owner_event(0, "0.0.0.0", 41000, "127.0.0.1", 53),
              packet_step(packet("127.0.0.1", 41000, "127.0.0.1", 53, 17, q)),
              packet_step(packet("127.0.0.1", 53, "127.0.0.1", 41000, 17,
                                 read_file(data + "/dns/a_single.bin")))}));
    seed("live_packet", "tcp.bin",
         cat({bytes{0}, owner_event(3, "127.0.0.1", 42000, "127.0.0.1", 53),
              packet_step(packet("127.0.0.1", 42000, "127.0.0.1", 53, 6, q)),
              packet_step(packet("127.0.0.1", 53, "127.0.0.1", 42000, 6,
                                 read_file(data + "/dns/a_single.bin")))}));
    seed("live_packet", "udp6.bin",
         cat({bytes{1}, owner_event(0, "::1", 43000, "::1", 53),
              packet_step(packet("::1", 43000, "::1", 53, 17, q)),
              packet_step(packet("::1", 53, "::1", 43000, 17, a6))}));

    // Rings: single records, a run across the wrap point in every ring, a record in two
    // chunks, junk before a record, a parked pid, a corrupt offset.
    bytes exec = process_record(sample_proc(0), 1);
    seed("ring", "one_exec.bin", cat({ring_starts(0), bytes{0}, ring_chunk(3, exec)}));
    bytes run = cat({ring_starts(40), bytes{0}});
    for (int r = 0; r < 4; r++)
        for (uint16_t t : {0, 13, 23, 28})
            run = cat({run, ring_chunk(r, make_record(t, 100 + t, (uint16_t)(12 + 7 * t)))});
    seed("ring", "wrap_all_rings.bin", run);
    bytes blk = block_bytes::build(block_bytes::block_rec{});
    seed("ring", "split_record.bin",
         cat({ring_starts(100), bytes{0}, ring_chunk(2, bytes(blk.begin(), blk.begin() + 30)),
              ring_chunk(2, bytes(blk.begin() + 30, blk.end()))}));
    seed("ring", "junk_then_record.bin",
         cat({ring_starts(5), bytes{0}, ring_chunk(1, str("\xEF\xCD\xDC junk")),
              ring_chunk(1, make_record(5, 9, 68))}));
    seed("ring", "parked_pid.bin",
         cat({ring_starts(0), bytes{1}, u32(777), bytes{3}, ring_chunk(1, make_record(13, 777, 40)),
              ring_chunk(3, make_record(1, 777, 20))}));
    seed("ring", "corrupt_offset.bin",
         cat({ring_starts(0), bytes{2}, bytes{2, 9}, ring_chunk(2, make_record(8, 5, 68)),
              ring_chunk(3, make_record(1, 6, 20))}));

    // INI: the shipped configuration files and the reader's odd corners.
    for (const char *c : {"sensor", "task", "file", "net", "log_collector", "block_logger"})
        seed("ini", std::string(c) + ".conf",
             read_file(std::string(KIV_CONFIG_DIR) + "/" + c + ".conf"));
    seed("ini", "odd.ini",
         "; comment\n# comment\n' comment\nkey=before any section\n[a]\n x = 1 \n=novalue\n"
         "nokey=\n[a]\ny=2\n[]\nz=3\n[b\n[c]extra\nk = v = w\r\n");

    // Scanner: a format selector, a destination size, then the text.
    const std::pair<int, std::string> scans[] = {
        {0, "4242 (python3) S 1 4242 4242 0 -1"},
        {1, "55d5c0a00000-55d5c0a21000 r-xp 00002000 fe:01 1835 /usr/bin/cat"},
        {2, "Uid:\t1000\t1000\t1000\t1000\n"},
        {3, "255 65535 18446744073709551615 -0x7f 0777 DEADbeef -9223372036854775808"},
        {4, "abcdefgh12%0x10"},
        {5, "log_level = 4\nlog_mask = 0xffff\n"}};
    for (const auto &[which, text] : scans)
        seed("scanner", "fmt" + std::to_string(which) + ".txt",
             cat({bytes{(unsigned char)which, 16}, str(text)}));

    // File contents: each signature and each script language's markers.
    seed("file_type", "png.bin",
         cat({bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, bytes(24, 0)}));
    seed("file_type", "jpg.bin",
         cat({bytes{0xFF, 0xD8, 0xFF, 0xE0}, bytes(40, 7), bytes{0xFF, 0xD9}}));
    seed("file_type", "elf.bin", cat({bytes{0x7F, 'E', 'L', 'F', 2, 1, 1}, bytes(57, 0)}));
    seed("file_type", "exe.bin", cat({str("MZ"), bytes(62, 0x90)}));
    seed("file_type", "php.txt",
         "<html>\n<?php\n$x = isset($_GET['c']) ? $_GET['c'] : '';\neval($x);\n?>\n");
    seed("file_type", "jsp.txt",
         "<%@ page import=\"java.io.*\" %>\n<% String s = request.getParameter(\"c\"); %>\n");
    seed("file_type", "asp.txt",
         "<%@ Language=VBScript %>\n<% Response.Write(Request(\"c\")) %>\n");
    seed("file_type", "plain.txt", "just some text\nwith lines\n");

    // Keywords (flag, count, each u16-led) and a text.
    bytes kw = {1, 4};
    for (const char *k : {"<?php", "eval(", "<%@", "$_GET"}) kw = cat({kw, led(str(k))});
    seed("matcher", "webshell.bin", cat({kw, str("<?PHP eval($_GET['x']); <%@ page %> <?php")}));
    bytes nested = {0, 3};
    for (const char *k : {"abab", "ba", "b"}) nested = cat({nested, led(str(k))});
    seed("matcher", "nested.bin", cat({nested, str("abababab babba ab")}));

    // Symbol files: a System.map cut from the test's Debian map, and kallsyms-style lines.
    bytes sysmap = read_file(data + "/sysmap/System.map-6.1.0-47-amd64.trimmed");
    std::string text(sysmap.begin(), sysmap.end());
    std::string picked;
    for (const char *sym : {" T __kmalloc\n", " T get_fs_type\n", " D inet_dgram_ops\n",
                            " D inet_stream_ops\n", " D security_hook_heads\n"}) {
        size_t at = text.find(sym);
        if (at == std::string::npos) continue;
        size_t start = text.rfind('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        picked += text.substr(start, text.find('\n', at) + 1 - start);
    }
    picked = text.substr(0, 400) + picked;
    seed("ksym", "sysmap.bin", cat({bytes{0x02}, str(picked)}));
    seed("ksym", "kallsyms.bin", cat({bytes{0x06}, str(picked)}));
    seed("ksym", "kallsyms_nokaslr.bin", cat({bytes{0x0E}, str(picked)}));
    seed("ksym", "old_kernel.bin",
         cat({bytes{0x00}, str("c0a1b2c3 B security_ops\nc0000010 A wall_to_monotonic\n"
                               "c0123456 D inet_dgram_ops\nc0123460 D inet_stream_ops\n")}));

    // Listening sockets: the family byte, then /proc/net/tcp or tcp6 as this host shows it.
    const std::string head =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n";
    const std::string tail = " 00000000:00000000 00:00000000 00000000     0        0 ";
    seed("proc_listeners", "tcp.txt",
         cat({bytes{0}, str(head + "   0: 0100007F:1F90 00000000:0000 0A" + tail + "4242 1\n" +
                            "   1: 0100007F:9C40 0100007F:1F90 01" + tail + "4243 1\n")}));
    seed("proc_listeners", "tcp6.txt",
         cat({bytes{1}, str(head + "   0: 00000000000000000000000000000000:0016 " +
                            "00000000000000000000000000000000:0000 0A" + tail + "51 1\n" +
                            "   1: 0000000000000000FFFF00000100007F:1F90 " +
                            "00000000000000000000000000000000:0000 0A" + tail + "52 1\n")}));

    // Log reader: line room, old-log limit, mode, black word, state, first contents, more.
    const std::string lines = "first line\nsecond line with secret\nthird\n";
    auto log_seed = [&](const char *name, uint8_t mode, const std::string &state,
                        const std::string &more) {
        seed("log_reader", name,
             cat({bytes{0}, u16(0), bytes{mode}, led(str("secret")), led(str(state)),
                  led(str(lines)), str(more)}));
    };
    log_seed("append.bin", 0, "", "fourth\nfifth without newline");
    log_seed("truncate.bin", 1, "", "rewritten\n");
    log_seed("rotate.bin", 2, "", "new file line\n");
    log_seed("state.bin", 4, "[global]\ncnt=1\npath0=@LOG@\nino0=0\noffset0=11\n", "x\n");
    log_seed("state_bad.bin", 4 | 1, "[global]\ncnt=3\npath0=@LOG@\nino0=abc\noffset0=0\n", "y\n");

    // Spool: cursor text, then segment bytes; "@SEG@" starts a second segment.
    const std::string r0 = kivhost::spool_record(0, 2, "{\"a\":1}"),
                      r1 = kivhost::spool_record(1, 100, std::string(300, 'b')),
                      r2 = kivhost::spool_record(2, 5, "{}");
    const std::string cur = "qxkiv spool cursor 1\n1 " + std::to_string(r0.size()) + "\n";
    seed("spool", "whole.bin", cat({led(str("")), str(r0 + r1 + r2)}));
    seed("spool", "cursor.bin", cat({led(str(cur)), str(r0 + r1 + "@SEG@" + r2)}));
    seed("spool", "torn.bin", cat({led(str("")), str(r0 + r1.substr(0, 100))}));
    seed("spool", "damaged.bin", cat({led(str(cur)), str(r0 + "junkQXS1" + r1 + r2)}));
    return 0;
}
