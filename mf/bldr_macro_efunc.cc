#include "mf/bldr_macro_efunc.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bld/bldr_utl.h"
#include "bld/bldr_utl_java.h"
#include "ks/fileutl.h"
#include "ks/hash.h"
#include "ks/imsg.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "ks/wild.h"
#include "mf/mf_flex.h"
#include "mf/mf_io.h"
#include "mf/mf_utl.h"

const bldr_macro_efunc_row_t bldr_macro_efunc_table[33] = {
    {"filter", 6, bldr_macro_efunc_semantics_filter, 2, 1},
    {"filter-out", 10, bldr_macro_efunc_semantics_filter_out, 2, 1},
    {"dir", 3, bldr_macro_efunc_semantics_dir, 1, 1},
    {"notdir", 6, bldr_macro_efunc_semantics_notdir, 1, 1},
    {"basename", 8, bldr_macro_efunc_semantics_basename, 1, 1},
    {"suffix", 6, bldr_macro_efunc_semantics_suffix, 1, 1},
    {"word", 4, bldr_macro_efunc_semantics_word, 2, 1},
    {"words", 5, bldr_macro_efunc_semantics_words, 1, 1},
    {"firstword", 9, bldr_macro_efunc_semantics_firstword, 1, 1},
    {"wordlist", 8, bldr_macro_efunc_semantics_wordlist, 3, 1},
    {"strip", 5, bldr_macro_efunc_semantics_strip, 1, 1},
    {"addprefix", 9, bldr_macro_efunc_semantics_addprefix, 2, 1},
    {"addsuffix", 9, bldr_macro_efunc_semantics_addsuffix, 2, 1},
    {"join", 4, bldr_macro_efunc_semantics_join, 2, 1},
    {"findstring", 10, bldr_macro_efunc_semantics_findstring, 2, 1},
    {"subst", 5, bldr_macro_efunc_semantics_subst, 3, 1},
    {"wildcard", 8, bldr_macro_efunc_semantics_wildcard, 1, 1},
    {"patsubst", 8, bldr_macro_efunc_semantics_patsubst, 3, 1},
    {"shell", 5, bldr_macro_efunc_semantics_shell, 1, 0},
    {"sort", 4, bldr_macro_efunc_semantics_sort, 1, 1},
    {"foreach", 7, bldr_macro_efunc_semantics_foreach, 3, 1},
    {"origin", 6, bldr_macro_efunc_semantics_origin, 1, 1},
    {"javaclasses", 11, bldr_macro_efunc_semantics_javaclasses, 2, 0},
    {"call", 4, bldr_macro_efunc_semantics_call, 2, 1},
    {"if", 2, bldr_macro_efunc_semantics_if, 3, 1},
    {"and", 3, bldr_macro_efunc_semantics_and, 2, 1},
    {"or", 2, bldr_macro_efunc_semantics_or, 2, 1},
    {"eval", 4, bldr_macro_efunc_semantics_eval, 1, 0},
    {"value", 5, bldr_macro_efunc_semantics_value, 1, 1},
    {"warning", 7, bldr_macro_efunc_semantics_warning, 1, 1},
    {"error", 5, bldr_macro_efunc_semantics_error, 1, 1},
    {"info", 4, bldr_macro_efunc_semantics_info, 1, 1},
    {nullptr, 0, nullptr, 0, 0},
};

namespace {

const char kModule[] = "mf/bldr_macro";
const char kTrace[] = "bldr_macro_efunc";
const char kJavacTrace[] = "javac";

// Slots of the argument array of a call: one more than the largest maximum of the table.
constexpr uint32_t kArgSlots = 4;
// Bound of the pathnames of $(javaclasses) and of the class-to-source mapping.
constexpr size_t kPathMax = 1024;

bool tracing(int level) { return mf_utl_should_trace(kTrace, level); }
bool jtracing(int level) { return mf_utl_should_trace(kJavacTrace, level); }

const char *or_null(const char *s) { return s != nullptr ? s : "<null>"; }

ks_status_t no_memory() {
  imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
  return KS_ST_ERR;
}

ks_status_t too_long() {
  imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_BUF_TOO_SMALL);
  return KS_ST_ERR;
}

void insufficient_arguments(const char *function) {
  imsg_print(IMSG_ERROR, "Insufficient arguments to function \"%s\".\n", -1, function);
}

// A scratch area deleted when the owner goes out of scope, also while a raise unwinds.
struct ScratchArea {
  stg_area_t area;
  explicit ScratchArea(size_t block) : area(stg_create_area(block)) {}
  ~ScratchArea() { stg_delete_area(&area); }
  ScratchArea(const ScratchArea &) = delete;
  ScratchArea &operator=(const ScratchArea &) = delete;
};

// A macro table terminated when the owner goes out of scope.
struct TableOwner {
  bldr_macro_table_t *table;
  explicit TableOwner(bldr_macro_table_t *t) : table(t) {}
  ~TableOwner() { bldr_macro_term_table(table); }
  TableOwner(const TableOwner &) = delete;
  TableOwner &operator=(const TableOwner &) = delete;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The words of text, cut at blanks and TABs only.
std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t p = 0;
  while (p < text.size()) {
    while (p < text.size() && is_blank(text[p])) p++;
    size_t start = p;
    while (p < text.size() && !is_blank(text[p])) p++;
    if (p > start) words.push_back(text.substr(start, p - start));
  }
  return words;
}

// Removes white space at both ends of the flex string.
void strip(char *fsp) {
  size_t removed = strutl_strip_whitespace(fsp, 1, 1);
  mf_flex_hdr(fsp)->cur -= removed;
}

// Puts text into the flex string *work and expands it fully over the table list.
ks_status_t expand_into(list_handle_t tables, bldr_macro_flavor_t flavor, const char *text,
                        char **work) {
  if (!mf_flex_assign(work, text, std::strlen(text))) return no_memory();
  return bldr_macro_expand_flex_string(tables, flavor, work, 1, LIST_HANDLE_NULL, STG_AREA_NULL) ==
                 KS_ST_OK
             ? KS_ST_OK
             : KS_ST_ERR;
}

// Expands the flex string *text in place.
ks_status_t expand_in_place(list_handle_t tables, bldr_macro_flavor_t flavor, char **text) {
  return bldr_macro_expand_flex_string(tables, flavor, text, 1, LIST_HANDLE_NULL, STG_AREA_NULL) ==
                 KS_ST_OK
             ? KS_ST_OK
             : KS_ST_ERR;
}

