#include "util/list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "support/temp_dir.h"

namespace {

class ListTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(list_init(&list_), 0); }
    void TearDown() override { list_destroy(&list_); }

    // Element records are reached only through the chain, so a wrong mid or a broken back link
    // shows up here even when positional access happens to take another route.
    void expect_consistent(const std::vector<int*>& model) {
        ASSERT_EQ(list_size(&list_), model.size());
        const list_entry_s* e = list_.head_sentinel->next;
        for (size_t i = 0; i < model.size(); ++i) {
            ASSERT_EQ(e->data, model[i]) << "forward chain at " << i;
            ASSERT_EQ(e->next->prev, e) << "back link at " << i;
            if (i == (model.size() - 1) / 2) {
                ASSERT_EQ(list_.mid, e) << "mid of " << model.size();
            }
            e = e->next;
        }
        ASSERT_EQ(e, list_.tail_sentinel);
        if (model.empty()) {
            ASSERT_EQ(list_.mid, nullptr);
        }
        for (size_t i = 0; i < model.size(); ++i) {
            ASSERT_EQ(list_get_at(&list_, static_cast<unsigned>(i)), model[i]) << "get_at " << i;
        }
        ASSERT_EQ(list_get_at(&list_, static_cast<unsigned>(model.size())), nullptr);
    }

    list_t list_;
};

TEST_F(ListTest, PositionalAccessFollowsModelThroughRandomChanges) {
    std::vector<int> values(4000);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int>(i);
    std::vector<int*> model;
    std::mt19937 rng(20240611);
    size_t next_value = 0;

    for (int step = 0; step < 3000; ++step) {
        const unsigned n = static_cast<unsigned>(model.size());
        // Grow on average, but shrink often enough to pass through small sizes again.
        const int op = static_cast<int>(rng() % (n < 150 ? 10 : 14));
        int* v = &values[next_value % values.size()];
        if (op <= 2) {
            ++next_value;
            ASSERT_EQ(list_append(&list_, v), 0);
            model.push_back(v);
        } else if (op == 3) {
            ++next_value;
            ASSERT_EQ(list_prepend(&list_, v), 0);
            model.insert(model.begin(), v);
        } else if (op <= 6) {
            ++next_value;
            const unsigned pos = static_cast<unsigned>(rng() % (n + 1));
            ASSERT_EQ(list_insert_at(&list_, v, pos), 0);
            model.insert(model.begin() + pos, v);
        } else if (n == 0) {
            ASSERT_EQ(list_delete_at(&list_, 0), -1);
            ASSERT_EQ(list_fetch(&list_), nullptr);
        } else if (op <= 9 || op == 12) {
            const unsigned pos = static_cast<unsigned>(rng() % n);
            ASSERT_EQ(list_delete_at(&list_, pos), 0);
            model.erase(model.begin() + pos);
        } else if (op == 10) {
            const unsigned pos = static_cast<unsigned>(rng() % n);
            ASSERT_EQ(list_extract_at(&list_, pos), model[pos]);
            model.erase(model.begin() + pos);
        } else if (op == 11) {
            ASSERT_EQ(list_fetch(&list_), model.front());
            model.erase(model.begin());
        } else {
            const unsigned first = static_cast<unsigned>(rng() % n);
            const unsigned last = first + static_cast<unsigned>(rng() % std::min(n - first, 20u));
            ASSERT_EQ(list_delete_range(&list_, first, last), 0);
            model.erase(model.begin() + first, model.begin() + last + 1);
        }
        ASSERT_NO_FATAL_FAILURE(expect_consistent(model)) << "after step " << step << " op " << op;
    }
}

