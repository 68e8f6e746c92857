// Multi-pattern keyword automaton (mstr): a byte trie that either becomes a complete
// transition table (extend mode) or keeps Aho-Corasick failure links (no-extend mode).
// Memory comes from calloc/realloc/free: it is built once and never accounted.
#pragma once
#include <cstddef>
#include <cstdint>

#include "qxkiv/file_type.h"

struct mstr_node {
    uint32_t id;          // index in the node table; the root is 0
    uint32_t accept_len;  // non-zero: a pattern of this length ends here
    void *data;           // value given with that pattern
    mstr_node *fail;      // no-extend mode only
    uint64_t linked[4];   // bit c: next[c] was borrowed during extend compilation
    mstr_node *next[256];
};

struct mstr_ctrl {
    uint32_t nocase;
    uint32_t no_extend;
    uint32_t compiled;
    uint32_t node_cnt;
    uint32_t node_cap;
    mstr_node **nodes;
    // Extend mode after compilation: node_cnt rows of 256 entries, each the target's id
    // times 256 with bit 31 set when the target accepts, text bytes already folded.
    uint32_t *table;
};

// Keywords are words; extend compilation costs the square of a pattern's length.
constexpr uint32_t MSTR_MAX_PATTERN_LEN = 256;
// Keeps id * 256 below bit 31 of a table entry.
constexpr uint32_t MSTR_MAX_NODES = 1u << 23;

mstr_node *mstr_node_alloc(mstr_ctrl *ctrl);
int mstr_ctrl_compile_extend(mstr_ctrl *ctrl);
int mstr_ctrl_compile_no_extend(mstr_ctrl *ctrl);
int32_t mstr_search_extend(const mstr_ctrl *ctrl, uint32_t *state, const void *text, size_t length,
                           void *context, mstr_callback callback);
int32_t mstr_search_no_extend(const mstr_ctrl *ctrl, uint32_t *state, const void *text,
                              size_t length, void *context, mstr_callback callback);
