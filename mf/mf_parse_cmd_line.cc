#include "mf/mf_parse_cmd_line.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ks/cl.h"
#include "ks/imsg.h"
#include "ks/pfm.h"
#include "mf/mf.h"
#include "mf/mf_utl.h"

uint32_t mf_parse_warn_undef = 0;

const char *const mf_parse_cmd_line_formats[] = {
    /* 0 */ "%s (%s)\n",
    /* 1 */
    "Usage: tolvick [-f makefile]... [-ukinservwdpqcUNR]\n"
    "                 [-J num] [-B bldhost-file]\n"
    "                 [-C compat_mode] [-V | -M] [-O | -T | -F]\n"
    "                 [-A BOS-file]... [macro=value...] [target-name...]\n",
    /* 2 */ "cl_getopt returned unexpected value \"%c\"\n",
    /* 3 */ "Null cl handle returned from cl_parse_argv\n",
    /* 4 */ "Unrecognized compatibility directive \"%s\"\n",
    /* 5 */ "-I/--include-dir are only valid in certain compatibility modes\n",
    /* 6 */ "Invalid -J argument: \"%s\"\n",
    /* 7 */ "%s%s: Entering directory `%s'\n",
    /* 8 */ "%s%s: Leaving directory `%s'\n",
    /* 9 */ "The -q option is not supported with -J\n",
    /* 10 */ "-b/--no-builtin-variables is only valid in GNU-compat mode\n",
    /* 11 */ "Bad MAKEFLAGS EV",
    /* 12 */ "Malformed makeflags string %s - ignored\n",
    /* 13 */ "Cannot copy makeflags; EV value too long\n",
    /* 14 */ "Command-line flags O, F, and T are mutually exclusive\n",
    /* 15 */ "Bad option (%s)\n",
    /* 16 */ "Option \"%s\" requires argument\n",
    /* 17 */ "unknown debug level specification '%s'.  Stop.\n",
    /* 18 */ "--directory is only valid in GNU-compat mode\n",
    /* 19 */ "Cannot change to directory '%s'.\n  Stop.",
    /* 20 */ "The %s compatibility mode has been obsoleted.  The %s mode is being used instead.\n",
    /* 21 */ "Option: -x is no longer supported.\n",
    /* 22 */ "Inherited makeflags string of %zu bytes is too long - ignored\n",
    /* 23 */ "Too many option letters\n",
    /* 24 */ "getenv ORVA_MAKEFLAGS\n",
    /* 25 */ "Imported makeflags:\t%s\n",
    /* 26 */ "No imported makeflags\n",
    /* 27 */ "Arg:\t%s\n",
    /* 28 */ "Newarg:\t%s\n",
    /* 29 */ "exported MAKEFLAGS: %s\n",
    /* 30 */ "No MAKEFLAGS exported\n",
    /* 31 */ "Compat mode set via EV:\t%s\n",
    /* 32 */ "Command-line flag: %s\n",
    /* 33 */ "Makeflags flag: %s\n",
    /* 34 */ "New argv[%d]: %s\n",
    /* 35 */ "Argument vector:\n",
    /* 36 */ "\t%s\n",
    /* 37 */ "Unable to set environment variable \"%s\"\n",
    /* 38 */ "Ignored makeflags:%s\n",
};
static const uint16_t mf_parse_cmd_line_catalog[sizeof mf_parse_cmd_line_formats /
                                                sizeof mf_parse_cmd_line_formats[0]] = {};

const imsg_msg_table_t _mf_parse_cmd_line_karsel_msg_table = {
    "karsel_bin",
    "tolvick",
    102,
    sizeof mf_parse_cmd_line_formats / sizeof mf_parse_cmd_line_formats[0],
    mf_parse_cmd_line_formats,
    mf_parse_cmd_line_catalog,
};

