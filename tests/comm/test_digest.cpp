#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <string>
#include <vector>

#include "comm/digest_internal.h"
#include "comm/timer.h"
#include "qxkiv/digest.h"

namespace {

const char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";
const char kEmptySha[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string hex(const uint8_t *d, size_t n) {
    char text[2 * EVP_MAX_MD_SIZE + 1];
    digest_hex(d, n, text);
    return text;
}

// Feeds data in chunks of `chunk` bytes (0: all at once).
template <class Ctx, auto Init, auto Update, auto Final, size_t N>
std::string digest_of(const void *data, size_t len, size_t chunk = 0) {
    Ctx ctx;
    Init(&ctx);
    for (size_t off = 0, step = chunk ? chunk : len; off < len; off += step)
        Update(&ctx, static_cast<const uint8_t *>(data) + off, std::min(step, len - off));
    uint8_t d[N];
    Final(&ctx, d);
    return hex(d, N);
}
std::string md5_of(const void *data, size_t len, size_t chunk = 0) {
    return digest_of<nql_md5_ctx, nql_md5_init, nql_md5_update, nql_md5_final, 16>(data, len,
                                                                                   chunk);
}
std::string sha_of(const void *data, size_t len, size_t chunk = 0) {
    return digest_of<sha256_ctx, sha256_init, sha256_update, sha256_final, 32>(data, len, chunk);
}

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

TEST(Crc32, CheckValuesAndConcurrentFirstUse) {
    // Each test runs in a fresh process: these threads race to build the table.
    std::vector<std::future<uint32_t>> runs;
    for (int i = 0; i < 8; i++)
        runs.push_back(std::async(std::launch::async, [] { return mordek_crc32("123456789", 9); }));
    for (auto &r : runs) EXPECT_EQ(r.get(), 0xCBF43926u);
    EXPECT_EQ(mordek_crc32("", 0), 0u);
    EXPECT_EQ(mordek_crc32(nullptr, 5), 0u);
    EXPECT_EQ(mordek_crc32("\xff\xff\xff\xff", 4), 0xFFFFFFFFu);
}

TEST(Digest, StandardVectors) {
    const char *digits =
        "1234567890123456789012345678901234567890123456789012345678901234567890"
        "1234567890";
    EXPECT_EQ(md5_of(digits, 80), "57edf4a22be3c955ac49da2e2107b67a");
    EXPECT_EQ(sha_of("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 56),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    std::string million(1000000, 'a');
    EXPECT_EQ(md5_of(million.data(), million.size(), 997), "7707d6ae4e027c70eea2a935c2296f21");
    EXPECT_EQ(sha_of(million.data(), million.size(), 4096),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Digest, PaddingBoundariesAndAwkwardSplits) {
    auto data = pattern(17 * 64);
    for (size_t len = 0; len <= 200; len++) {
        EXPECT_EQ(md5_of(data.data(), len), oracle(EVP_md5(), data.data(), len)) << len;
        EXPECT_EQ(sha_of(data.data(), len), oracle(EVP_sha256(), data.data(), len)) << len;
    }
    for (size_t chunk : {1, 55, 56, 63, 64, 65, 127}) {
        EXPECT_EQ(md5_of(data.data(), 1000, chunk), oracle(EVP_md5(), data.data(), 1000));
        EXPECT_EQ(sha_of(data.data(), 1000, chunk), oracle(EVP_sha256(), data.data(), 1000));
    }
    // The block functions not chosen for the exported calls must still agree.
    for (size_t n : {1, 17}) {
        uint32_t a[8] = {1, 2, 3, 4, 5, 6, 7, 8}, b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        md5_blocks_portable(a, data.data(), n);
        md5_blocks_crypto(b, data.data(), n);
        EXPECT_EQ(0, memcmp(a, b, 16)) << n;
        sha256_blocks_portable(a, data.data(), n);
        sha256_blocks_crypto(b, data.data(), n);
        EXPECT_EQ(0, memcmp(a, b, 32)) << n;
    }
}

TEST(Digest, Md5CountCarryFinalWipeAndSha256Transform) {
    nql_md5_ctx ctx, zero{};
    nql_md5_init(&ctx);
    ctx.count[0] = 0xFFFFFFF0u;  // two bytes before the low word wraps
    nql_md5_update(&ctx, "xyz", 3);
    nql_md5_update(&ctx, nullptr, 0);
    EXPECT_EQ(ctx.count[0], 8u);
    EXPECT_EQ(ctx.count[1], 1u);
    uint8_t d[32];
    nql_md5_final(&ctx, d);
    EXPECT_EQ(0, memcmp(&ctx, &zero, sizeof(ctx)));

    uint8_t block[64] = {'a', 'b', 'c', 0x80};
    block[63] = 24;  // bit length of the hand-padded message
    sha256_ctx sctx;
    sha256_init(&sctx);
    sha256_transform(&sctx, block);
    for (int i = 0; i < 8; i++) store_be32(d + 4 * i, sctx.state[i]);
    EXPECT_EQ(hex(d, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sctx.datalen + sctx.bitlen, 0u);
}

std::vector<uint32_t> g_sleeps;
std::string g_cut_path;
off_t g_cut_to = -1;
void record_sleep(uint32_t ms) {
    g_sleeps.push_back(ms);
    if (g_cut_to >= 0) {
        EXPECT_EQ(truncate(g_cut_path.c_str(), g_cut_to), 0);
    }
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
    }
    void TearDown() override {
        digest_set_sleep_fn(nullptr);
        kiv_timer_set_source(nullptr);
        EXPECT_EQ(system((std::string("rm -rf ") + dir).c_str()), 0);
    }
    std::string put(const char *name, const std::vector<uint8_t> &bytes, size_t len) {
        std::string p = std::string(dir) + "/" + name;
        FILE *f = fopen(p.c_str(), "wb");
        EXPECT_EQ(len ? fwrite(bytes.data(), 1, len, f) : 0, len);
        fclose(f);
        return p;
    }
    static std::string tool(const char *prog, const std::string &path) {
        FILE *p = popen((std::string(prog) + " -- '" + path + "'").c_str(), "r");
        char line[160] = "";
        EXPECT_NE(fgets(line, sizeof(line), p), nullptr) << prog;
        pclose(p);
        return std::string(line, strcspn(line, " "));
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

TEST_F(FileDigest, MatchesSystemToolsOnRealAndBoundaryFiles) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(n, 0);
    // This test binary is several MB: it crosses the MD5 throttle.
    std::vector<std::string> files = {"/usr/bin/md5sum", "/usr/bin/env", std::string(exe, n)};
    auto data = pattern(70000);
    for (size_t len : {0, 1023, 1024, 1025, 4095, 4096, 4097, 70000})
        files.push_back(put(("f" + std::to_string(len)).c_str(), data, len));
    for (auto &f : files) {
        EXPECT_EQ(md5(f), tool("md5sum", f)) << f;
        EXPECT_EQ(sha(f), tool("sha256sum", f)) << f;
    }
    EXPECT_EQ(md5(files[3]), kEmptyMd5);
    EXPECT_EQ(sha(files[3]), kEmptySha);
}

TEST_F(FileDigest, BadArgumentsAndShortBuffers) {
    char out[80];
    std::string missing = std::string(dir) + "/missing", empty = put("empty", {}, 0);
    EXPECT_EQ(get_file_md5(missing.c_str(), out, 33), -1);
    EXPECT_EQ(get_file_sha256(missing.c_str(), out), -99);
    EXPECT_EQ(get_file_sha256("", out), -100);
    EXPECT_EQ(get_file_sha256(nullptr, out), -100);
    EXPECT_EQ(get_file_sha256(empty.c_str(), nullptr), -100);
    EXPECT_EQ(get_file_md5(nullptr, out, 33), -1);
    EXPECT_EQ(get_file_md5(empty.c_str(), nullptr, 33), -1);
    EXPECT_EQ(get_file_md5(empty.c_str(), out, 0), -1);
    for (size_t size : {1, 10, 32}) {
        memset(out, '#', sizeof(out));
        EXPECT_EQ(get_file_md5(empty.c_str(), out, size), 0);
        EXPECT_EQ(std::string(out), std::string(kEmptyMd5, size - 1));
        EXPECT_EQ(out[size], '#');  // nothing written past the size given
    }
}

TEST_F(FileDigest, NamedPipeDoesNotBlock) {
    std::string fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto run = std::async(std::launch::async, [&] { return md5(fifo) + sha(fifo); });
    if (run.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // releases the stuck reader
        FAIL() << "blocked on a pipe without a writer";
    }
    EXPECT_EQ(run.get(), std::string(kEmptyMd5) + kEmptySha);
    // A writer that stays silent after "abc": what was there, then no waiting.
    int w = open(fifo.c_str(), O_RDWR);
    ASSERT_EQ(write(w, "abc", 3), 3);
    EXPECT_EQ(md5(fifo), "900150983cd24fb0d6963f7d28e17f72");
    close(w);
}

TEST_F(FileDigest, ThrottleSleepsToNextClockSecond) {
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
    sha(c);  // not throttled
    md5(c);
    EXPECT_EQ(g_sleeps, (std::vector<uint32_t>{655, 1000, 1000, 1, 1}));
}

TEST_F(FileDigest, FileCutShortWhileHashing) {
    auto data = pattern(8 << 20);
    g_cut_path = put("cut", data, data.size());
    // Cut during the first throttle sleep (5002 KiB read) to a length beyond any read-ahead
    // stdio may hold: the digest covers exactly what was still there.
    g_cut_to = 79 * 65536;
    EXPECT_EQ(md5(g_cut_path), oracle(EVP_md5(), data.data(), g_cut_to));
}

}  // namespace
