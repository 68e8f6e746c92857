// Reading one watched file: where to start, rotation (the path now names another inode) and
// truncation (the file is shorter than seen or read), and whole lines cut to the line buffer.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/mem.h"
#include "comm/digest_internal.h"
#include "log_collector/log_collector.h"
#include "qxkiv/digest.h"

namespace {

// True when this failure differs from the last one of the log: a file that stays unreadable
// is logged once, not once a turn.
bool first_failure(watch_log *log, int err) {
    if (log->last_errno == err) return false;
    log->last_errno = err;
    return true;
}

// log_collector_safe_open: links at the path, pseudo files and files of another owner are
// refused. Set from the configuration before the collector reads.
bool s_safe_open;

bool owner_changed(const watch_log *log, uint32_t uid) {
    return s_safe_open && log->owner_known && uid != log->owner_uid;
}

bool pseudo_fs(long type) {
    switch (type) {
        case PROC_SUPER_MAGIC:
        case SYSFS_MAGIC:
        case DEBUGFS_MAGIC:
        case TRACEFS_MAGIC:
        case SECURITYFS_MAGIC:
        case CGROUP2_SUPER_MAGIC:
        case BPF_FS_MAGIC:
            return true;
        default:
            return false;
    }
}

// 0 when the file behind fd may be read for the log, else why not. A FIFO or a device would
// block the thread or hand it what is not a log; a pseudo file (on /proc and kin, or a size of
// 0 with contents) is generated anew at every read and holds what the sensor may read, not
// what anybody logged; a file of another owner than the first is not the log either.
int vet(const watch_log *log, int fd, struct stat *st) {
    if (fstat(fd, st) != 0) return errno;
    if (S_ISDIR(st->st_mode)) return EISDIR;
    if (!S_ISREG(st->st_mode)) return EINVAL;
    if (owner_changed(log, st->st_uid)) return EPERM;
    if (!s_safe_open) return 0;
    struct statfs fs;
    if (fstatfs(fd, &fs) == 0 && pseudo_fs((long)fs.f_type)) return ENODATA;
    char c;
    // A real file that grew meanwhile shows its new size on the second look.
    if (st->st_size == 0 && pread(fd, &c, 1, 0) == 1 && fstat(fd, st) == 0 && st->st_size == 0)
        return ENODATA;
    return 0;
}

int open_nofollow(const char *path) {
    return open(path,
                O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (s_safe_open ? O_NOFOLLOW : 0));
}

// A stream on what stands under path, only if the log may read it; the last component is
// never followed (ELOOP for a link).
FILE *open_log_file(const watch_log *log, const char *path, struct stat *st, int *err) {
    *st = {};
    int fd = open_nofollow(path);
    if (fd < 0) {
        *err = errno;
        return nullptr;
    }
    *err = vet(log, fd, st);
    FILE *fp = *err ? nullptr : fdopen(fd, "r");
    if (!fp) {
        if (!*err) *err = errno;
        close(fd);
    }
    return fp;
}

bool refusal(int err) {
    return err == ELOOP || err == EISDIR || err == EINVAL || err == EPERM || err == ENODATA;
}

// What stands under the path is not read; each kind is said and counted once until a file
// is opened again.
void refuse(watch_log *log, int err, uint32_t uid) {
    int bit = err == ELOOP ? 1 : err == EPERM ? 2 : err == ENODATA ? 4 : 8;
    if (log->refused & bit) return;
    log->refused |= bit;
    kiv_stat_inc(LOG_COLLECTOR_REFUSED);
    if (err == ELOOP)
        KIV_LOG(1, "log %s is a symbolic link, not followed\n", log->path);
    else if (err == EPERM)
        KIV_LOG(1, "log %s now belongs to uid %u, not uid %u as first seen: not read\n", log->path,
                uid, log->owner_uid);
    else if (err == ENODATA)
        KIV_LOG(1, "log %s is a pseudo file, not collected\n", log->path);
    else
        KIV_LOG(1, "log %s is not a regular file\n", log->path);
}

// Calls fn(path, inode) for the entries beside `path` until it returns true. Bounded: a
// crowded directory is not searched to its end.
template <class Fn>
bool each_sibling(const char *path, Fn fn) {
    std::string dir = path;
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos) return false;
    dir.resize(slash ? slash : 1);
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    int seen = 0;
    while (struct dirent *ent = readdir(d)) {
        if (++seen > 4096) break;
        if (!strcmp(ent->d_name, ".") || !strcmp(ent->d_name, "..")) continue;
        std::string p = (slash ? dir + "/" : dir) + ent->d_name;
        if (p == path) continue;
        if (fn(p, (uint64_t)ent->d_ino)) break;
    }
    closedir(d);
    return true;
}