TEST_F(ListTest, PositionsBeyondTheEndAreRefused) {
    qztest::TraceCapture trace(QZ_LOG_ERROR);
    int a = 1;
    EXPECT_EQ(list_insert_at(&list_, &a, 1), -1);
    EXPECT_TRUE(trace.contains("beyond the end"));
    ASSERT_EQ(list_append(&list_, &a), 0);
    EXPECT_EQ(list_delete_at(&list_, 1), -1);
    EXPECT_EQ(list_extract_at(&list_, 1), nullptr);
    EXPECT_EQ(list_delete_range(&list_, 0, 1), -1);
    EXPECT_EQ(list_delete_range(&list_, 1, 0), -1);
    EXPECT_EQ(list_size(&list_), 1u);
}

TEST(List, NullListIsRefusedWithoutCrash) {
    qztest::TraceCapture trace(QZ_LOG_ERROR);
    int a = 1;
    list_hash_t h = 0;
    EXPECT_EQ(list_init(nullptr), -1);
    EXPECT_EQ(list_append(nullptr, &a), -1);
    EXPECT_EQ(list_delete_at(nullptr, 0), -1);
    EXPECT_EQ(list_get_at(nullptr, 0), nullptr);
    EXPECT_EQ(list_clear(nullptr), -1);
    EXPECT_EQ(list_sort(nullptr, 1), -1);
    EXPECT_EQ(list_hash(nullptr, &h), -1);
    EXPECT_EQ(list_iterator_start(nullptr), -1);
    EXPECT_EQ(list_size(nullptr), 0u);
    list_destroy(nullptr);
    EXPECT_TRUE(trace.contains("List is NULL"));
}

TEST_F(ListTest, RemovedRecordsAreKeptForReuseUpToFive) {
    std::vector<int> v(8);
    for (int& x : v) ASSERT_EQ(list_append(&list_, &x), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(list_delete_at(&list_, 0), 0);
    EXPECT_EQ(list_.spareelsnum, 3u);
    ASSERT_EQ(list_clear(&list_), 5);
    EXPECT_EQ(list_.spareelsnum, static_cast<unsigned>(LIST_SPARE_ELEMENTS));
    list_entry_s* reused = list_.spareels[LIST_SPARE_ELEMENTS - 1];
    ASSERT_EQ(list_append(&list_, &v[0]), 0);
    EXPECT_EQ(list_.spareelsnum, 4u);
    EXPECT_EQ(list_.head_sentinel->next, reused);
}

TEST_F(ListTest, ActiveIteratorRefusesEveryChange) {
    int a = 1, b = 2, c = 3;
    for (int* p : {&a, &b, &c}) ASSERT_EQ(list_append(&list_, p), 0);
    ASSERT_EQ(list_attributes_comparator(&list_, list_comparator_int32_t), 0);

    ASSERT_EQ(list_iterator_start(&list_), 0);
    EXPECT_EQ(list_iterator_start(&list_), -1) << "a second start must fail";

    const std::vector<std::pair<const char*, std::function<bool()>>> changes = {
        {"append", [&] { return list_append(&list_, &a) == -1; }},
        {"prepend", [&] { return list_prepend(&list_, &a) == -1; }},
        {"insert_at", [&] { return list_insert_at(&list_, &a, 1) == -1; }},
        {"fetch", [&] { return list_fetch(&list_) == nullptr; }},
        {"extract_at", [&] { return list_extract_at(&list_, 0) == nullptr; }},
        {"delete_at", [&] { return list_delete_at(&list_, 0) == -1; }},
        {"delete_range", [&] { return list_delete_range(&list_, 0, 1) == -1; }},
        {"delete", [&] { return list_delete(&list_, &a) == -1; }},
        {"clear", [&] { return list_clear(&list_) == -1; }},
        {"sort", [&] { return list_sort(&list_, -1) == -1; }},
    };
    for (const auto& [name, refused] : changes) EXPECT_TRUE(refused()) << name;
    EXPECT_EQ(list_size(&list_), 3u);

    std::vector<int> seen;
    while (list_iterator_hasnext(&list_))
        seen.push_back(*static_cast<int*>(list_iterator_next(&list_)));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(list_iterator_next(&list_), nullptr);
    EXPECT_EQ(list_iterator_next(&list_), nullptr) << "stays at the end";
    ASSERT_EQ(list_iterator_stop(&list_), 0);

    EXPECT_EQ(list_iterator_next(&list_), nullptr);
    EXPECT_EQ(list_iterator_hasnext(&list_), 0);
    for (const auto& [name, refused] : changes) EXPECT_FALSE(refused()) << name << " after stop";
}

TEST_F(ListTest, IteratorWaitClaimsAFreeIteratorAtOnce) {
    int a = 7;
    ASSERT_EQ(list_append(&list_, &a), 0);
    EXPECT_EQ(list_iterator_wait(&list_, 250, 10, 25), 1);
    EXPECT_EQ(list_iterator_next(&list_), &a) << "started at the first element";
    EXPECT_EQ(list_append(&list_, &a), -1) << "claimed means active";
    list_iterator_stop(&list_);
}

TEST_F(ListTest, IteratorWaitGivesUpWhileHeld) {
    ASSERT_EQ(list_iterator_start(&list_), 0);
    using Clock = std::chrono::steady_clock;

    auto t0 = Clock::now();
    EXPECT_EQ(list_iterator_wait(&list_, 100, 0, 10), 0);
    auto waited = Clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_LT(waited, std::chrono::seconds(5));

    // Three sleeps of at least 25 ms, since shorter sleeps are raised to 25.
    t0 = Clock::now();
    EXPECT_EQ(list_iterator_wait(&list_, 0, 3, 1), 0);
    waited = Clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(75));
    EXPECT_LT(waited, std::chrono::seconds(5));

    EXPECT_EQ(list_.iter_active, 1) << "a failed wait leaves the holder's claim alone";
    list_iterator_stop(&list_);
}

