#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comm/error_output.h"

namespace {

struct seen {
    int level;
    std::string text;
};

void collect(int level, const char *text, void *ctx) {
    static_cast<std::vector<seen> *>(ctx)->push_back({level, text});
}

// Registrations are per thread and permanent, so each case gets a thread of its own.
void on_fresh_thread(void (*f)()) {
    std::thread(f).join();
}

TEST(ErrorOutput, FormattingAndLimits) {
    on_fresh_thread([] {
        static std::vector<seen> a, b;
        ASSERT_EQ(error_output_register(collect, &a), 0);
        ASSERT_EQ(error_output_register(collect, &b), 0);
        errno = ENOENT;
        error_output(2, "x.c", 12, "v=%d", 5);  // errno text only for levels 0 and 1
        error_output(0, nullptr, 7, "open");
        errno = 0;
        error_output(9, "z.c", 3, "high");
        error_output(2, "z.c", 3, nullptr);
        std::string fits(8192 - 1 - strlen("[z.c:3] "), 'b');
        error_output(2, "z.c", 3, "%s", fits.c_str());
        error_output(2, "z.c", 3, "%s+", fits.c_str());  // 8192 bytes: dropped

        ASSERT_EQ(a.size(), 4u);
        EXPECT_EQ(a[0].text, "[x.c:12] v=5");
        EXPECT_EQ(a[1].text, "[no_src.c:7] open errmsg:No such file or directory");
        EXPECT_EQ(a[2].level, 1);
        EXPECT_EQ(a[3].text.size(), 8191u);
        EXPECT_EQ(b.size(), a.size());
    });
}

TEST(ErrorOutput, HandlersPerThreadThenGlobal) {
    on_fresh_thread([] {
        static std::vector<seen> out;
        EXPECT_EQ(error_output_register(nullptr, &out), -1);
        for (int i = 0; i < ERROR_OUTPUT_MAX_HANDLERS; i++) {
            EXPECT_EQ(error_output_register(collect, &out), 0);
        }
        EXPECT_EQ(error_output_register(collect, &out), -1);
        error_output_string(3, "t");
        EXPECT_EQ(out.size(), 10u);
    });

    static std::vector<seen> global;
    EXPECT_EQ(global_output_register(nullptr, &global), -1);
    ASSERT_EQ(global_output_register(collect, &global), 0);
    EXPECT_EQ(global_output_register(collect, &global), -1);
    on_fresh_thread([] { error_output_string(4, "from bare thread"); });
    on_fresh_thread([] {
        static std::vector<seen> own;
        error_output_register(collect, &own);
        error_output_string(4, "from own thread");
        EXPECT_EQ(own.size(), 1u);
    });
    ASSERT_EQ(global.size(), 1u);
    EXPECT_EQ(global[0].text, "from bare thread");
}

}  // namespace