void fingerprint(const char *bytes, int len, char out[LOG_FINGERPRINT_LEN]) {
    nql_md5_ctx md5;
    nql_md5_init(&md5);
    nql_md5_update(&md5, bytes, (uint32_t)len);
    uint8_t digest[16];
    nql_md5_final(&md5, digest);
    digest_hex(digest, sizeof digest, out);
}

bool file_fingerprint(int fd, int len, char out[LOG_FINGERPRINT_LEN]) {
    char buf[LOG_HEAD_LEN];
    if (len <= 0 || len > LOG_HEAD_LEN || pread(fd, buf, len, 0) != len) return false;
    fingerprint(buf, len, out);
    return true;
}

bool holds(int fd, uint64_t at, const char *bytes, int len) {
    char now[LOG_HEAD_LEN];
    return len <= LOG_HEAD_LEN && pread(fd, now, len, (off_t)at) == len &&
           memcmp(now, bytes, len) == 0;
}

// Remembers what lies beside the file now, as the contents it is read for begin.
void snap_dir(watch_log *log) {
    kiv_free(log->dir_inos);
    log->dir_inos = nullptr;
    log->dir_ino_cnt = 0;
    std::vector<uint64_t> inos;
    // Listed after this instant, so anything born later is not among them. File systems
    // may stamp with a coarser clock; a reused inode within that tick is the only miss.
    clock_gettime(CLOCK_REALTIME, &log->dir_time);
    log->dir_known = each_sibling(log->path, [&](const std::string &, uint64_t ino) {
        inos.push_back(ino);
        return false;
    });
    if (!log->dir_known || inos.empty()) return;
    log->dir_inos =
        static_cast<uint64_t *>(kiv_malloc(inos.size() * sizeof(uint64_t), MALLOC_FOR_TMP));
    if (!log->dir_inos) {
        // Unknown neighbours: no copy is trusted.
        log->dir_known = 0;
        return;
    }
    std::sort(inos.begin(), inos.end());
    memcpy(log->dir_inos, inos.data(), inos.size() * sizeof(uint64_t));
    log->dir_ino_cnt = (int)inos.size();
}

bool was_beside(const watch_log *log, uint64_t ino) {
    return std::binary_search(log->dir_inos, log->dir_inos + log->dir_ino_cnt, ino);
}

bool after(const statx_timestamp &t, const struct timespec &ref) {
    return t.tv_sec > ref.tv_sec || (t.tv_sec == ref.tv_sec && t.tv_nsec > ref.tv_nsec);
}

// Inode numbers are reused: a file born after the listing is new whatever its number. Where
// the file system keeps no birth time, the last status change stands in for it.
bool appeared_since(const watch_log *log, const struct statx &stx) {
    if (!was_beside(log, stx.stx_ino)) return true;
    return after(stx.stx_mask & STATX_BTIME ? stx.stx_btime : stx.stx_ctime, log->dir_time);
}

// Keeps the first bytes of the file up to `upto` (what has been read or skipped).
void note_head(watch_log *log, int fd, uint64_t upto) {
    int want = upto < (uint64_t)LOG_HEAD_LEN ? (int)upto : LOG_HEAD_LEN;
    if (log->head_len >= want) return;
    ssize_t n = pread(fd, log->head + log->head_len, want - log->head_len, log->head_len);
    if (n > 0) log->head_len += (int)n;
}

// The saved position belongs to the file behind fd only if it still begins as it did.
bool state_matches(const watch_log *log, int fd) {
    if (log->state_fp_len == 0) return true;  // no fingerprint saved: the inode alone decides
    char now[LOG_FINGERPRINT_LEN];
    return file_fingerprint(fd, log->state_fp_len, now) && strcmp(now, log->state_fp) == 0;
}

