// User and group name cache over the account database.
#include "task/usr_grp.h"

#include "comm/pthread_guard.h"

#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "comm/entry_gate.h"
#include "comm/timer.h"
#include "base/mem.h"
#include "base/log.h"

usr_grp_info s_usr_grp_info;

namespace {

constexpr size_t kEntBufSize = 4096;
// A group listing thousands of members needs more than 4 KiB; beyond this it is skipped.
constexpr size_t kEntBufMax = 1u << 20;
constexpr uint64_t kRehashMinGapSec = 9;

inline uint64_t now_sec() {
    return kiv_now_ms() / 1000;
}

// Entry buffer of getpwent_r/getgrent_r, grown on ERANGE.
struct ent_buf {
    char local[kEntBufSize];
    char *p = local;
    size_t size = kEntBufSize;
    ~ent_buf() {
        if (p != local) kiv_free(p);
    }
    bool grow() {
        if (size >= kEntBufMax) return false;
        auto *n = static_cast<char *>(kiv_malloc(size * 2, MALLOC_FOR_TMP));
        if (!n) return false;
        if (p != local) kiv_free(p);
        p = n;
        size *= 2;
        return true;
    }
};

// Stores one id/name pair; false stops the walk.
bool fill_one(fhash *hash, uint32_t id, const char *name) {
    if (fhash_full(hash) == 1) {
        KIV_LOG(1, "reach max hash node num.\n");
        return false;
    }
    size_t len = sizeof(usrgrp_entry) + strlen(name) + 1;
    auto *e = static_cast<usrgrp_entry *>(kiv_malloc(len, MALLOC_FOR_TMP));
    if (!e) {
        KIV_LOG(1, "malloc failed, len is %d\n", (int)len);
        return false;
    }
    e->id = id;
    memcpy(e->name, name, len - sizeof(usrgrp_entry));
    if (fhash_insert(hash, &e->id, sizeof(e->id), e) != 0) {
        kiv_free(e);
        return true;
    }
    KIV_LOG(4, "%d: %s\n", (int)id, name);
    return true;
}

// Walks one account database from its start. Next(ent, buf, size, &res) follows the
// getXXent_r convention.
template <class Ent, class Next, class IdOf, class NameOf>
void walk_db(fhash *hash, void (*set)(), void (*end)(), Next next, IdOf id_of, NameOf name_of) {
    ent_buf buf;
    Ent ent;
    Ent *res;
    set();
    for (;;) {
        int rc = next(&ent, buf.p, buf.size, &res);
        if (rc == ERANGE) {
            if (buf.grow()) continue;
            break;
        }
        if (rc != 0 || res == nullptr) break;
        if (!fill_one(hash, id_of(res), name_of(res))) break;
    }
    end();
}

int get_name(usrgrp_hash_table *table, int which, uint32_t id, char *out, int out_len) {
    if (out == nullptr || out_len <= 0) return -1;
    if (search_table(table, &id, sizeof(id), out, out_len) == 0) return 0;
    if (which == 0) KIV_LOG(4, "try to rehash_table: %d\n", (int)id);
    if (rehash_table(which, table) != 0) {
        if (which == 0) KIV_LOG(1, "rehash_table failed\n");
        return -1;
    }
    if (search_table(table, &id, sizeof(id), out, out_len) == 0) return 0;
    if (which == 0) KIV_LOG(1, "can't find uid: %d\n", (int)id);
    return -1;
}

}  // namespace

int usrgrp_hash_key_cmp_func(const void *key, void *data) {
    if (key == nullptr || data == nullptr) return -1;
    uint32_t id;
    memcpy(&id, key, sizeof(id));
    return static_cast<usrgrp_entry *>(data)->id == id ? 0 : 1;
}

void usrgrp_hash_data_del_func(void *data) {
    kiv_free(data);
}

int update_and_fill_usr_table(fhash *hash) {
    if (hash == nullptr) {
        KIV_LOG(1, "user_hash node is null.\n");
        return -1;
    }
    KIV_LOG(4, "USER NAME TABLE:\n");
    fhash_clear(hash);
    walk_db<passwd>(
        hash, setpwent, endpwent,
        [](passwd *e, char *b, size_t n, passwd **r) { return getpwent_r(e, b, n, r); },
        [](passwd *e) { return static_cast<uint32_t>(e->pw_uid); },
        [](passwd *e) { return static_cast<const char *>(e->pw_name); });
    return 0;
}

int update_and_fill_usrgrp_table(fhash *hash) {
    if (hash == nullptr) {
        KIV_LOG(1, "usergrp_hash node is null.\n");
        return -1;
    }
    KIV_LOG(4, "GROUP NAME TABLE:\n");
    fhash_clear(hash);
    walk_db<group>(
        hash, setgrent, endgrent,
        [](group *e, char *b, size_t n, group **r) { return getgrent_r(e, b, n, r); },
        [](group *e) { return static_cast<uint32_t>(e->gr_gid); },
        [](group *e) { return static_cast<const char *>(e->gr_name); });
    return 0;
}

int rehash_table(int which, usrgrp_hash_table *table) {
    if (table == nullptr || table->hash_head == nullptr) {
        KIV_LOG(1, "usergrp_hash node is null.\n");
        return -1;
    }
    // Read without the lock: two threads missing together may both reload, in turn.
    uint64_t now = now_sec();
    if (now - table->last_rehash <= kRehashMinGapSec) {
        KIV_LOG(1, "rehash %d too often.\n", which);
        return -1;
    }
    KIV_LOG(4, "start %d rehash\n", which);
    pthread_rwlock_wrlock(&table->rwlock);
    int ret;
    if (which == 0) {
        ret = update_and_fill_usr_table(table->hash_head);
    } else if (which == 1) {
        ret = update_and_fill_usrgrp_table(table->hash_head);
    } else {
        pthread_rwlock_unlock(&table->rwlock);
        return -1;
    }
    table->last_rehash = now_sec();
    pthread_rwlock_unlock(&table->rwlock);
    if (ret != 0) {
        KIV_LOG(1, "update_and_fill_table failed\n");
        return -1;
    }
    return 0;
}