// The argument expanded and stripped in work, and its words (views into work, which must not
// change while they are used).
ks_status_t arg_words(list_handle_t tables, bldr_macro_flavor_t flavor, const char *arg,
                      mf_flex_local &work, std::vector<std::string_view> *words) {
  if (expand_into(tables, flavor, arg, &work.ptr()) != KS_ST_OK) return KS_ST_ERR;
  strip(work.ptr());
  *words = split_words(std::string_view(work.c_str(), work.size()));
  return KS_ST_OK;
}

// Appends an item to the result: one blank first when the result is not empty, then the item.
ks_status_t add_item(char **result, std::string_view item) {
  if (mf_flex_length(*result) > 0 && !mf_flex_append_char(result, ' ')) return no_memory();
  if (!item.empty() && !mf_flex_append(result, item.data(), item.size())) return no_memory();
  return KS_ST_OK;
}

// The argument expanded and read as a decimal number; a text that is none is an error naming the
// argument's ordinal and the function.
ks_status_t arg_number(list_handle_t tables, bldr_macro_flavor_t flavor, const char *arg,
                       const char *ordinal, const char *function, long *n) {
  mf_flex_local work;
  if (expand_into(tables, flavor, arg, &work.ptr()) != KS_ST_OK) return KS_ST_ERR;
  if (strutl_strtol(work.c_str(), 10, n) != KS_ST_OK) {
    imsg_print(IMSG_ERROR, "Non-numeric %s argument to \"%s\" function: %s.\n", -1, ordinal,
               function, work.c_str());
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

// A NUL-terminated copy of a word in the area, or null after the allocation message.
char *area_word(stg_area_t area, std::string_view word) {
  char *copy = stg_area_strndup(area, word.data(), word.size());
  if (copy == nullptr) no_memory();
  return copy;
}

// n bytes from the area, or null after the allocation message.
char *area_buf(stg_area_t area, size_t n) {
  char *buf = static_cast<char *>(stg_alloc(area, n));
  if (buf == nullptr) no_memory();
  return buf;
}

// Parts of a file name: which part a file-name function keeps.
enum class NamePart { kDir, kNotdir, kBasename, kSuffix };

ks_status_t file_name_parts(NamePart part, list_handle_t tables, bldr_macro_flavor_t flavor,
                            int32_t argc, char **argv, stg_area_t area, char **result) {
  if (argc < 1) return KS_ST_OK;
  mf_flex_local work;
  std::vector<std::string_view> words;
  if (arg_words(tables, flavor, argv[0], work, &words) != KS_ST_OK) return KS_ST_ERR;
  for (std::string_view w : words) {
    char *word = area_word(area, w);
    char *a = area_buf(area, w.size() + 2);
    char *b = area_buf(area, w.size() + 1);
    if (word == nullptr || a == nullptr || b == nullptr) return KS_ST_ERR;
    ks_status_t st = KS_ST_OK;
    switch (part) {
      case NamePart::kDir:
        if (fileutl_strip_leaf(word, w.size() + 2, a, w.size() + 1, b) != KS_ST_OK)
          return KS_ST_ERR;
        if (a[0] == '\0') {
          st = add_item(result, "./");
        } else {
          std::string dir(a);
          if (dir.back() != '/') dir += '/';
          st = add_item(result, dir);
        }
        break;
      case NamePart::kNotdir:
        if (w.back() == '/') continue;
        if (fileutl_strip_leaf(word, w.size() + 2, a, w.size() + 1, b) != KS_ST_OK)
          return KS_ST_ERR;
        st = add_item(result, b);
        break;
      case NamePart::kBasename:
      case NamePart::kSuffix:
        if (fileutl_strip_suffix(word, w.size() + 1, a, w.size() + 1, b) != KS_ST_OK) {
          return KS_ST_ERR;
        }
        st = add_item(result, part == NamePart::kBasename ? a : b);
        break;
    }
    if (st != KS_ST_OK) return st;
  }
  return KS_ST_OK;
}

// A pattern of filter and filter-out, split at its first "%".
struct FilterPattern {
  std::string_view whole;
  bool has_percent = false;
  const char *prefix = nullptr;
  size_t prefix_len = 0;
  const char *suffix = nullptr;
  size_t suffix_len = 0;
};

bool pattern_matches(const FilterPattern &p, const char *buf, std::string_view word) {
  if (!p.has_percent) return word == p.whole;
  size_t start = size_t(word.data() - buf);
  const char *stem = nullptr;
  size_t stem_len = 0;
  return bldr_macro_chpat_match_pattern(buf, start, start + word.size(), p.prefix, p.prefix_len,
                                        p.suffix, p.suffix_len, &stem, &stem_len) != 0;
}

// Quotes a command for the system shell, so that it reaches the chosen shell as one argument.
std::string quote_for_shell(std::string_view text) {
  static const char kSpecial[] = "#;\"*?[]&|<>(){}$`^\\'";
  std::string q;
  q.reserve(text.size() * 2 + 1);
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size() && text[i + 1] == '\n') {
      // A continued line: the break becomes an escaped blank; the newline, one TAB behind it and
      // one white-space character behind those go.
      q += "\\ ";
      i += 2;
      if (i < text.size() && text[i] == '\t') i++;
      if (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) i++;
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c)) || std::strchr(kSpecial, c) != nullptr) {
      q += '\\';
    }
    q += c;
    i++;
  }
  return q;
}

enum class MessageKind { kInfo, kWarning, kError };

