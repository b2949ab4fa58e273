#include "ks/list.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ks/ks_status.h"

// Cells form a singly linked ring: the list keeps its tail, whose next is the head.
struct list_cell_s {
  list_cell_s *next;
  void *datum;
};

// A list keeps its area as the area's number (see stg_area_number) to keep the header small: a
// large build graph has a list for every rule's dependencies and script. The attribute block,
// when asked for, follows the header in the same allocation, behind a word that holds its size.
//
// A cell is unlinked only where the cell in front of it is at hand: a removed head at once,
// another removed cell by the next walk that passes it (list_next), until then marked removed
// and skipped. No cell keeps the one in front of it, and neither does the header.
struct list_s {
  list_cell_s *tail;
  uint32_t length;          // cells not marked removed
  uint32_t area_and_attrs;  // the area's number, and kHasAttrs when an attribute block follows
};

namespace {

constexpr uint32_t kHasAttrs = uint32_t(1) << 31;

// The attribute block's size word and the block are aligned as area memory is (see stg_alloc).
constexpr size_t kAlign = alignof(void *);
constexpr size_t kAttrSizeOffset = (sizeof(list_s) + kAlign - 1) & ~(kAlign - 1);
constexpr size_t kAttrOffset = kAttrSizeOffset + sizeof(size_t);
static_assert(sizeof(void *) != 8 || sizeof(list_s) == 16, "a list header is two words");

// The datum of a removed cell not yet unlinked: an address no caller can hold.
char removed_mark;
void *const kRemoved = &removed_mark;

stg_area_t area_of(list_handle_t l) { return stg_area_of_number(l->area_and_attrs & ~kHasAttrs); }

size_t attrs_size(list_handle_t l) {
  if ((l->area_and_attrs & kHasAttrs) == 0) return 0;
  size_t size;
  std::memcpy(&size, reinterpret_cast<char *>(l) + kAttrSizeOffset, sizeof size);
  return size;
}

bool on_heap(list_handle_t l) { return (l->area_and_attrs & ~kHasAttrs) == 0; }

list_cell_s *head(list_handle_t l) { return l->tail ? l->tail->next : nullptr; }

void free_cell(list_handle_t l, list_cell_s *c) {
  // A cell of an area list is reused by the area's next cell.
  stg_give_back(area_of(l), c, sizeof(list_cell_s));
}

// The first cell behind prev (behind the tail: the head) that is not marked removed, or null
// past the tail; the marked cells passed on the way are unlinked. A list with cells holds at
// least one that is not marked. Kept out of line: walks seldom meet a marked cell.
[[gnu::noinline]] list_cell_s *live_after(list_handle_t l, list_cell_s *prev) {
  for (;;) {
    list_cell_s *c = prev->next;
    if (c->datum != kRemoved) return c;
    prev->next = c->next;
    const bool was_tail = c == l->tail;
    if (was_tail) l->tail = prev;
    free_cell(l, c);
    if (was_tail) return nullptr;
  }
}

// Frees every cell of l, marked ones included.
void free_cells(list_handle_t l) {
  if (l->tail == nullptr) return;
  list_cell_s *const first = l->tail->next;
  list_cell_s *c = first;
  do {
    list_cell_s *next = c->next;
    free_cell(l, c);
    c = next;
  } while (c != first);
  l->tail = nullptr;
}

}  // namespace

list_handle_t list_create(stg_area_t area, size_t attr_size) {
  if (area == STG_AREA_NULL || attr_size > UINT32_MAX) return LIST_HANDLE_NULL;
  size_t size = attr_size > 0 ? kAttrOffset + attr_size : sizeof(list_s);
  auto *l = static_cast<list_s *>(stg_calloc(area, size));
  if (l == nullptr) return LIST_HANDLE_NULL;
  if (area == STG_AREA_HEAP) std::memset(l, 0, size);
  l->area_and_attrs = stg_area_number(area);
  if (attr_size > 0) {
    l->area_and_attrs |= kHasAttrs;
    std::memcpy(reinterpret_cast<char *>(l) + kAttrSizeOffset, &attr_size, sizeof attr_size);
  }
  return l;
}