TEST_F(ListTest, IteratorWaitClaimsOnceAnotherThreadReleases) {
    ASSERT_EQ(list_iterator_start(&list_), 0);
    std::thread releaser([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        list_iterator_stop(&list_);
    });
    EXPECT_EQ(list_iterator_wait(&list_, 0, 0, 25), 1);
    releaser.join();
    EXPECT_EQ(list_.iter_active, 1);
    list_iterator_stop(&list_);
}

TEST(List, IteratorWaitOnNullListTracesError) {
    qztest::TraceCapture trace(QZ_LOG_ERROR);
    EXPECT_EQ(list_iterator_wait(nullptr, 10, 1, 25), 0);
    EXPECT_TRUE(trace.contains("list_iterator_wait: list is NULL"));
}

TEST_F(ListTest, IteratorWaitNeverHasTwoHolders) {
    std::vector<int> values(50);
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<int>(i);
        ASSERT_EQ(list_append(&list_, &values[i]), 0);
    }
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::atomic<int> holders{0};
    std::atomic<int> max_holders{0};
    std::atomic<int> claims{0};
    std::atomic<int> bad_sums{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int r = 0; r < kRounds; ++r) {
                if (list_iterator_wait(&list_, 0, 0, 1) != 1) continue;
                const int now = holders.fetch_add(1) + 1;
                int seen = max_holders.load();
                while (now > seen && !max_holders.compare_exchange_weak(seen, now)) {
                }
                int sum = 0;
                while (list_iterator_hasnext(&list_))
                    sum += *static_cast<int*>(list_iterator_next(&list_));
                if (sum != 49 * 50 / 2) bad_sums.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                holders.fetch_sub(1);
                claims.fetch_add(1);
                list_iterator_stop(&list_);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(claims.load(), kThreads * kRounds);
    EXPECT_EQ(max_holders.load(), 1);
    EXPECT_EQ(bad_sums.load(), 0);
    EXPECT_EQ(list_.iter_active, 0);
}

