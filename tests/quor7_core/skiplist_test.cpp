// Skip lists against std::map, and the key types the tools rely on.
#include "quor7.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

struct Entry {
    q7addr_t addr;  // the key lives inside the item, as the tools keep it
    int value;
};

q7status_t collect_values(void *item, void *key, void *data) {
    auto *e = static_cast<Entry *>(item);
    EXPECT_EQ(key, &e->addr);
    static_cast<std::vector<q7addr_t> *>(data)->push_back(e->addr);
    return 0;
}

TEST(CoreSkipList, MatchesStdMapOverRandomOperations) {
    Q7Eset_auto2(0, nullptr, nullptr);
    Q7SL_t *sl = Q7SL_create(Q7SL_TYPE_HADDR, nullptr);
    ASSERT_NE(sl, nullptr);
    std::map<q7addr_t, Entry *> ref;
    std::mt19937_64 rng(42);
    for (int i = 0; i < 20000; ++i) {
        q7addr_t k = rng() % 3000;
        if (i % 1000 == 999) k = UINT64_MAX - (rng() % 3);  // extreme keys
        switch (rng() % 3) {
        case 0: {
            auto *e = new Entry{k, i};
            q7status_t rc = Q7SL_insert(sl, e, &e->addr);
            if (ref.count(k)) {
                EXPECT_LT(rc, 0);  // present keys are refused
                delete e;
            } else {
                EXPECT_GE(rc, 0);
                ref[k] = e;
            }
            break;
        }
        case 1: {
            auto *got = static_cast<Entry *>(Q7SL_search(sl, &k));
            auto it = ref.find(k);
            EXPECT_EQ(got, it == ref.end() ? nullptr : it->second);
            break;
        }
        default: {
            auto *got = static_cast<Entry *>(Q7SL_remove(sl, &k));
            auto it = ref.find(k);
            EXPECT_EQ(got, it == ref.end() ? nullptr : it->second);
            if (it != ref.end()) {
                delete it->second;
                ref.erase(it);
            }
        }
        }
        ASSERT_EQ(Q7SL_count(sl), ref.size());
    }
    std::vector<q7addr_t> order, want;
    ASSERT_EQ(Q7SL_iterate(sl, collect_values, &order), 0);
    for (auto &kv : ref) want.push_back(kv.first);
    EXPECT_EQ(order, want);

    // Destroy visits every item once, in key order.
    std::vector<q7addr_t> freed;
    auto free_cb = [](void *item, void *, void *data) -> q7status_t {
        auto *e = static_cast<Entry *>(item);
        static_cast<std::vector<q7addr_t> *>(data)->push_back(e->addr);
        delete e;
        return 0;
    };
    ASSERT_GE(Q7SL_destroy(sl, free_cb, &freed), 0);
    EXPECT_EQ(freed, want);
}

TEST(CoreSkipList, StringIntAndGenericKeys) {
    Q7Eset_auto2(0, nullptr, nullptr);
    Q7SL_t *s = Q7SL_create(Q7SL_TYPE_STR, nullptr);
    ASSERT_NE(s, nullptr);
    std::string keys[] = {"pear", "apple", "fig", "apple2"};
    int items[4] = {0, 1, 2, 3};
    for (int i = 0; i < 4; ++i) ASSERT_GE(Q7SL_insert(s, &items[i], keys[i].c_str()), 0);
    std::string probe = "fig";  // a different pointer with equal text
    EXPECT_EQ(Q7SL_search(s, probe.c_str()), &items[2]);
    EXPECT_LT(Q7SL_insert(s, &items[0], probe.c_str()), 0);
    std::vector<std::string> order;
    auto by_name = [](void *, void *key, void *data) -> q7status_t {
        static_cast<std::vector<std::string> *>(data)->push_back(static_cast<const char *>(key));
        return 0;
    };
    Q7SL_iterate(s, by_name, &order);
    EXPECT_EQ(order, (std::vector<std::string>{"apple", "apple2", "fig", "pear"}));
    // A non-zero operator result stops the walk and is returned.
    int visits = 0;
    auto stop = [](void *, void *, void *data) -> q7status_t { return ++*static_cast<int *>(data) == 2 ? 5 : 0; };
    EXPECT_EQ(Q7SL_iterate(s, stop, &visits), 5);
    EXPECT_EQ(visits, 2);
    EXPECT_GE(Q7SL_destroy(s, nullptr, nullptr), 0);

    Q7SL_t *n = Q7SL_create(Q7SL_TYPE_INT64, nullptr);
    int64_t ik[3] = {5, -7, 0};
    for (auto &k : ik) ASSERT_GE(Q7SL_insert(n, &k, &k), 0);
    std::vector<int64_t> iorder;
    Q7SL_iterate(n, [](void *item, void *, void *d) -> q7status_t {
        static_cast<std::vector<int64_t> *>(d)->push_back(*static_cast<int64_t *>(item));
        return 0;
    }, &iorder);
    EXPECT_EQ(iorder, (std::vector<int64_t>{-7, 0, 5}));  // signed order
    Q7SL_destroy(n, nullptr, nullptr);

    auto reverse = [](const void *a, const void *b) {
        int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
        return (y > x) - (y < x);
    };
    Q7SL_t *g = Q7SL_create(Q7SL_TYPE_GENERIC, reverse);
    int gk[3] = {1, 3, 2};
    for (auto &k : gk) ASSERT_GE(Q7SL_insert(g, &k, &k), 0);
    std::vector<int64_t> gorder;
    Q7SL_iterate(g, [](void *item, void *, void *d) -> q7status_t {
        static_cast<std::vector<int64_t> *>(d)->push_back(*static_cast<int *>(item));
        return 0;
    }, &gorder);
    EXPECT_EQ(gorder, (std::vector<int64_t>{3, 2, 1}));
    Q7SL_destroy(g, nullptr, nullptr);

    EXPECT_EQ(Q7SL_create(Q7SL_TYPE_GENERIC, nullptr), nullptr);
    EXPECT_EQ(Q7SL_create(9, nullptr), nullptr);
    EXPECT_LT(Q7SL_insert(nullptr, items, "x"), 0);
    EXPECT_EQ(Q7SL_search(nullptr, "x"), nullptr);
    EXPECT_LT(Q7SL_destroy(nullptr, nullptr, nullptr), 0);
}

} // namespace
