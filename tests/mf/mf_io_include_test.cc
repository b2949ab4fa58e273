#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "capture_util.h"
#include "ks/pfm.h"
#include "mf/bldr_macro.h"
#include "mf/mf_io.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "mf_io_util.h"

namespace {

using mftest::Captured;
using mftest::NameList;
using mftest::ScratchDir;

class MfIoInclude : public ::testing::Test {
 protected:
  void SetUp() override { mf_parser_failed = 0; }
  void TearDown() override {
    mf_io_term();
    mf_parser_failed = 0;
  }
};

struct SearchCase {
  const char *label;
  int kind;
  std::vector<std::string> inc_dirs;
  std::vector<std::string> files;  // created, each holding its own path and a newline
  std::vector<std::string> dirs;   // created as directories
  const char *includer;            // relative path of the including makefile
  std::vector<std::string> names;  // named by the include statement
  int ignore_missing;
  int status;
  const char *read;   // what is read after the include, to the end of the input
  const char *error;  // expected in the messages, or empty for none
};

// The including makefile holds "L1\nL2\n"; the include is made after its first line.
TEST_F(MfIoInclude, SearchKindsDirectoriesAndCandidates) {
  const SearchCase cases[] = {
      {"as written", 0, {}, {"inc.mk"}, {}, "main.mk", {"inc.mk"}, 0, 0,
       "inc.mk\n\nL2\n\n", ""},
      {"as written does not search -I", 0, {"a"}, {"a/inc.mk"}, {}, "main.mk", {"inc.mk"}, 0,
       1001, "L2\n\n",
       "tool: Error: File \"main.mk\", line 2\n"
       "Unable to open include file \"inc.mk\": No such file or directory\n"},
      {"-I directories in order", 3, {"a", "b"}, {"b/inc.mk"}, {}, "main.mk", {"inc.mk"}, 0, 0,
       "b/inc.mk\n\nL2\n\n", ""},
      {"first -I directory wins", 3, {"a", "b"}, {"a/inc.mk", "b/inc.mk"}, {}, "main.mk",
       {"inc.mk"}, 0, 0, "a/inc.mk\n\nL2\n\n", ""},
      {"current directory before -I", 3, {"a"}, {"inc.mk", "a/inc.mk"}, {}, "main.mk",
       {"inc.mk"}, 0, 0, "inc.mk\n\nL2\n\n", ""},
      {"directory passed over", 3, {"a"}, {"a/inc.mk"}, {"inc.mk"}, "main.mk", {"inc.mk"}, 0, 0,
       "a/inc.mk\n\nL2\n\n", ""},
      {"directory as the only candidate", 0, {}, {}, {"inc.mk"}, "main.mk", {"inc.mk"}, 0, 1001,
       "L2\n\n", "line 2\nUnable to open include file \"inc.mk\": Is a directory\n"},
      {"quoted: next to the includer first", 1, {}, {"sub/inc.mk", "inc.mk"}, {},
       "sub/main.mk", {"\"inc.mk\""}, 0, 0, "sub/inc.mk\n\nL2\n\n", ""},
      {"quoted: then the current directory", 1, {"a"}, {"inc.mk", "a/inc.mk"}, {},
       "sub/main.mk", {"\"inc.mk\""}, 0, 0, "inc.mk\n\nL2\n\n", ""},
      {"quoted: then -I", 1, {"a"}, {"a/inc.mk"}, {}, "sub/main.mk", {"\"inc.mk\""}, 0, 0,
       "a/inc.mk\n\nL2\n\n", ""},
      {"bare name in the preprocessor form", 1, {}, {"inc.mk"}, {}, "main.mk", {"inc.mk"}, 0,
       1001, "L2\n\n",
       "tool: Error: File \"main.mk\", line 2\nIllegal include file syntax \"inc.mk\"\n"},
      {"angle brackets: system make directory only", 1, {"."}, {"zz_none.mk"}, {}, "main.mk",
       {"<zz_none.mk>"}, 0, 1001, "L2\n\n",
       "Unable to open include file \"/usr/include/make/zz_none.mk\": No such file or directory\n"},
      {"kind 2 as written", 2, {}, {"inc.mk"}, {}, "main.mk", {"inc.mk"}, 0, 0,
       "inc.mk\n\nL2\n\n", ""},
      {"absolute name is the only candidate", 3, {"a"}, {"a/zz_none.mk"}, {}, "main.mk",
       {"/zz_no_such_dir/zz_none.mk"}, 0, 1001, "L2\n\n",
       "Unable to open include file \"/zz_no_such_dir/zz_none.mk\": No such file or directory\n"},
      {"optional missing file is skipped silently", 0, {}, {}, {}, "main.mk", {"nope.mk"}, 1, 0,
       "L2\n\n", ""},
      {"optional: missing skipped, found one read", 3, {}, {"inc.mk"}, {}, "main.mk",
       {"nope.mk", "inc.mk"}, 1, 0, "inc.mk\n\nL2\n\n", ""},
      {"required: found then missing includes neither", 0, {}, {"inc.mk"}, {}, "main.mk",
       {"inc.mk", "nope.mk"}, 0, 1001, "L2\n\n",
       "line 2\nUnable to open include file \"nope.mk\": No such file or directory\n"},
      {"three files in the order named", 0, {}, {"x.mk", "y.mk", "z.mk"}, {}, "main.mk",
       {"z.mk", "x.mk", "y.mk"}, 0, 0, "z.mk\n\nx.mk\n\ny.mk\n\nL2\n\n", ""},
  };
  for (const SearchCase &c : cases) {
    SCOPED_TRACE(c.label);
    mf_parser_failed = 0;
    ScratchDir dir;
    for (const std::string &d : c.dirs) dir.mkdir(d);
    for (const std::string &f : c.files) dir.write(f, f + "\n");
    dir.write(c.includer, "L1\nL2\n");
    NameList inc_dirs(c.inc_dirs);
    NameList files{c.includer};
    NameList names(c.names);
    Captured cap;
    ASSERT_EQ(mf_io_init(files.get(), inc_dirs.get(), nullptr, 0, 0, 0), 0);
    std::string first;
    for (int i = 0; i < 3; i++) first += char(mf_io_input());
    ASSERT_EQ(first, "L1\n");
    EXPECT_EQ(mf_io_include_files(names.get(), c.ignore_missing, c.kind), c.status);
    EXPECT_EQ(mftest::drain_text(), c.read);
    mftest::expect_error_and_mark(cap.err(), c.error);
    mf_io_term();
  }
}

// The include action gives every include a leading line break; after an include that opened
// nothing, the includer's positions must not change.
TEST_F(MfIoInclude, LeadingLineBreakOnlyForAFileJustOpened) {
  ScratchDir dir;
  dir.write("main.mk", "L1\nL2\n");
  dir.write("inc.mk", "i\n");
  NameList files{"main.mk"};
  NameList missing{"nope.mk"};
  NameList found{"inc.mk"};
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  for (int i = 0; i < 2; i++) mf_io_input();
  ASSERT_EQ(mf_io_include_files(missing.get(), 1, 0), 0);
  mf_io_push_artificial_newline_in_new_include_file();
  EXPECT_EQ(mftest::drive_positions(),
            "[main.mk] \\n@2:0/3 L@2:1/3 2@2:2/3 \\n@3:0/3 \\n@4:0/1 ");
  mf_io_term();

  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  for (int i = 0; i < 2; i++) mf_io_input();
  ASSERT_EQ(mf_io_include_files(found.get(), 1, 0), 0);
  mf_io_push_artificial_newline_in_new_include_file();
  mf_io_push_artificial_newline_in_new_include_file();
  EXPECT_EQ(mftest::drive_positions(),
            "[inc.mk] \\n@1:0/1 i@1:1/1 \\n@2:0/2 \\n@3:0/1 [main.mk] \\n@2:0/3 L@2:1/3 "
            "2@2:2/3 \\n@3:0/3 \\n@4:0/1 ");
}

TEST_F(MfIoInclude, VerboseRunsReportMissingOptionalFilesAndFilesOpened) {
  ScratchDir dir;
  dir.write("main.mk", "L1\n");
  dir.write("inc.mk", "i\n");
  NameList files{"main.mk"};
  NameList names{"nope.mk", "inc.mk"};
  int32_t saved = mf_verbosity;
  mf_verbosity = 2;
  Captured cap;
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  mf_io_input();
  EXPECT_EQ(mf_io_include_files(names.get(), 1, 0), 0);
  mf_verbosity = saved;
  std::string err = cap.err();
  EXPECT_NE(err.find("Warning: File \"main.mk\", line 1\nUnable to open include file \"nope.mk\""),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Processing description file \"main.mk\""), std::string::npos) << err;
  EXPECT_NE(cap.out().find("Processing description file \"inc.mk\""), std::string::npos);
  EXPECT_EQ(mf_parser_failed, 0);
}