TEST_F(ListTest, CopyAttributeKeepsPrivateCopies) {
    qztest::TraceCapture trace(QZ_LOG_ERROR);
    EXPECT_EQ(list_attributes_copy(&list_, nullptr, 1), -1);
    EXPECT_TRUE(trace.contains("size function"));
    EXPECT_EQ(list_.attrs.copy_data, 0);

    ASSERT_EQ(list_attributes_copy(&list_, list_meter_string, 1), 0);
    char text[] = "alpha";
    ASSERT_EQ(list_append(&list_, text), 0);
    ASSERT_EQ(list_append(&list_, "beta"), 0);
    ASSERT_EQ(list_append(&list_, "gamma"), 0);
    ASSERT_EQ(list_append(&list_, "delta"), 0);
    EXPECT_EQ(list_append(&list_, nullptr), -1) << "nothing to copy";
    text[0] = 'X';
    EXPECT_NE(list_get_at(&list_, 0), static_cast<void*>(text));
    EXPECT_STREQ(static_cast<char*>(list_get_at(&list_, 0)), "alpha");

    // Extracted copies belong to the caller; deleted and remaining ones are freed by the list
    // (the sanitizer build reports any leak or double free).
    char* extracted = static_cast<char*>(list_extract_at(&list_, 1));
    EXPECT_STREQ(extracted, "beta");
    free(extracted);
    char* fetched = static_cast<char*>(list_fetch(&list_));
    EXPECT_STREQ(fetched, "alpha");
    free(fetched);
    EXPECT_EQ(list_delete_at(&list_, 0), 0);
    EXPECT_STREQ(static_cast<char*>(list_get_at(&list_, 0)), "delta");

    uint64_t big = 0x1122334455667788ull;
    list_t numbers;
    ASSERT_EQ(list_init(&numbers), 0);
    ASSERT_EQ(list_attributes_copy(&numbers, list_meter_uint64_t, 1), 0);
    ASSERT_EQ(list_append(&numbers, &big), 0);
    big = 0;
    EXPECT_EQ(*static_cast<uint64_t*>(list_get_at(&numbers, 0)), 0x1122334455667788ull);
    list_destroy(&numbers);
}

TEST_F(ListTest, SortsBothWaysWithQuicksort) {
    std::mt19937 rng(7);
    std::vector<int32_t> values(1000);
    for (auto& v : values) v = static_cast<int32_t>(rng() % 200) - 100;  // many duplicates
    EXPECT_EQ(list_sort(&list_, 1), -1) << "no comparator";
    ASSERT_EQ(list_attributes_comparator(&list_, list_comparator_int32_t), 0);
    for (auto& v : values) ASSERT_EQ(list_append(&list_, &v), 0);

    auto contents = [&] {
        std::vector<int32_t> out;
        for (unsigned i = 0; i < list_size(&list_); ++i)
            out.push_back(*static_cast<int32_t*>(list_get_at(&list_, i)));
        return out;
    };
    std::vector<int32_t> expected = values;
    std::sort(expected.begin(), expected.end());

    EXPECT_EQ(list_sort(&list_, 0), -1) << "direction must be 1 or -1";
    ASSERT_EQ(list_sort(&list_, 1), 0);
    EXPECT_EQ(contents(), expected);
    ASSERT_EQ(list_sort(&list_, 1), 0) << "already sorted input";
    EXPECT_EQ(contents(), expected);
    ASSERT_EQ(list_sort(&list_, -1), 0);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(contents(), expected);
    EXPECT_EQ(*static_cast<int32_t*>(list_get_max(&list_)), expected.front());
    EXPECT_EQ(*static_cast<int32_t*>(list_get_min(&list_)), expected.back());

    list_t words;
    ASSERT_EQ(list_init(&words), 0);
    ASSERT_EQ(list_attributes_comparator(&words, list_comparator_string), 0);
    for (const char* w : {"pear", "Apple", "apple", "fig", ""})
        ASSERT_EQ(list_append(&words, w), 0);
    ASSERT_EQ(list_sort(&words, 1), 0);
    std::vector<std::string> sorted;
    for (unsigned i = 0; i < list_size(&words); ++i)
        sorted.emplace_back(static_cast<char*>(list_get_at(&words, i)));
    EXPECT_EQ(sorted, (std::vector<std::string>{"", "Apple", "apple", "fig", "pear"}));
    list_destroy(&words);
}

