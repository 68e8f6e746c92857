// Turns a symbolic link elsewhere from inside a digest race hook: once, atomically (a new
// link renamed over the old one), then the target is cleared to show the swap happened.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

inline std::string g_swap_link, g_swap_to;

inline void swap_link_once(const char *) {
    if (g_swap_to.empty()) return;
    std::string tmp = g_swap_link + ".new";
    unlink(tmp.c_str());
    EXPECT_EQ(symlink(g_swap_to.c_str(), tmp.c_str()), 0);
    EXPECT_EQ(rename(tmp.c_str(), g_swap_link.c_str()), 0);
    g_swap_to.clear();
}