// The file we were reading may now stand under another name beside the path (rotation
// renames within the directory): finish it first, from `pos`, if `same` confirms it.
template <class Same>
void resume_rotated(watch_log *log, uint64_t ino, uint64_t pos, Same same) {
    std::string found;
    each_sibling(log->path, [&](const std::string &p, uint64_t i) {
        if (i != ino) return false;
        found = p;
        return true;
    });
    if (found.empty()) return;
    struct stat st;
    int err = 0;
    FILE *fp = open_log_file(log, found.c_str(), &st, &err);
    if (!fp) return;
    if (st.st_ino != ino || (uint64_t)st.st_size < pos || !same(fileno(fp)) ||
        fseeko(fp, (off_t)pos, SEEK_SET) != 0) {
        KIV_LOG(1, "log %s: %s is not the file it was reading\n", log->path, found.c_str());
        fclose(fp);
        return;
    }
    KIV_LOG(2, "log %s resumes its rotated file %s at %lu\n", log->path, found.c_str(),
            (unsigned long)pos);
    log->old_fp = fp;
    log->old_drained = 0;
    log->old_ino = ino;
    log->old_offset = pos;
}

// A copy-and-truncate rotation leaves what we had not read yet in a copy beside the file.
// Only a file that appeared since the contents began (never an older rotated file), begins
// with the bytes we read and holds our last bytes at our position is that copy; the newest
// such file is read from first, as a renamed file would be.
void adopt_copy(watch_log *log, uint64_t pos) {
    if (!log->dir_known || log->head_len == 0 || pos == 0) return;
    bool tail = log->tail_len > 0 && log->tail_pos == pos;
    std::string best;
    uint64_t best_ino = 0;
    struct timespec best_time {};
    each_sibling(log->path, [&](const std::string &p, uint64_t) {
        struct statx stx;
        if (statx(AT_FDCWD, p.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                  &stx) != 0 ||
            !S_ISREG(stx.stx_mode) || owner_changed(log, stx.stx_uid) ||
            !appeared_since(log, stx) || stx.stx_size <= pos)
            return false;
        if (stx.stx_mtime.tv_sec < best_time.tv_sec || (stx.stx_mtime.tv_sec == best_time.tv_sec &&
                                                        stx.stx_mtime.tv_nsec <= best_time.tv_nsec))
            return false;
        int fd = open_nofollow(p.c_str());
        if (fd < 0) return false;
        if (holds(fd, 0, log->head, log->head_len) &&
            (!tail || holds(fd, pos - log->tail_len, log->tail, log->tail_len))) {
            best = p;
            best_ino = stx.stx_ino;
            best_time = {stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec};
        }
        close(fd);
        return false;
    });
    if (best.empty()) return;
    struct stat st;
    int err = 0;
    FILE *fp = open_log_file(log, best.c_str(), &st, &err);
    if (!fp) return;
    if (st.st_ino != best_ino || fseeko(fp, (off_t)pos, SEEK_SET) != 0) {
        fclose(fp);
        return;
    }
    KIV_LOG(2, "log %s continues in its copy %s at %lu\n", log->path, best.c_str(),
            (unsigned long)pos);
    if (log->old_fp) {
        KIV_LOG(1, "%s rotate again before old stream closed\n", log->path);
        fclose(log->old_fp);
    }
    log->old_fp = fp;
    log->old_drained = 0;
    log->old_ino = st.st_ino;
    log->old_offset = pos;
}

// Where reading goes on in the current file.
uint64_t read_pos(const watch_log *log) {
    if (log->fp) {
        off_t p = ftello(log->fp);
        return p > 0 ? (uint64_t)p : 0;
    }
    return log->parked ? log->park_pos : 0;
}

}  // namespace

namespace {

int open_stream(log_collector_ctx *ctx, watch_log *log, FILE *fresh, const struct stat *fresh_st);

}  // namespace

void file_poll_safe_open(bool on) {
    s_safe_open = on;
}