namespace {

const imsg_msg_table_t *const kTable = &_mf_parse_cmd_line_karsel_msg_table;

enum Row {
  kBadOpt = 0,
  kUsage = 1,
  kUnexpected = 2,
  kNullHandle = 3,
  kBadCompat = 4,
  kIncludeDirs = 5,
  kBadJ = 6,
  kQWithJ = 9,
  kNoBuiltinVars = 10,
  kBadEv = 11,
  kMalformed = 12,
  kTooLong = 13,
  kOFT = 14,
  kBadLongOpt = 15,
  kNeedsArg = 16,
  kBadDebug = 17,
  kDirectory = 18,
  kPgnu = 20,
  kNoX = 21,
  kInheritedTooLong = 22,
  kTooManyLetters = 23,
  kTrGetenv = 24,
  kTrImported = 25,
  kTrNoImported = 26,
  kTrArg = 27,
  kTrNewarg = 28,
  kTrExported = 29,
  kTrNoExported = 30,
  kTrCompatEv = 31,
  kTrCmdFlag = 32,
  kTrMakeflagsFlag = 33,
  kTrNewArgv = 34,
  kArgVector = 35,
  kArgWord = 36,
  kSetenvFailed = 37,
  kTrIgnored = 38,
};

const char *const kModule = "tolvick";
const char *const kTraceName = "mf_makeflags";
const char *const kOptString = "I:f:J:B:C:A:ukinserbvdpVUMPRNOFTxwqc";
constexpr std::string_view kArgLetters = "CIBA";
constexpr std::string_view kNonstandardLetters = "AJBxNbvCUMVOTFRcuP";
constexpr std::string_view kBuildLetters = "ukinsqcFMORTUV";
constexpr std::string_view kNotPassedLetters = "dfuxABJ";

bool trace_on(int level) { return mf_utl_should_trace(kTraceName, level); }

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool has_blank(std::string_view s) { return s.find_first_of(" \t") != std::string_view::npos; }

// The byte length of the character at p: 1 in a single-byte locale, and for a byte that is no
// valid character.
size_t char_len(const char *p) {
  if (MB_CUR_MAX == 1 || (unsigned char)*p < 0x80) return 1;
  int n = std::mblen(p, MB_CUR_MAX);
  return n > 0 ? size_t(n) : 1;
}

// Whether every quote of value has a closing quote of the same kind further on, with well-formed
// text between them.
bool well_formed(std::string_view value) {
  size_t i = 0;
  while (i < value.size()) {
    char c = value[i];
    if (c == '\'' || c == '"') {
      size_t close = value.find(c, i + 1);
      if (close == std::string_view::npos) return false;
      i = close + 1;
      continue;
    }
    i += char_len(value.data() + i);
  }
  return true;
}

// The words of a MAKEFLAGS-style value; false after the tokenizer's message when a quote is
// unmatched.
bool split_words(std::string_view value, std::vector<std::string> *words) {
  std::string copy(value);
  char *save = nullptr;
  words->clear();
  for (char *w = mf_cl_tokenize_makeflags(copy.data(), &save); w;
       w = mf_cl_tokenize_makeflags(nullptr, &save))
    words->push_back(w);
  return save != nullptr;
}

// Kinds of the words of a MAKEFLAGS-style value.
enum class Word { kDefinition, kLong, kGroup, kArgument };

// Classifies each word: a word after a group whose last letter takes an argument is that
// argument, and is never taken for a group, option or definition.
std::vector<Word> classify(const std::vector<std::string> &words) {
  std::vector<Word> kinds;
  bool argument_next = false;
  for (const auto &w : words) {
    if (argument_next) {
      kinds.push_back(Word::kArgument);
      argument_next = false;
    } else if (w.starts_with("--")) {
      kinds.push_back(Word::kLong);
    } else if (w.find('=') != std::string::npos) {
      kinds.push_back(Word::kDefinition);
    } else {
      kinds.push_back(Word::kGroup);
      argument_next = !w.empty() && kArgLetters.find(w.back()) != std::string_view::npos;
    }
  }
  return kinds;
}

// Appends one option to value by the MAKEFLAGS-style rules.
void append_flag(std::string *value, int letter, const char *long_name, const char *argument,
                 int separate) {
  std::string &v = *value;
  if (v.empty()) {
    if (letter)
      v += char(letter);
    else
      (v += "--") += long_name;
    if (argument) (v += ' ') += argument;
    return;
  }
  if (letter && argument) {
    ((v += " -") += char(letter)) += ' ';
    v += argument;
  } else if (!letter) {
    (v += " --") += long_name;
  } else if (!has_blank(v) && !separate) {
    v += char(letter);
  } else {
    (v += " -") += char(letter);
  }
}

// The letter-equivalent and other long options that take no value after '='.
struct LongOption {
  const char *name;
  size_t min;      // shortest accepted abbreviation
  char letter;     // parse letter, or 0
  int effect;      // what else it does
};

enum Effect {
  kNone,
  kDebug,
  kPrintGraph,
  kQuestion,
  kPrintDirectory,
  kNoPrintDirectory,
  kWarnUndef,
  kBuildSession,
};

const LongOption kLongOptions[] = {
    {"debug", 2, 0, kDebug},
    {"environment-overrides", 1, 'e', kNone},
    {"ignore-errors", 2, 'i', kNone},
    {"keep-going", 1, 'k', kNone},
    {"just-print", 2, 'n', kNone},
    {"dry-run", 2, 'n', kNone},
    {"recon", 1, 'n', kNone},
    {"print-data-base", 8, 0, kPrintGraph},
    {"question", 3, 'q', kQuestion},
    {"no-builtin-rules", 12, 'r', kNone},
    {"no-builtin-variables", 12, 'b', kNone},
    {"silent", 2, 's', kNone},
    {"quiet", 3, 's', kNone},
    {"print-directory", 8, 'w', kPrintDirectory},
    {"no-print-directory", 4, 0, kNoPrintDirectory},
    {"warn-undefined-variables", 2, 0, kWarnUndef},
    {"build-session", 5, 0, kBuildSession},
};

// The long options that take a value after '='.
enum ValueOption { kDebugValue, kFile, kMakefile, kIncludeDir, kDirectoryValue };

struct LongValueOption {
  const char *name;
  size_t min;
  ValueOption which;
};

const LongValueOption kLongValueOptions[] = {
    {"debug", 2, kDebugValue},
    {"file", 1, kFile},
    {"makefile", 3, kMakefile},
    {"include-dir", 2, kIncludeDir},
    {"directory", 2, kDirectoryValue},
};

bool abbreviates(std::string_view text, std::string_view name, size_t min) {
  return text.size() >= min && text.size() <= name.size() && name.starts_with(text);
}

const LongOption *find_long_option(std::string_view text) {
  for (const auto &o : kLongOptions)
    if (abbreviates(text, o.name, o.min)) return &o;
  return nullptr;
}

// Whether text (a long option without its "--") is one of the long options of the command line.
bool known_long_option(std::string_view text) {
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos && find_long_option(text) != nullptr) return true;
  const std::string_view name = text.substr(0, eq);
  for (const auto &o : kLongValueOptions)
    if (abbreviates(name, o.name, o.min)) return true;
  return false;
}

