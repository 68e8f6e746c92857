// Multi-pattern keyword automaton.
#include "file/matcher.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"

namespace {

constexpr uint8_t fold(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? (uint8_t)(c | 0x20) : c;
}

constexpr auto kFold = [] {
    struct {
        uint8_t v[256];
        constexpr uint8_t operator[](uint8_t c) const { return v[c]; }
    } t{};
    for (int c = 0; c < 256; c++) t.v[c] = fold((uint8_t)c);
    return t;
}();

inline bool is_linked(const mstr_node *n, unsigned c) {
    return (n->linked[c >> 6] >> (c & 63)) & 1;
}

inline void set_linked(mstr_node *n, unsigned c) {
    n->linked[c >> 6] |= 1ull << (c & 63);
}

// Borrow b's transitions into a where a has none; where both have one, the subtrees are
// merged the same way, so a suffix's deeper transitions reach every node ending with it.
void do_link_node_extend(mstr_node *a, mstr_node *b) {
    if (a == b) return;
    for (unsigned c = 0; c < 256; c++) {
        mstr_node *bn = b->next[c];
        if (!bn) continue;
        mstr_node *an = a->next[c];
        if (!an) {
            a->next[c] = bn;
            set_linked(a, c);
        } else if (an != bn) {
            do_link_node_extend(an, bn);
        }
    }
}

void link_node_extend(mstr_node *n, mstr_node *root) {
    if (n != root) do_link_node_extend(n, root);
    for (unsigned c = 0; c < 256; c++) {
        if (n->next[c] && !is_linked(n, c)) link_node_extend(n->next[c], root);
    }
}

// The first assignment wins and overlays start from the outermost nodes, so each fail
// link ends up on the longest proper suffix that is also a trie node.
void do_link_node_no_extend(mstr_node *a, mstr_node *b) {
    if (!a->fail) a->fail = b;
    for (unsigned c = 0; c < 256; c++) {
        if (a->next[c] && b->next[c]) do_link_node_no_extend(a->next[c], b->next[c]);
    }
}

void link_node_no_extend(mstr_node *n, mstr_node *root) {
    if (n != root) do_link_node_no_extend(n, root);
    for (unsigned c = 0; c < 256; c++) {
        if (n->next[c]) link_node_no_extend(n->next[c], root);
    }
}

// Reports the node reached; a non-zero result ends the search.
inline int32_t on_accept(const mstr_node *n, size_t pos_after, uint32_t *state, void *context,
                         mstr_callback callback) {
    int32_t r = 1;
    if (callback) {
        r = callback(n->data, (uint32_t)pos_after - n->accept_len, context);
        if (r == 0) return 0;
    }
    if (state) *state = n->id;
    return r;
}

inline uint32_t start_id(const mstr_ctrl *ctrl, const uint32_t *state) {
    return (state && *state < ctrl->node_cnt) ? *state : 0;
}

}  // namespace

mstr_node *mstr_node_alloc(mstr_ctrl *ctrl) {
    if (ctrl->node_cnt == ctrl->node_cap) {
        uint32_t cap = ctrl->node_cap ? ctrl->node_cap * 2 : 128;
        void *grown = cap <= MSTR_MAX_NODES
                          ? realloc(ctrl->nodes, (size_t)cap * sizeof(mstr_node *))
                          : nullptr;
        if (!grown) {
            KIV_LOG(0, "out of memory\n\n");
            return nullptr;
        }
        ctrl->nodes = (mstr_node **)grown;
        ctrl->node_cap = cap;
    }
    auto *n = (mstr_node *)calloc(1, sizeof(mstr_node));
    if (!n) {
        KIV_LOG(0, "out of memory\n\n");
        return nullptr;
    }
    n->id = ctrl->node_cnt;
    ctrl->nodes[ctrl->node_cnt++] = n;
    return n;
}

