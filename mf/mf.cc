#include "mf/mf.h"

#include <cstdlib>

#include "ks/pfm.h"
#include "ks/stg.h"

namespace {

const char *const mf_formats[] = {
    "# --- Active make-related environment variables ---\n",
    "#\t%s=%s\n",
};
const uint16_t mf_catalog[] = {1, 2};

}  // namespace

const imsg_msg_table_t _mf_karsel_msg_table = {
    "karsel_bin", "mf", 300, sizeof mf_formats / sizeof mf_formats[0], mf_formats, mf_catalog,
};

hash_ht_t mf_evs = HASH_HT_NULL;

ks_status_t mf_initialize_getenv() {
  mf_finalize_getenv();
  hash_ht_t table = hash_str_create(10, sizeof(char *), 1);
  if (table == HASH_HT_NULL) {
    imsg_print_shared(IMSG_ERROR, "mf", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  hash_set_order(table);
  mf_evs = table;
  return KS_ST_OK;
}

const char *mf_getenv(const char *ev_name) {
  PFM_ASSERT(ev_name != NULL);
  const char *value = std::getenv(ev_name);
  if (value == nullptr || mf_evs == HASH_HT_NULL) return value;
  char *copy = stg_strdup(value);
  if (copy == nullptr) return value;  // the read succeeds; only the record misses it
  void *slot = nullptr;
  if (hash_str_enter(mf_evs, ev_name, nullptr, &slot) < 0) {
    stg_free(copy);
    return value;
  }
  char **stored = static_cast<char **>(slot);
  stg_free(*stored);
  *stored = copy;
  return value;
}

void mf_printenv() {
  if (mf_evs == HASH_HT_NULL || hash_count(mf_evs) == 0) return;
  imsg_print_shared(IMSG_TRACE_CONT, "mf", &imsg_common_table, IMSG_COMMON_EMPTY_LINE);
  imsg_print(IMSG_TRACE_CONT, &_mf_karsel_msg_table, MF_MSG_PRINTENV_HEADER);
  const char *name = nullptr;
  void *slot = nullptr;
  for (hash_cursor_t c = hash_str_next_in_order(mf_evs, nullptr, &name, &slot); c != nullptr;
       c = hash_str_next_in_order(mf_evs, c, &name, &slot)) {
    imsg_print(IMSG_TRACE_CONT, &_mf_karsel_msg_table, MF_MSG_PRINTENV_ENTRY, name,
               *static_cast<char **>(slot));
  }
}

void mf_finalize_getenv() {
  if (mf_evs == HASH_HT_NULL) return;
  void *slot = nullptr;
  for (hash_cursor_t c = hash_str_next_in_order(mf_evs, nullptr, nullptr, &slot); c != nullptr;
       c = hash_str_next_in_order(mf_evs, c, nullptr, &slot)) {
    stg_free(*static_cast<char **>(slot));
  }
  hash_delete_ht(&mf_evs);
  mf_evs = HASH_HT_NULL;
}