// The index of a word "--" outside quotes in a MAKEFLAGS-style value, or npos.
size_t end_of_options(std::string_view value) {
  size_t i = 0;
  while (i < value.size()) {
    while (i < value.size() && is_blank(value[i])) i++;
    const size_t start = i;
    while (i < value.size() && !is_blank(value[i])) {
      const char c = value[i];
      if (c == '\\' && i + 1 < value.size()) {
        i += 2;
      } else if (c == '\'' || c == '"') {
        const size_t close = value.find(c, i + 1);
        i = close == std::string_view::npos ? value.size() : close + 1;
      } else {
        i += char_len(value.data() + i);
      }
    }
    if (value.substr(start, i - start) == "--") return start;
  }
  return std::string_view::npos;
}

// A decimal number of at most UINT32_MAX with nothing else around it; false otherwise.
bool parse_count(const char *text, uint32_t *out) {
  if (!text || !*text) return false;
  char *end = nullptr;
  errno = 0;
  long long n = std::strtoll(text, &end, 10);
  if (errno || *end || n < 0 || n > UINT32_MAX) return false;
  *out = uint32_t(n);
  return true;
}

// Reads a variable with two names, the second only when the first is unset.
const char *getenv2(const char *name, const char *old_name) {
  const char *v = mf_getenv(name);
  return v ? v : mf_getenv(old_name);
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (std::tolower((unsigned char)a[i]) != std::tolower((unsigned char)b[i])) return false;
  return true;
}

