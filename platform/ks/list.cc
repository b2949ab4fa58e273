#include "ks/list.h"

#include <cstdlib>
#include <cstring>

#include "ks/ks_status.h"

struct list_cell_s {
  list_cell_s *prev;
  list_cell_s *next;
  void *datum;
};

struct list_s {
  stg_area_t area;
  list_cell_s *head;
  list_cell_s *tail;
  list_cell_s *free_cells;  // removed cells of an area list, reused before the area grows
  size_t length;
  size_t attr_size;
  void *attrs;
};

static bool on_heap(list_handle_t l) { return l->area == STG_AREA_HEAP; }

list_handle_t list_create(stg_area_t area, size_t attr_size) {
  if (area == STG_AREA_NULL) return LIST_HANDLE_NULL;
  auto *l = static_cast<list_s *>(stg_calloc(area, sizeof(list_s)));
  if (l == nullptr) return LIST_HANDLE_NULL;
  if (area == STG_AREA_HEAP) std::memset(l, 0, sizeof *l);
  l->area = area;
  l->attr_size = attr_size;
  if (attr_size > 0) {
    l->attrs = stg_calloc(area, attr_size);
    if (l->attrs == nullptr) {
      if (on_heap(l)) std::free(l);
      return LIST_HANDLE_NULL;
    }
  }
  return l;
}

static list_cell_s *new_cell(list_handle_t l, void *datum) {
  list_cell_s *c = l->free_cells;
  if (c != nullptr) l->free_cells = c->next;
  else c = static_cast<list_cell_s *>(stg_alloc(l->area, sizeof(list_cell_s)));
  if (c == nullptr) return nullptr;
  c->prev = c->next = nullptr;
  c->datum = datum;
  return c;
}

// Links cell c in front of before (at the tail for a null before).
static void link_before(list_handle_t l, list_cell_s *c, list_cell_s *before) {
  c->next = before;
  c->prev = before ? before->prev : l->tail;
  if (c->prev) c->prev->next = c;
  else l->head = c;
  if (before) before->prev = c;
  else l->tail = c;
  l->length++;
}

int list_append(list_handle_t l, void *datum) {
  list_cell_s *c = new_cell(l, datum);
  if (c == nullptr) return KS_ST_ERR;
  link_before(l, c, nullptr);
  return KS_ST_OK;
}

int list_insert(list_handle_t l, list_cursor_t cursor, void *datum) {
  list_cell_s *c = new_cell(l, datum);
  if (c == nullptr) return KS_ST_ERR;
  link_before(l, c, cursor ? cursor : l->head);
  return KS_ST_OK;
}

int list_insert_after(list_handle_t l, list_cursor_t cursor, void *datum) {
  list_cell_s *c = new_cell(l, datum);
  if (c == nullptr) return KS_ST_ERR;
  link_before(l, c, cursor ? cursor->next : l->head);
  return KS_ST_OK;
}

list_cursor_t list_next(list_handle_t l, list_cursor_t cursor, void **out_datum) {
  list_cell_s *c = cursor ? cursor->next : l->head;
  if (c != nullptr && out_datum != nullptr) *out_datum = c->datum;
  return c;
}

size_t list_length(list_handle_t l) { return l == LIST_HANDLE_NULL ? 0 : l->length; }

int list_is_empty(list_handle_t l) { return l == LIST_HANDLE_NULL || l->length == 0; }

int list_concat(list_handle_t l, list_handle_t other) {
  if (other == LIST_HANDLE_NULL) return KS_ST_OK;
  // Count first so that appending a list to itself stops at its original end.
  size_t n = other->length;
  list_cell_s *c = other->head;
  for (size_t i = 0; i < n; i++, c = c->next)
    if (list_append(l, c->datum) != KS_ST_OK) return KS_ST_ERR;
  return KS_ST_OK;
}

list_cursor_t list_remove(list_handle_t l, list_cursor_t c) {
  list_cell_s *next = c->next;
  if (c->prev) c->prev->next = c->next;
  else l->head = c->next;
  if (c->next) c->next->prev = c->prev;
  else l->tail = c->prev;
  l->length--;
  if (on_heap(l)) {
    std::free(c);
  } else {
    c->next = l->free_cells;
    l->free_cells = c;
  }
  return next;
}

void *list_get_data(list_handle_t, list_cursor_t cursor) { return cursor->datum; }

void list_set_data(list_handle_t, list_cursor_t cursor, void *datum) { cursor->datum = datum; }

void *list_get_attrs(list_handle_t l) { return l->attrs; }

void list_set_attrs(list_handle_t l, const void *attrs) {
  if (l->attrs != nullptr) std::memcpy(l->attrs, attrs, l->attr_size);
}

void list_destroy(list_handle_t l) {
  if (l == LIST_HANDLE_NULL || !on_heap(l)) return;
  list_cell_s *c = l->head;
  while (c != nullptr) {
    list_cell_s *next = c->next;
    std::free(c);
    c = next;
  }
  std::free(l->attrs);
  std::free(l);
}