static list_cell_s *new_cell(list_handle_t l, void *datum) {
  if (l->length == UINT32_MAX) return nullptr;
  auto *c = static_cast<list_cell_s *>(stg_alloc(area_of(l), sizeof(list_cell_s)));
  if (c == nullptr) return nullptr;
  c->datum = datum;
  return c;
}

// Links cell c behind prev (at the head for a null prev).
static void link_after(list_handle_t l, list_cell_s *c, list_cell_s *prev) {
  if (l->tail == nullptr) {
    c->next = c;
    l->tail = c;
  } else if (prev == nullptr) {
    c->next = l->tail->next;
    l->tail->next = c;
  } else {
    c->next = prev->next;
    prev->next = c;
    if (prev == l->tail) l->tail = c;
  }
  l->length++;
}

int list_append(list_handle_t l, void *datum) {
  list_cell_s *c = new_cell(l, datum);
  if (c == nullptr) return KS_ST_ERR;
  link_after(l, c, l->tail);
  return KS_ST_OK;
}

int list_insert(list_handle_t l, list_cursor_t cursor, void *datum) {
  list_cell_s *c = new_cell(l, datum);
  if (c == nullptr) return KS_ST_ERR;
  // In front of the head is behind the tail; in front of another cell is found by a search.
  list_cell_s *prev = nullptr;
  if (cursor != nullptr && cursor != head(l))
    for (prev = l->tail; prev->next != cursor; prev = prev->next) {
    }
  link_after(l, c, prev);
  return KS_ST_OK;
}

int list_insert_after(list_handle_t l, list_cursor_t cursor, void *datum) {
  list_cell_s *c = new_cell(l, datum);
  if (c == nullptr) return KS_ST_ERR;
  link_after(l, c, cursor);
  return KS_ST_OK;
}

list_cursor_t list_next(list_handle_t l, list_cursor_t cursor, void **out_datum) {
  list_cell_s *const tail = l->tail;
  if (tail == nullptr || cursor == tail) return nullptr;
  // In front of the head is the tail.
  list_cell_s *c = (cursor != nullptr ? cursor : tail)->next;
  if (c->datum == kRemoved) {
    c = live_after(l, cursor != nullptr ? cursor : tail);
    if (c == nullptr) return nullptr;
  }
  if (out_datum != nullptr) *out_datum = c->datum;
  return c;
}

size_t list_length(list_handle_t l) { return l == LIST_HANDLE_NULL ? 0 : l->length; }

int list_is_empty(list_handle_t l) { return l == LIST_HANDLE_NULL || l->length == 0; }

int list_concat(list_handle_t l, list_handle_t other) {
  if (other == LIST_HANDLE_NULL) return KS_ST_OK;
  // Count first so that appending a list to itself stops at its original end.
  size_t n = other->length;
  void *d = nullptr;
  list_cell_s *c = nullptr;
  for (size_t i = 0; i < n; i++) {
    c = list_next(other, c, &d);
    if (list_append(l, d) != KS_ST_OK) return KS_ST_ERR;
  }
  return KS_ST_OK;
}

list_cursor_t list_remove(list_handle_t l, list_cursor_t c) {
  list_cell_s *next = c != l->tail ? live_after(l, c) : nullptr;
  if (--l->length == 0) {
    free_cells(l);
    return nullptr;
  }
  if (c == head(l)) {
    // Another cell is left, so c is not the tail: the tail is the cell in front of it.
    l->tail->next = c->next;
    free_cell(l, c);
  } else {
    c->datum = kRemoved;
  }
  return next;
}

void *list_get_data(list_handle_t, list_cursor_t cursor) { return cursor->datum; }

void list_set_data(list_handle_t, list_cursor_t cursor, void *datum) { cursor->datum = datum; }

void *list_get_attrs(list_handle_t l) {
  return attrs_size(l) > 0 ? reinterpret_cast<char *>(l) + kAttrOffset : nullptr;
}

void list_set_attrs(list_handle_t l, const void *attrs) {
  if (const size_t size = attrs_size(l); size > 0) std::memcpy(list_get_attrs(l), attrs, size);
}

void list_destroy(list_handle_t l) {
  if (l == LIST_HANDLE_NULL || !on_heap(l)) return;
  free_cells(l);
  std::free(l);
}
