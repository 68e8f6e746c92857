#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "comm/digest_internal.h"
#include "comm/keyed_hash.h"
#include "comm/timer.h"
#include "qxkiv/digest.h"

namespace {

const char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";

std::string hex(const uint8_t *d, size_t n) {
    char text[2 * EVP_MAX_MD_SIZE + 1];
    digest_hex(d, n, text);
    return text;
}

// Feeds data in chunks of `chunk` bytes (0: all at once).
template <class Ctx, auto Init, auto Update, auto Final, size_t N>
std::string digest_of(const void *data, size_t len, size_t chunk) {
    Ctx ctx;
    Init(&ctx);
    for (size_t off = 0, step = chunk ? chunk : len; off < len; off += step)
        Update(&ctx, static_cast<const uint8_t *>(data) + off, std::min(step, len - off));
    uint8_t d[N];
    Final(&ctx, d);
    return hex(d, N);
}
constexpr auto md5_of = digest_of<nql_md5_ctx, nql_md5_init, nql_md5_update, nql_md5_final, 16>;
constexpr auto sha_of = digest_of<sha256_ctx, sha256_init, sha256_update, sha256_final, 32>;

// libcrypto's one-shot digest: an oracle for our buffering and padding.
std::string oracle(const EVP_MD *md, const void *data, size_t len) {
    uint8_t d[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EXPECT_EQ(EVP_Digest(data, len, d, &n, md, nullptr), 1);
    return hex(d, n);
}

std::vector<uint8_t> pattern(size_t len) {
    std::vector<uint8_t> v(len);
    for (size_t i = 0; i < len; i++) v[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
    return v;
}

TEST(Crc32, CheckValues) {
    EXPECT_EQ(mordek_crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(mordek_crc32(nullptr, 5), 0u);
    EXPECT_EQ(mordek_crc32("\xff\xff\xff\xff", 4), 0xFFFFFFFFu);
}

TEST(Digest, VectorsPaddingAndSplits) {
    auto data = pattern(17 * 64);
    // Every padding boundary up to 200 bytes (whole), then 1000 bytes in awkward pieces.
    std::vector<std::pair<size_t, size_t>> runs;
    for (size_t len = 0; len <= 200; len++) runs.push_back({len, 0});
    for (size_t chunk : {1, 55, 56, 63, 64, 65, 127}) runs.push_back({1000, chunk});
    for (auto [len, chunk] : runs) {
        EXPECT_EQ(md5_of(data.data(), len, chunk), oracle(EVP_md5(), data.data(), len)) << len;
        EXPECT_EQ(sha_of(data.data(), len, chunk), oracle(EVP_sha256(), data.data(), len)) << len;
    }
}

std::vector<uint32_t> g_sleeps;
std::string g_cut_path;
off_t g_cut_to = -1;
void record_sleep(uint32_t ms) {
    g_sleeps.push_back(ms);
    if (g_cut_to >= 0) EXPECT_EQ(truncate(g_cut_path.c_str(), g_cut_to), 0);
}
uint64_t g_clock;
void set_clock(uint64_t ms) {
    g_clock = ms;
    kiv_timer_set_source([] { return g_clock; });  // refreshes the cached value
}

struct FileDigest : ::testing::Test {
    char dir[32] = "/tmp/kivdigestXXXXXX";
    void SetUp() override {
        ASSERT_NE(mkdtemp(dir), nullptr);
        digest_set_sleep_fn(record_sleep);
        g_sleeps.clear();
    }
    void TearDown() override {
        digest_set_sleep_fn(nullptr);
        kiv_timer_set_source(nullptr);
        EXPECT_EQ(system((std::string("rm -rf ") + dir).c_str()), 0);
    }
    std::string put(const char *name, const std::vector<uint8_t> &bytes, size_t len) {
        std::string p = std::string(dir) + "/" + name;
        std::ofstream(p, std::ios::binary).write((const char *)bytes.data(), (long)len);
        return p;
    }
    static std::string md5(const std::string &p) {
        char out[33] = "";
        EXPECT_EQ(get_file_md5(p.c_str(), out, sizeof(out)), 0) << p;
        return out;
    }
    static std::string sha(const std::string &p) {
        char out[65] = "";
        EXPECT_EQ(get_file_sha256(p.c_str(), out), 0) << p;
        return out;
    }
};

// Files across the read buffer's edges; files past the MD5 throttle are the throttle test's.
TEST_F(FileDigest, MatchesTheOracleAndHandlesBadInput) {
    auto data = pattern(70000);
    for (size_t len : {0, 1023, 1024, 1025, 4095, 4096, 4097, 70000}) {
        std::string f = put(("f" + std::to_string(len)).c_str(), data, len);
        EXPECT_EQ(md5(f), oracle(EVP_md5(), data.data(), len)) << len;
        EXPECT_EQ(sha(f), oracle(EVP_sha256(), data.data(), len)) << len;
    }
    char out[80];
    std::string missing = std::string(dir) + "/missing", empty = put("empty", {}, 0);
    EXPECT_EQ(get_file_sha256(missing.c_str(), out), -99);
    EXPECT_EQ(get_file_sha256("", out), -100);
    EXPECT_EQ(get_file_md5(empty.c_str(), out, 0), -1);
    for (size_t size : {1, 10, 32}) {
        memset(out, '#', sizeof(out));
        EXPECT_EQ(get_file_md5(empty.c_str(), out, size), 0);
        EXPECT_EQ(std::string(out), std::string(kEmptyMd5, size - 1));
        EXPECT_EQ(out[size], '#');  // nothing written past the size given
    }
}

// Nothing but a regular file is read: a device dressed up as a deleted executable's name
// ("x (deleted)" is what /proc/<pid>/exe shows for one) would feed the digest forever.
TEST_F(FileDigest, RefusesEverythingButRegularFiles) {
    std::string d = dir, fifo = d + "/fifo", sock = d + "/sock";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", sock.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
    struct Case {
        std::string path, link_to;
    };
    for (const Case &c : std::vector<Case>{{"/dev/zero", ""},
                                           {d + "/x (deleted)", "/dev/zero"},
                                           {fifo, ""},
                                           {d + "/to-fifo", fifo},
                                           {sock, ""},
                                           {d, ""}}) {
        SCOPED_TRACE(c.path);
        if (!c.link_to.empty()) ASSERT_EQ(symlink(c.link_to.c_str(), c.path.c_str()), 0);
        // A pipe without a writer must not block either: run off the test thread.
        auto run = std::async(std::launch::async, [&] {
            char m[33], h[65];
            digest_file_req req;
            req.want_md5 = req.want_sha256 = true;
            digest_file_out out;
            return std::to_string(get_file_md5(c.path.c_str(), m, sizeof(m))) + " " +
                   std::to_string(get_file_sha256(c.path.c_str(), h)) + " " +
                   std::to_string(digest_file(c.path.c_str(), req, &out));
        });
        if (run.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // releases a stuck pipe reader
            FAIL() << "blocked";
        }
        EXPECT_EQ(run.get(), "-1 -99 " + std::to_string(DIGEST_ERR_NOT_REGULAR));
    }
    close(s);
    // A link to a regular file is followed, as executables are often reached through one.
    auto data = pattern(3000);
    std::string target = put("target", data, data.size()), link = d + "/link";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(md5(link), oracle(EVP_md5(), data.data(), data.size()));
}

TEST_F(FileDigest, ThrottleSleepsToNextClockSecondAndCutShortFile) {
    auto data = pattern(2 * 5002 * 1024);
    set_clock(12345);
    // A sleep follows every 5002nd read, a partial last read included.
    EXPECT_EQ(md5(put("a", data, 5001 * 1024)), oracle(EVP_md5(), data.data(), 5001 * 1024));
    EXPECT_TRUE(g_sleeps.empty());
    md5(put("b", data, 5002 * 1024 - 1));
    EXPECT_EQ(g_sleeps, std::vector<uint32_t>{655});
    set_clock(12000);
    auto c = put("c", data, data.size());
    EXPECT_EQ(md5(c), oracle(EVP_md5(), data.data(), data.size()));
    set_clock(12999);
    EXPECT_EQ(sha(c), oracle(EVP_sha256(), data.data(), data.size()));  // not throttled
    md5(c);
    EXPECT_EQ(g_sleeps, (std::vector<uint32_t>{655, 1000, 1000, 1, 1}));

    // Cut during the first sleep to a length beyond any stdio read-ahead: the digest covers
    // exactly what was still there.
    g_cut_path = c;
    g_cut_to = 79 * 65536;
    EXPECT_EQ(md5(c), oracle(EVP_md5(), data.data(), g_cut_to));
}

}  // namespace

// SipHash-2-4 with a 128-bit result against the crypto library's (key 00..0f), any split of the
// input into pieces, and a key drawn per process that changes the value.
TEST(KeyedHash, ReferenceVectorsSplitsAndTheProcessKey) {
    unsigned char key[16], msg[15];
    for (int i = 0; i < 16; i++) key[i] = (unsigned char)i;
    for (int i = 0; i < 15; i++) msg[i] = (unsigned char)i;
    keyed_hash128 h, want;
    keyed_piece whole{msg, 15};
    ASSERT_TRUE(keyed_hash_with(key, &whole, 1, &want));
    // Every length across the word and length-byte boundaries, cut at every point, against
    // the crypto library's SipHash.
    unsigned char big[300];
    for (size_t i = 0; i < sizeof big; i++) big[i] = (unsigned char)(i * 131 + 7);
    for (size_t n : {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 255, 256, 257, 300}) {
        unsigned char ref[16];
        size_t got = 0, size = 16;
        EVP_MAC *mac = EVP_MAC_fetch(nullptr, "SIPHASH", nullptr);
        ASSERT_NE(mac, nullptr);
        EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(mac);
        OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t(OSSL_MAC_PARAM_SIZE, &size),
                               OSSL_PARAM_construct_end()};
        ASSERT_EQ(EVP_MAC_init(ctx, key, 16, params), 1);
        ASSERT_EQ(EVP_MAC_update(ctx, big, n), 1);
        ASSERT_EQ(EVP_MAC_final(ctx, ref, &got, sizeof ref), 1);
        EVP_MAC_CTX_free(ctx);
        EVP_MAC_free(mac);
        keyed_hash128 r;
        memcpy(&r.lo, ref, 8), memcpy(&r.hi, ref + 8, 8);
        for (size_t cut = 0; cut <= n; cut += (n > 20 ? 13 : 1)) {
            keyed_piece two[] = {{big, cut}, {big + cut, n - cut}};
            ASSERT_TRUE(keyed_hash_with(key, two, 2, &h));
            EXPECT_EQ(h, r) << n << " bytes cut at " << cut;
        }
    }
    keyed_hash128 drawn;
    ASSERT_TRUE(keyed_hash(msg, 15, &drawn));
    EXPECT_FALSE(drawn == want);
}