mstr_ctrl *mstr_ctrl_create(uint32_t flags) {
    auto *ctrl = (mstr_ctrl *)calloc(1, sizeof(mstr_ctrl));
    if (!ctrl) {
        KIV_LOG(0, "out of memory\n\n");
        return nullptr;
    }
    ctrl->nocase = (flags & MSTR_NOCASE) ? 1 : 0;
    ctrl->no_extend = (flags & MSTR_NO_EXTEND) ? 1 : 0;
    if (!mstr_node_alloc(ctrl)) {
        mstr_ctrl_destroy(ctrl);
        return nullptr;
    }
    return ctrl;
}

int mstr_ctrl_add_pattern(mstr_ctrl *ctrl, const void *pattern, uint32_t length, void *data) {
    if (!ctrl || (!pattern && length) || length > MSTR_MAX_PATTERN_LEN) {
        KIV_LOG(1, "bad pattern, length %u\n", length);
        return -1;
    }
    if (ctrl->compiled) return -1;
    if (length == 0) return 0;
    auto *p = (const uint8_t *)pattern;
    mstr_node *n = ctrl->nodes[0];
    for (uint32_t i = 0; i < length; i++) {
        uint8_t c = ctrl->nocase ? fold(p[i]) : p[i];
        if (!n->next[c]) {
            // A failure here leaves only non-accepting prefix nodes behind: harmless.
            mstr_node *child = mstr_node_alloc(ctrl);
            if (!child) return -3;
            n->next[c] = child;
        }
        n = n->next[c];
    }
    if (n->accept_len) return -2;
    n->accept_len = length;
    if (length > ctrl->max_len) ctrl->max_len = length;
    n->data = data;
    return 0;
}

int mstr_ctrl_compile_extend(mstr_ctrl *ctrl) {
    mstr_node *root = ctrl->nodes[0];
    link_node_extend(root, root);
    for (uint32_t i = 0; i < ctrl->node_cnt; i++) {
        mstr_node *n = ctrl->nodes[i];
        for (unsigned c = 0; c < 256; c++) {
            if (!n->next[c]) n->next[c] = root;
        }
    }
    ctrl->compiled = 1;
    return 0;
}

int mstr_ctrl_compile_no_extend(mstr_ctrl *ctrl) {
    mstr_node *root = ctrl->nodes[0];
    link_node_no_extend(root, root);
    for (uint32_t i = 0; i < ctrl->node_cnt; i++) {
        if (!ctrl->nodes[i]->fail) ctrl->nodes[i]->fail = root;
    }
    ctrl->compiled = 1;
    return 0;
}

int mstr_ctrl_compile(mstr_ctrl *ctrl) {
    if (!ctrl) return -1;
    if (ctrl->compiled) return 0;
    return ctrl->no_extend ? mstr_ctrl_compile_no_extend(ctrl) : mstr_ctrl_compile_extend(ctrl);
}

