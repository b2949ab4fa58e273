// Storage areas: blocks of memory from which records are allocated and which are freed whole.
// Single heap blocks (stg_malloc/stg_free) for what lives alone. Every allocation returns null on
// failure; the caller reports it and returns KS_ST_ERR.
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct stg_area_s *stg_area_t;

#define STG_AREA_NULL ((stg_area_t)0)
// Where a list, table or copy takes an area, this value stands for the plain heap.
#define STG_AREA_HEAP ((stg_area_t)1)

// A new, empty area that takes memory from the system in blocks of about block_size bytes;
// null on failure.
stg_area_t stg_create_area(size_t block_size);

// size bytes from the area (the heap for STG_AREA_HEAP); null on failure. Area memory is aligned
// for pointers and 8-byte integers, the strictest alignment of anything the system keeps there:
// a coarser step would waste several bytes on each of the millions of small records of a large
// build graph. Nothing allocated in an area is freed one by one.
void *stg_alloc(stg_area_t area, size_t size);

// Gives a record of size bytes taken from the area by stg_alloc back to it, for the next request
// of the same size (records of up to 64 bytes; a larger one stays unused until the area goes).
// On the heap (STG_AREA_HEAP) the record is freed.
void stg_give_back(stg_area_t area, void *p, size_t size);

// Zero-filled allocation from the area; null on failure.
void *stg_calloc(stg_area_t area, size_t size);

// A copy of text made in the area (a heap copy for STG_AREA_HEAP); null on failure.
char *stg_area_strdup(stg_area_t area, const char *text);

// The first n bytes of text, NUL-terminated, copied into the area; null on failure.
char *stg_area_strndup(stg_area_t area, const char *text, size_t n);

// Empties the area for reuse: everything allocated in it is gone at once, and it keeps one block
// of its block size (when it has one) for what comes next. A null area or STG_AREA_HEAP is left
// alone.
void stg_empty_area(stg_area_t area);

// Frees everything allocated in the area at once and nulls the variable. A null variable or
// STG_AREA_HEAP is left alone.
void stg_delete_area(stg_area_t *area_p);

// A small number that names a live area, for records that keep their area in 32 bits instead
// of a pointer: 0 for STG_AREA_HEAP, below 2^29 for an area. An area's number is free again once
// the area is deleted.
uint32_t stg_area_number(stg_area_t area);
// The area of a number that stg_area_number gave for a live area.
stg_area_t stg_area_of_number(uint32_t number);

// Single heap blocks.
void *stg_malloc(size_t size);
char *stg_strdup(const char *text);
void stg_free(void *p);
