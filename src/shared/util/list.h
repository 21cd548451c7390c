// The generic doubly linked list: elements are pointers to caller data (or private copies when
// the copy attribute is set), positional access from the nearest of head, middle and tail, a
// spare pool of element records, and one iterator per list that blocks structural changes while
// it is active. The list has no lock of its own; its owners guard it.
#pragma once

#include "qzav/qz_export.h"

#include <cstddef>
#include <cstdint>

extern "C" {
QZ_API_BEGIN

typedef int32_t list_hash_t;

// 0 when equal, > 0 when a sorts before b, < 0 when a sorts after b.
typedef int (*element_comparator)(const void* a, const void* b);
// Non-zero when the element matches the indicator.
typedef int (*element_seeker)(const void* el, const void* indicator);
// Size in bytes of an element, for private copies.
typedef size_t (*element_meter)(const void* el);
typedef list_hash_t (*element_hash_computer)(const void* el);
typedef void* (*element_serializer)(const void* el, uint32_t* serialized_len);
typedef void* (*element_unserializer)(const void* data, uint32_t* data_len);

struct list_entry_s {
    void* data;
    struct list_entry_s* next;
    struct list_entry_s* prev;
};

struct list_attributes_s {
    element_comparator comparator;
    element_seeker seeker;
    element_meter meter;
    int copy_data;
    element_hash_computer hasher;
    element_serializer serializer;
    element_unserializer unserializer;
};

enum { LIST_SPARE_ELEMENTS = 5 };

typedef struct {
    struct list_entry_s* head_sentinel;
    struct list_entry_s* tail_sentinel;
    struct list_entry_s* mid;
    unsigned int numels;
    struct list_entry_s* spareels[LIST_SPARE_ELEMENTS];
    unsigned int spareelsnum;
    int iter_active;
    unsigned int iter_pos;
    struct list_entry_s* iter_curentry;
    struct list_attributes_s attrs;
} list_t;

// All int results: 0 (or a count/position) on success, -1 on failure or refusal.
int list_init(list_t* l);
void list_destroy(list_t* l);
int list_attributes_comparator(list_t* l, element_comparator fn);
int list_attributes_seeker(list_t* l, element_seeker fn);
// copy_data without a meter is refused.
int list_attributes_copy(list_t* l, element_meter fn, int copy_data);
int list_attributes_hash_computer(list_t* l, element_hash_computer fn);
int list_attributes_serializer(list_t* l, element_serializer fn);
int list_attributes_unserializer(list_t* l, element_unserializer fn);

int list_append(list_t* l, const void* data);
int list_prepend(list_t* l, const void* data);
int list_insert_at(list_t* l, const void* data, unsigned int pos);
// Removes the first element and returns its data (ownership passes to the caller), NULL if empty.
void* list_fetch(list_t* l);
void* list_get_at(const list_t* l, unsigned int pos);
void* list_get_max(const list_t* l);
void* list_get_min(const list_t* l);
// Removes the element at pos and returns its data (ownership passes to the caller).
void* list_extract_at(list_t* l, unsigned int pos);
int list_delete_at(list_t* l, unsigned int pos);
int list_delete_range(list_t* l, unsigned int posstart, unsigned int posend);
int list_delete(list_t* l, const void* data);
// Removes every element; the number removed, or -1 while iterating.
int list_clear(list_t* l);
int list_locate(const list_t* l, const void* data);
void* list_seek(list_t* l, const void* indicator);
int list_contains(const list_t* l, const void* data);
unsigned int list_size(const list_t* l);
int list_empty(const list_t* l);
int list_concat(const list_t* l1, const list_t* l2, list_t* dest);
// versus 1 ascending, -1 descending.
int list_sort(list_t* l, int versus);

int list_iterator_start(list_t* l);
void* list_iterator_next(list_t* l);
int list_iterator_hasnext(const list_t* l);
int list_iterator_stop(list_t* l);
// Claims the iterator, waiting while another user has it: 1 when claimed (and started at the
// first element), 0 when timeout_ms (0 = no limit) passed or `tries` sleeps (0 = no limit) were
// made. Sleeps max(sleep_ms, 25) ms between checks.
int list_iterator_wait(list_t* l, unsigned int timeout_ms, unsigned int tries, unsigned int sleep_ms);

int list_hash(const list_t* l, list_hash_t* hash);

#define QZ_LIST_ELEMENT_FUNCTIONS(type)                       \
    int list_comparator_##type(const void* a, const void* b); \
    size_t list_meter_##type(const void* el);                 \
    list_hash_t list_hashcomputer_##type(const void* el);
QZ_LIST_ELEMENT_FUNCTIONS(int8_t)
QZ_LIST_ELEMENT_FUNCTIONS(int16_t)
QZ_LIST_ELEMENT_FUNCTIONS(int32_t)
QZ_LIST_ELEMENT_FUNCTIONS(int64_t)
QZ_LIST_ELEMENT_FUNCTIONS(uint8_t)
QZ_LIST_ELEMENT_FUNCTIONS(uint16_t)
QZ_LIST_ELEMENT_FUNCTIONS(uint32_t)
QZ_LIST_ELEMENT_FUNCTIONS(uint64_t)
QZ_LIST_ELEMENT_FUNCTIONS(float)
QZ_LIST_ELEMENT_FUNCTIONS(double)
QZ_LIST_ELEMENT_FUNCTIONS(string)
#undef QZ_LIST_ELEMENT_FUNCTIONS
QZ_API_END
}
