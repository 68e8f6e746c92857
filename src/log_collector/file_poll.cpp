// Reading one watched file: where to start, rotation (the path now names another inode) and
// truncation (the file shrank), and whole lines cut to the line buffer.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/log.h"
#include "log_collector/log_collector.h"

namespace {

// True when this failure differs from the last one of the log: a file that stays unreadable
// is logged once, not once a turn.
bool first_failure(watch_log *log, int err) {
    if (log->last_errno == err) return false;
    log->last_errno = err;
    return true;
}

// A stream only on a regular file: a FIFO would block the thread in open or read, a
// directory reads nothing but errors.
FILE *open_regular(const char *path, struct stat *st, int *err) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *err = errno;
        return nullptr;
    }
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        *err = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
        close(fd);
        return nullptr;
    }
    FILE *fp = fdopen(fd, "r");
    if (!fp) {
        *err = errno;
        close(fd);
    }
    return fp;
}

// A restart that finds the path on a new inode looks for the file it was reading beside it
// (rotation renames within the directory) and finishes that first.
void resume_rotated(log_collector_ctx *ctx, watch_log *log) {
    std::string dir = log->path;
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos) return;
    dir.resize(slash ? slash : 1);
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    int seen = 0;
    std::string found;
    // Bounded: a crowded directory is not searched to its end.
    while (struct dirent *ent = readdir(d)) {
        if (++seen > 4096) break;
        if (ent->d_ino != log->state_ino) continue;
        std::string p = (slash ? dir + "/" : dir) + ent->d_name;
        if (p == log->path) continue;
        found = p;
        break;
    }
    closedir(d);
    if (found.empty()) return;
    struct stat st;
    int err = 0;
    FILE *fp = open_regular(found.c_str(), &st, &err);
    if (!fp) return;
    if (st.st_ino != log->state_ino || (uint64_t)st.st_size < log->state_offset ||
        fseeko(fp, (off_t)log->state_offset, SEEK_SET) != 0) {
        fclose(fp);
        return;
    }
    KIV_LOG(2, "log %s resumes its rotated file %s at %lu\n", log->path, found.c_str(),
            (unsigned long)log->state_offset);
    log->old_fp = fp;
    log->old_drained = 0;
    log->old_ino = log->state_ino;
    log->old_offset = log->state_offset;
    (void)ctx;
}

bool tail_changed(const watch_log *log) {
    if (!log->fp || log->tail_len == 0 || log->tail_pos < (uint64_t)log->tail_len) return false;
    char now[LOG_TAIL_LEN];
    ssize_t n = pread(fileno(log->fp), now, log->tail_len, (off_t)(log->tail_pos - log->tail_len));
    return n == log->tail_len && memcmp(now, log->tail, log->tail_len) != 0;
}

// A copy-and-truncate rotation leaves what we had not read yet in the copy beside the file:
// the newest regular file there that holds our last bytes at our position. Read from it
// first, as from a renamed file.
void adopt_copy(watch_log *log) {
    std::string dir = log->path;
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos || log->tail_len == 0) return;
    dir.resize(slash ? slash : 1);
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    std::string best;
    struct timespec best_time {};
    int seen = 0;
    while (struct dirent *ent = readdir(d)) {
        if (++seen > 4096) break;
        if (ent->d_name[0] == '.') continue;
        std::string p = (slash ? dir + "/" : dir) + ent->d_name;
        struct stat st;
        if (p == log->path || stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            (uint64_t)st.st_size <= log->tail_pos)
            continue;
        if (st.st_mtim.tv_sec < best_time.tv_sec ||
            (st.st_mtim.tv_sec == best_time.tv_sec && st.st_mtim.tv_nsec <= best_time.tv_nsec))
            continue;
        int fd = open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) continue;
        char now[LOG_TAIL_LEN];
        ssize_t n = pread(fd, now, log->tail_len, (off_t)(log->tail_pos - log->tail_len));
        close(fd);
        if (n != log->tail_len || memcmp(now, log->tail, log->tail_len) != 0) continue;
        best = p;
        best_time = st.st_mtim;
    }
    closedir(d);
    if (best.empty()) return;
    struct stat st;
    int err = 0;
    FILE *fp = open_regular(best.c_str(), &st, &err);
    if (!fp) return;
    if (fseeko(fp, (off_t)log->tail_pos, SEEK_SET) != 0) {
        fclose(fp);
        return;
    }
    KIV_LOG(2, "log %s continues in its copy %s at %lu\n", log->path, best.c_str(),
            (unsigned long)log->tail_pos);
    if (log->old_fp) {
        KIV_LOG(1, "%s rotate again before old stream closed\n", log->path);
        fclose(log->old_fp);
    }
    log->old_fp = fp;
    log->old_drained = 0;
    log->old_ino = st.st_ino;
    log->old_offset = log->tail_pos;
}

}  // namespace

