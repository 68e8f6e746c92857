// The keyword automaton's hits as the tests and the fuzz target collect them: whole-text
// offsets, the text searched in pieces cut at the given places.
#pragma once
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "qxkiv/file_type.h"

struct hit {
    int64_t start;  // offset of the first byte in the whole text
    uintptr_t data;
    bool operator<(const hit &o) const { return std::tie(start, data) < std::tie(o.start, o.data); }
    bool operator==(const hit &o) const { return start == o.start && data == o.data; }
};

struct collect_ctx {
    std::vector<hit> *hits;
    int64_t base;  // where the current piece starts in the whole text
};

inline int32_t collect(void *data, uint32_t offset, void *context) {
    auto *c = static_cast<collect_ctx *>(context);
    // A match begun in an earlier piece arrives as a wrapped negative offset.
    c->hits->push_back({c->base + (int32_t)offset, (uintptr_t)data});
    return 0;
}

// Searches text piece by piece, the state carried across; *failed counts the calls that did
// not return 0.
inline std::vector<hit> search_pieces(const mstr_ctrl *ctrl, const std::string &text,
                                      const std::vector<size_t> &cuts, int *failed = nullptr) {
    std::vector<hit> hits;
    uint32_t state = 0;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); i++) {
        size_t to = i < cuts.size() ? cuts[i] : text.size();
        collect_ctx c{&hits, (int64_t)from};
        if (mstr_search(ctrl, &state, text.data() + from, to - from, &c, collect) != 0 && failed)
            ++*failed;
        from = to;
    }
    return hits;
}