// Puts NAME=value into the process environment; an empty value is written only when force is
// set. 0 or KS_ST_ERR after a message.
ks_status_t putenv_var(const char *name, const char *value, bool force) {
  if (!value || !*value) {
    if (!force) return KS_ST_OK;
    value = "";
  }
  if (::setenv(name, value, 1) != 0) {
    if (errno == ENOMEM)
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    else
      imsg_print(IMSG_ERROR, kTable, kSetenvFailed, name);
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

// One run of the parser.
class CmdLine {
 public:
  CmdLine(stg_area_t area, karsel_args *args) : area_(area), args_(args) {}

  ks_status_t run(int argc, char **argv);

 private:
  void read_inherited();
  void take_inherited(const char *value);
  void merge(int argc, char **argv);
  bool parse_options();
  void option(int c, cl_handle_t h, const char *long_text);
  void letter_option(int c, const char *arg);
  void long_option(const char *text);
  void operand(const char *word);
  void pass_on(int letter, const char *long_name, const char *arg);
  void add_letter(char *flags, char letter);
  bool finish();
  bool include_dirs_allowed();
  char *copy(std::string_view s);
  char **to_array(const std::vector<std::string> &v);
  void fail() { failed_ = true; }

  std::vector<std::string> filter_inherited(const std::vector<std::string> &words);

  stg_area_t area_;
  karsel_args *args_;
  std::string inherited_;          // the options of the inherited value
  bool from_makeflags_ = false;    // it came from MAKEFLAGS, perhaps written by another make
  std::vector<std::string> inherited_defs_;  // definitions after a "--" of the inherited value
  std::set<std::string> inherited_include_dirs_;
  bool malformed_ = false;
  std::vector<std::string> merged_;
  std::string flags_;             // the new ORVA_MAKEFLAGS value
  std::set<std::string> passed_;  // the options in flags_: letter, letter NUL argument, --name
  std::vector<std::string> makefiles_, bos_files_, include_dirs_, goals_, defs_;
  std::string compat_name_;
  bool compat_named_ = false;
  bool question_ = false;
  bool failed_ = false;
  bool stopped_ = false;
  bool no_memory_ = false;
};

char *CmdLine::copy(std::string_view s) {
  char *p = stg_area_strndup(area_, s.data(), s.size());
  if (!p) no_memory_ = true;
  return p;
}

char **CmdLine::to_array(const std::vector<std::string> &v) {
  if (v.empty()) return nullptr;
  auto **a = static_cast<char **>(stg_alloc(area_, (v.size() + 1) * sizeof(char *)));
  if (!a) {
    no_memory_ = true;
    return nullptr;
  }
  for (size_t i = 0; i < v.size(); i++) a[i] = copy(v[i]);
  a[v.size()] = nullptr;
  return a;
}

void CmdLine::read_inherited() {
  const char *value = nullptr;
  if (!mf_getenv("ORVA_IGNORE_ORVA_MAKEFLAGS")) {
    if (trace_on(3)) imsg_print(IMSG_TRACE, kTable, kTrGetenv);
    value = mf_getenv("ORVA_MAKEFLAGS");
  }
  if (!value) {
    value = mf_getenv("MAKEFLAGS");
    from_makeflags_ = value != nullptr;
  }
  if (!value || !*value) {
    if (trace_on(3)) imsg_print(IMSG_TRACE, kTable, kTrNoImported);
    return;
  }
  take_inherited(value);
}

// Takes the options of the inherited value (not empty). Out of line: a make started by hand
// inherits none.
[[gnu::noinline]] void CmdLine::take_inherited(const char *value) {
  size_t len = std::strlen(value);
  // A value that could never be passed on again is refused whole, before anything reads it.
  if (len >= MF_MAKEFLAGS_BUF_SIZE) {
    imsg_print(IMSG_WARNING, kTable, kInheritedTooLong, len);
    malformed_ = true;
    return;
  }
  if (trace_on(3)) imsg_print(IMSG_TRACE, kTable, kTrImported, value);
  // GNU make writes its options, then a word "--", then the command-line definitions with
  // blanks and backslashes escaped by a backslash.
  std::string_view options(value);
  const size_t separator = end_of_options(options);
  if (separator != std::string_view::npos) {
    inherited_defs_ = mf_utl_escaped_words(options.substr(separator + 2));
    options = options.substr(0, separator);
  }
  if (!well_formed(options)) {
    imsg_print(IMSG_WARNING, kTable, kMalformed, value);
    malformed_ = true;
    inherited_defs_.clear();
    return;
  }
  inherited_ = options;
  const char *opts = inherited_.c_str();
  if (mf_parse_opt_included(opts, 'N', nullptr, nullptr)) args_->no_default_bos = 1;
  if (mf_parse_opt_included(opts, 'v', nullptr, nullptr) && args_->verbosity < 1)
    args_->verbosity = 1;
  if ((mf_parse_opt_included(opts, 'd', nullptr, nullptr) ||
       mf_parse_opt_included(opts, 0, "--debug", nullptr)) &&
      args_->verbosity < 2)
    args_->verbosity = 2;
}

// Whether letter is an option letter of the command line that takes an argument.
bool takes_argument(char letter) {
  const char *spec = letter == ':' ? nullptr : std::strchr(kOptString, letter);
  return spec && spec[1] == ':';
}

void CmdLine::merge(int argc, char **argv) {
  std::vector<std::string> words, cmd_defs;
  bool cmd_has_C = false;
  bool argument_next = false;
  bool options_ended = false;
  size_t end_of_options = SIZE_MAX;  // index of a "--" in words
  words.push_back(argv[0]);
  for (int i = 1; i < argc; i++) {
    std::string_view w = argv[i];
    if (trace_on(3)) imsg_print(IMSG_TRACE, kTable, kTrArg, argv[i]);
    if (argument_next) {  // an option's argument stays with its option, '=' or not
      argument_next = false;
      words.emplace_back(w);
      continue;
    }
    if (!options_ended && w.size() > 1 && w[0] == '-') {
      if (w == "--") {
        options_ended = true;
        end_of_options = words.size();
      } else if (w[1] != '-') {
        for (size_t k = 1; k < w.size(); k++) {
          if (w[k] == 'C') cmd_has_C = true;
          if (takes_argument(w[k])) {
            argument_next = k + 1 == w.size();
            break;
          }
        }
      }
      words.emplace_back(w);
      continue;
    }
    if (w.find('=') != std::string_view::npos)
      cmd_defs.emplace_back(w);
    else
      words.emplace_back(w);
  }

  std::vector<std::string> value_words, value_opts, value_defs;
  if (!inherited_.empty() && !split_words(inherited_, &value_words)) {
    malformed_ = true;
    value_words.clear();
  }
  if (!value_words.empty()) value_words = filter_inherited(value_words);
  std::vector<Word> kinds = classify(value_words);
  bool dropping = false;
  for (size_t i = 0; i < value_words.size(); i++) {
    std::string &w = value_words[i];
    switch (kinds[i]) {
      case Word::kArgument:
        if (!dropping) value_opts.push_back(w);
        dropping = false;
        break;
      case Word::kDefinition:
        value_defs.push_back(w);
        break;
      case Word::kLong:
        value_opts.push_back(w);
        break;
      case Word::kGroup:
        if (w.empty() || w == "-") break;
        if (cmd_has_C && w.back() == 'C') {
          dropping = true;
          break;
        }
        if (w[0] != '-') w.insert(0, 1, '-');
        value_opts.push_back(w);
        break;
    }
    if (trace_on(4)) imsg_print(IMSG_TRACE, kTable, kTrMakeflagsFlag, w.c_str());
  }
  value_defs.insert(value_defs.end(), inherited_defs_.begin(), inherited_defs_.end());

  // Program name and command-line words, the inherited options (ahead of a "--"), the inherited
  // definitions, the command-line definitions.
  if (end_of_options == SIZE_MAX) end_of_options = words.size();
  merged_.assign(words.begin(), words.begin() + end_of_options);
  merged_.insert(merged_.end(), value_opts.begin(), value_opts.end());
  merged_.insert(merged_.end(), words.begin() + end_of_options, words.end());
  merged_.insert(merged_.end(), value_defs.begin(), value_defs.end());
  merged_.insert(merged_.end(), cmd_defs.begin(), cmd_defs.end());
  for (size_t i = 0; i < merged_.size(); i++) {
    if (trace_on(3)) imsg_print(IMSG_TRACE, kTable, kTrNewarg, merged_[i].c_str());
    if (trace_on(4)) imsg_print(IMSG_TRACE, kTable, kTrNewArgv, int(i), merged_[i].c_str());
  }
}

// Out of line, as the inherited value it reads: a make started by hand inherits none.
[[gnu::noinline]] std::vector<std::string> CmdLine::filter_inherited(
    const std::vector<std::string> &words) {
  // A parent make may have written options that only it understands (GNU make's -j2, -l3,
  // -Otarget, --jobserver-auth=3,4, -B, -R, -t, ...): they are left out, so that they neither
  // stop this run nor change what it does. Only the letters and long options of this command
  // line are taken; in MAKEFLAGS also not B, O and R, which GNU make uses otherwise.
  std::vector<std::string> kept;
  std::string ignored;
  bool argument_next = false;
  bool include_dir_next = false;
  for (const std::string &w : words) {
    if (argument_next) {
      if (include_dir_next) inherited_include_dirs_.insert(w);
      kept.push_back(w);
      argument_next = false;
      include_dir_next = false;
      continue;
    }
    if (w.starts_with("--")) {
      if (known_long_option(std::string_view(w).substr(2)))
        kept.push_back(w);
      else
        (ignored += ' ') += w;
      continue;
    }
    if (w.find('=') != std::string::npos) {
      kept.push_back(w);
      continue;
    }
    std::string group = "-";
    bool glued = false;  // the group ends with an option and its argument
    for (size_t k = w[0] == '-' ? 1 : 0; k < w.size(); k++) {
      const char c = w[k];
      if (c == 'j' || c == 'l' || (from_makeflags_ && c == 'O')) {
        ((ignored += " -") += w.substr(k));  // with the value glued to it
        break;
      }
      if (c == ':' || std::strchr(kOptString, c) == nullptr ||
          (from_makeflags_ && (c == 'B' || c == 'R'))) {
        (ignored += " -") += c;
        continue;
      }
      group += c;
      if (takes_argument(c) && k + 1 < w.size()) {  // the rest is its argument
        if (c == 'I') inherited_include_dirs_.insert(w.substr(k + 1));
        group += w.substr(k + 1);
        glued = true;
        break;
      }
    }
    if (group.size() == 1) continue;
    argument_next = !glued && kArgLetters.find(group.back()) != std::string_view::npos;
    include_dir_next = argument_next && group.back() == 'I';
    kept.push_back(group);
  }
  if (!ignored.empty() && trace_on(3)) imsg_print(IMSG_TRACE, kTable, kTrIgnored, ignored.c_str());
  return kept;
}

void CmdLine::pass_on(int letter, const char *long_name, const char *arg) {
  // Only this function writes the value, so the set of options written stands for
  // mf_parse_opt_included on it, without scanning the value for every option.
  std::string key = letter ? std::string(1, char(letter)) : std::string("--") + long_name;
  if (letter && arg) (key += '\0') += arg;
  if (passed_.count(key)) return;
  size_t old_size = flags_.size();
  append_flag(&flags_, letter, long_name, arg, 0);
  if (flags_.size() >= MF_MAKEFLAGS_BUF_SIZE) {
    flags_.resize(old_size);
    imsg_print(IMSG_ERROR, kTable, kTooLong);
    fail();
    return;
  }
  passed_.insert(std::move(key));
}

void CmdLine::add_letter(char *flags, char letter) {
  // A letter is recorded once: the strings say which options were given, in their first order.
  if (std::strchr(flags, letter)) return;
  size_t n = std::strlen(flags);
  if (n + 1 >= KARSEL_FLAGS_SIZE) {
    imsg_print(IMSG_ERROR, kTable, kTooManyLetters);
    fail();
    return;
  }
  flags[n] = letter;
  flags[n + 1] = '\0';
}

void CmdLine::letter_option(int c, const char *arg) {
  karsel_args *a = args_;
  switch (c) {
    case 'f':
      makefiles_.push_back(arg);
      return;
    case 'A':
      bos_files_.push_back(arg);
      pass_on(c, nullptr, arg);
      return;
    case 'I':
      include_dirs_.push_back(arg);
      pass_on(c, nullptr, arg);
      return;
    case 'B':
      a->bldhost_file = copy(arg);
      if (!mf_getenv("ORVA_MAKEFLAGS_DONT_RECURSE_B")) pass_on(c, nullptr, arg);
      return;
    case 'J': {
      uint32_t n;
      if (!parse_count(arg, &n)) {
        imsg_print(IMSG_ERROR, kTable, kBadJ, arg);
        fail();
        return;
      }
      a->conc_given = 1;
      a->conc_count = n;
      if (n != 0 && mf_getenv("ORVA_CONC_V6_OBSOLETE")) {
        char text[16];
        std::snprintf(text, sizeof text, "%05u", n);
        if (putenv_var("ORVA_CONC", text, false) != KS_ST_OK) fail();
      }
      return;
    }
    case 'C': {
      const char *ignore = getenv2("ORVA_MAKE_IGNORE_COMMANDLINE_COMPAT",
                                   "ZELVANE_MAKE_IGNORE_COMMANDLINE_COMPAT");
      const char *compat = ignore ? getenv2("ORVA_MAKE_COMPAT", "ZELVANE_MAKE_COMPAT") : nullptr;
      if (compat && equals_ignoring_case(compat, "gnu")) {
        a->directory = copy(arg);
        return;
      }
      compat_name_ = arg;
      compat_named_ = true;
      pass_on(c, nullptr, arg);
      return;
    }
    case 'e':
    case 'r':
    case 'b':
      add_letter(a->parse_flags, char(c));
      break;
    case 'w':
      a->print_directory = 1;
      add_letter(a->parse_flags, char(c));
      break;
    case 'N':
      a->no_default_bos = 1;
      add_letter(a->parse_flags, char(c));
      break;
    case 'P':
      a->opt_P_given = 1;
      break;
    case 'v':
      if (a->verbosity < 1) a->verbosity = 1;
      break;
    case 'd':
      if (a->verbosity < 2) a->verbosity = 2;
      break;
    case 'p':
      a->print_graph = 1;
      break;
    case 'x':
      imsg_print(IMSG_INFO, kTable, kNoX);
      return;
    default:
      if (kBuildLetters.find(char(c)) == std::string_view::npos) {
        imsg_print(IMSG_ERROR, kTable, kUnexpected, c);
        fail();
        return;
      }
      add_letter(a->build_flags, char(c));
      if (c == 'q') question_ = true;
      if (kNotPassedLetters.find(char(c)) != std::string_view::npos) return;
      break;
  }
  pass_on(c, nullptr, nullptr);
}

// Kept out of the parser's main line: a run given letters only does not map its code.
[[gnu::noinline]] void CmdLine::long_option(const char *text) {
  karsel_args *a = args_;
  std::string_view t(text);
  if (const LongOption *o = find_long_option(t)) {
    switch (o->effect) {
      case kDebug:
        if (a->verbosity < 2) a->verbosity = 2;
        if (t != o->name) {  // only the full name goes without a value
          imsg_print(IMSG_ERROR, kTable, kNeedsArg, text);
          fail();
        }
        return;
      case kPrintGraph:
        a->print_graph = 1;
        break;
      case kQuestion:
        question_ = true;
        break;
      case kPrintDirectory:
        a->print_directory = 1;
        break;
      case kNoPrintDirectory:
        a->print_directory = 0;
        a->no_print_directory = 1;
        break;
      case kWarnUndef:
        mf_parse_warn_undef = 1;
        break;
      case kBuildSession:
        a->build_session = 1;
        stopped_ = true;  // nothing after it is looked at; the parse succeeds
        return;
      default:
        break;
    }
    if (o->letter) add_letter(a->parse_flags, o->letter);
    pass_on(0, o->name, nullptr);
    return;
  }
  size_t eq = t.find('=');
  std::string_view name = t.substr(0, eq);
  const char *value = eq == std::string_view::npos ? nullptr : text + eq + 1;
  for (const auto &o : kLongValueOptions) {
    if (!abbreviates(name, o.name, o.min)) continue;
    if (!value || (!*value && o.which != kDebugValue)) {
      imsg_print(IMSG_ERROR, kTable, kNeedsArg, text);
      fail();
      if (o.which == kDebugValue && a->verbosity < 2) a->verbosity = 2;
      return;
    }
    std::string full = std::string(o.name) + "=" + value;
    switch (o.which) {
      case kDebugValue:
        if (a->verbosity < 2) a->verbosity = 2;
        if (!*value || !std::strchr("abvijm", *value)) {
          imsg_print(IMSG_ERROR, kTable, kBadDebug, value);
          fail();
          return;
        }
        if (*value != 'a') a->verbosity = 1;
        pass_on(0, full.c_str(), nullptr);
        return;
      case kFile:
      case kMakefile:
        makefiles_.push_back(value);
        return;
      case kIncludeDir:
        include_dirs_.push_back(value);
        pass_on(0, full.c_str(), nullptr);
        return;
      case kDirectoryValue:
        a->directory = copy(value);
        return;
    }
  }
  imsg_print(IMSG_ERROR, kTable, kBadLongOpt, text);
  fail();
  stopped_ = true;
}

// Out of line: a run given no goals or definitions does not map its code.
[[gnu::noinline]] void CmdLine::operand(const char *word) {
  std::string w(word);
  size_t eq = w.find('=', 1);
  if (w.empty() || eq == std::string::npos) {
    goals_.push_back(w);
    return;
  }
  // Blanks between the macro name and its '=' are dropped.
  if (is_blank(w[eq - 1])) {
    size_t first_blank = w.find_first_of(" \t");
    w.erase(first_blank, eq - first_blank);
  }
  defs_.push_back(w);
}

void CmdLine::option(int c, cl_handle_t h, const char *long_text) {
  if (c == CL_LONG_OPT) {
    if (trace_on(4)) imsg_print(IMSG_TRACE, kTable, kTrCmdFlag, long_text);
    long_option(long_text);
    return;
  }
  if (c == CL_MISSING) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_MISSING_ARG,
                      cl_bad_letter(h));
    fail();
    return;
  }
  if (c == CL_ERROR) {
    const char *bad = cl_bad_option(h);
    if (bad)
      imsg_print(IMSG_ERROR, kTable, kBadOpt, cl_error_text(h), bad);
    else
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_TEXT,
                        cl_error_text(h));
    fail();
    return;
  }
  if (trace_on(4)) {
    char text[3] = {'-', char(c), '\0'};
    imsg_print(IMSG_TRACE, kTable, kTrCmdFlag, text);
  }
  letter_option(c, cl_getarg(h));
}

