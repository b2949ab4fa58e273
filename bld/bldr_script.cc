// The actual build script's hash, comparison, difference, copy and VPATH rewrite.
#include "bld/bldr_script.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "bld/bldr_utl.h"
#include "cm/cr_utl.h"
#include "cm/cr_utl_bs.h"
#include "ks/fileutl.h"
#include "ks/strutl.h"
#include "mf/mf_utl.h"
#include "vob/vob_utl.h"

namespace {

const char kModule[] = "bld/bldr_script";

const char *const script_formats[] = {
    /* 0 */ "Build script template was empty for target \"%s\".\n",
    /* 1 */ "Template line buffer:\n%s\n",
    /* 2 */ "Line buffer returned from macro package:\n%s\n",
    /* 3 */ "Error freeing internal macro table\n",
    /* 4 */ "Build script hash is %lu\n",
    /* 5 */ "Malformed build script in config record\n",
    /* 6 */ "Unable to create diff of build scripts (no temp directory)\n",
    /* 7 */ "Unable to create diff of build scripts (can't open \"%s\")\n",
    /* 8 */ "Unable to create diff of build scripts (can't write \"%s\")\n",
    /* 9 */ "Attempt to copy null build script list\n",
    /* 10 */ "Line of build script too long:\n\t\"%s\"\n",
    /* 11 */ "Word in build script too long:\n\t\"%s\"\n",
    /* 12 */ "Unable to substitute \"%s\" for \"%s\" in line of build script\n",
};
constexpr uint16_t kRows = sizeof script_formats / sizeof script_formats[0];
const uint16_t script_catalog[kRows] = {};

enum {
  MSG_HASH = 4,
  MSG_MALFORMED = 5,
  MSG_NO_TMPDIR = 6,
  MSG_CANT_OPEN = 7,
  MSG_CANT_WRITE = 8,
  MSG_NULL_COPY = 9,
  MSG_LINE_TOO_LONG = 10,
  MSG_WORD_TOO_LONG = 11,
  MSG_NO_SUBST = 12,
};

constexpr size_t kLineMax = 80001;
constexpr size_t kWordMax = 1024;

// The canonical form of a stored or actual line (trailing blanks removed).
std::string canonical(const std::string &line) {
  int changed = 0;
  char *canon = nullptr;
  if (cr_utl_canonicalize_line(line.c_str(), 0, 1, &changed, &canon) != KS_ST_OK || !changed)
    return line;
  std::string out(canon);
  stg_free(canon);
  return out;
}

}  // namespace

const imsg_msg_table_t _bldr_script_karsel_msg_table = {
    "karsel_bin", kModule, 422, kRows, script_formats, script_catalog,
};

ks_status_t bldr_script_hash(list_handle_t script, uint64_t *hash) {
  ks_status_t st = cr_utl_build_scripts_hash(script, hash);
  if (mf_utl_should_trace("bldr_script", 3))
    imsg_print(IMSG_TRACE, &_bldr_script_karsel_msg_table, MSG_HASH, (unsigned long)*hash);
  return st;
}