int search_table(usrgrp_hash_table *table, const void *key, uint32_t key_len, char *out,
                 int out_len) {
    if (table == nullptr || table->hash_head == nullptr) {
        KIV_LOG(1, "usergrp_hash node is null.\n");
        return -1;
    }
    rwlock_read_guard g(&table->rwlock);
    void *data;
    int ret = fhash_search(table->hash_head, key, key_len, &data);
    if (ret != 0) return ret;
    snprintf(out, static_cast<size_t>(out_len), "%s", static_cast<usrgrp_entry *>(data)->name);
    return 0;
}

namespace {
// Host threads may ask for names while the cache stops.
kiv_entry_gate s_usr_grp_gate;
}  // namespace

int get_username_by_uid(uint32_t uid, char *out, int out_len) {
    kiv_gate_pass pass(s_usr_grp_gate);
    if (!pass) return -1;
    return get_name(&s_usr_grp_info.user_hash_table, 0, uid, out, out_len);
}

int kiv_usr_grp_rehash(int which) {
    kiv_gate_pass pass(s_usr_grp_gate);
    if (!pass || (which != 0 && which != 1)) return -1;
    return rehash_table(
        which, which == 0 ? &s_usr_grp_info.user_hash_table : &s_usr_grp_info.usergrp_hash_table);
}

int get_grpname_by_gid(uint32_t gid, char *out, int out_len) {
    kiv_gate_pass pass(s_usr_grp_gate);
    if (!pass) return -1;
    return get_name(&s_usr_grp_info.usergrp_hash_table, 1, gid, out, out_len);
}

void update_usrgrp_info_timer_func(void *) {
    if (rehash_table(0, &s_usr_grp_info.user_hash_table) != 0)
        KIV_LOG(1, "rehash_table user_hash_table failed\n");
    if (rehash_table(1, &s_usr_grp_info.usergrp_hash_table) != 0)
        KIV_LOG(1, "rehash_table usergrp_hash_table failed\n");
}

int kiv_usr_grp_info_init() {
    usr_grp_info &s = s_usr_grp_info;
    s = usr_grp_info{};
    s.user_hash_table.hash_head =
        fhash_create(USRGRP_HASH_SIZE, USRGRP_HASH_SIZE, usrgrp_hash_key_cmp_func, nullptr,
                     usrgrp_hash_data_del_func);
    if (!s.user_hash_table.hash_head) {
        KIV_LOG(0, "s_usr_grp_info.user_hash_table.hash_head create failed\n");
        return -1;
    }
    s.usergrp_hash_table.hash_head =
        fhash_create(USRGRP_HASH_SIZE, USRGRP_HASH_SIZE, usrgrp_hash_key_cmp_func, nullptr,
                     usrgrp_hash_data_del_func);
    if (!s.usergrp_hash_table.hash_head) {
        KIV_LOG(0, "s_usr_grp_info.usergrp_hash_table.hash_head create failed\n");
        goto free_user_hash;
    }
    if (int ret = pthread_rwlock_init(&s.user_hash_table.rwlock, nullptr); ret != 0) {
        KIV_LOG(0, "pthread_rwlock_init user_hash_table rwlock failed, ret is %d\n", ret);
        goto free_grp_hash;
    }
    if (int ret = pthread_rwlock_init(&s.usergrp_hash_table.rwlock, nullptr); ret != 0) {
        KIV_LOG(0, "pthread_rwlock_init usergrp_hash_table rwlock failed, ret is %d\n", ret);
        goto free_user_lock;
    }
    if (rehash_table(0, &s.user_hash_table) != 0)
        KIV_LOG(1, "rehash_table user_hash_table failed\n");
    if (rehash_table(1, &s.usergrp_hash_table) != 0)
        KIV_LOG(1, "rehash_table usergrp_hash_table failed\n");
    s.timer = add_timer(USRGRP_REFRESH_MS, update_usrgrp_info_timer_func, nullptr);
    if (!s.timer) {
        KIV_LOG(0, "add_timer usr_grp_info failed\n");
        goto free_grp_lock;
    }
    s_usr_grp_gate.open();
    return 0;

free_grp_lock:
    pthread_rwlock_destroy(&s.usergrp_hash_table.rwlock);
free_user_lock:
    pthread_rwlock_destroy(&s.user_hash_table.rwlock);
free_grp_hash:
    fhash_destroy(s.usergrp_hash_table.hash_head);
    s.usergrp_hash_table.hash_head = nullptr;
free_user_hash:
    fhash_destroy(s.user_hash_table.hash_head);
    s.user_hash_table.hash_head = nullptr;
    return -1;
}

void kiv_usr_grp_info_exit() {
    usr_grp_info &s = s_usr_grp_info;
    if (s.user_hash_table.hash_head == nullptr) return;  // never started
    s_usr_grp_gate.close();
    del_timer(s.timer);
    s.timer = nullptr;
    pthread_rwlock_destroy(&s.usergrp_hash_table.rwlock);
    pthread_rwlock_destroy(&s.user_hash_table.rwlock);
    fhash_destroy(s.usergrp_hash_table.hash_head);
    s.usergrp_hash_table.hash_head = nullptr;
    fhash_destroy(s.user_hash_table.hash_head);
    s.user_hash_table.hash_head = nullptr;
}
