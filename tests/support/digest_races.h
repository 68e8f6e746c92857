// Races staged from inside the digest reader's hooks (digest_set_race_hooks).
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <string>

// Turns a symbolic link elsewhere: once, atomically (a new link renamed over the old one),
// then the target is cleared to show the swap happened.

inline std::string g_swap_link, g_swap_to;

inline void swap_link_once(const char *) {
    if (g_swap_to.empty()) return;
    std::string tmp = g_swap_link + ".new";
    unlink(tmp.c_str());
    EXPECT_EQ(symlink(g_swap_to.c_str(), tmp.c_str()), 0);
    EXPECT_EQ(rename(tmp.c_str(), g_swap_link.c_str()), 0);
    g_swap_to.clear();
}

// Appends g_grow_by bytes to g_grow_path once, as a writer racing the reader would.
inline std::string g_grow_path;
inline size_t g_grow_by;
inline void grow_once(const char *path, uint64_t) {
    if (g_grow_by == 0 || g_grow_path != path) return;
    std::ofstream(path, std::ios::binary | std::ios::app) << std::string(g_grow_by, 'G');
    g_grow_by = 0;
}
inline void grow_before_open(const char *path) {
    grow_once(path, 0);
}

// Holds every read of a file whose name contains "/hold" while g_hold is set, as a file on a
// stalled disk would; g_hold_seen counts reads held. A hold_release at the end of a test lets
// a hashing thread go before the cache is stopped.
inline std::atomic<bool> g_hold{false};
inline std::atomic<int> g_hold_seen{0};
inline void hold_read(const char *path, uint64_t) {
    if (strstr(path, "/hold") == nullptr) return;
    g_hold_seen++;
    while (g_hold.load()) usleep(1000);
}
struct hold_release {
    hold_release() { g_hold = true; }
    ~hold_release() { g_hold = false; }
};
