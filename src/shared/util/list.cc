// The generic list. Invariant kept by every structural change: for n > 0 elements, `mid` is the
// element at position (n - 1) / 2, so a walk from head, mid or tail never exceeds n / 4 steps.
// The iterator flag is read and claimed with atomic operations because cooperating threads poll
// it through list_iterator_wait; everything else relies on the owner's lock.
#include "util/list.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <thread>
#include <vector>

#include "log/log.h"

namespace {

bool is_initialised(const list_t* l) {
    return l != nullptr && l->head_sentinel != nullptr && l->tail_sentinel != nullptr;
}

bool iterator_active(const list_t* l) {
    return __atomic_load_n(&l->iter_active, __ATOMIC_ACQUIRE) != 0;
}

// Claims the iterator flag; true when this caller set it.
bool claim_iterator(list_t* l) {
    int expected = 0;
    return __atomic_compare_exchange_n(&l->iter_active, &expected, 1, false, __ATOMIC_ACQUIRE,
                                       __ATOMIC_RELAXED);
}

// Refuses a structural change: -1 with a reason, 0 when the list may be changed.
int check_changeable(const list_t* l, const char* function) {
    if (!is_initialised(l)) {
        log_log(QZ_LOG_ERROR, function, __FILE__, __LINE__, "List is NULL or not initialised");
        return -1;
    }
    if (iterator_active(l)) {
        log_log(QZ_LOG_ERROR, function, __FILE__, __LINE__,
                "List is being iterated, change refused");
        return -1;
    }
    return 0;
}

// The element at pos, where -1 is the head sentinel and numels the tail sentinel. Walks from the
// nearest of head, mid and tail.
list_entry_s* find_position(const list_t* l, long pos) {
    const long n = l->numels;
    if (pos < -1 || pos > n) return nullptr;
    if (n == 0) return pos < 0 ? l->head_sentinel : l->tail_sentinel;

    const long mid_pos = (n - 1) / 2;
    const long from_head = pos + 1;
    const long from_mid = pos > mid_pos ? pos - mid_pos : mid_pos - pos;
    const long from_tail = n - pos;

    list_entry_s* e;
    if (from_head <= from_mid && from_head <= from_tail) {
        e = l->head_sentinel;
        for (long i = -1; i < pos; ++i) e = e->next;
    } else if (from_mid <= from_tail) {
        e = l->mid;
        for (long i = mid_pos; i < pos; ++i) e = e->next;
        for (long i = mid_pos; i > pos; --i) e = e->prev;
    } else {
        e = l->tail_sentinel;
        for (long i = n; i > pos; --i) e = e->prev;
    }
    return e;
}

// Moves mid from the element now at position `current` to position (numels - 1) / 2.
void settle_mid(list_t* l, long current) {
    if (l->numels == 0) {
        l->mid = nullptr;
        return;
    }
    const long target = (static_cast<long>(l->numels) - 1) / 2;
    for (; current < target; ++current) l->mid = l->mid->next;
    for (; current > target; --current) l->mid = l->mid->prev;
}

list_entry_s* take_record(list_t* l) {
    if (l->spareelsnum > 0) return l->spareels[--l->spareelsnum];
    return static_cast<list_entry_s*>(malloc(sizeof(list_entry_s)));
}

void give_back_record(list_t* l, list_entry_s* e) {
    if (l->spareelsnum < LIST_SPARE_ELEMENTS) {
        l->spareels[l->spareelsnum++] = e;
    } else {
        free(e);
    }
}

int insert_at(list_t* l, const void* data, unsigned int pos, const char* function) {
    if (check_changeable(l, function) != 0) return -1;
    if (pos > l->numels) {
        log_log(QZ_LOG_ERROR, function, __FILE__, __LINE__,
                "Position %u is beyond the end of the list (%u elements)", pos, l->numels);
        return -1;
    }

    void* stored = const_cast<void*>(data);
    if (l->attrs.copy_data) {
        if (data == nullptr) {
            log_log(QZ_LOG_ERROR, function, __FILE__, __LINE__,
                    "NULL element cannot be copied into the list");
            return -1;
        }
        const size_t size = l->attrs.meter(data);
        stored = malloc(size > 0 ? size : 1);
        if (stored == nullptr) {
            log_log(QZ_LOG_ERROR, function, __FILE__, __LINE__,
                    "Failed to allocate %zu bytes for an element copy", size);
            return -1;
        }
        memcpy(stored, data, size);
    }

    list_entry_s* e = take_record(l);
    if (e == nullptr) {
        if (l->attrs.copy_data) free(stored);
        log_log(QZ_LOG_ERROR, function, __FILE__, __LINE__, "Failed to allocate a list element");
        return -1;
    }
    e->data = stored;

    list_entry_s* before = find_position(l, static_cast<long>(pos) - 1);
    list_entry_s* after = before->next;
    before->next = e;
    e->prev = before;
    e->next = after;
    after->prev = e;

    const long old_mid_pos = (static_cast<long>(l->numels) - 1) / 2;
    l->numels++;
    if (l->numels == 1) {
        l->mid = e;
    } else {
        // The old mid shifted one place right when the new element went in at or before it.
        settle_mid(l, static_cast<long>(pos) <= old_mid_pos ? old_mid_pos + 1 : old_mid_pos);
    }
    return 0;
}

// Unlinks the element e at position pos and recycles its record; returns its data.
void* unlink_at(list_t* l, list_entry_s* e, unsigned int pos) {
    const long old_mid_pos = (static_cast<long>(l->numels) - 1) / 2;
    long mid_now;
    if (e == l->mid) {
        // Step off the leaving element first; its successor takes over its position.
        l->mid = e->next;
        mid_now = old_mid_pos;
    } else {
        mid_now = static_cast<long>(pos) < old_mid_pos ? old_mid_pos - 1 : old_mid_pos;
    }

    e->prev->next = e->next;
    e->next->prev = e->prev;
    l->numels--;
    settle_mid(l, mid_now);

    void* data = e->data;
    give_back_record(l, e);
    return data;
}

void release_data(const list_t* l, void* data) {
    if (l->attrs.copy_data) free(data);
}

// Sign of the order of a and b: true when a belongs before b in the requested direction.
bool sorts_before(element_comparator cmp, const void* a, const void* b, int versus) {
    const int c = cmp(a, b);
    return versus > 0 ? c > 0 : c < 0;
}

void quicksort(std::vector<void*>& v, long lo, long hi, element_comparator cmp, int versus) {
    while (lo < hi) {
        // Median of three keeps sorted and reverse-sorted input from degrading to n^2.
        const long m = lo + (hi - lo) / 2;
        if (sorts_before(cmp, v[m], v[lo], versus)) std::swap(v[m], v[lo]);
        if (sorts_before(cmp, v[hi], v[lo], versus)) std::swap(v[hi], v[lo]);
        if (sorts_before(cmp, v[hi], v[m], versus)) std::swap(v[hi], v[m]);
        void* pivot = v[m];

        long i = lo;
        long j = hi;
        while (i <= j) {
            while (sorts_before(cmp, v[i], pivot, versus)) ++i;
            while (sorts_before(cmp, pivot, v[j], versus)) --j;
            if (i <= j) {
                std::swap(v[i], v[j]);
                ++i;
                --j;
            }
        }
        // Recurse into the smaller part, loop over the larger: stack depth stays logarithmic.
        if (j - lo < hi - i) {
            quicksort(v, lo, j, cmp, versus);
            lo = i;
        } else {
            quicksort(v, i, hi, cmp, versus);
            hi = j;
        }
    }
}

void* extreme(const list_t* l, int versus) {
    if (!is_initialised(l) || l->attrs.comparator == nullptr || l->numels == 0) return nullptr;
    void* best = l->head_sentinel->next->data;
    for (list_entry_s* e = l->head_sentinel->next->next; e != l->tail_sentinel; e = e->next) {
        if (sorts_before(l->attrs.comparator, best, e->data, versus)) best = e->data;
    }
    return best;
}

template <typename T>
int compare_numbers(const void* a, const void* b) {
    const T x = *static_cast<const T*>(a);
    const T y = *static_cast<const T*>(b);
    return (x < y) - (x > y);
}

// Truncation toward zero that stays defined for NaN and values beyond the integer range.
template <typename T>
list_hash_t hash_floating(const void* el) {
    const T v = *static_cast<const T*>(el);
    if (std::isnan(v)) return 0;
    int64_t whole;
    if (v >= static_cast<T>(std::numeric_limits<int64_t>::max())) {
        whole = std::numeric_limits<int64_t>::max();
    } else if (v <= static_cast<T>(std::numeric_limits<int64_t>::min())) {
        whole = std::numeric_limits<int64_t>::min();
    } else {
        whole = static_cast<int64_t>(v);
    }
    return static_cast<list_hash_t>(static_cast<uint32_t>(static_cast<uint64_t>(whole)));
}

template <typename T>
list_hash_t hash_integer(const void* el) {
    return static_cast<list_hash_t>(static_cast<uint32_t>(*static_cast<const T*>(el)));
}

}  // namespace