TEST_F(MfIoInclude, LinesOfEveryIncludedFileAreNumberedFromOne) {
  ScratchDir dir;
  dir.write("main.mk", "m\n");
  dir.write("x.mk", "x\n");
  dir.write("y.mk", "y\n");
  NameList files{"main.mk"};
  NameList names{"x.mk", "y.mk"};
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  mf_io_input();
  ASSERT_EQ(mf_io_include_files(names.get(), 0, 0), 0);
  EXPECT_EQ(mftest::drive_positions(),
            "[x.mk] x@1:1/0 \\n@2:0/2 \\n@3:0/1 "
            "[y.mk] y@1:1/0 \\n@2:0/2 \\n@3:0/1 "
            "[main.mk] \\n@2:0/2 \\n@3:0/1 ");
}

// Description files opened with the define flag set MAKEFILE as they are reached; so do the later
// files of an include statement. Every file opened enters the makefiles list once.
TEST_F(MfIoInclude, MakefileMacroAndMakefilesList) {
  ScratchDir dir;
  dir.write("one.mk", "1\n");
  dir.write("two.mk", "2\n");
  dir.write("x.mk", "x\n");
  dir.write("y.mk", "y\n");
  stg_area_t area = stg_create_area(4096);
  bldr_macro_table_t *t = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_FILE, area);
  mfc_parser_macro_table = t;
  auto makefile = [&] {
    const char *v = bldr_macro_lookup_in_table(t, "MAKEFILE", nullptr);
    return std::string(v ? v : "(none)");
  };
  NameList files{"one.mk", "two.mk"};
  NameList names{"x.mk", "y.mk"};
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 1, 0), 0);
  EXPECT_EQ(makefile(), "one.mk");
  EXPECT_EQ(mf_io_input(), '1');
  ASSERT_EQ(mf_io_include_files(names.get(), 0, 0), 0);
  EXPECT_EQ(makefile(), "one.mk");
  EXPECT_EQ(mftest::drain_text().substr(0, 3), "x\n\n");
  mf_io_term();
  EXPECT_EQ(makefile(), "two.mk");
  std::vector<std::string> recorded;
  void *d = nullptr;
  list_handle_t l = mfc_get_makefiles_list();
  for (list_cursor_t c = list_next(l, nullptr, &d); c != nullptr; c = list_next(l, c, &d))
    recorded.push_back(static_cast<const char *>(d));
  for (const char *want : {"one.mk", "x.mk", "y.mk", "two.mk"})
    EXPECT_EQ(std::count(recorded.begin(), recorded.end(), want), 1) << want;
  mfc_parser_macro_table = nullptr;
  bldr_macro_term_table(t);
  stg_delete_area(&area);
}