int file_poll_check(log_collector_ctx *ctx, watch_log *log) {
    struct stat st;
    if (stat(log->path, &st) != 0) {
        if (errno == ENOENT) return 0;
        if (first_failure(log, errno))
            KIV_LOG(0, "stat %s failed: %s\n", log->path, strerror(errno));
        return -1;
    }
    // Something other than a file under the path is handled like a missing file: the stream
    // already open (if any) is still read, and the path is looked at again next turn.
    if (!S_ISREG(st.st_mode)) {
        if (first_failure(log, S_ISDIR(st.st_mode) ? EISDIR : EINVAL))
            KIV_LOG(1, "log %s is not a regular file\n", log->path);
        return 0;
    }
    if (log->stat_valid && st.st_ino != log->ino) {
        KIV_LOG(2, "log %s renamed\n", log->path);
        if (log->old_fp) {
            KIV_LOG(1, "%s rotate again before old stream closed\n", log->path);
            fclose(log->old_fp);
            log->old_fp = nullptr;
        }
        if (!log->fp) KIV_LOG(1, "%s rotate again before new stream opened\n", log->path);
        log->old_fp = log->fp;
        log->old_ino = log->ino;
        log->old_offset = log->offset;
        log->fp = nullptr;
        log->offset = 0;
        log->old_drained = 0;
    } else if (log->stat_valid) {
        // Our own read position also counts: the file may have been truncated and regrown
        // past the size seen last turn.
        off_t pos = log->fp ? ftello(log->fp) : 0;
        if ((uint64_t)st.st_size < log->size || (pos > 0 && st.st_size < pos) ||
            tail_changed(log)) {
            KIV_LOG(2, "log %s trucnated\n", log->path);
            adopt_copy(log);
            if (log->fp && fseeko(log->fp, 0, SEEK_SET) != 0)
                KIV_LOG(0, "fseek %s to 0 failed: %s\n", log->path, strerror(errno));
            log->offset = 0;
            log->tail_len = 0;
        }
    }
    log->stat_valid = 1;
    log->ino = st.st_ino;
    log->size = st.st_size;
    return file_poll_open(ctx, log);
}

int file_poll_open(log_collector_ctx *ctx, watch_log *log) {
    if (log->fp) {
        // Clears end-of-file so that what was appended since is read.
        if (fseeko(log->fp, 0, SEEK_CUR) != 0)
            KIV_LOG(1, "stream log %s seek to %lu failed: %s\n", log->path,
                    (unsigned long)log->offset, strerror(errno));
        return 0;
    }
    struct stat st;
    int err = 0;
    FILE *fp = open_regular(log->path, &st, &err);
    if (!fp) {
        if (first_failure(log, err))
            KIV_LOG(0, "open log %s failed: %s\n", log->path, strerror(err));
        return -1;
    }
    log->last_errno = 0;
    log->fp = fp;
    KIV_LOG(3, "log %s opened\n", log->path);
    log->offset = 0;
    log->tail_len = 0;
    // What was opened is what the next examination compares against, even if the path
    // changed between the stat and the open.
    log->stat_valid = 1;
    log->ino = st.st_ino;
    log->size = st.st_size;
    if (log->opened) return 0;
    log->opened = 1;

    uint64_t size = st.st_size;
    uint64_t skip = 0;
    if (ctx->max_old_log_size > 0 && size > (uint64_t)ctx->max_old_log_size)
        skip = size - ctx->max_old_log_size;
    uint64_t saved = 0;
    if (log->state_offset != 0 && log->state_ino == st.st_ino) {
        if (log->state_offset > size)
            KIV_LOG(0, "preivous state is after file size, ignore state\n");
        else
            saved = log->state_offset;
    } else if (log->state_offset != 0 && !log->old_fp) {
        resume_rotated(ctx, log);
    }
    uint64_t start;
    if (skip == 0 || skip <= saved) {
        if (saved == 0) return 0;
        start = saved;
        KIV_LOG(2, "log %s read from old position %lu\n", log->path, (unsigned long)start);
    } else {
        start = skip;
        KIV_LOG(2, "log %s skip huge log file\n", log->path);
    }
    // From the byte before the skip position, so that a line beginning right at it is kept.
    uint64_t seek_to = start == skip ? start - 1 : start;
    if (fseeko(fp, (off_t)seek_to, SEEK_SET) != 0) {
        KIV_LOG(0, "log %s seek to %lu failed: %s\n", log->path, (unsigned long)seek_to,
                strerror(errno));
        return -1;
    }
    log->offset = start;
    if (start == skip) {
        if (fgets(ctx->line, ctx->max_line_size, fp)) {
            off_t p = ftello(fp);
            if (p > 0) log->offset = (uint64_t)p;
        }
        clearerr(fp);
    }
    return 0;
}

