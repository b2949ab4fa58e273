#include "ks/cl.h"

#include <cstring>
#include <new>
#include <string>

struct cl_handle_s {
  int argc = 0;
  char *const *argv = nullptr;
  const char *optstring = nullptr;
  int index = 1;          // the word being read
  size_t pos = 0;         // within a letter group: offset of the next letter, 0 when between words
  bool options_ended = false;
  const char *arg = nullptr;
  const char *error = nullptr;
  std::string bad_option;
  int bad_letter = 0;
};

namespace {

// Whether the word at the parser's index starts options ("-x...", "--x..."); a lone "-" does not.
bool is_option_word(const char *word) { return word[0] == '-' && word[1] != '\0'; }

void set_error(cl_handle_s *h, const char *text, int letter) {
  h->error = text;
  h->bad_letter = letter;
  h->bad_option = std::string("-") + char(letter);
}

}  // namespace

cl_handle_t cl_parse_argv(int argc, char *const *argv, const char *optstring) {
  if (argc < 0 || (argc > 0 && !argv) || !optstring) return CL_HANDLE_NULL;
  for (int i = 0; i < argc; i++)
    if (!argv[i]) return CL_HANDLE_NULL;
  auto *h = new (std::nothrow) cl_handle_s;
  if (!h) return CL_HANDLE_NULL;
  h->argc = argc;
  h->argv = argv;
  h->optstring = optstring;
  return h;
}

int cl_getopt_long(cl_handle_t h, const char **long_text) {
  h->arg = nullptr;
  if (h->pos == 0) {
    if (h->options_ended || h->index >= h->argc) return CL_END;
    const char *word = h->argv[h->index];
    if (!is_option_word(word)) return CL_END;
    if (word[1] == '-') {
      h->index++;
      if (word[2] == '\0') {  // "--": everything after it is an operand
        h->options_ended = true;
        return CL_END;
      }
      if (!long_text) {
        h->error = "unknown option";
        h->bad_letter = 0;
        h->bad_option = word;
        return CL_ERROR;
      }
      *long_text = word + 2;
      return CL_LONG_OPT;
    }
    h->pos = 1;
  }
  const char *word = h->argv[h->index];
  int letter = (unsigned char)word[h->pos++];
  bool group_done = word[h->pos] == '\0';
  const char *spec = letter == ':' ? nullptr : std::strchr(h->optstring, letter);
  if (!spec) {
    if (group_done) {
      h->pos = 0;
      h->index++;
    }
    set_error(h, "unknown option", letter);
    return CL_ERROR;
  }
  if (spec[1] != ':') {
    if (group_done) {
      h->pos = 0;
      h->index++;
    }
    return letter;
  }
  // The argument is the rest of the group, or else the next word.
  size_t rest = h->pos;
  h->pos = 0;
  h->index++;
  if (!group_done) {
    h->arg = word + rest;
    return letter;
  }
  if (h->index >= h->argc) {
    set_error(h, "option requires an argument", letter);
    return CL_MISSING;
  }
  h->arg = h->argv[h->index++];
  return letter;
}

const char *cl_getarg(cl_handle_t h) { return h->arg; }

const char *cl_getarg_noopt(cl_handle_t h) {
  if (h->pos != 0 || h->index >= h->argc) return nullptr;
  const char *word = h->argv[h->index];
  if (!h->options_ended && is_option_word(word)) return nullptr;
  h->index++;
  return word;
}

const char *cl_error_text(cl_handle_t h) { return h->error; }

const char *cl_bad_option(cl_handle_t h) {
  return h->bad_option.empty() ? nullptr : h->bad_option.c_str();
}

int cl_bad_letter(cl_handle_t h) { return h->bad_letter; }

void cl_destroy(cl_handle_t h) { delete h; }
