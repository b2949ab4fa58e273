// Lists of machine-word data (pointers) in a storage area or on the heap.
#pragma once

#include <cstddef>

#include "ks/stg.h"

typedef struct list_s *list_handle_t;
typedef struct list_cell_s *list_cursor_t;

#define LIST_HANDLE_NULL ((list_handle_t)0)
#define LIST_IS_EMPTY(l) list_is_empty(l)

// A new list whose cells come from area (STG_AREA_HEAP: the heap), with a zero-filled block of
// attr_size bytes attached to the list. LIST_HANDLE_NULL on failure. A list in an area dies with
// the area; a heap list is freed by list_destroy.
list_handle_t list_create(stg_area_t area, size_t attr_size);

// A new list in area for data that are mostly appended and walked, about room of them: while it
// holds no more than room data, all appended, they take a word each in the list's own block
// instead of a cell each; any other change, or an append beyond room, gives them cells (cursors
// handed out stay valid and the same). A heap list or a room of 0 is an ordinary list.
// LIST_HANDLE_NULL on failure.
list_handle_t list_create_packed(stg_area_t area, size_t room);

// Appends datum; 0, or KS_ST_ERR when memory runs out.
int list_append(list_handle_t list, void *datum);

// Inserts datum in front of the cell at cursor (at the head for a null cursor); 0 or KS_ST_ERR.
// The cell in front of a cursor other than the head is found by a walk from the head.
int list_insert(list_handle_t list, list_cursor_t cursor, void *datum);

// Inserts datum behind the cell at cursor (at the head for a null cursor); 0 or KS_ST_ERR.
int list_insert_after(list_handle_t list, list_cursor_t cursor, void *datum);

// The cursor of the cell after cursor (the first cell for a null cursor), with its datum in
// *out_datum when not null; null past the end.
list_cursor_t list_next(list_handle_t list, list_cursor_t cursor, void **out_datum);

size_t list_length(list_handle_t list);
int list_is_empty(list_handle_t list);

// Appends the data of other to list; other is unchanged. 0 or KS_ST_ERR.
int list_concat(list_handle_t list, list_handle_t other);

// Removes the cell at cursor; returns the cursor of the cell that followed it.
list_cursor_t list_remove(list_handle_t list, list_cursor_t cursor);

void *list_get_data(list_handle_t list, list_cursor_t cursor);
void list_set_data(list_handle_t list, list_cursor_t cursor, void *datum);

// The list's attribute block (attr_size bytes), or null when it has none.
void *list_get_attrs(list_handle_t list);
// Copies attr_size bytes from attrs into the attribute block.
void list_set_attrs(list_handle_t list, const void *attrs);

// Destroys the list (not the data it points to). Lists in an area are left to the area.
void list_destroy(list_handle_t list);