extern "C" {

int list_init(list_t* l) {
    if (l == nullptr) {
        LOG_ERROR("List is NULL");
        return -1;
    }
    memset(l, 0, sizeof(*l));
    l->head_sentinel = static_cast<list_entry_s*>(calloc(1, sizeof(list_entry_s)));
    l->tail_sentinel = static_cast<list_entry_s*>(calloc(1, sizeof(list_entry_s)));
    if (l->head_sentinel == nullptr || l->tail_sentinel == nullptr) {
        free(l->head_sentinel);
        free(l->tail_sentinel);
        l->head_sentinel = l->tail_sentinel = nullptr;
        LOG_ERROR("Failed to allocate the list sentinels");
        return -1;
    }
    l->head_sentinel->next = l->tail_sentinel;
    l->tail_sentinel->prev = l->head_sentinel;
    return 0;
}

void list_destroy(list_t* l) {
    if (!is_initialised(l)) return;
    // Destruction ends any iteration: the list goes away whoever was walking it.
    list_entry_s* e = l->head_sentinel->next;
    while (e != l->tail_sentinel) {
        list_entry_s* next = e->next;
        release_data(l, e->data);
        free(e);
        e = next;
    }
    for (unsigned int i = 0; i < l->spareelsnum; ++i) free(l->spareels[i]);
    free(l->head_sentinel);
    free(l->tail_sentinel);
    memset(l, 0, sizeof(*l));
}

int list_attributes_comparator(list_t* l, element_comparator fn) {
    if (l == nullptr) return -1;
    l->attrs.comparator = fn;
    return 0;
}

int list_attributes_seeker(list_t* l, element_seeker fn) {
    if (l == nullptr) return -1;
    l->attrs.seeker = fn;
    return 0;
}

int list_attributes_copy(list_t* l, element_meter fn, int copy_data) {
    if (l == nullptr) return -1;
    if (copy_data && fn == nullptr) {
        LOG_ERROR("Copying elements needs a size function, refused");
        return -1;
    }
    l->attrs.meter = fn;
    l->attrs.copy_data = copy_data ? 1 : 0;
    return 0;
}

int list_attributes_hash_computer(list_t* l, element_hash_computer fn) {
    if (l == nullptr) return -1;
    l->attrs.hasher = fn;
    return 0;
}

int list_attributes_serializer(list_t* l, element_serializer fn) {
    if (l == nullptr) return -1;
    l->attrs.serializer = fn;
    return 0;
}

int list_attributes_unserializer(list_t* l, element_unserializer fn) {
    if (l == nullptr) return -1;
    l->attrs.unserializer = fn;
    return 0;
}

int list_append(list_t* l, const void* data) {
    return insert_at(l, data, l != nullptr ? l->numels : 0, __func__);
}

int list_prepend(list_t* l, const void* data) { return insert_at(l, data, 0, __func__); }

int list_insert_at(list_t* l, const void* data, unsigned int pos) {
    return insert_at(l, data, pos, __func__);
}

void* list_fetch(list_t* l) { return list_extract_at(l, 0); }

void* list_get_at(const list_t* l, unsigned int pos) {
    if (!is_initialised(l) || pos >= l->numels) return nullptr;
    return find_position(l, pos)->data;
}

void* list_get_max(const list_t* l) { return extreme(l, 1); }

void* list_get_min(const list_t* l) { return extreme(l, -1); }

void* list_extract_at(list_t* l, unsigned int pos) {
    if (check_changeable(l, __func__) != 0) return nullptr;
    if (pos >= l->numels) return nullptr;
    return unlink_at(l, find_position(l, pos), pos);
}

int list_delete_at(list_t* l, unsigned int pos) {
    if (check_changeable(l, __func__) != 0) return -1;
    if (pos >= l->numels) {
        LOG_ERROR("Position %u is beyond the end of the list (%u elements)", pos, l->numels);
        return -1;
    }
    release_data(l, unlink_at(l, find_position(l, pos), pos));
    return 0;
}

int list_delete_range(list_t* l, unsigned int posstart, unsigned int posend) {
    if (check_changeable(l, __func__) != 0) return -1;
    if (posstart > posend || posend >= l->numels) {
        LOG_ERROR("Invalid range %u..%u for a list of %u elements", posstart, posend, l->numels);
        return -1;
    }
    list_entry_s* e = find_position(l, posstart);
    for (unsigned int i = posstart; i <= posend; ++i) {
        list_entry_s* next = e->next;
        // Each removal leaves the next victim at the same position.
        release_data(l, unlink_at(l, e, posstart));
        e = next;
    }
    return 0;
}

int list_delete(list_t* l, const void* data) {
    if (check_changeable(l, __func__) != 0) return -1;
    const int pos = list_locate(l, data);
    if (pos < 0) return -1;
    return list_delete_at(l, static_cast<unsigned int>(pos));
}

int list_clear(list_t* l) {
    if (check_changeable(l, __func__) != 0) return -1;
    const unsigned int removed = l->numels;
    list_entry_s* e = l->head_sentinel->next;
    while (e != l->tail_sentinel) {
        list_entry_s* next = e->next;
        release_data(l, e->data);
        give_back_record(l, e);
        e = next;
    }
    l->head_sentinel->next = l->tail_sentinel;
    l->tail_sentinel->prev = l->head_sentinel;
    l->numels = 0;
    l->mid = nullptr;
    return static_cast<int>(removed);
}

int list_locate(const list_t* l, const void* data) {
    if (!is_initialised(l)) return -1;
    int pos = 0;
    for (list_entry_s* e = l->head_sentinel->next; e != l->tail_sentinel; e = e->next, ++pos) {
        const bool equal = l->attrs.comparator != nullptr ? l->attrs.comparator(data, e->data) == 0
                                                          : e->data == data;
        if (equal) return pos;
    }
    return -1;
}

void* list_seek(list_t* l, const void* indicator) {
    if (!is_initialised(l) || l->attrs.seeker == nullptr) return nullptr;
    for (list_entry_s* e = l->head_sentinel->next; e != l->tail_sentinel; e = e->next) {
        if (l->attrs.seeker(e->data, indicator) != 0) return e->data;
    }
    return nullptr;
}

int list_contains(const list_t* l, const void* data) { return list_locate(l, data) >= 0 ? 1 : 0; }

unsigned int list_size(const list_t* l) { return l != nullptr ? l->numels : 0; }

int list_empty(const list_t* l) {
    if (l == nullptr) return -1;
    return l->numels == 0 ? 1 : 0;
}

int list_concat(const list_t* l1, const list_t* l2, list_t* dest) {
    if (!is_initialised(l1) || !is_initialised(l2) || dest == nullptr || dest == l1 || dest == l2) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    if (list_init(dest) != 0) return -1;
    dest->attrs = l1->attrs;
    for (const list_t* src : {l1, l2}) {
        for (list_entry_s* e = src->head_sentinel->next; e != src->tail_sentinel; e = e->next) {
            if (list_append(dest, e->data) != 0) {
                list_destroy(dest);
                return -1;
            }
        }
    }
    return 0;
}

int list_sort(list_t* l, int versus) {
    if (check_changeable(l, __func__) != 0) return -1;
    if (l->attrs.comparator == nullptr) {
        LOG_ERROR("No comparator installed, cannot sort");
        return -1;
    }
    if (versus != 1 && versus != -1) {
        LOG_ERROR("Invalid sort direction %d", versus);
        return -1;
    }
    if (l->numels < 2) return 0;

    // Sorting moves data pointers between the element records, so positions and mid stay valid.
    std::vector<void*> data;
    try {
        data.reserve(l->numels);
    } catch (const std::bad_alloc&) {
        LOG_ERROR("Failed to allocate %u sort slots", l->numels);
        return -1;
    }
    for (list_entry_s* e = l->head_sentinel->next; e != l->tail_sentinel; e = e->next) {
        data.push_back(e->data);
    }
    quicksort(data, 0, static_cast<long>(data.size()) - 1, l->attrs.comparator, versus);
    size_t i = 0;
    for (list_entry_s* e = l->head_sentinel->next; e != l->tail_sentinel; e = e->next) {
        e->data = data[i++];
    }
    return 0;
}

int list_iterator_start(list_t* l) {
    if (!is_initialised(l)) {
        LOG_ERROR("List is NULL or not initialised");
        return -1;
    }
    if (!claim_iterator(l)) {
        LOG_DEBUG("Iterator already active");
        return -1;
    }
    l->iter_pos = 0;
    l->iter_curentry = l->head_sentinel->next;
    return 0;
}

void* list_iterator_next(list_t* l) {
    if (l == nullptr || !iterator_active(l) || l->iter_curentry == nullptr ||
        l->iter_curentry == l->tail_sentinel) {
        return nullptr;
    }
    void* data = l->iter_curentry->data;
    l->iter_curentry = l->iter_curentry->next;
    l->iter_pos++;
    return data;
}

int list_iterator_hasnext(const list_t* l) {
    if (l == nullptr || !iterator_active(l)) return 0;
    return l->iter_pos < l->numels ? 1 : 0;
}

int list_iterator_stop(list_t* l) {
    if (l == nullptr) return -1;
    l->iter_pos = 0;
    l->iter_curentry = nullptr;
    __atomic_store_n(&l->iter_active, 0, __ATOMIC_RELEASE);
    return 0;
}

int list_iterator_wait(list_t* l, unsigned int timeout_ms, unsigned int tries,
                       unsigned int sleep_ms) {
    if (l == nullptr) {
        LOG_ERROR("list_iterator_wait: list is NULL");
        return 0;
    }
    if (!is_initialised(l)) {
        LOG_ERROR("list_iterator_wait: list is not initialised");
        return 0;
    }
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    const auto pause = std::chrono::milliseconds(sleep_ms > 25 ? sleep_ms : 25);
    unsigned int sleeps = 0;
    for (;;) {
        if (claim_iterator(l)) {
            l->iter_pos = 0;
            l->iter_curentry = l->head_sentinel->next;
            return 1;
        }
        if (tries != 0 && sleeps >= tries) return 0;
        if (timeout_ms != 0 && Clock::now() - started >= std::chrono::milliseconds(timeout_ms)) {
            return 0;
        }
        std::this_thread::sleep_for(pause);
        ++sleeps;
    }
}

int list_hash(const list_t* l, list_hash_t* hash) {
    if (!is_initialised(l) || hash == nullptr) {
        LOG_ERROR("Invalid arguments");
        return -1;
    }
    if (l->attrs.hasher == nullptr) {
        LOG_ERROR("No hash function installed");
        return -1;
    }
    // Unsigned 32-bit arithmetic: the wrap-around is part of the value.
    uint32_t running = l->numels * 2u + 100u;
    for (list_entry_s* e = l->head_sentinel->next; e != l->tail_sentinel; e = e->next) {
        running += running ^ static_cast<uint32_t>(l->attrs.hasher(e->data));
        running += running % l->numels;
    }
    *hash = static_cast<list_hash_t>(running);
    return 0;
}

#define QZ_LIST_NUMBER_FUNCTIONS(type, hasher)                     \
    int list_comparator_##type(const void* a, const void* b) {     \
        return compare_numbers<type>(a, b);                        \
    }                                                              \
    size_t list_meter_##type(const void*) { return sizeof(type); } \
    list_hash_t list_hashcomputer_##type(const void* el) { return hasher<type>(el); }

