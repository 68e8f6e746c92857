// The log collector's reader on arbitrary file contents and an arbitrary state file: the
// state is loaded for one watched file, the file is read line by line, then rewritten
// (appended to, truncated, or rotated away) and read again. Every line handed on fits the
// line buffer without its newline, and the saved position never lies past the file's end.
//
// The token "@LOG@" in the state text stands for the watched file's path, which only the
// running target knows.
//
// Input: a u8 widening the line buffer past its configured minimum, a u16 old-log limit, a
// mode byte (bits 0-1: then append, truncate to half and append, or rotate; bit 2: a state
// file exists), then three u16-led parts: the black-list word, the state text, the file's
// first contents; the rest is what the file gets afterwards.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "fuzz_input.h"
#include "fuzz_tmpdir.h"
#include "log_collector/log_collector.h"

namespace {

std::string s_root, s_log;

bool setup() {
    s_root = fuzz_private_dir("kiv_fuzz_log");
    if (s_root.empty()) return false;
    for (const char *d : {"/config", "/var", "/var/data", "/logs"})
        if (mkdir((s_root + d).c_str(), 0755) != 0) return false;
    std::ofstream(s_root + "/config/log_collector.conf") << "[global]\n";
    log_collector_set_conf_path((s_root + "/config/log_collector.conf").c_str());
    s_log = s_root + "/logs/app.log";
    return true;
}

void put(const std::string &path, const std::string &text, bool append) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0644);
    if (fd < 0) return;
    if (write(fd, text.data(), text.size()) < 0) {
    }
    close(fd);
}

uint64_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

void drain(log_collector_ctx *ctx, watch_log *log) {
    for (int turn = 0; turn < 3; turn++) {
        file_poll_check(ctx, log);
        for (int i = 0; i < 512; i++) {
            int n = file_poll_read(ctx, log);
            if (n == 0) break;
            if (n > 0) {
                if (n != ctx->line_len || n >= ctx->max_line_size || (int)strlen(ctx->line) != n ||
                    ctx->line[n - 1] == '\n')
                    __builtin_trap();
            }
            if (ctx->tail_len < 0 || ctx->tail_len > LOG_TAIL_LEN) __builtin_trap();
        }
        if (log->fp && log->offset > file_size(log->path)) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = setup();
    if (!ready) abort();
    fuzz_input in{data, size};

    auto ctx = std::make_unique<log_collector_ctx>();
    INIT_LIST_HEAD(&ctx->logsets);
    INIT_LIST_HEAD(&ctx->logs);
    INIT_LIST_HEAD(&ctx->black_list);
    INIT_LIST_HEAD(&ctx->white_list);
    ctx->max_line_size = 1024 + in.u8();  // the configured minimum and up
    ctx->max_old_log_size = in.u16() % 8192;
    uint8_t mode = in.u8();
    std::unique_ptr<char[]> line(new char[ctx->max_line_size]);  // exactly the line buffer
    ctx->line = line.get();

    auto set = std::make_unique<log_set>();
    strcpy(set->name, "app");
    auto words = std::make_unique<key_word_group>();
    strcpy(words->name, "app");
    INIT_LIST_HEAD(&words->words);
    auto word = std::make_unique<key_word>();
    std::string w = in.part();
    snprintf(word->word, sizeof word->word, "%s", w.empty() ? "\x01" : w.c_str());
    list_add(&word->list, &words->words);
    list_add(&words->list, &ctx->black_list);

    auto log = std::make_unique<watch_log>();
    snprintf(log->path, sizeof log->path, "%s", s_log.c_str());
    log->logset = set.get();
    list_add(&log->list, &ctx->logs);
    ctx->cur_log = log.get();

    std::string state = in.part();
    for (size_t at; (at = state.find("@LOG@")) != std::string::npos;) state.replace(at, 5, s_log);
    std::string state_path = log_collector_state_path();
    unlink(s_log.c_str());
    unlink((s_root + "/logs/app.log.1").c_str());
    put(s_log, in.part(), false);
    if (mode & 4)
        put(state_path, state, false);
    else
        unlink(state_path.c_str());
    load_state(ctx.get());
    drain(ctx.get(), log.get());

    int how = (mode & 3) % 3;
    std::string more = in.rest();
    if (how == 0) {
        put(s_log, more, true);
    } else if (how == 1) {
        if (truncate(s_log.c_str(), (off_t)(file_size(s_log) / 2)) == 0) put(s_log, more, true);
    } else {
        rename(s_log.c_str(), (s_root + "/logs/app.log.1").c_str());
        put(s_log, more, false);
    }
    drain(ctx.get(), log.get());
    file_poll_close(log.get());
    return 0;
}
