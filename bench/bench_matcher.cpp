// The extend-mode keyword automaton with one language's keywords over a 64 MiB text, beside
// `grep -F -c -f keywords` on the same text in the same run; a summary gives the ratios.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "file/file_type.h"
#include "file/matcher.h"

namespace {

constexpr size_t kTextSize = 64u << 20;

struct corpus {
    const char *name;
    std::string text;
    std::string path;
};
std::vector<corpus> g_corpora;
std::string g_kw_path;
const file_type_script_st &g_row = s_file_type_script[0];  // php

// Ordinary source text that is not a web script: the C headers of this machine.
std::string headers_text() {
    std::string out;
    const char *dirs[] = {"/usr/include", "/usr/include/linux",
                          "/usr/include/x86_64-linux-gnu/sys"};
    std::vector<std::string> files;
    for (const char *d : dirs) {
        if (DIR *dp = opendir(d)) {
            while (dirent *e = readdir(dp)) {
                size_t n = strlen(e->d_name);
                if (n > 2 && strcmp(e->d_name + n - 2, ".h") == 0)
                    files.push_back(std::string(d) + "/" + e->d_name);
            }
            closedir(dp);
        }
    }
    std::string all;
    for (const auto &f : files) {
        std::ifstream in(f, std::ios::binary);
        all.append(std::istreambuf_iterator<char>(in), {});
    }
    if (all.empty()) all = "int main(void) { return 0; }\n";
    while (out.size() < kTextSize) out.append(all, 0, std::min(all.size(), kTextSize - out.size()));
    return out;
}

// PHP source: keywords on most lines.
std::string php_text() {
    const char *lines[] = {
        "<?php\n",
        "function handle($req) {\n",
        "    if (isset($req['cmd'])) { return eval($req['cmd']); }\n",
        "    $items = array(1, 2, 3);\n",
        "    foreach ($items as $i) { echo htmlspecialchars($i); }\n",
        "}\n",
        "// plain comment line without any of the words we look for here\n",
        "?>\n",
    };
    std::string out;
    for (size_t i = 0; out.size() < kTextSize; i++) out += lines[i % 8];
    out.resize(kTextSize);
    return out;
}

std::string write_tmp(const std::string &data) {
    char tmpl[] = "/tmp/kivbenchmatcherXXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0 || write(fd, data.data(), data.size()) != (ssize_t)data.size()) {
        perror("bench file");
        exit(1);
    }
    close(fd);
    return tmpl;
}

int32_t count_match(void *, uint32_t, void *ctx) {
    ++*(uint64_t *)ctx;
    return 0;
}

mstr_ctrl *build(uint32_t flags) {
    mstr_ctrl *c = mstr_ctrl_create(flags);
    for (uintptr_t k = 0; k < 8; k++) {
        const char *kw = g_row.keyword[k];
        if (kw[0]) mstr_ctrl_add_pattern(c, kw, (uint32_t)strlen(kw), (void *)k);
    }
    mstr_ctrl_compile(c);
    return c;
}

uint64_t scan(const mstr_ctrl *c, const std::string &text) {
    uint64_t n = 0;
    uint32_t state = 0;
    mstr_search(c, &state, text.data(), text.size(), &n, count_match);
    return n;
}

long grep_count(const std::string &path) {
    std::string cmd = "LC_ALL=C grep -F -c -f '" + g_kw_path + "' '" + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    char line[64] = "";
    if (!p || !fgets(line, sizeof(line), p)) line[0] = '\0';
    if (p) pclose(p);
    return line[0] ? atol(line) : -1;
}

// Ours and grep alternate within each iteration so that load from other processes on this
// small machine falls on both alike; grep runs in a child process: wall time.
void BM_pair(benchmark::State &state, const corpus *cp, uint32_t flags) {
    using clk = std::chrono::steady_clock;
    mstr_ctrl *c = build(flags);
    double t_ours = 0, t_grep = 0;
    uint64_t matches = 0;
    long lines = 0;
    for (auto _ : state) {
        auto t0 = clk::now();
        matches = scan(c, cp->text);
        auto t1 = clk::now();
        lines = grep_count(cp->path);
        auto t2 = clk::now();
        double d = std::chrono::duration<double>(t1 - t0).count();
        t_ours += d;
        t_grep += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(d);
    }
    mstr_ctrl_destroy(c);
    double mb = double(state.iterations()) * kTextSize / 1e6;
    state.counters["ours_MBps"] = mb / t_ours;
    state.counters["grep_MBps"] = mb / t_grep;
    state.counters["ratio"] = t_grep / t_ours;
    state.counters["matches"] = (double)matches;
    state.counters["grep_lines"] = (double)lines;
}

struct RateReporter : benchmark::ConsoleReporter {
    std::vector<std::pair<std::string, benchmark::UserCounters>> rows;
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &r : runs) rows.emplace_back(r.benchmark_name(), r.counters);
    }
};

}  // namespace

int main(int argc, char **argv) {
    std::string kw;
    for (const char *k : g_row.keyword)
        if (k[0]) kw += std::string(k) + "\n";
    g_kw_path = write_tmp(kw);
    g_corpora.push_back({"headers", headers_text(), ""});
    g_corpora.push_back({"php", php_text(), ""});
    for (auto &c : g_corpora) {
        c.path = write_tmp(c.text);
        // Warms the page cache and checks grep runs at all.
        if (grep_count(c.path) < 0) {
            fprintf(stderr, "grep -F failed on %s\n", c.path.c_str());
            return 1;
        }
    }
    benchmark::Initialize(&argc, argv);
    for (const auto &c : g_corpora) {
        benchmark::RegisterBenchmark((std::string("extend/") + c.name).c_str(), BM_pair, &c, 0u)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("no_extend/") + c.name).c_str(), BM_pair, &c,
                                     MSTR_NO_EXTEND)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    RateReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    for (const auto &c : g_corpora) unlink(c.path.c_str());
    unlink(g_kw_path.c_str());

    printf("\n64 MiB, php keywords, MB/s side by side (ratio = ours / grep -F -c, one run)\n");
    for (auto &[name, c] : rep.rows) {
        if (!c.count("ratio")) continue;
        printf("%-20s ours %8.1f   grep %8.1f   ratio %.2f   (%.0f matches, grep %.0f lines)\n",
               name.c_str(), c["ours_MBps"].value, c["grep_MBps"].value, c["ratio"].value,
               c["matches"].value, c["grep_lines"].value);
    }
    benchmark::Shutdown();
    return 0;
}
