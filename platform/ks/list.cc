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
//
// A packed list (list_create_packed) keeps its data in slots behind the header instead, a word
// each, as long as it only grows by appends within its room. Its cursor of a slot is the slot's
// address with the low bit set (a cell's address never has it). The first other change gives the
// slots' data cells, made in one run so that a slot's cursor and the cell of its datum follow
// from each other: the cursors handed out before stay valid and are still the ones a walk
// returns.
struct list_s {
  union {
    list_cell_s *tail;  // of a list whose data have cells
    struct {
      uint32_t count;  // slots filled, of a packed list whose data are in its slots
      uint32_t room;
    } slots;
  };
  uint32_t length;          // data, marked cells not counted
  uint32_t area_and_flags;  // the area's number, kHasAttrs, kPacked, kUnpacked
};

namespace {

constexpr uint32_t kHasAttrs = uint32_t(1) << 31;
constexpr uint32_t kPacked = uint32_t(1) << 30;
constexpr uint32_t kUnpacked = uint32_t(1) << 29;  // of a packed list whose data have cells
constexpr uint32_t kNumberMask = kUnpacked - 1;    // area numbers are below 2^29

// The attribute block's size word and the block are aligned as area memory is (see stg_alloc).
constexpr size_t kAlign = alignof(void *);
constexpr size_t kAttrSizeOffset = (sizeof(list_s) + kAlign - 1) & ~(kAlign - 1);
constexpr size_t kAttrOffset = kAttrSizeOffset + sizeof(size_t);
static_assert(sizeof(void *) != 8 || sizeof(list_s) == 16, "a list header is two words");

// A packed list's slots follow its header. Once unpacked, the first slot holds the run of cells
// made for the slots' data (null when there were none): its first word is the number of cells,
// which follow it.
constexpr size_t kSlotsOffset = kAttrSizeOffset;
constexpr size_t kRunHeader = sizeof(uint64_t);
static_assert(kRunHeader % kAlign == 0);

// The datum of a removed cell not yet unlinked: an address no caller can hold.
char removed_mark;
void *const kRemoved = &removed_mark;

stg_area_t area_of(list_handle_t l) { return stg_area_of_number(l->area_and_flags & kNumberMask); }

size_t attrs_size(list_handle_t l) {
  if ((l->area_and_flags & kHasAttrs) == 0) return 0;
  size_t size;
  std::memcpy(&size, reinterpret_cast<char *>(l) + kAttrSizeOffset, sizeof size);
  return size;
}

bool on_heap(list_handle_t l) { return (l->area_and_flags & kNumberMask) == 0; }

// Whether the data of l are in its slots (packed and not yet unpacked).
bool in_slots(list_handle_t l) { return (l->area_and_flags & (kPacked | kUnpacked)) == kPacked; }

void **slots(list_handle_t l) {
  return reinterpret_cast<void **>(reinterpret_cast<char *>(l) + kSlotsOffset);
}

bool is_slot(list_cursor_t c) { return (reinterpret_cast<uintptr_t>(c) & 1) != 0; }

size_t slot_index(list_handle_t l, list_cursor_t c) {
  return (reinterpret_cast<uintptr_t>(c) - 1 - reinterpret_cast<uintptr_t>(slots(l))) /
         sizeof(void *);
}

list_cursor_t slot_cursor(list_handle_t l, size_t i) {
  return reinterpret_cast<list_cursor_t>(reinterpret_cast<uintptr_t>(&slots(l)[i]) | 1);
}

// The run of cells made for the slots of an unpacked list, and their number.
char *slot_run(list_handle_t l) { return static_cast<char *>(slots(l)[0]); }
uint64_t slot_cell_count(list_handle_t l) {
  if (slot_run(l) == nullptr) return 0;
  uint64_t n;
  std::memcpy(&n, slot_run(l), sizeof n);
  return n;
}
list_cell_s *slot_cells(list_handle_t l) {
  return reinterpret_cast<list_cell_s *>(slot_run(l) + kRunHeader);
}

// The cell of cursor c of a list whose data all have cells.
list_cell_s *cell_of(list_handle_t l, list_cursor_t c) {
  return c != nullptr && is_slot(c) ? slot_cells(l) + slot_index(l, c) : c;
}

// The cursor handed out for cell c of a list whose data all have cells.
list_cursor_t cursor_of(list_handle_t l, list_cell_s *c) {
  if ((l->area_and_flags & kUnpacked) == 0 || c == nullptr || slot_run(l) == nullptr) return c;
  const uintptr_t first = reinterpret_cast<uintptr_t>(slot_cells(l));
  const uintptr_t at = reinterpret_cast<uintptr_t>(c);
  if (at < first || at >= first + slot_cell_count(l) * sizeof(list_cell_s)) return c;
  return slot_cursor(l, (at - first) / sizeof(list_cell_s));
}

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

// list_next behind prev where the next cell is marked removed.
[[gnu::noinline]] list_cell_s *next_past_removed(list_handle_t l, list_cell_s *prev,
                                                 void **out_datum) {
  list_cell_s *c = live_after(l, prev);
  if (c != nullptr && out_datum != nullptr) *out_datum = c->datum;
  return c;
}

// The cell after cursor (the head for a null cursor) of a list whose data all have cells.
list_cell_s *next_cell(list_handle_t l, list_cell_s *cursor) {
  list_cell_s *const tail = l->tail;
  if (tail == nullptr || cursor == tail) return nullptr;
  // In front of the head is the tail.
  list_cell_s *c = (cursor != nullptr ? cursor : tail)->next;
  return c->datum != kRemoved ? c : live_after(l, cursor != nullptr ? cursor : tail);
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

// list_next of a packed list whose data have cells.
[[gnu::noinline]] list_cursor_t unpacked_next(list_handle_t l, list_cursor_t cursor,
                                              void **out_datum) {
  list_cell_s *c = next_cell(l, cell_of(l, cursor));
  if (c != nullptr && out_datum != nullptr) *out_datum = c->datum;
  return cursor_of(l, c);
}

// Gives the data of a packed list's slots cells of their own; false when memory runs out.
bool unpack(list_handle_t l) {
  // Slots of an empty list are all removed, and no cursor stands on them: they get no cells.
  const uint32_t count = l->length == 0 ? 0 : l->slots.count;
  char *run = nullptr;
  list_cell_s *tail = nullptr;
  if (count > 0) {
    run = static_cast<char *>(stg_alloc(area_of(l), kRunHeader + count * sizeof(list_cell_s)));
    if (run == nullptr) return false;
    const uint64_t n = count;
    std::memcpy(run, &n, sizeof n);
    auto *cells = reinterpret_cast<list_cell_s *>(run + kRunHeader);
    for (uint32_t i = 0; i < count; i++) {
      cells[i].datum = slots(l)[i];
      cells[i].next = &cells[(i + 1) % count];
    }
    tail = &cells[count - 1];
  }
  slots(l)[0] = run;  // a packed list has room for one datum at least
  l->tail = tail;
  l->area_and_flags |= kUnpacked;
  return true;
}

}  // namespace

list_handle_t list_create(stg_area_t area, size_t attr_size) {
  if (area == STG_AREA_NULL || attr_size > UINT32_MAX) return LIST_HANDLE_NULL;
  size_t size = attr_size > 0 ? kAttrOffset + attr_size : sizeof(list_s);
  auto *l = static_cast<list_s *>(stg_calloc(area, size));
  if (l == nullptr) return LIST_HANDLE_NULL;
  if (area == STG_AREA_HEAP) std::memset(l, 0, size);
  l->area_and_flags = stg_area_number(area);
  if (attr_size > 0) {
    l->area_and_flags |= kHasAttrs;
    std::memcpy(reinterpret_cast<char *>(l) + kAttrSizeOffset, &attr_size, sizeof attr_size);
  }
  return l;
}

list_handle_t list_create_packed(stg_area_t area, size_t room) {
  if (area == STG_AREA_HEAP || room == 0 || room > UINT32_MAX) return list_create(area, 0);
  if (area == STG_AREA_NULL) return LIST_HANDLE_NULL;
  auto *l = static_cast<list_s *>(stg_alloc(area, kSlotsOffset + room * sizeof(void *)));
  if (l == nullptr) return LIST_HANDLE_NULL;
  l->slots = {0, static_cast<uint32_t>(room)};
  l->length = 0;
  l->area_and_flags = stg_area_number(area) | kPacked;
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
  if (in_slots(l)) {
    if (l->slots.count < l->slots.room) {
      slots(l)[l->slots.count++] = datum;
      l->length++;
      return KS_ST_OK;
    }
    if (!unpack(l)) return KS_ST_ERR;
  }
  list_cell_s *c = new_cell(l, datum);
  if (c == nullptr) return KS_ST_ERR;
  link_after(l, c, l->tail);
  return KS_ST_OK;
}

int list_insert(list_handle_t l, list_cursor_t cursor, void *datum) {
  if (in_slots(l) && !unpack(l)) return KS_ST_ERR;
  list_cell_s *at = cell_of(l, cursor);
  list_cell_s *c = new_cell(l, datum);
  if (c == nullptr) return KS_ST_ERR;
  // In front of the head is behind the tail; in front of another cell is found by a search.
  list_cell_s *prev = nullptr;
  if (at != nullptr && at != head(l))
    for (prev = l->tail; prev->next != at; prev = prev->next) {
    }
  link_after(l, c, prev);
  return KS_ST_OK;
}

int list_insert_after(list_handle_t l, list_cursor_t cursor, void *datum) {
  if (in_slots(l) && !unpack(l)) return KS_ST_ERR;
  list_cell_s *c = new_cell(l, datum);
  if (c == nullptr) return KS_ST_ERR;
  link_after(l, c, cell_of(l, cursor));
  return KS_ST_OK;
}

list_cursor_t list_next(list_handle_t l, list_cursor_t cursor, void **out_datum) {
  const uint32_t flags = l->area_and_flags;
  if ((flags & kPacked) != 0) {
    if ((flags & kUnpacked) != 0) return unpacked_next(l, cursor, out_datum);
    // The slots (a removed datum's slot is marked only where no cells could be made).
    void **const first = slots(l);
    void **const end = first + l->slots.count;
    void **at = cursor == nullptr
                    ? first
                    : reinterpret_cast<void **>(reinterpret_cast<uintptr_t>(cursor) - 1) + 1;
    while (at < end && *at == kRemoved) at++;
    if (at >= end) return nullptr;
    if (out_datum != nullptr) *out_datum = *at;
    return reinterpret_cast<list_cursor_t>(reinterpret_cast<uintptr_t>(at) | 1);
  }
  list_cell_s *const tail = l->tail;
  if (tail == nullptr || cursor == tail) return nullptr;
  // In front of the head is the tail.
  list_cell_s *const prev = cursor != nullptr ? cursor : tail;
  list_cell_s *c = prev->next;
  if (c->datum == kRemoved) return next_past_removed(l, prev, out_datum);
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
  list_cursor_t c = nullptr;
  for (size_t i = 0; i < n; i++) {
    c = list_next(other, c, &d);
    if (list_append(l, d) != KS_ST_OK) return KS_ST_ERR;
  }
  return KS_ST_OK;
}

list_cursor_t list_remove(list_handle_t l, list_cursor_t cursor) {
  const bool packed = (l->area_and_flags & kPacked) != 0;
  // Removing a datum of a packed list gives every slot's datum a cell. Should that memory not be
  // had, the datum is marked removed where it is, and walks pass it.
  if (packed && in_slots(l) && !unpack(l)) {
    list_cursor_t next = list_next(l, cursor, nullptr);
    slots(l)[slot_index(l, cursor)] = kRemoved;
    l->length--;
    return next;
  }
  list_cell_s *c = packed ? cell_of(l, cursor) : cursor;
  list_cell_s *next = next_cell(l, c);
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
  return packed ? cursor_of(l, next) : next;
}

void *list_get_data(list_handle_t l, list_cursor_t cursor) {
  if (!is_slot(cursor)) return cursor->datum;
  return in_slots(l) ? slots(l)[slot_index(l, cursor)] : cell_of(l, cursor)->datum;
}

void list_set_data(list_handle_t l, list_cursor_t cursor, void *datum) {
  if (!is_slot(cursor)) {
    cursor->datum = datum;
  } else if (in_slots(l)) {
    slots(l)[slot_index(l, cursor)] = datum;
  } else {
    cell_of(l, cursor)->datum = datum;
  }
}

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