ks_status_t message_function(MessageKind kind, list_handle_t tables, bldr_macro_flavor_t flavor,
                             int32_t argc, char **argv, char **result) {
  const char *file = mf_io_source_file != nullptr ? mf_io_source_file : "";
  if (argc < 1) {
    if (kind != MessageKind::kError) return KS_ST_OK;
    // Even an empty $(error) tells where the build stopped.
    imsg_print(IMSG_ERROR, &_bldr_macro_karsel_msg_table, BLDR_MACRO_MSG_FILE_LINE_TEXT, file,
               int(mf_io_spos_line()), "");
    pfm_raise(2);
  }
  mf_flex_local work;
  if (!mf_flex_assign(&work.ptr(), argv[0], std::strlen(argv[0]))) return no_memory();
  mf_flex_reset(*result);
  if (tracing(3)) {
    imsg_print(IMSG_TRACE, "GNU $(info/warning/error()):Argument is %s.\n", -1, argv[0]);
  }
  if (expand_in_place(tables, flavor, &work.ptr()) != KS_ST_OK) {
    if (tracing(3)) {
      imsg_print(IMSG_TRACE, "GNU $(info/warning/error()):Error expanding argument: %s.\n", -1,
                 argv[0]);
    }
    return KS_ST_ERR;
  }
  switch (kind) {
    case MessageKind::kInfo:
      imsg_print(IMSG_INFO, &_bldr_macro_karsel_msg_table, BLDR_MACRO_MSG_TEXT, work.c_str());
      return KS_ST_OK;
    case MessageKind::kWarning:
      imsg_print(IMSG_INFO, &_bldr_macro_karsel_msg_table, BLDR_MACRO_MSG_FILE_LINE_TEXT, file,
                 int(mf_io_spos_line()), work.c_str());
      return KS_ST_OK;
    case MessageKind::kError:
      imsg_print(IMSG_ERROR, &_bldr_macro_karsel_msg_table, BLDR_MACRO_MSG_FILE_LINE_TEXT, file,
                 int(mf_io_spos_line()), work.c_str());
      break;
  }
  pfm_raise(2);
}

// ---------------------------------------------------------------------------------------------
// Root mappings of $(javaclasses)

// Absolute destination root -> heap copy of the absolute source root; null until the first call.
hash_ht_t javaclasses_roots_ht = HASH_HT_NULL;
// Result of the last class-to-source mapping.
char java_pn[kPathMax];

// The root argument stripped, expanded, stripped again and made absolute into buf (kPathMax bytes),
// without trailing slashes (but "/" itself). 0, or KS_ST_ERR.
ks_status_t absolute_root(list_handle_t tables, bldr_macro_flavor_t flavor, const char *arg,
                          char *buf) {
  mf_flex_local work;
  if (!mf_flex_assign(&work.ptr(), arg, std::strlen(arg))) return no_memory();
  strip(work.ptr());
  if (expand_in_place(tables, flavor, &work.ptr()) != KS_ST_OK) return KS_ST_ERR;
  strip(work.ptr());
  ks_status_t st = bldr_utl_cwd_accessible_abs_pn(work.c_str(), kPathMax, buf);
  if (st == KS_ST_NAME_TOO_LONG) return too_long();
  if (st != KS_ST_OK) return KS_ST_ERR;
  size_t len = std::strlen(buf);
  while (len > 1 && buf[len - 1] == '/') buf[--len] = '\0';
  return KS_ST_OK;
}

bool is_directory(const char *path) {
  struct stat st;
  return fileutl_stat(path, 1, &st) == 0 && S_ISDIR(st.st_mode);
}