int bldr_script_compare(list_handle_t script, char *const *stored, size_t stored_count) {
  if (script == LIST_HANDLE_NULL) return stored != nullptr;
  if (stored == nullptr || stored_count != list_length(script)) return 1;
  size_t i = 0;
  void *inst = nullptr;
  for (list_cursor_t c = list_next(script, nullptr, &inst); c; c = list_next(script, c, &inst), i++) {
    auto *lines = static_cast<list_handle_t>(inst);
    const char *s = stored[i];
    if (lines == LIST_HANDLE_NULL || s == nullptr) {
      if ((lines == LIST_HANDLE_NULL) != (s == nullptr)) return 1;
      continue;
    }
    void *d = nullptr;
    for (list_cursor_t l = list_next(lines, nullptr, &d); l; l = list_next(lines, l, &d)) {
      const char *text = d ? static_cast<cr_utl_bs_line_t *>(d)->text : "";
      if (text == nullptr) text = "";
      // A line holding newlines stands for several stored lines.
      const char *piece = text;
      for (;;) {
        const char *end = std::strchr(piece, '\n');
        size_t piece_len = end ? size_t(end - piece) : std::strlen(piece);
        if (*s == '\0') return 1;  // more actual lines than stored ones
        const char *nl = std::strchr(s, '\n');
        if (nl == nullptr) {
          imsg_print(IMSG_ERROR, &_bldr_script_karsel_msg_table, MSG_MALFORMED);
          return 1;
        }
        const std::string_view stored_line(s, size_t(nl - s)), actual(piece, piece_len);
        s = nl + 1;
        // Both sides in their canonical form: a line stored with trailing blanks matches the
        // same line without them, and the same line with them. Lines alike need no canonical form.
        if (actual != stored_line && canonical(std::string(actual)) != canonical(std::string(stored_line)))
          return 1;
        if (end == nullptr) break;
        piece = end + 1;
      }
    }
    if (*s != '\0') return 1;  // stored lines left over
  }
  return 0;
}

void bldr_script_diff(list_handle_t script, char *const *stored, size_t stored_count) {
  const char *dir = bldr_utl_get_audit_tmpdir(1, 1, nullptr);
  if (STRUTL_IS_NULL(dir)) {
    imsg_print(IMSG_ERROR, &_bldr_script_karsel_msg_table, MSG_NO_TMPDIR);
    return;
  }
  std::string names[2];
  FILE *files[2] = {nullptr, nullptr};
  for (int i = 0; i < 2; i++) {
    std::string tmpl = std::string(dir) + "/make.XXXXXX.diff";
    std::string buf = tmpl;
    int fd = mkstemps(buf.data(), 5);
    names[i] = buf;
    if (fd < 0 || (files[i] = fdopen(fd, "w")) == nullptr) {
      if (fd >= 0) close(fd);
      imsg_print(IMSG_ERROR, &_bldr_script_karsel_msg_table, MSG_CANT_OPEN, buf.c_str());
      names[i].clear();
      break;
    }
  }
  bool ok = files[0] && files[1];
  // Every stored instance and every actual line, each in its canonical form.
  for (size_t i = 0; ok && stored && i < stored_count; i++) {
    if (stored[i] == nullptr) continue;
    std::string text = stored[i];
    size_t pos = 0;
    while (ok && pos < text.size()) {
      size_t nl = text.find('\n', pos);
      if (nl == std::string::npos) nl = text.size();
      ok = std::fprintf(files[0], "%s\n", canonical(text.substr(pos, nl - pos)).c_str()) >= 0;
      pos = nl + 1;
    }
    if (!ok) imsg_print(IMSG_ERROR, &_bldr_script_karsel_msg_table, MSG_CANT_WRITE, names[0].c_str());
  }
  void *inst = nullptr;
  if (script != LIST_HANDLE_NULL)
    for (list_cursor_t c = list_next(script, nullptr, &inst); ok && c; c = list_next(script, c, &inst)) {
      void *d = nullptr;
      auto *lines = static_cast<list_handle_t>(inst);
      if (lines == LIST_HANDLE_NULL) continue;
      for (list_cursor_t l = list_next(lines, nullptr, &d); ok && l; l = list_next(lines, l, &d)) {
        const char *text = d ? static_cast<cr_utl_bs_line_t *>(d)->text : "";
        ok = std::fprintf(files[1], "%s\n", canonical(text ? text : "").c_str()) >= 0;
        if (!ok)
          imsg_print(IMSG_ERROR, &_bldr_script_karsel_msg_table, MSG_CANT_WRITE, names[1].c_str());
      }
    }
  for (FILE *f : files)
    if (f) std::fclose(f);
  if (ok) vob_utl_compare(names[0].c_str(), names[1].c_str(), "-quiet", 0, 0);
  for (const std::string &n : names)
    if (!n.empty()) unlink(n.c_str());
}