TEST_F(MfIoInclude, AFileThatIncludesItselfIsStopped) {
  ScratchDir dir;
  dir.write("self.mk", "x\n");
  NameList files{"self.mk"};
  Captured cap;
  int fds_before = mftest::open_fd_count();
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  int status = 0;
  int levels = 0;
  for (int guard = 0; guard < 10000 && status == 0; guard++) {
    int c = mf_io_input();
    ASSERT_NE(c, 0);
    if (c != 'x') continue;
    // The error at the limit ends the caller's parse: it is raised.
    const ks_status_t raised = pfm_catch([&] { status = mf_io_push_file("self.mk", 0, 0); });
    if (raised != KS_ST_OK) status = raised;
    if (status == 0) levels++;
  }
  EXPECT_EQ(status, 1001);
  EXPECT_EQ(levels, MF_IO_MAX_INCLUDE_DEPTH);
  EXPECT_EQ(mf_parser_failed, 1);
  EXPECT_NE(cap.err().find("Include files nested too deeply. Maximum is 200: \"self.mk\""),
            std::string::npos)
      << cap.err();
  std::string rest = mftest::drain_text();
  EXPECT_EQ(rest.size(), size_t(2 * (MF_IO_MAX_INCLUDE_DEPTH + 1)));
  mf_io_term();
  EXPECT_EQ(mftest::open_fd_count(), fds_before);
}

// A socket exists but cannot be opened: the includer goes on as it was, and nothing of the
// statement is read.
TEST_F(MfIoInclude, IncludedFileThatCannotBeOpenedLeavesTheIncluderIntact) {
  ScratchDir dir;
  dir.write("main.mk", "L1\nL2\n");
  dir.write("later.mk", "later\n");
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = dir.path() + "/locked.mk";
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  NameList files{"main.mk"};
  NameList names{"locked.mk", "later.mk"};
  Captured cap;
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  for (int i = 0; i < 3; i++) mf_io_input();
  EXPECT_EQ(mf_io_include_files(names.get(), 0, 0), 0);
  EXPECT_EQ(mf_parser_failed, 1);
  EXPECT_STREQ(mf_io_source_file, "main.mk");
  EXPECT_EQ(mftest::drain_text(), "L2\n\n");
  EXPECT_NE(cap.err().find("line 2\nUnable to open include file \"locked.mk\""),
            std::string::npos)
      << cap.err();
  mf_io_term();
  ::close(sock);
}

}  // namespace
