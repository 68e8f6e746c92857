// The live file source's view of the filter lists: payloads as the library sends them
// (replace, add, delete), and which paths and event kinds they let through.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/standin/live_file.h"

namespace {

// One 0x7307 payload: total, operation, kind, then group, mask and text with its NUL each.
std::vector<unsigned char> payload(int op, int kind,
                                   const std::vector<std::pair<std::string, uint8_t>> &items) {
    std::vector<unsigned char> b(6, 0);
    for (auto &[text, mask] : items) {
        b.push_back(99), b.push_back(mask);
        b.insert(b.end(), text.begin(), text.end());
        b.push_back(0);
    }
    uint32_t total = (uint32_t)b.size() - 6;
    for (int i = 0; i < 4; i++) b[i] = (unsigned char)(total >> (8 * i));
    b[4] = (unsigned char)op, b[5] = (unsigned char)kind;
    return b;
}
void send(int op, int kind, const std::vector<std::pair<std::string, uint8_t>> &items) {
    auto b = payload(op, kind, items);
    live_file_filter(b.data(), b.size());
}

TEST(LiveFileLists, WatchedExcludedAndReplaced) {
    live_file_reset();
    constexpr uint8_t ALL = LIVE_FILE_MASK_ALL;
    send(0, 1, {{"/srv/www", ALL}, {"/etc", 1u << 3}});  // path list; /etc: modify only
    send(0, 0, {{"/root/.bashrc", ALL}});                // file list
    send(0, 5, {{"/srv/www/cache", ALL}});               // path exclude
    struct Row {
        const char *path;
        int kind;
        bool watched;
    };
    for (const Row &r :
         {Row{"/srv/www/index.php", 0, true}, Row{"/srv/www", 1, true},
          Row{"/srv/wwwx/a", 0, false},  // a prefix, not a parent
          Row{"/srv/www/cache/x", 0, false}, Row{"/etc/passwd", 3, true},
          Row{"/etc/passwd", 1, false}, Row{"/root/.bashrc", 2, true},
          Row{"/root/.bashrc.bak", 2, false}, Row{"/tmp/x", 0, false}, Row{"/srv/www/a", 9, false}})
        EXPECT_EQ(live_file_watched(r.path, r.kind), r.watched) << r.path << " " << r.kind;
    send(1, 1, {{"/tmp", ALL}});      // add
    send(2, 1, {{"/srv/www", ALL}});  // delete
    EXPECT_TRUE(live_file_watched("/tmp/x", 0));
    EXPECT_FALSE(live_file_watched("/srv/www/index.php", 0));
    EXPECT_TRUE(live_file_watched("/etc/group", 3));
    send(0, 1, {});  // an empty replacement clears the kind
    EXPECT_FALSE(live_file_watched("/tmp/x", 0));
    // A payload whose text runs past its stated total changes nothing.
    auto bad = payload(1, 1, {{"/var", ALL}});
    bad[0] = (unsigned char)(bad[0] - 1);
    live_file_filter(bad.data(), bad.size());
    EXPECT_FALSE(live_file_watched("/var/x", 0));
    live_file_filter(bad.data(), 3);  // shorter than the head
    live_file_reset();
}

}  // namespace
