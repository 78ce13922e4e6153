// core_skiplist.cpp - ordered maps from caller-owned keys to caller-owned
// items, as a probabilistic skip list: expected O(log n) search, insert
// and remove, in-order iteration.  The list stores the key and item
// pointers it is given; it never copies or frees either.
#include "internal.hpp"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxLevel = 32;

struct Node {
    void *item;
    const void *key;
    int level;
    Node *next[];  // `level` entries in the allocation
};

Node *new_node(int level) {
    size_t bytes = sizeof(Node) + (size_t)level * sizeof(Node *);
    auto *n = static_cast<Node *>(std::calloc(1, bytes));
    if (n) n->level = level;
    return n;
}

} // namespace

struct Q7SL_t {
    int32_t type;
    Q7SL_cmp_t cmp;
    Node *head;  // sentinel with kMaxLevel links
    int level;   // highest level in use
    size_t count;
    uint64_t rng;
};

namespace {

int compare(const Q7SL_t *l, const void *a, const void *b) {
    switch (l->type) {
    case Q7SL_TYPE_HADDR: {
        q7addr_t x, y;
        std::memcpy(&x, a, sizeof x);
        std::memcpy(&y, b, sizeof y);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    case Q7SL_TYPE_INT64: {
        int64_t x, y;
        std::memcpy(&x, a, sizeof x);
        std::memcpy(&y, b, sizeof y);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    case Q7SL_TYPE_STR: return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
    default: return l->cmp(a, b);
    }
}

// Level of a new node: 1 plus the number of leading coin flips that come
// up heads (p = 1/2), from the list's own generator so that callers'
// random sequences are not disturbed.
int random_level(Q7SL_t *l) {
    l->rng ^= l->rng << 13;
    l->rng ^= l->rng >> 7;
    l->rng ^= l->rng << 17;
    uint64_t bits = l->rng | (1ULL << (kMaxLevel - 1));
    return 1 + __builtin_ctzll(bits);
}

// Fills update[i] with the last node at level i whose key is below key;
// returns the node after update[0].
Node *find(Q7SL_t *l, const void *key, Node **update) {
    Node *x = l->head;
    for (int i = l->level - 1; i >= 0; --i) {
        while (x->next[i] && compare(l, x->next[i]->key, key) < 0) x = x->next[i];
        if (update) update[i] = x;
    }
    return x->next[0];
}

bool check_list(q7::ApiCall &api_, Q7SL_t *l, const void *key, bool need_key) {
    (void)api_;
    if (!l) {
        Q7_PUSH(Q7E_SLIST_g, Q7E_BADVALUE_g, "no skip list given");
        return false;
    }
    if (need_key && !key) {
        Q7_PUSH(Q7E_SLIST_g, Q7E_BADVALUE_g, "no key given");
        return false;
    }
    return true;
}

} // namespace

extern "C" Q7SL_t *Q7SL_create(int32_t key_type, Q7SL_cmp_t cmp) {
    return q7::api_call("Q7SL_create", static_cast<Q7SL_t *>(nullptr), [&](q7::ApiCall &api_) -> Q7SL_t * {
        if (key_type < Q7SL_TYPE_GENERIC || key_type > Q7SL_TYPE_INT64 || (key_type == Q7SL_TYPE_GENERIC && !cmp)) {
            Q7_PUSH(Q7E_SLIST_g, Q7E_BADVALUE_g,
                    "key type %d unknown, or a generic list without a comparison function", (int)key_type);
            return api_.fail(nullptr);
        }
        auto *l = static_cast<Q7SL_t *>(std::calloc(1, sizeof(Q7SL_t)));
        Node *head = new_node(kMaxLevel);
        if (!l || !head) {
            std::free(l);
            std::free(head);
            Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "out of memory");
            return api_.fail(nullptr);
        }
        l->type = key_type;
        l->cmp = cmp;
        l->head = head;
        l->level = 1;
        l->count = 0;
        l->rng = 0x9E3779B97F4A7C15ULL ^ (uint64_t)(uintptr_t)l;
        if (!l->rng) l->rng = 1;
        return l;
    });
}

extern "C" q7status_t Q7SL_insert(Q7SL_t *slist, void *item, const void *key) {
    return q7::api_call("Q7SL_insert", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (!check_list(api_, slist, key, true)) return api_.fail(-1);
        Node *update[kMaxLevel];
        Node *x = find(slist, key, update);
        if (x && compare(slist, x->key, key) == 0) {
            Q7_PUSH(Q7E_SLIST_g, Q7E_CANTINSERT_g, "the key is already in the skip list");
            return api_.fail(-1);
        }
        int lvl = random_level(slist);
        Node *n = new_node(lvl);
        if (!n) {
            Q7_PUSH(Q7E_RESOURCE_g, Q7E_NOSPACE_g, "out of memory");
            return api_.fail(-1);
        }
        for (int i = slist->level; i < lvl; ++i) update[i] = slist->head;
        if (lvl > slist->level) slist->level = lvl;
        n->item = item;
        n->key = key;
        for (int i = 0; i < lvl; ++i) {
            n->next[i] = update[i]->next[i];
            update[i]->next[i] = n;
        }
        ++slist->count;
        return 0;
    });
}