int file_poll_check(log_collector_ctx *ctx, watch_log *log) {
    struct stat st;
    if ((s_safe_open ? lstat(log->path, &st) : stat(log->path, &st)) != 0) {
        if (errno == ENOENT) return 0;
        if (first_failure(log, errno))
            KIV_LOG(0, "stat %s failed: %s\n", log->path, strerror(errno));
        return -1;
    }
    // What the log may not read is handled like a missing file, but the stream already open
    // (if any) is still read; the path is looked at again next turn.
    int why = S_ISLNK(st.st_mode)             ? ELOOP
              : S_ISDIR(st.st_mode)           ? EISDIR
              : !S_ISREG(st.st_mode)          ? EINVAL
              : owner_changed(log, st.st_uid) ? EPERM
                                              : 0;
    if (why) {
        refuse(log, why, st.st_uid);
        return log->fp ? file_poll_open(ctx, log) : 0;
    }
    FILE *fresh = nullptr;
    if (log->stat_valid && st.st_ino != log->ino) {
        // Vetted before the stream being read is let go: a file refused disturbs nothing.
        int err = 0;
        fresh = open_log_file(log, log->path, &st, &err);
        if (!fresh) {
            if (err == ENOENT) return 0;
            if (refusal(err)) {
                refuse(log, err, st.st_uid);
                return log->fp ? file_poll_open(ctx, log) : 0;
            }
            if (first_failure(log, err))
                KIV_LOG(0, "open log %s failed: %s\n", log->path, strerror(err));
            return -1;
        }
        if (st.st_ino == log->ino) {
            // Back to the file being read already.
            fclose(fresh);
            fresh = nullptr;
        }
    }
    if (fresh) {
        KIV_LOG(2, "log %s renamed\n", log->path);
        if (log->old_fp) {
            KIV_LOG(1, "%s rotate again before old stream closed\n", log->path);
            fclose(log->old_fp);
            log->old_fp = nullptr;
        }
        if (!log->fp && !log->parked)
            KIV_LOG(1, "%s rotate again before new stream opened\n", log->path);
        log->old_fp = log->fp;
        log->old_ino = log->ino;
        log->old_offset = log->offset;
        log->fp = nullptr;
        log->old_drained = 0;
        if (log->parked) {
            // Renamed while closed between turns: find it by its inode and finish it.
            log->parked = 0;
            resume_rotated(log, log->ino, log->park_pos,
                           [log](int fd) { return holds(fd, 0, log->head, log->head_len); });
        }
        log->offset = 0;
    } else if (log->stat_valid) {
        // Shorter than last seen, or than where we are: truncated. A file rewritten in place
        // without shrinking is read on from our position, so nothing is sent twice.
        uint64_t pos = read_pos(log);
        if ((uint64_t)st.st_size < log->size || (uint64_t)st.st_size < pos) {
            KIV_LOG(2, "log %s trucnated\n", log->path);
            adopt_copy(log, pos);
            if (log->fp && fseeko(log->fp, 0, SEEK_SET) != 0)
                KIV_LOG(0, "fseek %s to 0 failed: %s\n", log->path, strerror(errno));
            log->park_pos = 0;
            log->offset = 0;
            log->tail_len = 0;
            log->head_len = 0;
            snap_dir(log);
        }
    }
    log->stat_valid = 1;
    log->ino = st.st_ino;
    log->size = st.st_size;
    return open_stream(ctx, log, fresh, &st);
}

int file_poll_open(log_collector_ctx *ctx, watch_log *log) {
    return open_stream(ctx, log, nullptr, nullptr);
}

