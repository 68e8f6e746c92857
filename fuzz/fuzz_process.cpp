// The kernel's fork, exec and exit records on arbitrary bytes (a whole record: 16-byte head,
// then the body), decoded as the process module decodes them and carried on into the
// upload-ready description and the fork tree's shared record. No read outside the record,
// every decoded string inside the decoded copy, every text field terminated in its array.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "base/mem.h"
#include "task/process.h"

namespace {

template <size_t N>
void terminated(const char (&field)[N]) {
    if (!memchr(field, 0, N)) __builtin_trap();
}

void check_flex(const flex_task_info *flex, size_t room) {
    for (int t = 0; t < FLEX_TYPE_MAX; t++) {
        flex_str s{};
        if (get_flex_task_info_str(flex, &s, t) != 0 || s.len == 0) continue;
        const char *end = reinterpret_cast<const char *>(flex) + room;
        if (s.ptr < flex->data || s.ptr + s.len > end) __builtin_trap();
    }
}

void describe(const raw_process_info *raw, size_t room) {
    check_flex(&raw->flex, room);
    process_info_st info{};
    info.raw = raw;
    info.flags = PROC_INFO_COMPLETE | PROC_INFO_EXEC;
    auto rec = std::make_unique<process_st>();
    process_st_init(rec.get());
    if (process_info_st2process_st(&info, rec.get()) != 0) __builtin_trap();
    terminated(rec->current_dir), terminated(rec->path), terminated(rec->cmd_line);
    terminated(rec->user_name), terminated(rec->md5), terminated(rec->sha256);

    common_proc_info common{};
    if (init_common_proc_info(&info, &common) != 0) return;
    // A longer command line than the one decoded makes the shared record grow.
    static const char kLong[2048] = {'x'};
    set_common_info_flex_info(&common, FLEX_CMD_LINE, kLong, sizeof kLong);
    fork_info_st fork{};
    fork.pid = raw->pid, fork.ppid = raw->ppid, fork.create_time = raw->create_time;
    fork.exec_info = &common;
    if (fork_info_st2process_st(&fork, rec.get()) != 0) __builtin_trap();
    terminated(rec->cmd_line), terminated(rec->app_type), terminated(rec->path);
    kiv_free(common.flex);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 16 || size > 6144) return 0;  // a record length is at most 6144
    // Exactly the body's bytes, so a read past it is caught.
    std::vector<unsigned char> body(data + 16, data + size);
    uint16_t type;
    memcpy(&type, data + 6, 2);
    if (type % 3 == 2) {
        raw_exit_info e;
        raw_exit_info_decode(body.data(), body.size(), &e);
        return 0;
    }
    auto out = std::make_unique<raw_process_buf>();
    int need = raw_process_info_check(body.data(), body.size());
    if (raw_process_info_decode(body.data(), body.size(), &out->info, sizeof *out) != 0) {
        if (need >= 0 && (size_t)need <= sizeof *out) __builtin_trap();
        return 0;
    }
    if (need < (int)RAW_PROCESS_MIN_SIZE || (size_t)need > body.size()) __builtin_trap();
    // One byte short of room is refused, not overrun.
    std::vector<unsigned char> tight(
        need - 1 > (int)sizeof(raw_process_info) ? need - 1 : sizeof(raw_process_info));
    if ((size_t)need - 1 >= sizeof(raw_process_info) &&
        raw_process_info_decode(body.data(), body.size(),
                                reinterpret_cast<raw_process_info *>(tight.data()),
                                (size_t)need - 1) == 0)
        __builtin_trap();
    describe(&out->info, (size_t)need - RAW_PROCESS_FIXED_SIZE);
    return 0;
}