bool CmdLine::parse_options() {
  std::vector<char *> argv;
  for (auto &w : merged_) argv.push_back(w.data());
  cl_handle_t h = cl_parse_argv(int(argv.size()), argv.data(), kOptString);
  if (h == CL_HANDLE_NULL) {
    imsg_print(IMSG_ERROR, kTable, kNullHandle);
    return false;
  }
  bool progress = true;
  while (progress && !stopped_) {
    progress = false;
    const char *long_text = nullptr;
    for (int c; !stopped_ && (c = cl_getopt_long(h, &long_text)) != CL_END;) {
      progress = true;
      option(c, h, long_text);
    }
    if (stopped_) break;
    while (const char *w = cl_getarg_noopt(h)) {
      progress = true;
      operand(w);
    }
  }
  cl_destroy(h);
  return true;
}

// The steps after the options; false when one of them stops the parse.
bool CmdLine::finish() {
  karsel_args *a = args_;
  int oft = 0;
  for (char c : std::string_view("OFT"))
    if (std::strchr(a->build_flags, c)) oft++;
  if (oft > 1) {
    imsg_print(IMSG_ERROR, kTable, kOFT);
    return false;
  }

  const char *value = flags_.c_str();
  if (*value || malformed_) {
    char *standard = mf_parse_remove_nonstandard_flags(value);
    if (!standard) return false;
    bool ok = putenv_var("ORVA_MAKEFLAGS", value, malformed_) == KS_ST_OK &&
              putenv_var("MAKEFLAGS", standard, malformed_) == KS_ST_OK;
    if (trace_on(3)) imsg_print(IMSG_TRACE, kTable, kTrExported, standard);
    stg_free(standard);
    if (!ok) return false;
  } else if (trace_on(3)) {
    imsg_print(IMSG_TRACE, kTable, kTrNoExported);
  }

  const char *name = nullptr;
  if (compat_named_) {
    a->compat_from_cmd_line = 1;
    name = compat_name_.c_str();
  } else {
    name = getenv2("ORVA_MAKE_COMPAT", "ZELVANE_MAKE_COMPAT");
    if (name && trace_on(3)) imsg_print(IMSG_TRACE, kTable, kTrCompatEv, name);
  }
  a->compat_variant = 0;
  if (name) {
    static const struct {
      const char *name;
      uint32_t variant;
    } dialects[] = {{"std", 0}, {"sgismake", 1}, {"sgipmake", 4}, {"sun", 3},
                    {"bsdnetr2", 5}, {"gnu", 7}, {"kelto", 8}};
    bool known = false;
    for (const auto &d : dialects) {
      if (equals_ignoring_case(name, d.name)) {
        a->compat_variant = d.variant;
        known = true;
      }
    }
    if (!known && equals_ignoring_case(name, "pgnu")) {
      imsg_print(IMSG_WARNING, kTable, kPgnu, "pgnu", "gnu");
      a->compat_variant = 7;
      known = true;
    }
    if (!known) {
      imsg_print(IMSG_ERROR, kTable, kBadCompat, name);
      fail();
    }
  }

  bool gnu = a->compat_variant == 2 || a->compat_variant == 7;
  if (!gnu && std::strchr(a->parse_flags, 'b')) {
    imsg_print(IMSG_ERROR, kTable, kNoBuiltinVars);
    return false;
  }
  if (!gnu && a->directory) {
    imsg_print(IMSG_ERROR, kTable, kDirectory);
    return false;
  }

  if (!a->conc_given) {
    const char *conc = getenv2("ORVA_CONC", "ZELVANE_BLD_CONC");
    uint32_t n = 0;
    a->conc_count = conc && parse_count(conc, &n) ? n : 0;
  } else if (question_) {
    imsg_print(IMSG_ERROR, kTable, kQWithJ);
    return false;
  }

  if (!include_dirs_.empty() && !include_dirs_allowed()) return false;

  if (mf_parse_opt_included(value, 'w', nullptr, nullptr) ||
      mf_parse_opt_included(value, 0, "--print-directory", nullptr))
    a->print_directory = 1;
  if (mf_parse_opt_included(value, 's', nullptr, nullptr) ||
      mf_parse_opt_included(value, 0, "--silent", nullptr) ||
      mf_parse_opt_included(value, 0, "--quiet", nullptr) || std::strchr(a->build_flags, 's'))
    a->print_directory = 0;
  return true;
}