// Records destination -> source, warning when another source root is replaced.
ks_status_t record_roots(const char *dest, const char *src) {
  void *slot = nullptr;
  int existed = hash_str_enter(javaclasses_roots_ht, dest, nullptr, &slot);
  if (existed < 0) return no_memory();
  char **data = static_cast<char **>(slot);
  char *copy = stg_strdup(src);
  if (copy == nullptr) {
    if (!existed) hash_str_remove(javaclasses_roots_ht, dest);
    return no_memory();
  }
  if (existed && *data != nullptr) {
    if (std::strcmp(*data, src) != 0) {
      imsg_print(IMSG_WARNING, "$(javaclasses) was previously used to map %s\n", -1, dest);
      imsg_print(IMSG_WARNING_CONT, "to %s, and now to %s\n", -1, *data, src);
      imsg_print(IMSG_WARNING_CONT, "The first mapping will be ignored.\n", -1);
    }
    stg_free(*data);
  }
  *data = copy;
  return KS_ST_OK;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Table, lookup, call

const bldr_macro_efunc_row_t *bldr_macro_efunc_lookup(const char *name, size_t len,
                                                      uint32_t *flag) {
  if (name == nullptr) return nullptr;
  for (const bldr_macro_efunc_row_t *row = bldr_macro_efunc_table; row->name != nullptr; row++) {
    if (row->name_len == len && std::strncmp(row->name, name, len) == 0) {
      if (flag != nullptr) *flag = row->flag;
      return row;
    }
  }
  return nullptr;
}

ks_status_t bldr_macro_efunc_parse_arglist(const char *text, uint32_t max, stg_area_t area,
                                           int32_t *argc, char **argv) {
  *argc = 0;
  if (text == nullptr || *text == '\0' || max == 0) return KS_ST_OK;
  const size_t len = std::strlen(text);
  size_t p = 0;
  for (;;) {
    size_t end = len;
    bool comma = false;
    size_t offset = 0;
    if (uint32_t(*argc) < max - 1 && bldr_macro_find_tag(text, p, len, "$,", &offset)) {
      end = offset;
      comma = true;
    }
    char *arg = stg_area_strndup(area, text + p, end - p);
    if (arg == nullptr) return no_memory();
    argv[(*argc)++] = arg;
    if (!comma) return KS_ST_OK;
    p = end + 1;
  }
}

list_handle_t bldr_macro_efunc_parse_words_to_list(const char *fsp, stg_area_t area) {
  list_handle_t list = list_create(area, 0);
  if (list == LIST_HANDLE_NULL) return LIST_HANDLE_NULL;
  for (std::string_view w : split_words(fsp != nullptr ? fsp : "")) {
    char *copy = stg_area_strndup(area, w.data(), w.size());
    if (copy == nullptr || list_append(list, copy) != KS_ST_OK) {
      list_destroy(list);
      return LIST_HANDLE_NULL;
    }
  }
  return list;
}

int bldr_macro_efunc_qsort_comparer(const void *a, const void *b) {
  return std::strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

ks_status_t bldr_macro_efunc_apply(const bldr_macro_efunc_row_t *row, const char *args,
                                   list_handle_t tables, bldr_macro_flavor_t flavor,
                                   char **result) {
  PFM_ASSERT(row != NULL && row->max_args >= 1 && row->max_args < kArgSlots);
  ScratchArea scratch(256);
  if (scratch.area == STG_AREA_NULL) return no_memory();
  std::unique_ptr<char *, void (*)(void *)> argv(
      static_cast<char **>(stg_malloc(kArgSlots * sizeof(char *))), stg_free);
  if (argv == nullptr) return no_memory();
  int32_t argc = 0;
  if (bldr_macro_efunc_parse_arglist(args, row->max_args, scratch.area, &argc, argv.get()) !=
      KS_ST_OK) {
    return KS_ST_ERR;
  }
  return row->handler(tables, flavor, argc, argv.get(), scratch.area, result);
}


// ---------------------------------------------------------------------------------------------
// Words, texts and file names

ks_status_t bldr_macro_efunc_semantics_filter_aux(uint32_t keep, list_handle_t tables,
                                                  bldr_macro_flavor_t flavor, int32_t argc,
                                                  char **argv, stg_area_t, char **result) {
  if (argc < 2) return KS_ST_OK;
  mf_flex_local pattern_text, word_text;
  std::vector<std::string_view> pattern_words, words;
  if (arg_words(tables, flavor, argv[0], pattern_text, &pattern_words) != KS_ST_OK ||
      arg_words(tables, flavor, argv[1], word_text, &words) != KS_ST_OK) {
    return KS_ST_ERR;
  }
  std::vector<FilterPattern> patterns;
  for (std::string_view w : pattern_words) {
    FilterPattern p;
    p.whole = w;
    if (w.find('%') != std::string_view::npos) {
      uint32_t no_percent = 1;
      bldr_macro_chpat_parse_patstr(w.data(), w.size(), &p.prefix, &p.prefix_len, &p.suffix,
                                    &p.suffix_len, &no_percent);
      p.has_percent = no_percent == 0;
    }
    patterns.push_back(p);
  }
  for (std::string_view w : words) {
    bool matched = false;
    for (const FilterPattern &p : patterns) {
      if (pattern_matches(p, word_text.c_str(), w)) {
        matched = true;
        break;
      }
    }
    if (matched == (keep != 0) && add_item(result, w) != KS_ST_OK) return KS_ST_ERR;
  }
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_filter) {
  return bldr_macro_efunc_semantics_filter_aux(1, tables, flavor, argc, argv, area, result);
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_filter_out) {
  return bldr_macro_efunc_semantics_filter_aux(0, tables, flavor, argc, argv, area, result);
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_dir) {
  return file_name_parts(NamePart::kDir, tables, flavor, argc, argv, area, result);
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_notdir) {
  return file_name_parts(NamePart::kNotdir, tables, flavor, argc, argv, area, result);
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_basename) {
  return file_name_parts(NamePart::kBasename, tables, flavor, argc, argv, area, result);
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_suffix) {
  return file_name_parts(NamePart::kSuffix, tables, flavor, argc, argv, area, result);
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_word) {
  (void)area;
  if (argc < 1) return KS_ST_OK;
  long n = 0;
  if (arg_number(tables, flavor, argv[0], "first", "word", &n) != KS_ST_OK) return KS_ST_ERR;
  if (argc < 2) return KS_ST_OK;
  mf_flex_local work;
  std::vector<std::string_view> words;
  if (arg_words(tables, flavor, argv[1], work, &words) != KS_ST_OK) return KS_ST_ERR;
  if (n >= 1 && size_t(n) <= words.size()) return add_item(result, words[size_t(n) - 1]);
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_words) {
  (void)area;
  size_t count = 0;
  if (argc >= 1) {
    mf_flex_local work;
    std::vector<std::string_view> words;
    if (arg_words(tables, flavor, argv[0], work, &words) != KS_ST_OK) return KS_ST_ERR;
    count = words.size();
  }
  return add_item(result, std::to_string(count));
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_firstword) {
  (void)area;
  if (argc < 1) return KS_ST_OK;
  mf_flex_local work;
  std::vector<std::string_view> words;
  if (arg_words(tables, flavor, argv[0], work, &words) != KS_ST_OK) return KS_ST_ERR;
  return words.empty() ? KS_ST_OK : add_item(result, words.front());
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_wordlist) {
  (void)area;
  if (argc < 3) {
    insufficient_arguments("wordlist");
    return KS_ST_ERR;
  }
  long first = 0, second = 0;
  if (arg_number(tables, flavor, argv[0], "first", "wordlist", &first) != KS_ST_OK ||
      arg_number(tables, flavor, argv[1], "second", "wordlist", &second) != KS_ST_OK) {
    return KS_ST_ERR;
  }
  long low = first < second ? first : second;
  long high = first < second ? second : first;
  if (low == 0) return KS_ST_OK;
  mf_flex_local work;
  std::vector<std::string_view> words;
  if (arg_words(tables, flavor, argv[2], work, &words) != KS_ST_OK) return KS_ST_ERR;
  for (size_t i = 0; i < words.size(); i++) {
    long position = long(i) + 1;
    if (position >= low && position <= high && add_item(result, words[i]) != KS_ST_OK) {
      return KS_ST_ERR;
    }
  }
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_strip) {
  (void)area;
  if (argc < 1) return KS_ST_OK;
  mf_flex_local work;
  std::vector<std::string_view> words;
  if (arg_words(tables, flavor, argv[0], work, &words) != KS_ST_OK) return KS_ST_ERR;
  for (std::string_view w : words) {
    if (add_item(result, w) != KS_ST_OK) return KS_ST_ERR;
  }
  return KS_ST_OK;
}

ks_status_t bldr_macro_efunc_semantics_addprefix_aux(uint32_t prefix, list_handle_t tables,
                                                     bldr_macro_flavor_t flavor, int32_t argc,
                                                     char **argv, stg_area_t, char **result) {
  if (argc < 2) return KS_ST_OK;
  mf_flex_local fix, work;
  std::vector<std::string_view> words;
  if (expand_into(tables, flavor, argv[0], &fix.ptr()) != KS_ST_OK ||
      arg_words(tables, flavor, argv[1], work, &words) != KS_ST_OK) {
    return KS_ST_ERR;
  }
  std::string item;
  for (std::string_view w : words) {
    item.assign(prefix ? fix.c_str() : "");
    item.append(w);
    if (!prefix) item.append(fix.c_str());
    if (add_item(result, item) != KS_ST_OK) return KS_ST_ERR;
  }
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_addprefix) {
  return bldr_macro_efunc_semantics_addprefix_aux(1, tables, flavor, argc, argv, area, result);
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_addsuffix) {
  return bldr_macro_efunc_semantics_addprefix_aux(0, tables, flavor, argc, argv, area, result);
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_join) {
  if (argc < 2) return bldr_macro_efunc_semantics_strip(tables, flavor, argc, argv, area, result);
  mf_flex_local text1, text2;
  std::vector<std::string_view> words1, words2;
  if (arg_words(tables, flavor, argv[0], text1, &words1) != KS_ST_OK ||
      arg_words(tables, flavor, argv[1], text2, &words2) != KS_ST_OK) {
    return KS_ST_ERR;
  }
  std::string item;
  for (size_t i = 0; i < words1.size() || i < words2.size(); i++) {
    item.clear();
    if (i < words1.size()) item.append(words1[i]);
    if (i < words2.size()) item.append(words2[i]);
    if (add_item(result, item) != KS_ST_OK) return KS_ST_ERR;
  }
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_findstring) {
  (void)area;
  if (argc < 2) return KS_ST_OK;
  mf_flex_local find, in;
  if (expand_into(tables, flavor, argv[0], &find.ptr()) != KS_ST_OK ||
      expand_into(tables, flavor, argv[1], &in.ptr()) != KS_ST_OK) {
    return KS_ST_ERR;
  }
  if (strutl_find_str(in.c_str(), find.c_str()) != nullptr &&
      !mf_flex_append(result, find.c_str(), find.size())) {
    return no_memory();
  }
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_subst) {
  (void)area;
  if (argc < 3) return KS_ST_OK;
  mf_flex_local from, to;
  if (expand_into(tables, flavor, argv[0], &from.ptr()) != KS_ST_OK ||
      expand_into(tables, flavor, argv[1], &to.ptr()) != KS_ST_OK ||
      expand_into(tables, flavor, argv[2], result) != KS_ST_OK) {
    return KS_ST_ERR;
  }
  if (from.empty()) {
    if (!to.empty() && !mf_flex_append(result, to.c_str(), to.size())) return no_memory();
    return KS_ST_OK;
  }
  // Replacement text is never searched again: the search goes on behind it.
  size_t pos = 0;
  for (;;) {
    const char *found = strutl_find_str(*result + pos, from.c_str());
    if (found == nullptr) return KS_ST_OK;
    size_t offset = size_t(found - *result);
    if (!mf_flex_replace(result, offset, from.size(), to.c_str(), to.size())) return no_memory();
    pos = offset + to.size();
  }
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_patsubst) {
  (void)area;
  if (argc < 3) return KS_ST_OK;
  mf_flex_local pattern, replacement;
  if (expand_into(tables, flavor, argv[0], &pattern.ptr()) != KS_ST_OK ||
      expand_into(tables, flavor, argv[1], &replacement.ptr()) != KS_ST_OK ||
      expand_into(tables, flavor, argv[2], result) != KS_ST_OK) {
    return KS_ST_ERR;
  }
  if (pattern.empty()) return KS_ST_OK;
  if (!bldr_macro_chpat(flavor, result, pattern.c_str(), replacement.c_str(), nullptr)) {
    return no_memory();
  }
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_sort) {
  if (argc < 1) return KS_ST_OK;
  mf_flex_local work;
  std::vector<std::string_view> words;
  if (arg_words(tables, flavor, argv[0], work, &words) != KS_ST_OK) return KS_ST_ERR;
  if (words.empty()) return KS_ST_OK;
  char **sorted = reinterpret_cast<char **>(area_buf(area, words.size() * sizeof(char *)));
  if (sorted == nullptr) return KS_ST_ERR;
  for (size_t i = 0; i < words.size(); i++) {
    if ((sorted[i] = area_word(area, words[i])) == nullptr) return KS_ST_ERR;
  }
  if (words.size() > 1) {
    std::qsort(sorted, words.size(), sizeof(char *), bldr_macro_efunc_qsort_comparer);
  }
  for (size_t i = 0; i < words.size(); i++) {
    if (i > 0 && std::strcmp(sorted[i], sorted[i - 1]) == 0) continue;
    if (add_item(result, sorted[i]) != KS_ST_OK) return KS_ST_ERR;
  }
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_wildcard) {
  (void)area;
  if (argc < 1) return KS_ST_OK;
  mf_flex_local work;
  if (expand_into(tables, flavor, argv[0], &work.ptr()) != KS_ST_OK) return KS_ST_ERR;
  std::string collected;
  for (std::string_view p : split_words(std::string_view(work.c_str(), work.size()))) {
    std::string pattern(p);
    char *text = nullptr;
    if (wild_glob(pattern.c_str(), ".", &text) != KS_ST_OK || text == nullptr) continue;
    std::unique_ptr<char, void (*)(void *)> owned(text, stg_free);
    for (char *c = text; *c != '\0'; c++) {
      if (*c == '\\') *c = '/';
    }
    if (!collected.empty()) collected += ' ';
    collected += text;
  }
  for (std::string_view w : split_words(collected)) {
    std::string name(w);
    if (fileutl_exists(name.c_str(), 0) == 1 && add_item(result, w) != KS_ST_OK) return KS_ST_ERR;
  }
  return KS_ST_OK;
}

// ---------------------------------------------------------------------------------------------
// Control and macro functions

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_if) {
  const char *condition = argc >= 1 ? argv[0] : "";
  char *copy = strutl_concat_area(area, {condition});
  if (copy == nullptr) return no_memory();
  strutl_strip_whitespace(copy, 1, 1);
  if (tracing(4)) {
    imsg_print(IMSG_TRACE,
               "Function $(if) entered - condition: \"%s\", then : \"%s\", else : \"%s\"\n", -1,
               or_null(argc >= 1 ? argv[0] : nullptr), or_null(argc >= 2 ? argv[1] : nullptr),
               or_null(argc >= 3 ? argv[2] : nullptr));
  }
  auto fail = [&]() {
    mf_flex_reset(*result);
    if (tracing(4)) {
      imsg_print(IMSG_TRACE, "Function $(if %s) returning error\n", -1, or_null(argv[0]));
    }
    return KS_ST_ERR;
  };
  if (argc < 2) {
    insufficient_arguments("if");
    mf_flex_reset(*result);
    if (tracing(4)) imsg_print(IMSG_TRACE, "Function $(if %s) returning error\n", -1, condition);
    return KS_ST_ERR;
  }
  if (!mf_flex_assign(result, copy, std::strlen(copy))) return no_memory();
  if (expand_in_place(tables, flavor, result) != KS_ST_OK) return fail();
  const char *branch = nullptr;
  if ((*result)[0] == '\0') {
    if (tracing(4)) imsg_print(IMSG_TRACE, "condition \"%s\" evaluated to false\n", -1, argv[0]);
    if (argc >= 3) branch = argv[2];
  } else {
    if (tracing(4)) imsg_print(IMSG_TRACE, "condition \"%s\" evaluated to true\n", -1, argv[0]);
    branch = argv[1];
  }
  mf_flex_reset(*result);
  if (branch != nullptr) {
    if (!mf_flex_assign(result, branch, std::strlen(branch))) return no_memory();
    if (expand_in_place(tables, flavor, result) != KS_ST_OK) return fail();
  }
  if (tracing(4)) {
    imsg_print(IMSG_TRACE, "Function $(if %s) done - result: \"%s\"\n", -1, argv[0], *result);
  }
  return KS_ST_OK;
}

ks_status_t bldr_macro_efunc_semantics_and_or(uint32_t mode, list_handle_t tables,
                                              bldr_macro_flavor_t flavor, int32_t argc, char **argv,
                                              stg_area_t area, char **result) {
  const char *name = mode ? "and" : "or";
  const char *current = argc >= 1 ? argv[0] : nullptr;
  const char *rest = argc >= 2 ? argv[1] : nullptr;
  char *pieces[2] = {nullptr, nullptr};
  if (tracing(4)) {
    imsg_print(IMSG_TRACE, "Function $(%s) entered - args : \"%s%s%s\"\n", -1, name,
               current ? current : "", rest ? "," : "", rest ? rest : "");
  }
  auto fail = [&]() {
    mf_flex_reset(*result);
    if (tracing(4)) imsg_print(IMSG_TRACE, "Function $(%s) returning error\n", -1, name);
    return KS_ST_ERR;
  };
  while (current != nullptr) {
    if (!mf_flex_assign(result, current, std::strlen(current))) {
      no_memory();
      return fail();
    }
    strip(*result);
    if (expand_in_place(tables, flavor, result) != KS_ST_OK) return fail();
    bool empty = mf_flex_length(*result) == 0;
    if (mode ? empty : !empty) break;
    if (rest == nullptr) break;
    if (*rest == '\0') {
      current = "";
      rest = nullptr;
      continue;
    }
    int32_t n = 0;
    if (bldr_macro_efunc_parse_arglist(rest, 2, area, &n, pieces) != KS_ST_OK) return fail();
    current = pieces[0];
    rest = n >= 2 ? pieces[1] : nullptr;
  }
  if (tracing(4)) {
    imsg_print(IMSG_TRACE, "Function $(%s) done - result : \"%s\"\n", -1, name, *result);
  }
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_and) {
  return bldr_macro_efunc_semantics_and_or(1, tables, flavor, argc, argv, area, result);
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_or) {
  return bldr_macro_efunc_semantics_and_or(0, tables, flavor, argc, argv, area, result);
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_foreach) {
  if (argc < 3) return KS_ST_OK;
  mf_flex_local name, list_text;
  std::vector<std::string_view> words;
  if (expand_into(tables, flavor, argv[0], &name.ptr()) != KS_ST_OK ||
      arg_words(tables, flavor, argv[1], list_text, &words) != KS_ST_OK) {
    return KS_ST_ERR;
  }
  std::string word;
  for (std::string_view w : words) {
    TableOwner variable(bldr_macro_init_table(1, BLDR_MACRO_ORIGIN_AUTOMATIC, area));
    if (variable.table == nullptr) return no_memory();
    word.assign(w);
    if (bldr_macro_define(variable.table, name.c_str(), word.c_str(), 1) != KS_ST_OK) {
      return KS_ST_ERR;
    }
    list_handle_t scope = list_create(area, 0);
    if (scope == LIST_HANDLE_NULL || list_append(scope, variable.table) != KS_ST_OK ||
        list_concat(scope, tables) != KS_ST_OK) {
      return no_memory();
    }
    mf_flex_local body;
    if (expand_into(scope, flavor, argv[2], &body.ptr()) != KS_ST_OK) return KS_ST_ERR;
    if (add_item(result, std::string_view(body.c_str(), body.size())) != KS_ST_OK) {
      return KS_ST_ERR;
    }
  }
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_call) {
  if (argc < 1) return KS_ST_OK;
  const char *args = argc >= 2 ? argv[1] : nullptr;
  uint32_t slots = 2;
  if (args != nullptr) {
    for (const char *c = args; *c != '\0'; c++) slots += *c == ',' ? 1 : 0;
  }
  char **pieces = reinterpret_cast<char **>(area_buf(area, slots * sizeof(char *)));
  if (pieces == nullptr) return KS_ST_ERR;
  if (tracing(4)) {
    imsg_print(IMSG_TRACE, "Function $(call %s) entered - args: \"%s\"\n", -1, argv[0],
               or_null(args));
  }
  mf_flex_local name;
  if (expand_into(tables, flavor, argv[0], &name.ptr()) != KS_ST_OK) return KS_ST_ERR;
  if (tracing(4)) imsg_print(IMSG_TRACE, "Function name resolved to \"%s\"\n", -1, name.c_str());

  TableOwner numbered(bldr_macro_init_table(slots, BLDR_MACRO_ORIGIN_CALL_ARGS, area));
  if (numbered.table == nullptr) return no_memory();
  if (bldr_macro_define(numbered.table, "0", name.c_str(), 1) != KS_ST_OK) return KS_ST_ERR;
  if (args != nullptr) {
    int32_t n = 0;
    if (bldr_macro_efunc_parse_arglist(args, slots, area, &n, pieces) != KS_ST_OK) {
      return KS_ST_ERR;
    }
    for (int32_t i = 1; i <= n; i++) {
      mf_flex_local value;
      if (expand_into(tables, flavor, pieces[i - 1], &value.ptr()) != KS_ST_OK) return KS_ST_ERR;
      std::string number = std::to_string(i);
      if (bldr_macro_define(numbered.table, number.c_str(), value.c_str(), 1) != KS_ST_OK) {
        return KS_ST_ERR;
      }
    }
  }
  // The caller's own numbered arguments stay out of sight of the body.
  list_handle_t scope = list_create(area, 0);
  if (scope == LIST_HANDLE_NULL || list_append(scope, numbered.table) != KS_ST_OK) {
    return no_memory();
  }
  void *datum = nullptr;
  for (list_cursor_t c = list_next(tables, nullptr, &datum); c != nullptr;
       c = list_next(tables, c, &datum)) {
    auto *table = static_cast<bldr_macro_table_t *>(datum);
    if (table->kind != BLDR_MACRO_ORIGIN_CALL_ARGS && list_append(scope, table) != KS_ST_OK) {
      return no_memory();
    }
  }

  std::string reference = "$(";
  reference += name.c_str();
  bool builtin = bldr_macro_efunc_lookup(name.c_str(), name.size(), nullptr) != nullptr;
  if (builtin) {
    reference += ' ';
    if (args != nullptr) reference += args;
  }
  reference += ')';
  if (tracing(4)) {
    imsg_print(IMSG_TRACE,
               builtin ? "Found a builtin function by name \"%s\". Created the macro \"%s\" for "
                         "expansion\n"
                       : "No builtin function found by name \"%s\". Created the macro \"%s\" "
                         "for expansion\n",
               -1, name.c_str(), reference.c_str());
  }
  if (!mf_flex_assign(result, reference.data(), reference.size())) return no_memory();
  if (expand_in_place(scope, flavor, result) != KS_ST_OK) {
    mf_flex_reset(*result);
    if (tracing(4))
      imsg_print(IMSG_TRACE, "Function $(call %s) returning error\n", -1, name.c_str());
    return KS_ST_ERR;
  }
  if (tracing(4)) {
    imsg_print(IMSG_TRACE, "Function $(call %s) done - result: \"%s\"\n", -1, name.c_str(),
               *result);
  }
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_eval) {
  (void)area;
  if (argc < 1) {
    if (tracing(3)) imsg_print(IMSG_TRACE, "GNU $(eval()):Done.\n", -1);
    return KS_ST_OK;
  }
  mf_flex_local work;
  if (!mf_flex_assign(&work.ptr(), argv[0], std::strlen(argv[0]))) return no_memory();
  mf_flex_reset(*result);
  if (tracing(3)) imsg_print(IMSG_TRACE, "GNU $(eval()):Argument is %s.\n", -1, argv[0]);
  if (expand_in_place(tables, flavor, &work.ptr()) != KS_ST_OK) {
    if (tracing(3)) {
      imsg_print(IMSG_TRACE, "GNU $(eval()):Error expanding argument: %s.\n", -1, argv[0]);
    }
    return KS_ST_ERR;
  }
  const size_t text_len = work.size();
  if (!mf_flex_append_char(&work.ptr(), '\n')) return no_memory();
  if (!mf_io_parser_existent()) {
    if (tracing(3)) {
      imsg_print(IMSG_TRACE, "GNU $(eval()):Run time expansion: %s \n", -1, work.c_str());
    }
    // Outside makefile reading there is no input to evaluate the text in: say so rather than
    // fail without a word.
    imsg_print(IMSG_ERROR, "$(eval) can be used only while makefiles are read: \"%.*s\"\n", -1,
               int(text_len), work.c_str());
    return KS_ST_ERR;
  }
  if (mf_io_push_str(work.c_str()) != 0) {
    if (tracing(3)) {
      imsg_print(IMSG_TRACE, "GNU $(eval()):Could not push argument to stream:%s.\n", -1,
                 work.c_str());
    }
    return 1;
  }
  if (tracing(3)) imsg_print(IMSG_TRACE, "GNU $(eval()):Done.\n", -1);
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_value) {
  (void)area;
  if (argc < 1) return KS_ST_OK;
  mf_flex_reset(*result);
  if (tracing(3)) imsg_print(IMSG_TRACE, "GNU $(value()):Argument is %s.\n", -1, argv[0]);
  mf_flex_local name;
  if (expand_into(tables, flavor, argv[0], &name.ptr()) != KS_ST_OK) {
    if (tracing(3)) {
      imsg_print(IMSG_TRACE, "GNU $(value()):Error expanding argument: %s.\n", -1, argv[0]);
    }
    return KS_ST_ERR;
  }
  const char *found = bldr_macro_lookup(tables, name.c_str(), nullptr);
  if (found != nullptr) {
    if (tracing(3)) imsg_print(IMSG_TRACE, "GNU $(value()):lookup:returned %s\n", -1, found);
    if (!mf_flex_assign(result, found, std::strlen(found))) return no_memory();
  } else if (tracing(3)) {
    imsg_print(IMSG_TRACE, "GNU $(value()):lookup:returned NULL.\n", -1);
  }
  if (tracing(3)) imsg_print(IMSG_TRACE, "GNU $(value()):Done.\n", -1);
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_origin) {
  (void)area;
  static const char *const kOrigins[] = {
      "undefined", "default",      "environment", "environment override",
      "file",      "command line", "override",    "automatic"};
  const char *origin = "undefined";
  if (argc >= 1 && argv[0][0] != '\0') {
    mf_flex_local name;
    if (expand_into(tables, flavor, argv[0], &name.ptr()) != KS_ST_OK) return KS_ST_ERR;
    if (std::strcmp(name.c_str(), "MAKEFLAGS") == 0) {
      origin = "file";
    } else {
      bldr_macro_origin_t kind = bldr_macro_origin(tables, name.c_str());
      origin = kind < sizeof kOrigins / sizeof kOrigins[0] ? kOrigins[kind] : "";
    }
  }
  return mf_flex_append_str(result, origin) ? KS_ST_OK : no_memory();
}

// ---------------------------------------------------------------------------------------------
// Shell and messages

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_shell) {
  (void)area;
  if (argc < 1) return KS_ST_OK;
  if (expand_into(tables, flavor, argv[0], result) != KS_ST_OK) return KS_ST_ERR;
  const char *shell = bldr_macro_lookup(tables, "SHELL", nullptr);
  if (!STRUTL_IS_NULL(shell)) {
    std::string command = shell;
    command += " -c ";
    command += quote_for_shell(std::string_view(*result, mf_flex_length(*result)));
    if (!mf_flex_assign(result, command.data(), command.size())) return no_memory();
  }
  // The exit status of the command does not matter; a command that could not be run at all
  // leaves its own text behind, which is no output of it.
  std::string command(*result);
  if (!bldr_macro_exec_cmd(flavor, 1, result) && command == *result) mf_flex_reset(*result);
  return KS_ST_OK;
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_warning) {
  (void)area;
  return message_function(MessageKind::kWarning, tables, flavor, argc, argv, result);
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_error) {
  (void)area;
  return message_function(MessageKind::kError, tables, flavor, argc, argv, result);
}

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_info) {
  (void)area;
  return message_function(MessageKind::kInfo, tables, flavor, argc, argv, result);
}