namespace {

template <bool Nocase>
inline uint8_t text_byte(const uint8_t *p, size_t i) {
    return Nocase ? kFold[p[i]] : p[i];
}

// Half of a two-chain block, and how many matches of the second chain wait for the first.
constexpr size_t kChainHalf = 2048;
constexpr size_t kPendingMax = 256;

struct pending_match {
    size_t end;
    const mstr_node *node;
};

// One table step per byte is a chain of dependent loads, so a long text is walked in
// blocks by two chains at once: the first from the carried state, the second from the root
// at the block's middle. After max_len bytes the second chain is in the state the first
// would have reached (a state is the longest text suffix that begins a pattern), so the
// first walks only those bytes past the middle, and the second's later matches, held back
// in text order, are then reported as its own.
template <bool Nocase>
int32_t search_extend(const mstr_ctrl *ctrl, uint32_t *state, const uint8_t *p, size_t length,
                      void *context, mstr_callback callback) {
    const mstr_node *root = ctrl->nodes[0];
    const mstr_node *n = ctrl->nodes[start_id(ctrl, state)];
    const size_t settle = ctrl->max_len;
    size_t i = 0;
    while (length - i >= 2 * kChainHalf) {
        const size_t mid = i + kChainHalf;
        const mstr_node *b = root;
        size_t j = mid;
        pending_match held[kPendingMax];
        size_t nheld = 0;
        bool b_live = true;
        for (; i < mid; i++) {
            n = n->next[text_byte<Nocase>(p, i)];
            if (n->accept_len) {
                int32_t r = on_accept(n, i + 1, state, context, callback);
                if (r) return r;
            }
            if (!b_live) continue;
            b = b->next[text_byte<Nocase>(p, j)];
            j++;
            if (b->accept_len && j > mid + settle) {
                held[nheld++] = {j, b};
                // Full: the second chain stops here and the first takes over from it.
                b_live = nheld < kPendingMax;
            }
        }
        for (; i < mid + settle; i++) {
            n = n->next[text_byte<Nocase>(p, i)];
            if (n->accept_len) {
                int32_t r = on_accept(n, i + 1, state, context, callback);
                if (r) return r;
            }
        }
        for (size_t k = 0; k < nheld; k++) {
            int32_t r = on_accept(held[k].node, held[k].end, state, context, callback);
            if (r) return r;
        }
        n = b;
        i = j;
    }
    for (; i < length; i++) {
        n = n->next[text_byte<Nocase>(p, i)];
        if (n->accept_len) {
            int32_t r = on_accept(n, i + 1, state, context, callback);
            if (r) return r;
        }
    }
    if (state) *state = n->id;
    return 0;
}

}  // namespace

int32_t mstr_search_extend(const mstr_ctrl *ctrl, uint32_t *state, const void *text, size_t length,
                           void *context, mstr_callback callback) {
    auto *p = (const uint8_t *)text;
    return ctrl->nocase ? search_extend<true>(ctrl, state, p, length, context, callback)
                        : search_extend<false>(ctrl, state, p, length, context, callback);
}

int32_t mstr_search_no_extend(const mstr_ctrl *ctrl, uint32_t *state, const void *text,
                              size_t length, void *context, mstr_callback callback) {
    mstr_node *root = ctrl->nodes[0];
    mstr_node *n = ctrl->nodes[start_id(ctrl, state)];
    const uint8_t *p = (const uint8_t *)text;
    for (size_t i = 0; i < length; i++) {
        uint8_t c = ctrl->nocase ? fold(p[i]) : p[i];
        while (!n->next[c] && n != root) n = n->fail;
        n = n->next[c] ? n->next[c] : root;
        if (n->accept_len) {
            int32_t r = on_accept(n, i + 1, state, context, callback);
            if (r) return r;
        }
    }
    if (state) *state = n->id;
    return 0;
}

int32_t mstr_search(const mstr_ctrl *ctrl, uint32_t *state, const void *text, size_t length,
                    void *context, mstr_callback callback) {
    if (!ctrl || !ctrl->compiled) return 0;
    if (!text) length = 0;
    return ctrl->no_extend ? mstr_search_no_extend(ctrl, state, text, length, context, callback)
                           : mstr_search_extend(ctrl, state, text, length, context, callback);
}

void mstr_state_reset(uint32_t *state) {
    if (state) *state = 0;
}

void mstr_ctrl_destroy(mstr_ctrl *ctrl) {
    if (!ctrl) return;
    for (uint32_t i = 0; i < ctrl->node_cnt; i++) free(ctrl->nodes[i]);
    free(ctrl->nodes);
    free(ctrl);
}

void mstr_ctrl_debug(const mstr_ctrl *ctrl) {
    if (!ctrl) return;
    for (uint32_t i = 0; i < ctrl->node_cnt; i++) {
        const mstr_node *n = ctrl->nodes[i];
        printf("state %3d, %p%s: \n", (int)n->id, n->data, n->accept_len ? "(ACCEPT)" : "");
        if (ctrl->no_extend && n->fail) printf("fail to %d\n", (int)n->fail->id);
        for (unsigned c = 0; c < 256; c++) {
            if (n->next[c])
                printf("%3d ", (int)n->next[c]->id);
            else
                printf("  - ");
        }
        printf("\n");
    }
}