// Whether the dialect takes the include directories given (-I), left out where it takes none and
// only a parent make passed them on; false after the message. Out of line: most runs name none.
[[gnu::noinline]] bool CmdLine::include_dirs_allowed() {
  switch (args_->compat_variant) {
    case 1: case 2: case 4: case 5: case 7:
      return true;
    default:
      std::erase_if(include_dirs_,
                    [&](const std::string &d) { return inherited_include_dirs_.count(d) != 0; });
      if (include_dirs_.empty()) return true;
      imsg_print(IMSG_ERROR, kTable, kIncludeDirs);
      return false;
  }
}

ks_status_t CmdLine::run(int argc, char **argv) {
  std::memset(args_, 0, sizeof *args_);
  PFM_ASSERT(argc >= 1 && argv != nullptr && argv[0] != nullptr);
  read_inherited();

  if (const char *specs = getenv2("ORVA_OPTS_SPECS", "ZELVANE_BLD_OPTIONS_SPECS")) {
    std::string_view s(specs);
    while (!s.empty()) {
      size_t colon = s.find(':');
      std::string_view part = s.substr(0, colon);
      if (!part.empty()) bos_files_.emplace_back(part);
      if (colon == std::string_view::npos) break;
      s.remove_prefix(colon + 1);
    }
  }

  merge(argc, argv);

  const char *env_verbosity = getenv2("ORVA_VERBOSITY", "ZELVANE_BLD_VERBOSITY");
  if (args_->verbosity > 2 || (env_verbosity && std::atoi(env_verbosity) > 2)) {
    imsg_print(IMSG_TRACE, kTable, kArgVector);
    for (const auto &w : merged_) imsg_print(IMSG_TRACE_CONT, kTable, kArgWord, w.c_str());
  }

  if (!parse_options()) return KS_ST_ERR;  // no usage: the parser itself could not be made

  bool ok = !stopped_ || args_->build_session;
  if (ok && !stopped_) ok = finish();
  if (ok && args_->bldhost_file)
    defs_.push_back(std::string("ORVA_CMD_LINE_BLDHOST_FILE=") + args_->bldhost_file);

  args_->program_name = copy(merged_[0]);
  args_->makefiles = to_array(makefiles_);
  args_->bos_files = to_array(bos_files_);
  args_->include_dirs = to_array(include_dirs_);
  args_->goals = to_array(goals_);
  args_->macro_defs = to_array(defs_);
  if (no_memory_) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    ok = false;
  }
  if (args_->build_session && ok && !failed_) return KS_ST_OK;
  if (!ok || failed_) {
    imsg_print(IMSG_INFO, kTable, kUsage);
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

}  // namespace

