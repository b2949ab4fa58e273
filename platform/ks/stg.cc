#include "ks/stg.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// The alignment of area memory; see stg_alloc.
constexpr size_t kAlign = alignof(void *);
static_assert(alignof(int64_t) <= kAlign && alignof(double) <= kAlign);

size_t align_up(size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

// A block of an area: a header followed by its bytes.
struct stg_block {
  stg_block *next;
  size_t size;
  size_t used;
};

constexpr size_t kHeader = (sizeof(stg_block) + kAlign - 1) & ~(kAlign - 1);

// Records given back, by size in steps of kAlign, up to this size.
constexpr size_t kGivenBackMax = 64;

}  // namespace

struct stg_area_s {
  uint32_t number;  // see stg_area_number
  size_t block_size;
  stg_block *blocks;  // the newest first; allocations come from the head
  // Records given back, each list chained through the records' first word; index: size / kAlign.
  void *given_back[kGivenBackMax / kAlign + 1];
};

namespace {

// The live areas by number (number 0 stands for the heap and names no area), and the numbers of
// deleted areas, taken again first. Both arrays have room for every number given, so deleting
// an area never needs memory; they live as long as the program, for areas deleted at its end.
stg_area_s **numbered = nullptr;
uint32_t numbered_count = 1;
uint32_t *free_numbers = nullptr;
uint32_t free_count = 0;
uint32_t number_room = 1;  // of both arrays
constexpr uint32_t kMaxNumber = (uint32_t(1) << 29) - 1;

// Guards the arrays: areas stand alone otherwise, and may be made and deleted anywhere.
std::mutex numbers_lock;

// Gives area a number; false when memory or numbers run out.
bool number_area(stg_area_s *area) {
  std::lock_guard<std::mutex> hold(numbers_lock);
  if (free_count > 0) {
    area->number = free_numbers[--free_count];
    numbered[area->number] = area;
    return true;
  }
  if (numbered_count > kMaxNumber) return false;
  if (numbered_count == number_room || numbered == nullptr) {
    const uint32_t room = number_room < 16 ? 16 : number_room * 2;
    auto *areas = static_cast<stg_area_s **>(std::realloc(numbered, room * sizeof *numbered));
    if (areas == nullptr) return false;
    numbered = areas;
    auto *frees = static_cast<uint32_t *>(std::realloc(free_numbers, room * sizeof *free_numbers));
    if (frees == nullptr) return false;
    free_numbers = frees;
    number_room = room;
  }
  area->number = numbered_count++;
  numbered[area->number] = area;
  return true;
}

}  // namespace

uint32_t stg_area_number(stg_area_t area) { return area == STG_AREA_HEAP ? 0 : area->number; }

stg_area_t stg_area_of_number(uint32_t number) {
  return number == 0 ? STG_AREA_HEAP : numbered[number];
}

static stg_block *new_block(size_t size) {
  auto *b = static_cast<stg_block *>(std::malloc(kHeader + size));
  if (b == nullptr) return nullptr;
  b->next = nullptr;
  b->size = size;
  b->used = 0;
  return b;
}

stg_area_t stg_create_area(size_t block_size) {
  auto *area = static_cast<stg_area_s *>(std::malloc(sizeof(stg_area_s)));
  if (area == nullptr) return STG_AREA_NULL;
  if (!number_area(area)) {
    std::free(area);
    return STG_AREA_NULL;
  }
  area->block_size = block_size < 256 ? 256 : align_up(block_size);
  area->blocks = nullptr;
  std::memset(area->given_back, 0, sizeof area->given_back);
  return area;
}

void *stg_alloc(stg_area_t area, size_t size) {
  if (area == STG_AREA_NULL) return nullptr;
  if (area == STG_AREA_HEAP) return std::malloc(size == 0 ? 1 : size);
  size = align_up(size == 0 ? 1 : size);
  if (size <= kGivenBackMax && area->given_back[size / kAlign] != nullptr) {
    void *p = area->given_back[size / kAlign];
    area->given_back[size / kAlign] = *static_cast<void **>(p);
    return p;
  }
  stg_block *b = area->blocks;
  if (b == nullptr || b->size - b->used < size) {
    // A request larger than a quarter block gets a block of its own behind the current one, so
    // the current block's free space is not thrown away.
    if (size > area->block_size / 4 && b != nullptr) {
      stg_block *big = new_block(size);
      if (big == nullptr) return nullptr;
      big->used = size;
      big->next = b->next;
      b->next = big;
      return reinterpret_cast<char *>(big) + kHeader;
    }
    stg_block *fresh = new_block(size > area->block_size ? size : area->block_size);
    if (fresh == nullptr) return nullptr;
    fresh->next = b;
    area->blocks = fresh;
    b = fresh;
  }
  void *p = reinterpret_cast<char *>(b) + kHeader + b->used;
  b->used += size;
  return p;
}

void stg_give_back(stg_area_t area, void *p, size_t size) {
  if (area == STG_AREA_NULL || p == nullptr) return;
  if (area == STG_AREA_HEAP) {
    std::free(p);
    return;
  }
  size = align_up(size == 0 ? 1 : size);
  if (size > kGivenBackMax) return;
  *static_cast<void **>(p) = area->given_back[size / kAlign];
  area->given_back[size / kAlign] = p;
}

void *stg_calloc(stg_area_t area, size_t size) {
  void *p = stg_alloc(area, size);
  if (p != nullptr) std::memset(p, 0, size);
  return p;
}

char *stg_area_strndup(stg_area_t area, const char *text, size_t n) {
  auto *p = static_cast<char *>(stg_alloc(area, n + 1));
  if (p == nullptr) return nullptr;
  std::memcpy(p, text, n);
  p[n] = '\0';
  return p;
}

char *stg_area_strdup(stg_area_t area, const char *text) {
  return stg_area_strndup(area, text, std::strlen(text));
}

void stg_empty_area(stg_area_t area) {
  if (area == STG_AREA_NULL || area == STG_AREA_HEAP) return;
  stg_block *kept = nullptr;
  for (stg_block *b = area->blocks; b != nullptr;) {
    stg_block *next = b->next;
    if (kept == nullptr && b->size == area->block_size) {
      kept = b;
    } else {
      std::free(b);
    }
    b = next;
  }
  if (kept != nullptr) {
    kept->next = nullptr;
    kept->used = 0;
  }
  area->blocks = kept;
  std::memset(area->given_back, 0, sizeof area->given_back);
}

void stg_delete_area(stg_area_t *area_p) {
  if (area_p == nullptr || *area_p == STG_AREA_NULL || *area_p == STG_AREA_HEAP) return;
  stg_block *b = (*area_p)->blocks;
  while (b != nullptr) {
    stg_block *next = b->next;
    std::free(b);
    b = next;
  }
  {
    std::lock_guard<std::mutex> hold(numbers_lock);
    numbered[(*area_p)->number] = nullptr;
    free_numbers[free_count++] = (*area_p)->number;
  }
  std::free(*area_p);
  *area_p = STG_AREA_NULL;
}

void *stg_malloc(size_t size) { return std::malloc(size == 0 ? 1 : size); }

char *stg_strdup(const char *text) { return stg_area_strdup(STG_AREA_HEAP, text); }

void stg_free(void *p) { std::free(p); }