extern "C" void *Q7SL_search(Q7SL_t *slist, const void *key) {
    return q7::api_call("Q7SL_search", static_cast<void *>(nullptr), [&](q7::ApiCall &api_) -> void * {
        if (!check_list(api_, slist, key, true)) return api_.fail(nullptr);
        Node *x = find(slist, key, nullptr);
        return x && compare(slist, x->key, key) == 0 ? x->item : nullptr;
    });
}

extern "C" void *Q7SL_remove(Q7SL_t *slist, const void *key) {
    return q7::api_call("Q7SL_remove", static_cast<void *>(nullptr), [&](q7::ApiCall &api_) -> void * {
        if (!check_list(api_, slist, key, true)) return api_.fail(nullptr);
        Node *update[kMaxLevel];
        Node *x = find(slist, key, update);
        if (!x || compare(slist, x->key, key) != 0) return nullptr;
        for (int i = 0; i < x->level; ++i) update[i]->next[i] = x->next[i];
        while (slist->level > 1 && !slist->head->next[slist->level - 1]) --slist->level;
        void *item = x->item;
        std::free(x);
        --slist->count;
        return item;
    });
}

extern "C" size_t Q7SL_count(Q7SL_t *slist) {
    return q7::api_call("Q7SL_count", (size_t)0, [&](q7::ApiCall &api_) -> size_t {
        if (!check_list(api_, slist, nullptr, false)) return api_.fail((size_t)0);
        return slist->count;
    });
}

extern "C" q7status_t Q7SL_iterate(Q7SL_t *slist, Q7SL_operator_t op, void *op_data) {
    return q7::api_call("Q7SL_iterate", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (!check_list(api_, slist, nullptr, false)) return api_.fail(-1);
        if (!op) {
            Q7_PUSH(Q7E_SLIST_g, Q7E_BADVALUE_g, "no operator given");
            return api_.fail(-1);
        }
        for (Node *x = slist->head->next[0]; x;) {
            Node *next = x->next[0];  // the operator may remove x itself
            q7status_t rc = op(x->item, const_cast<void *>(x->key), op_data);
            if (rc != 0) return rc;
            x = next;
        }
        return 0;
    });
}

extern "C" q7status_t Q7SL_destroy(Q7SL_t *slist, Q7SL_operator_t op, void *op_data) {
    return q7::api_call("Q7SL_destroy", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (!check_list(api_, slist, nullptr, false)) return api_.fail(-1);
        // The list is freed whole whatever the operator does: a list left
        // half freed could not be destroyed again.
        bool op_threw = false;
        for (Node *x = slist->head->next[0]; x;) {
            Node *next = x->next[0];
            if (op) op_threw |= q7::no_throw(true, [&] {
                op(x->item, const_cast<void *>(x->key), op_data);
                return false;
            });
            std::free(x);
            x = next;
        }
        std::free(slist->head);
        std::free(slist);
        if (op_threw) {
            Q7_PUSH(Q7E_SLIST_g, Q7E_CALLBACK_g, "the operator failed by an exception; the list is destroyed");
            return api_.fail(-1);
        }
        return 0;
    });
}
