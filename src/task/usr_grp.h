// uid -> user name and gid -> group name tables filled from the account database,
// refreshed every 12 hours and reloaded on a miss (at most once per 10 s per table).
#pragma once
#include <pthread.h>

#include <cstdint>

#include "comm/fhash.h"
#include "qxkiv/usr_grp.h"

struct kiv_timer;

constexpr uint32_t USRGRP_HASH_SIZE = 1000;
constexpr uint64_t USRGRP_REFRESH_MS = 43200000;  // 12 hours

struct usrgrp_hash_table {
    fhash *hash_head;
    pthread_rwlock_t rwlock;
    uint64_t last_rehash;  // cached clock (s) at the end of the last reload
};

// An id and its name, allocated at the exact length.
struct usrgrp_entry {
    uint32_t id;
    char name[];
};

struct usr_grp_info {
    usrgrp_hash_table user_hash_table;
    usrgrp_hash_table usergrp_hash_table;
    kiv_timer *timer;
};

extern usr_grp_info s_usr_grp_info;

int kiv_usr_grp_info_init();
void kiv_usr_grp_info_exit();

// which 0 reloads users, 1 groups. 0 or -1 (refused within 10 s of the last reload).
int rehash_table(int which, usrgrp_hash_table *table);
int search_table(usrgrp_hash_table *table, const void *key, uint32_t key_len, char *out,
                 int out_len);
int update_and_fill_usr_table(fhash *hash);
int update_and_fill_usrgrp_table(fhash *hash);
void update_usrgrp_info_timer_func(void *arg);

int usrgrp_hash_key_cmp_func(const void *key, void *data);
void usrgrp_hash_data_del_func(void *data);