// ---------------------------------------------------------------------------------------------
// $(javaclasses)

BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_javaclasses) {
  if (javaclasses_roots_ht == HASH_HT_NULL) {
    javaclasses_roots_ht = hash_str_create(32, sizeof(char *), 1);
    if (javaclasses_roots_ht == HASH_HT_NULL) {
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE);
      return KS_ST_ERR;
    }
    hash_set_dynamic(javaclasses_roots_ht, 3);
    hash_set_order(javaclasses_roots_ht);
  }
  if (argc < 1) return KS_ST_OK;

  char dest[kPathMax];
  char src[kPathMax];
  if (absolute_root(tables, flavor, argv[0], dest) != KS_ST_OK) return KS_ST_ERR;
  if (jtracing(3)) imsg_print(IMSG_TRACE, "$(javaclasses) destination dir: %s\n", -1, dest);
  if (absolute_root(tables, flavor, argc >= 2 ? argv[1] : ".", src) != KS_ST_OK) return KS_ST_ERR;
  if (jtracing(3)) imsg_print(IMSG_TRACE, "$(javaclasses) source root: %s\n", -1, src);

  if (!is_directory(src)) {
    imsg_print(IMSG_WARNING, "$(javaclasses) source root \"%s\" cannot be accessed.\n", -1, src);
  }
  if (!is_directory(dest)) {
    imsg_print(IMSG_WARNING, "$(javaclasses) destination root \"%s\" cannot be accessed.\n", -1,
               dest);
  }

  std::string pattern = src;
  if (pattern.back() != '/') pattern += '/';
  pattern += "*.java";
  char *pattern_arg = area_word(area, pattern);
  if (pattern_arg == nullptr) return KS_ST_ERR;
  mf_flex_local found;
  ks_status_t st =
      bldr_macro_efunc_semantics_wildcard(tables, flavor, 1, &pattern_arg, area, &found.ptr());
  if (st != KS_ST_OK) {
    if (jtracing(3)) {
      imsg_print(IMSG_TRACE, "Failed wildcard attempt on \"%s\".\n", -1, pattern.c_str());
    }
    return st;
  }

  std::vector<char *> classes;
  std::vector<std::string_view> java_names =
      split_words(std::string_view(found.c_str(), found.size()));
  for (std::string_view j : java_names) {
    std::string java(j);
    if (jtracing(3))
      imsg_print(IMSG_TRACE, "Wildcard returned Java path \"%s\".\n", -1, java.c_str());
    char base[kPathMax];
    char suffix[256];
    if (fileutl_strip_suffix(java.c_str(), sizeof base, base, sizeof suffix, suffix) != KS_ST_OK) {
      return too_long();
    }
    char *name = area_buf(area, kPathMax);
    if (name == nullptr) return KS_ST_ERR;
    if (strutl_concat(name, kPathMax, {base, ".class"}) != KS_ST_OK) return too_long();
    classes.push_back(name);
  }
  if (java_names.empty() && jtracing(3)) {
    imsg_print(IMSG_TRACE, "No Java paths returned from wildcard of source root \"%s\".\n", -1,
               src);
  }

  const size_t src_len = std::strlen(src);
  for (char *name : classes) {
    if (std::strncmp(name, src, src_len) != 0) {
      imsg_print(IMSG_ERROR, "$(javaclasses) returned paths not prefixed by %s\n", -1, src);
      imsg_print(IMSG_ERROR_CONT, "Is it possible you meant %s to be the source root?\n", -1, dest);
      mf_flex_reset(*result);
      return KS_ST_ERR;
    }
    if (strutl_replace_substr(name, kPathMax, 0, src_len, dest) != KS_ST_OK) return too_long();
  }
  for (char *name : classes) {
    if (add_item(result, name) != KS_ST_OK) return KS_ST_ERR;
  }
  return record_roots(dest, src);
}