int seek_by_first_char(const void* el, const void* key) {
    return *static_cast<const char*>(el) == *static_cast<const char*>(key);
}

TEST_F(ListTest, LocateSeekAndDelete) {
    const char* words[] = {"red", "green", "blue", "green"};
    for (const char* w : words) ASSERT_EQ(list_append(&list_, w), 0);

    // Without a comparator only the very pointer is found.
    std::string other_green = "green";
    EXPECT_EQ(list_locate(&list_, words[1]), 1);
    EXPECT_EQ(list_locate(&list_, other_green.c_str()), -1);
    EXPECT_EQ(list_seek(&list_, "b"), nullptr) << "no seeker";

    ASSERT_EQ(list_attributes_comparator(&list_, list_comparator_string), 0);
    ASSERT_EQ(list_attributes_seeker(&list_, seek_by_first_char), 0);
    EXPECT_EQ(list_locate(&list_, other_green.c_str()), 1) << "first equal element";
    EXPECT_EQ(list_contains(&list_, "blue"), 1);
    EXPECT_EQ(list_contains(&list_, "black"), 0);
    EXPECT_EQ(list_seek(&list_, "b"), words[2]);
    EXPECT_EQ(list_seek(&list_, "x"), nullptr);
    EXPECT_STREQ(static_cast<char*>(list_get_max(&list_)), "red");
    EXPECT_STREQ(static_cast<char*>(list_get_min(&list_)), "blue");

    EXPECT_EQ(list_delete(&list_, "green"), 0);
    EXPECT_EQ(list_size(&list_), 3u);
    EXPECT_EQ(list_get_at(&list_, 1), words[2]);
    EXPECT_EQ(list_locate(&list_, "green"), 2);
    EXPECT_EQ(list_delete(&list_, "black"), -1);
    EXPECT_EQ(list_empty(&list_), 0);
    EXPECT_EQ(list_clear(&list_), 3);
    EXPECT_EQ(list_empty(&list_), 1);
    EXPECT_EQ(list_get_max(&list_), nullptr);
}