ks_status_t mf_parse_cmd_line_and_evs(int argc, char **argv, stg_area_t area,
                                      karsel_args *args) {
  CmdLine parser(area, args);
  return parser.run(argc, argv);
}

char *mf_cl_tokenize_makeflags(char *text, char **save) {
  char *p = text ? text : *save;
  if (!p) return nullptr;
  char quote = 0;
  while (*p == ' ' || *p == '\t' || *p == '\'' || *p == '"') {
    if (*p == '\'' || *p == '"') quote = *p;
    p++;
  }
  if (!*p) {
    *save = p;  // the end; a null position marks an error
    return nullptr;
  }
  char *start = p;
  if (quote) {
    char *close = std::strchr(p, quote);
    if (!close) {
      imsg_print(IMSG_ERROR, kTable, kMalformed, text ? text : start);
      *save = nullptr;
      return nullptr;
    }
    *close = '\0';
    *save = close + 1;
    return start;
  }
  while (*p && !is_blank(*p)) p += char_len(p);
  if (*p) *p++ = '\0';
  *save = p;
  return start;
}

int mf_parse_opt_included(const char *value, int letter, const char *long_name,
                          const char *argument) {
  if (!value || !*value) return 0;
  std::vector<std::string> words;
  if (!split_words(value, &words)) return 0;
  std::vector<Word> kinds = classify(words);
  bool with_argument = letter && argument && kArgLetters.find(char(letter)) != std::string::npos;
  for (size_t i = 0; i < words.size(); i++) {
    const std::string &w = words[i];
    if (letter) {
      if (kinds[i] != Word::kGroup) continue;
      if (!with_argument) {
        if (w.find(char(letter)) != std::string::npos) return 1;
      } else if (!w.empty() && w.back() == letter && i + 1 < words.size() &&
                 words[i + 1] == argument) {
        return 1;
      }
    } else if (long_name && kinds[i] == Word::kLong) {
      if (std::string_view(long_name).starts_with(w)) return 1;
    }
  }
  return 0;
}