list_handle_t bldr_script_copy_lists(list_handle_t script, stg_area_t area) {
  if (script == LIST_HANDLE_NULL) {
    imsg_print(IMSG_ERROR, &_bldr_script_karsel_msg_table, MSG_NULL_COPY);
    return LIST_HANDLE_NULL;
  }
  list_handle_t copy = list_create(area, 0);
  void *inst = nullptr;
  for (list_cursor_t c = list_next(script, nullptr, &inst); copy && c; c = list_next(script, c, &inst)) {
    list_handle_t lines = LIST_HANDLE_NULL;
    if (inst != nullptr) {
      lines = list_create(area, 0);
      if (lines == LIST_HANDLE_NULL || list_concat(lines, static_cast<list_handle_t>(inst)) != 0) {
        copy = LIST_HANDLE_NULL;
        break;
      }
    }
    if (list_append(copy, lines) != 0) copy = LIST_HANDLE_NULL;
  }
  if (copy == LIST_HANDLE_NULL)
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_LIST_CREATE);
  return copy;
}

int bldr_script_vpath_subst_line(char *buf, size_t size, hash_ht_t substs) {
  size_t pos = 0;
  for (;;) {
    while (buf[pos] == ' ' || buf[pos] == '\t') pos++;
    if (buf[pos] == '\0') return 0;
    size_t end = pos;
    while (buf[end] && buf[end] != ' ' && buf[end] != '\t') end++;
    const size_t len = end - pos;
    if (len >= kWordMax) {
      imsg_print(IMSG_ERROR, &_bldr_script_karsel_msg_table, MSG_WORD_TOO_LONG, buf + pos);
      return -1;
    }
    char word[kWordMax];
    std::memcpy(word, buf + pos, len);
    word[len] = '\0';
    void *data = nullptr;
    if (hash_str_lookup(substs, word, nullptr, &data)) {
      const char *found = *static_cast<char **>(data);
      if (strutl_replace_substr(buf, size, pos, len, found) != KS_ST_OK) {
        imsg_print(IMSG_ERROR, &_bldr_script_karsel_msg_table, MSG_NO_SUBST, found, word);
        return -1;
      }
      pos += std::strlen(found);
    } else {
      pos = end;
    }
  }
}

int bldr_script_vpath_subst(list_handle_t script, hash_ht_t substs, stg_area_t area,
                            list_handle_t *out) {
  *out = LIST_HANDLE_NULL;
  list_handle_t copy = bldr_script_copy_lists(script, area);
  if (copy == LIST_HANDLE_NULL) return -1;
  void *inst = nullptr;
  for (list_cursor_t c = list_next(copy, nullptr, &inst); c; c = list_next(copy, c, &inst)) {
    auto *lines = static_cast<list_handle_t>(inst);
    if (lines == LIST_HANDLE_NULL) continue;
    void *d = nullptr;
    for (list_cursor_t l = list_next(lines, nullptr, &d); l; l = list_next(lines, l, &d)) {
      auto *line = static_cast<cr_utl_bs_line_t *>(d);
      const char *text = line && line->text ? line->text : "";
      if (std::strlen(text) >= kLineMax) {
        imsg_print(IMSG_ERROR, &_bldr_script_karsel_msg_table, MSG_LINE_TOO_LONG, text);
        return -1;
      }
      std::string buf(kLineMax, '\0');
      std::memcpy(buf.data(), text, std::strlen(text) + 1);
      if (bldr_script_vpath_subst_line(buf.data(), kLineMax, substs) != 0) return -1;
      auto *rewritten = static_cast<cr_utl_bs_line_t *>(stg_alloc(area, sizeof(cr_utl_bs_line_t)));
      if (rewritten == nullptr) return -1;
      rewritten->text = stg_area_strdup(area, buf.c_str());
      rewritten->attr = line ? line->attr : 0;
      if (rewritten->text == nullptr) return -1;
      list_set_data(lines, l, rewritten);
    }
  }
  *out = copy;
  return 0;
}
