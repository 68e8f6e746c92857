#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/mem.h"
#include "base/sensor_config.h"
#include "proc_bytes.h"
#include "task/process.h"

namespace {

const uint32_t kMax[8] = {1023, 1023, 1023, 1023, 1023, 128, 32, 32};

std::string flex_get(const flex_task_info *b, int t) {
    flex_str s{};
    get_flex_task_info_str(b, &s, t);
    return std::string(s.ptr, s.len);
}

// Decodes from an odd offset so no load may rely on alignment.
int decode(const std::vector<unsigned char> &bytes, size_t len, raw_process_buf *out) {
    std::vector<unsigned char> shifted(len + 1);
    memcpy(shifted.data() + 1, bytes.data(), len);
    return raw_process_info_decode(shifted.data() + 1, len, &out->info, sizeof *out);
}

TEST(ProcessRecord, FixedFieldsAndEveryFlexLengthAtMaxAndZero) {
    proc_fields f;
    f.uid[2] = 0xdeadbeef, f.gid[3] = 7, f.owner_id = 42, f.mode = 04755, f.event_id = 0xbeef;
    for (int t = 0; t < 8; t++) f.s[t] = std::string(kMax[t], (char)('a' + t));
    auto bytes = build_proc(f);
    bytes[67] |= 0xf0;  // unused bits 28-31 of the mode word
    ASSERT_EQ(bytes.size(), 68 + 9 + 5 * 1023 + 128 + 32 + 32u);
    static raw_process_buf buf;
    ASSERT_EQ(decode(bytes, bytes.size(), &buf), 0);
    const raw_process_info *r = &buf.info;
    EXPECT_EQ(r->create_time, f.create_time);
    EXPECT_EQ(r->parent_create_time, 0x99u);
    EXPECT_EQ(r->pid, 100u);
    EXPECT_EQ(r->uid[2], 0xdeadbeefu);
    EXPECT_EQ(r->gid[3], 7u);
    EXPECT_EQ(r->owner_id, 42u);
    EXPECT_EQ(raw_process_mode(r), 04755u);
    EXPECT_EQ(raw_process_task_event_id(r), 0xbeef);
    for (int t = 0; t < 8; t++) EXPECT_EQ(flex_get(&r->flex, t), f.s[t]) << t;
    EXPECT_EQ(get_flex_task_info_cur_size(&r->flex), get_flex_task_info_max_size());
    EXPECT_EQ(get_flex_task_info_max_size(), 5319);

    // Each length alone at its maximum with all others zero: no field bleeds into another.
    for (int t = 0; t < 8; t++) {
        proc_fields g;
        g.s[t] = std::string(kMax[t], 'x');
        auto one = build_proc(g);
        ASSERT_EQ(decode(one, one.size(), &buf), 0) << t;
        for (int u = 0; u < 8; u++)
            EXPECT_EQ(get_flex_task_info_str_size(&buf.info.flex, u), u == t ? (int)kMax[t] : 0);
    }
}

TEST(ProcessRecord, MalformedRecordsAreRejected) {
    static raw_process_buf buf;
    proc_fields f;
    f.s[0] = "cmd", f.s[4] = "/dev/pts/1";
    auto ok = build_proc(f);
    EXPECT_EQ(decode(ok, ok.size(), &buf), 0);
    EXPECT_EQ(raw_process_info_check(ok.data(), ok.size() + 100), (int)ok.size());
    EXPECT_EQ(decode(ok, ok.size() - 1, &buf), -1);  // last string cut short
    EXPECT_EQ(decode(ok, 76, &buf), -1);             // header cut short
    // A record larger than the output room is not copied.
    EXPECT_EQ(raw_process_info_decode(ok.data(), ok.size(), &buf.info, ok.size() - 1), -1);
    // Lengths above the maxima of the short types, which their fields can still hold.
    for (int t : {5, 6, 7}) {
        proc_fields g;
        g.s[t] = std::string(kMax[t] + 1, 'y');
        auto bad = build_proc(g);
        EXPECT_EQ(decode(bad, bad.size(), &buf), -1) << t;
    }
}

// The trailers behind the strings, assembled by hand: the executed file's identity (magic,
// ctime_nsec, dev, ino, ctime_sec) and the container's, behind it or alone. Anything short of
// a whole trailer, or not it, is none; the id reaches the common record and the description
// only while container_id is on.
TEST(ProcessRecord, ExecutedFileAndContainerTrailers) {
    proc_fields f;
    f.s[0] = "cmd", f.s[2] = "/usr/bin/x";
    const size_t body = build_proc(f).size();
    const std::string id = "0123456789abcdef" + std::string(47, 'e') + "f";
    auto with = [&](bool exe, const std::string &text, uint32_t nsec = 999999999) {
        proc_bytes w;
        w.b = build_proc(f);
        if (exe) w.u32(0x64697865), w.u32(nsec), w.u64(0x10305), w.u64(0xfedcba9876543210ull);
        if (exe) w.u64(static_cast<uint64_t>(-5));
        w.u32(0x64697463);
        w.b.insert(w.b.end(), text.begin(), text.end());
        return w.b;
    };
    char out[CONTAINER_ID_TEXT];
    exe_ident ident{};
    for (bool exe : {false, true}) {  // the identity read last
        auto rec = with(exe, id);
        ASSERT_TRUE(raw_process_container_id(rec.data(), rec.size(), out)) << exe;
        EXPECT_EQ(std::string(out), id);
        EXPECT_FALSE(raw_process_container_id(rec.data(), rec.size() - 1, out));  // cut
        EXPECT_EQ(raw_process_exe_ident(rec.data(), rec.size(), &ident), exe);    // by its magic
    }
    EXPECT_EQ(ident.dev, 0x10305u);
    EXPECT_EQ(ident.ino, 0xfedcba9876543210ull);
    EXPECT_EQ(ident.ctime_sec, -5);
    EXPECT_EQ(ident.ctime_nsec, 999999999u);
    auto over = with(true, id, 1000000000);
    EXPECT_FALSE(raw_process_exe_ident(over.data(), over.size(), &ident));  // 10^9 ns
    auto cut = with(true, "");
    EXPECT_FALSE(raw_process_exe_ident(cut.data(), body + RAW_EXE_IDENT_SIZE - 1, &ident));
    cut[68 + 8] = 200;  // app_type above its 128: no end of the strings, so no trailer
    EXPECT_FALSE(raw_process_exe_ident(cut.data(), cut.size(), &ident));
    // Upper-case hex is no container id (other bytes out of range: the same test).
    auto upper = with(true, "0123456789ABCDEF" + id.substr(16));
    EXPECT_FALSE(raw_process_container_id(upper.data(), upper.size(), out));
    auto plain = build_proc(f);
    EXPECT_FALSE(raw_process_container_id(plain.data(), plain.size(), out));

    auto rec = with(true, id);
    static raw_process_buf buf;
    ASSERT_EQ(decode(rec, rec.size(), &buf), 0);
    process_info_st info{};
    static process_st ps;
    for (int on : {0, 1}) {
        g_framework_config.container_id = on;
        ASSERT_EQ(process_info_init(&info, &buf.info, 0, 0), 0);
        process_info_container(&info, rec.data(), rec.size());
        common_proc_info c{};
        ASSERT_EQ(init_common_proc_info(&info, &c), 0);
        fork_info_st fi{};
        fi.exec_info = &c;
        ASSERT_EQ(fork_info_st2process_st(&fi, &ps), 0);
        EXPECT_EQ(std::string(ps.container_id), on ? id : "");
        free_common_proc_info(&c);
    }
    g_framework_config.container_id = 0;
}

TEST(ProcessRecord, ExitInfoBytes) {
    proc_bytes w;
    w.u64(0x0102030405060708ull), w.u32(4242), w.u16(0xfffe), w.u8(0x8b);
    raw_exit_info e{};
    ASSERT_EQ(raw_exit_info_decode(w.b.data(), w.b.size(), &e), 0);
    EXPECT_EQ(e.create_time, 0x0102030405060708ull);
    EXPECT_EQ(e.pid, 4242u);
    EXPECT_EQ(e.task_event_id, 0xfffe);
    EXPECT_EQ(e.exit_code, 0x8b);
    EXPECT_EQ(raw_exit_info_decode(w.b.data(), 14, &e), -1);
}

TEST(ProcessRecord, FlexStore) {
    alignas(8) unsigned char mem[9 + 3000] = {};
    auto *b = reinterpret_cast<flex_task_info *>(mem);
    ASSERT_EQ(flex_task_info_init(b), 0);
    const char *s[8] = {"cmd", "/cwd", "/bin/p", "fd0", "fd1", "app", "usr", "grp"};
    for (int t = 0; t < 8; t++) {
        flex_str in{s[t], (uint32_t)strlen(s[t])};
        ASSERT_EQ(set_flex_task_info_str(b, 3000, &in, t), 0);
    }
    flex_str longer{"/usr/local/bin/longer", 21};
    ASSERT_EQ(set_flex_task_info_str(b, 3000, &longer, FLEX_PATH), 0);
    flex_str empty{"", 0};
    EXPECT_EQ(set_flex_task_info_str(b, 3000, &empty, FLEX_CMD_LINE), -2);
    std::string huge(2000, 'h');
    flex_str big{huge.data(), 2000};
    ASSERT_EQ(set_flex_task_info_str(b, 3000, &big, FLEX_CUR_PATH), 0);
    EXPECT_EQ(flex_get(b, FLEX_CUR_PATH), huge.substr(0, 1023));
    for (int t : {0, 3, 4, 5, 6, 7}) EXPECT_EQ(flex_get(b, t), s[t]) << t;
    EXPECT_EQ(flex_get(b, FLEX_PATH), "/usr/local/bin/longer");
    // Capacity counts every string: room is short by one byte.
    int used = get_flex_task_info_cur_size(b) - 12;
    flex_str plus{"XXXXX", 5};  // replaces "cmd": grows by 2
    EXPECT_EQ(set_flex_task_info_str(b, used + 1, &plus, FLEX_CMD_LINE), -4);
    EXPECT_EQ(set_flex_task_info_str(b, used + 2, &plus, FLEX_CMD_LINE), 0);
    EXPECT_EQ(get_flex_task_info_cur_size(nullptr), 0);
}

TEST(ProcessRecord, PermissionText) {
    struct {
        uint32_t mode;
        const char *text;
    } perms[] = {
        {04755, "rwsr-xr-x"}, {01777, "rwxrwxrwt"}, {07000, "--S--S--T"}, {0, "---------"}};
    for (auto &p : perms) {
        char out[12];
        ASSERT_EQ(get_file_permissions_and_owner(p.mode, out, 10), 0);
        EXPECT_STREQ(out, p.text);
    }
    char small[9];
    EXPECT_EQ(get_file_permissions_and_owner(0, small, 9), -1);
}

// The shared record's failure path: no memory, or no process (its conversions are checked
// in the documents: TaskRecord, TaskE2E).
TEST(ProcessRecord, CommonRecordFailsWithoutMemory) {
    proc_fields f;
    f.s[2] = "/bin/sh";
    auto bytes = build_proc(f);
    static raw_process_buf buf;
    ASSERT_EQ(decode(bytes, bytes.size(), &buf), 0);
    process_info_st info{};
    info.raw = &buf.info;
    common_proc_info c{};
    s_enable_malloc = 0;
    EXPECT_EQ(init_common_proc_info(&info, &c), -3);
    s_enable_malloc = 1;
    EXPECT_EQ(init_common_proc_info(nullptr, &c), -2);
}

}  // namespace