ks_status_t mf_parse_add_flag_to_makeflags(char *value, int letter, const char *long_name,
                                           const char *argument, size_t size, int separate) {
  std::string v(value);
  append_flag(&v, letter, long_name, argument, separate);
  if (v.size() >= size) {
    imsg_print(IMSG_ERROR, kTable, kTooLong);
    return KS_ST_ERR;
  }
  std::memcpy(value, v.c_str(), v.size() + 1);
  return KS_ST_OK;
}

namespace {

// A heap copy of s; null with the allocation message.
char *heap_copy(const std::string &s) {
  char *p = static_cast<char *>(stg_malloc(s.size() + 1));
  if (!p) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return nullptr;
  }
  std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

}  // namespace

char *mf_parse_remove_nonstandard_flags(const char *value) {
  std::vector<std::string> words;
  split_words(value ? value : "", &words);
  std::vector<Word> kinds = classify(words);
  std::string out;
  for (size_t i = 0; i < words.size(); i++) {
    const std::string &w = words[i];
    switch (kinds[i]) {
      case Word::kDefinition:
        (out += ' ') += w;
        break;
      case Word::kArgument:
        break;  // taken with its group
      case Word::kLong: {
        std::string_view text = std::string_view(w).substr(2);
        size_t eq = text.find('=');
        if (eq != std::string_view::npos) {
          if (abbreviates(text.substr(0, eq), "include-dir", 2)) {
            std::string dir(text.substr(eq + 1));
            append_flag(&out, 'I', nullptr, dir.c_str(), 0);
          }
        } else if (const LongOption *o = find_long_option(text); o && o->letter &&
                   kNonstandardLetters.find(o->letter) == std::string_view::npos) {
          append_flag(&out, o->letter, nullptr, nullptr, 0);
        }
        break;
      }
      case Word::kGroup: {
        bool has_argument = i + 1 < words.size() && kinds[i + 1] == Word::kArgument;
        for (size_t k = 0; k < w.size(); k++) {
          char c = w[k];
          if (c == '-' || kNonstandardLetters.find(c) != std::string_view::npos) continue;
          bool last = k + 1 == w.size();
          if (last && has_argument && c == 'I')
            append_flag(&out, c, nullptr, words[i + 1].c_str(), 0);
          else
            append_flag(&out, c, nullptr, nullptr, 0);
        }
        break;
      }
    }
  }
  return heap_copy(out);
}

char *mf_parse_get_noopt_makeflags(const char *value) {
  std::vector<std::string> words;
  split_words(value ? value : "", &words);
  std::vector<Word> kinds = classify(words);
  std::string out;
  for (size_t i = 0; i < words.size(); i++) {
    if (kinds[i] != Word::kGroup) continue;
    const std::string &w = words[i];
    bool has_argument = i + 1 < words.size() && kinds[i + 1] == Word::kArgument;
    for (size_t k = 0; k < w.size(); k++) {
      if (w[k] == '-') continue;
      if (has_argument && k + 1 == w.size()) continue;  // C, I, B or A with its argument
      out += w[k];
    }
  }
  return heap_copy(out);
}

uint32_t mf_parse_warn_undef_set() { return mf_parse_warn_undef; }
