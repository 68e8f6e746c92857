// Intrusive lists in the Linux kernel style: a circular doubly linked list and a hash-chain
// list whose nodes point back at the previous link, so a node unlinks without its bucket.
#pragma once
#include <cstddef>
#include <cstdint>

struct list_head {
    list_head *next;
    list_head *prev;
};

struct hlist_node {
    hlist_node *next;
    hlist_node **pprev;
};

struct hlist_head {
    hlist_node *first;
};

// Written into a removed hash-chain node so a later use of it faults recognisably.
#define HLIST_POISON_NEXT ((hlist_node *)0x100100)
#define HLIST_POISON_PPREV ((hlist_node **)0x200200)

#define container_of(ptr, type, member) ((type *)((char *)(ptr)-offsetof(type, member)))
#define list_entry(ptr, type, member) container_of(ptr, type, member)
#define hlist_entry(ptr, type, member) container_of(ptr, type, member)

#define LIST_HEAD_INIT(name) \
    { &(name), &(name) }

inline void INIT_LIST_HEAD(list_head *head) {
    head->next = head;
    head->prev = head;
}

inline void __list_add(list_head *node, list_head *prev, list_head *next) {
    next->prev = node;
    node->next = next;
    node->prev = prev;
    prev->next = node;
}

// Inserts right after head (stack order).
inline void list_add(list_head *node, list_head *head) {
    __list_add(node, head, head->next);
}

// Inserts right before head (queue order).
inline void list_add_tail(list_head *node, list_head *head) {
    __list_add(node, head->prev, head);
}

inline void __list_unlink(list_head *node) {
    node->next->prev = node->prev;
    node->prev->next = node->next;
}

// Unlinks only; the node's own links are left as they were.
inline void list_del(list_head *node) {
    __list_unlink(node);
}

// Unlinks and points the node at itself, so list_empty() on it reports "not linked".
inline void list_del_init(list_head *node) {
    __list_unlink(node);
    INIT_LIST_HEAD(node);
}

inline void list_move(list_head *node, list_head *head) {
    __list_unlink(node);
    list_add(node, head);
}

inline void list_move_tail(list_head *node, list_head *head) {
    __list_unlink(node);
    list_add_tail(node, head);
}

inline bool list_empty(const list_head *head) {
    return head->next == head;
}

#define list_for_each(pos, head) for (pos = (head)->next; pos != (head); pos = pos->next)
// Safe against removal of pos.
#define list_for_each_safe(pos, n, head) \
    for (pos = (head)->next, n = pos->next; pos != (head); pos = n, n = pos->next)

inline void INIT_HLIST_HEAD(hlist_head *head) {
    head->first = nullptr;
}

inline void INIT_HLIST_NODE(hlist_node *node) {
    node->next = nullptr;
    node->pprev = nullptr;
}

inline bool hlist_empty(const hlist_head *head) {
    return head->first == nullptr;
}

inline bool hlist_unhashed(const hlist_node *node) {
    return node->pprev == nullptr;
}

inline void hlist_add_head(hlist_node *node, hlist_head *head) {
    hlist_node *first = head->first;
    node->next = first;
    if (first) first->pprev = &node->next;
    head->first = node;
    node->pprev = &head->first;
}

inline void hlist_del(hlist_node *node) {
    hlist_node *next = node->next;
    hlist_node **pprev = node->pprev;
    *pprev = next;
    if (next) next->pprev = pprev;
    node->next = HLIST_POISON_NEXT;
    node->pprev = HLIST_POISON_PPREV;
}

// Unlinks a node if it is in a chain and marks it unhashed, so it may be deleted again.
inline void hlist_del_init(hlist_node *node) {
    if (hlist_unhashed(node)) return;
    hlist_del(node);
    INIT_HLIST_NODE(node);
}

#define hlist_for_each(pos, head) for (pos = (head)->first; pos; pos = pos->next)
// Safe against removal of pos.
#define hlist_for_each_safe(pos, n, head) \
    for (pos = (head)->first; pos && ((n = pos->next), true); pos = n)