namespace {

// Opens the path (or takes `fresh`, already opened and vetted, with its status) as the
// current stream.
int open_stream(log_collector_ctx *ctx, watch_log *log, FILE *fresh, const struct stat *fresh_st) {
    if (log->fp) {
        // Clears end-of-file so that what was appended since is read.
        if (fseeko(log->fp, 0, SEEK_CUR) != 0)
            KIV_LOG(1, "stream log %s seek to %lu failed: %s\n", log->path,
                    (unsigned long)log->offset, strerror(errno));
        return 0;
    }
    struct stat st;
    FILE *fp = fresh;
    if (fp) {
        st = *fresh_st;
    } else {
        int err = 0;
        fp = open_log_file(log, log->path, &st, &err);
        if (!fp) {
            if (refusal(err))
                refuse(log, err, st.st_uid);
            else if (first_failure(log, err))
                KIV_LOG(0, "open log %s failed: %s\n", log->path, strerror(err));
            return -1;
        }
    }
    if (!log->owner_known) {
        log->owner_known = 1;
        log->owner_uid = st.st_uid;
    }
    log->last_errno = 0;
    log->fp = fp;
    if (log->parked) {
        log->parked = 0;
        // Closed after its last turn: the same file goes on where it was.
        if (st.st_ino == log->ino && (uint64_t)st.st_size >= log->park_pos &&
            fseeko(fp, (off_t)log->park_pos, SEEK_SET) == 0) {
            log->size = st.st_size;
            return 0;
        }
        fseeko(fp, 0, SEEK_SET);
    }
    KIV_LOG(3, "log %s opened\n", log->path);
    log->refused = 0;
    log->offset = 0;
    log->tail_len = 0;
    log->head_len = 0;
    snap_dir(log);
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
        else if (!state_matches(log, fileno(fp)))
            KIV_LOG(1, "log %s: inode %lu holds another file now, saved position ignored\n",
                    log->path, (unsigned long)st.st_ino);
        else
            saved = log->state_offset;
    } else if (log->state_offset != 0 && log->state_fp_len > 0 && !log->old_fp) {
        // Found by inode alone, another name may be anybody's file: only with a fingerprint.
        resume_rotated(log, log->state_ino, log->state_offset,
                       [log](int fd) { return state_matches(log, fd); });
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
    note_head(log, fileno(fp), log->offset);
    return 0;
}

}  // namespace

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
    if (ctx->line_end_offset) note_head(log, fileno(log->fp), ctx->line_end_offset);
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
    ctx->read_bytes = 0;
    off_t before = ftello(stream);
    if (!fgets(ctx->line, ctx->max_line_size, stream)) return 0;
    int len = (int)strlen(ctx->line);
    off_t after = ftello(stream);
    ctx->read_bytes = before >= 0 && after > before ? (int)(after - before) : len + 1;
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
        if (after < 0) {
            KIV_LOG(0, "ftello failed: %s\n", strerror(errno));
        } else {
            ctx->line_end_offset = (uint64_t)after;
            // Only bytes known to be the file's: a NUL inside the line hides some of them.
            if (before >= 0 && after - before == raw_len) ctx->tail_len = tail_len;
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
    log->parked = 0;
    kiv_free(log->dir_inos);
    log->dir_inos = nullptr;
    log->dir_ino_cnt = 0;
    log->dir_known = 0;
}

void file_poll_park(watch_log *log) {
    // A rotated file cannot be opened again by its path: both stay open until it is done.
    if (!log->fp || log->old_fp) return;
    off_t p = ftello(log->fp);
    if (p < 0) return;
    fclose(log->fp);
    log->fp = nullptr;
    log->parked = 1;
    log->park_pos = (uint64_t)p;
}

int file_poll_fingerprint(const watch_log *log, char out[LOG_FINGERPRINT_LEN]) {
    bool rotated = log->old_fp && log->old_offset;
    uint64_t offset = rotated ? log->old_offset : log->offset;
    int len = offset < (uint64_t)LOG_HEAD_LEN ? (int)offset : LOG_HEAD_LEN;
    if (len == 0) return 0;
    if (!rotated && log->head_len >= len) {
        fingerprint(log->head, len, out);
        return len;
    }
    FILE *f = rotated ? log->old_fp : log->fp;
    return f && file_fingerprint(fileno(f), len, out) ? len : 0;
}

uint64_t file_poll_unread(const watch_log *log) {
    auto rest = [](FILE *f) -> uint64_t {
        struct stat st;
        off_t pos = f ? ftello(f) : -1;
        if (pos < 0 || fstat(fileno(f), &st) != 0 || st.st_size <= pos) return 0;
        return (uint64_t)(st.st_size - pos);
    };
    uint64_t n = rest(log->old_fp) + rest(log->fp);
    if (!log->fp && log->parked && log->size > log->park_pos) n += log->size - log->park_pos;
    return n;
}