int file_poll_read(log_collector_ctx *ctx, watch_log *log) {
    ctx->old_line_end = 0;
    // The rotated file first. It is polled again until its successor yields a line, so that
    // what the writer adds to it after the rename still arrives, and in order.
    if (log->old_fp) {
        clearerr(log->old_fp);
        int r = read_line(ctx, log->old_fp, 0);
        if (r != 0) {
            off_t p = ftello(log->old_fp);
            ctx->old_line_end = p > 0 ? (uint64_t)p : 0;
            if (r < 0 && ctx->old_line_end) log->old_offset = ctx->old_line_end;
            return r;
        }
        log->old_drained = 1;
    }
    if (!log->fp) return 0;
    int r = read_line(ctx, log->fp, 1);
    if (r == 0) return 0;
    if (log->old_fp) {
        fclose(log->old_fp);
        log->old_fp = nullptr;
        log->old_ino = log->old_offset = 0;
        KIV_LOG(3, "log %s old log closed\n", log->path);
    }
    // A skipped line moves the saved position too; nothing of it is pending.
    if (r < 0 && ctx->line_end_offset) log->offset = ctx->line_end_offset;
    if (ctx->line_end_offset && ctx->tail_len) {
        log->tail_pos = ctx->line_end_offset;
        log->tail_len = ctx->tail_len;
        memcpy(log->tail, ctx->tail, ctx->tail_len);
    }
    return r;
}

int read_line(log_collector_ctx *ctx, FILE *stream, int track) {
    ctx->line_end_offset = 0;
    ctx->tail_len = 0;
    off_t before = track ? ftello(stream) : -1;
    if (!fgets(ctx->line, ctx->max_line_size, stream)) return 0;
    int len = (int)strlen(ctx->line);
    bool skip = false;
    if (len == 0) {
        // Binary data: skipped like a suppressed line, so the rest of the file still moves.
        KIV_LOG(0, "wow read a empty line\n");
        skip = true;
    }
    const watch_log *cur = ctx->cur_log;
    if (!skip && cur && cur->logset) {
        list_head *g;
        for (g = ctx->black_list.next; g != &ctx->black_list; g = g->next) {
            key_word_group *grp = list_entry(g, key_word_group, list);
            if (strcmp(grp->name, cur->logset->name) != 0) continue;
            for (list_head *w = grp->words.next; w != &grp->words; w = w->next) {
                key_word *kw = list_entry(w, key_word, list);
                if (!strstr(ctx->line, kw->word)) continue;
                KIV_LOG(3, "black_word is %s, log type is %s, log is %s\n", kw->word, grp->name,
                        ctx->line);
                skip = true;
            }
        }
    }
    int raw_len = len;
    int tail_len = raw_len < LOG_TAIL_LEN ? raw_len : LOG_TAIL_LEN;
    memcpy(ctx->tail, ctx->line + raw_len - tail_len, tail_len);
    if (len > 0 && ctx->line[len - 1] == '\n') {
        ctx->line[--len] = '\0';
    } else if (len > 0) {
        KIV_LOG(0, "no newline at tail (too long or partial read)\n");
    }
    if (track) {
        off_t p = ftello(stream);
        if (p < 0) {
            KIV_LOG(0, "ftello failed: %s\n", strerror(errno));
        } else {
            ctx->line_end_offset = (uint64_t)p;
            // Only bytes known to be the file's: a NUL inside the line hides some of them.
            if (before >= 0 && p - before == raw_len) ctx->tail_len = tail_len;
        }
    }
    // An empty line carries nothing to report; it must not end the file's turn either.
    if (skip || len == 0) {
        ctx->line_len = 0;
        return -1;
    }
    ctx->line_len = len;
    return len;
}

void file_poll_close(watch_log *log) {
    if (log->fp) fclose(log->fp);
    if (log->old_fp) fclose(log->old_fp);
    log->fp = nullptr;
    log->old_fp = nullptr;
}