QZ_LIST_NUMBER_FUNCTIONS(int8_t, hash_integer)
QZ_LIST_NUMBER_FUNCTIONS(int16_t, hash_integer)
QZ_LIST_NUMBER_FUNCTIONS(int32_t, hash_integer)
QZ_LIST_NUMBER_FUNCTIONS(int64_t, hash_integer)
QZ_LIST_NUMBER_FUNCTIONS(uint8_t, hash_integer)
QZ_LIST_NUMBER_FUNCTIONS(uint16_t, hash_integer)
QZ_LIST_NUMBER_FUNCTIONS(uint32_t, hash_integer)
QZ_LIST_NUMBER_FUNCTIONS(uint64_t, hash_integer)
QZ_LIST_NUMBER_FUNCTIONS(float, hash_floating)
QZ_LIST_NUMBER_FUNCTIONS(double, hash_floating)
#undef QZ_LIST_NUMBER_FUNCTIONS

int list_comparator_string(const void* a, const void* b) {
    const int c = strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
    return (c < 0) - (c > 0);
}

size_t list_meter_string(const void* el) { return strlen(static_cast<const char*>(el)) + 1; }

list_hash_t list_hashcomputer_string(const void* el) {
    const char* s = static_cast<const char*>(el);
    uint32_t hash = 123;
    for (size_t i = 0; s[i] != '\0'; ++i) {
        const uint32_t mixed = i == 0 ? hash : hash ^ static_cast<uint32_t>(s[i]);
        // The term is the low byte as a signed value, sign-extended before the shift.
        const int32_t term = static_cast<int8_t>(static_cast<uint8_t>(mixed & 0xffu));
        hash += static_cast<uint32_t>(term) << (8 * (i % 4));
    }
    return static_cast<list_hash_t>(hash);
}

}  // extern "C"