TEST_F(ListTest, ConcatHoldsBothListsInOrder) {
    int v[5] = {0, 1, 2, 3, 4};
    list_t second, joined;
    ASSERT_EQ(list_init(&second), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(list_append(&list_, &v[i]), 0);
    for (int i = 3; i < 5; ++i) ASSERT_EQ(list_append(&second, &v[i]), 0);
    ASSERT_EQ(list_concat(&list_, &second, &joined), 0);
    ASSERT_EQ(list_size(&joined), 5u);
    for (unsigned i = 0; i < 5; ++i) EXPECT_EQ(list_get_at(&joined, i), &v[i]);
    EXPECT_EQ(list_.mid, list_.head_sentinel->next->next);
    EXPECT_EQ(list_concat(&list_, &second, &list_), -1);
    list_destroy(&joined);
    list_destroy(&second);
}

// The string hash worked by hand: start 123; position 0 adds the running hash itself;
// later positions add (hash ^ c) as a signed byte shifted by 8 * (i % 4).
//   "a":  123 + 123 = 246
//   "ab": 246 ^ 'b' = 0xF6 ^ 0x62 = 0x94 = -108 as a signed byte; 246 + (-108 << 8) = -27402
TEST(ListHash, StringHashFollowsTheAlgorithm) {
    EXPECT_EQ(list_hashcomputer_string(""), 123);
    EXPECT_EQ(list_hashcomputer_string("a"), 246);
    EXPECT_EQ(list_hashcomputer_string("ab"), -27402);
    // Long keys wrap around 32 bits instead of overflowing.
    const std::string longer(1000, '\xff');
    (void)list_hashcomputer_string(longer.c_str());
    EXPECT_NE(list_hashcomputer_string("SCAN"), list_hashcomputer_string("SCAM"));
}

// List hash: start n * 2 + 100; per element h += h ^ hash(e); h += h % n.
//   {5}:    102 + (102 ^ 5 = 99) = 201; + 201 % 1 = 201
//   {1, 2}: 104 + (104 ^ 1 = 105) = 209; + 209 % 2 = 210; + (210 ^ 2 = 208) = 418; + 0 = 418
TEST_F(ListTest, ListHashCombinesElementHashes) {
    list_hash_t h = 0;
    EXPECT_EQ(list_hash(&list_, &h), -1) << "no hasher";
    ASSERT_EQ(list_attributes_hash_computer(&list_, list_hashcomputer_int32_t), 0);
    ASSERT_EQ(list_hash(&list_, &h), 0);
    EXPECT_EQ(h, 100);

    int32_t five = 5, one = 1, two = 2;
    ASSERT_EQ(list_append(&list_, &five), 0);
    ASSERT_EQ(list_hash(&list_, &h), 0);
    EXPECT_EQ(h, 201);
    ASSERT_EQ(list_clear(&list_), 1);
    ASSERT_EQ(list_append(&list_, &one), 0);
    ASSERT_EQ(list_append(&list_, &two), 0);
    ASSERT_EQ(list_hash(&list_, &h), 0);
    EXPECT_EQ(h, 418);
}

TEST(ListElementFunctions, ComparatorsMetersAndHashers) {
    int8_t i8[] = {-5, 3};
    uint16_t u16[] = {1, 65535};
    int64_t i64[] = {INT64_MIN, INT64_MAX};
    uint64_t u64[] = {1, UINT64_MAX};
    double d[] = {-1.5, 2.25};
    float f[] = {0.5f, 0.75f};

    // > 0 when the first sorts before the second.
    EXPECT_GT(list_comparator_int8_t(&i8[0], &i8[1]), 0);
    EXPECT_LT(list_comparator_int8_t(&i8[1], &i8[0]), 0);
    EXPECT_EQ(list_comparator_int8_t(&i8[0], &i8[0]), 0);
    EXPECT_GT(list_comparator_uint16_t(&u16[0], &u16[1]), 0);
    EXPECT_GT(list_comparator_int64_t(&i64[0], &i64[1]), 0);
    EXPECT_GT(list_comparator_uint64_t(&u64[0], &u64[1]), 0);
    EXPECT_GT(list_comparator_double(&d[0], &d[1]), 0);
    EXPECT_LT(list_comparator_float(&f[1], &f[0]), 0);
    EXPECT_GT(list_comparator_string("abc", "abd"), 0);
    EXPECT_GT(list_comparator_string("a", "\xe4"), 0) << "bytes compare unsigned";

    EXPECT_EQ(list_meter_int8_t(i8), 1u);
    EXPECT_EQ(list_meter_uint16_t(u16), 2u);
    EXPECT_EQ(list_meter_int64_t(i64), 8u);
    EXPECT_EQ(list_meter_float(f), sizeof(float));
    EXPECT_EQ(list_meter_double(d), sizeof(double));
    EXPECT_EQ(list_meter_string("abc"), 4u);

    int32_t minus = -42;
    uint32_t u32 = 7;
    double three_seven = 3.7, minus_two_five = -2.5, nan = std::nan(""), huge = 1e300;
    EXPECT_EQ(list_hashcomputer_int32_t(&minus), -42);
    EXPECT_EQ(list_hashcomputer_uint32_t(&u32), 7);
    EXPECT_EQ(list_hashcomputer_int8_t(&i8[0]), -5);
    EXPECT_EQ(list_hashcomputer_double(&three_seven), 3);
    EXPECT_EQ(list_hashcomputer_double(&minus_two_five), -2);
    EXPECT_EQ(list_hashcomputer_double(&nan), 0);
    (void)list_hashcomputer_double(&huge);  // defined, whatever it wraps to
    EXPECT_EQ(list_hashcomputer_float(&f[1]), 0);
}

}  // namespace