int bldr_macro_efunc_have_javaclasses_mappings() {
  return javaclasses_roots_ht != HASH_HT_NULL ? 1 : 0;
}

const char *bldr_macro_efunc_apply_javaclasses_to_class_path(const char *class_pn) {
  // The assertion texts are printed as written.
  // clang-format off
  PFM_ASSERT(! STRUTL_IS_NULL (class_pn));
  PFM_ASSERT(bldr_utl_is_dot_class_pn (class_pn));
  // clang-format on
  if (bldr_utl_cwd_accessible_abs_pn(class_pn, sizeof java_pn, java_pn) != KS_ST_OK) {
    return nullptr;
  }
  if (javaclasses_roots_ht == HASH_HT_NULL || hash_count(javaclasses_roots_ht) == 0) {
    return nullptr;
  }
  // The roots are absolute, so the walk goes up the absolute form that is rewritten below.
  std::string walk = java_pn;
  const char *source = nullptr;
  size_t root_len = 0;
  for (;;) {
    char dir[kPathMax];
    char leaf[kPathMax];
    if (fileutl_strip_leaf(walk.c_str(), sizeof dir, dir, sizeof leaf, leaf) != KS_ST_OK) break;
    if (dir[0] == '\0') std::strcpy(dir, ".");
    if (std::strcmp(dir, ".") == 0 || std::strcmp(dir, "/") == 0 || std::strcmp(dir, "\\") == 0) {
      break;
    }
    void *data = nullptr;
    if (hash_str_lookup(javaclasses_roots_ht, dir, nullptr, &data)) {
      source = *static_cast<char **>(data);
      root_len = std::strlen(dir);
      break;
    }
    walk = dir;
  }
  if (source == nullptr) {
    imsg_print(IMSG_ERROR, "$(javaclasses) defined source to destination mappings that did not\n",
               -1);
    imsg_print(IMSG_ERROR_CONT, "cover %s :\n", -1, class_pn);
    const char *key = nullptr;
    void *data = nullptr;
    for (hash_cursor_t c = hash_str_next_in_order(javaclasses_roots_ht, nullptr, &key, &data);
         c != nullptr; c = hash_str_next_in_order(javaclasses_roots_ht, c, &key, &data)) {
      imsg_print(IMSG_ERROR_CONT, "\t$(javaclasses %s, %s)\n", -1, key,
                 *static_cast<char **>(data));
    }
    return nullptr;
  }
  if (strutl_replace_substr(java_pn, sizeof java_pn, 0, root_len, source) != KS_ST_OK) {
    too_long();
    return nullptr;
  }
  // The name ends in ".class"; that suffix, not an earlier ".class" inside a directory name,
  // becomes ".java".
  const size_t len = std::strlen(java_pn);
  if (strutl_replace_substr(java_pn, sizeof java_pn, len - 6, 6, ".java") != KS_ST_OK) {
    too_long();
    return nullptr;
  }
  return java_pn;
}
