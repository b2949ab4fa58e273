// Configuration records: their XDR form decodes back to what was encoded, and records that do
// not hold together are refused.
#include "tbs/tbs_cr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

tbs_oid_t oid(uint8_t n) {
  tbs_oid_t o;
  std::memset(o.bytes, n, 16);
  return o;
}

char *dup(const char *s) { return strdup(s); }

// A record with every list filled.
tbs_cr_t full_cr() {
  tbs_cr_t cr;
  std::memset(&cr, 0, sizeof cr);
  cr.format = TBS_CR_FORMAT;
  cr.build_start = 1700000123;
  cr.uid = 1000;
  cr.gid = 100;
  cr.login_name = dup("ann");
  cr.group_name = dup("staff");
  cr.host_name = dup("build1");
  cr.platform = dup("Linux 6.1 x86_64");
  cr.initial_dir = dup("/site/view/v1/vob/src");
  cr.initial_dir_ver_oid = oid(1);
  cr.view_uuid.bytes[0] = 0x42;
  cr.view_host_path = dup("build1:/site/views/v1");
  cr.ref_time[0] = 1700000000;
  cr.ref_time[1] = 250000;
  cr.target_name = dup("hello.o");
  cr.str_count = 1;
  cr.strs = static_cast<char **>(calloc(1, sizeof(char *)));
  cr.strs[0] = dup("kept");
  cr.script_count = 1;
  cr.scripts = static_cast<char **>(calloc(1, sizeof(char *)));
  cr.scripts[0] = dup("cc -c hello.c\n");
  cr.explicit_dep_count = 1;
  cr.explicit_deps = static_cast<tbs_cr_explicit_dep_t **>(calloc(1, sizeof(void *)));
  cr.explicit_deps[0] = static_cast<tbs_cr_explicit_dep_t *>(calloc(1, sizeof(tbs_cr_explicit_dep_t)));
  cr.explicit_deps[0]->name = dup("hello.c");
  cr.explicit_deps[0]->vpath_name = dup("hello.c");
  cr.explicit_deps[0]->obj_index = 1;
  cr.fs_dep_count = 1;
  cr.fs_deps = static_cast<tbs_cr_fs_predef_t **>(calloc(1, sizeof(void *)));
  cr.fs_deps[0] = static_cast<tbs_cr_fs_predef_t *>(calloc(1, sizeof(tbs_cr_fs_predef_t)));
  cr.fs_deps[0]->name = dup("/usr/include/stdio.h");
  cr.fs_deps[0]->pname = dup("/usr/include/stdio.h");
  cr.fs_deps[0]->size = 5000000000ull;
  cr.fs_deps[0]->crc = 0xdeadbeef;
  cr.var_def_count = 1;
  cr.var_defs = static_cast<char **>(calloc(1, sizeof(char *)));
  cr.var_defs[0] = dup("CC=cc");
  cr.vob_count = 1;
  cr.vobs = static_cast<tbs_cr_vob_t *>(calloc(1, sizeof(tbs_cr_vob_t)));
  cr.vobs[0] = {dup("build1:vob"), oid(0xEE), oid(0xEF)};
  struct {
    uint8_t id;
    const char *name;
    uint32_t flags;
    uint8_t ftype;
    uint8_t parent;
  } objs[] = {{0xEF, "", 0x2, TBS_CR_FTYPE_DIR, 0},
              {3, "hello.c", 0x5, TBS_CR_FTYPE_FILE, 0xEF},
              {4, "hello.o", 0xa8, TBS_CR_FTYPE_FILE, 0xEF},
              {5, "lnk", 0x2, TBS_CR_FTYPE_SLINK, 0xEF}};
  cr.obj_count = 4;
  cr.objs = static_cast<tbs_cr_obj_t **>(calloc(4, sizeof(void *)));
  for (int i = 0; i < 4; i++) {
    auto *o = static_cast<tbs_cr_obj_t *>(calloc(1, sizeof(tbs_cr_obj_t)));
    o->oid = oid(objs[i].id);
    o->mtime = 1700000000 + i;
    if (objs[i].parent) o->parent_oid = oid(objs[i].parent);
    o->flags = objs[i].flags;
    o->ftype = objs[i].ftype;
    o->mtype = uint8_t(i == 2 ? 23 : 8);
    o->elem_oid = oid(uint8_t(0x70 + i));
    o->name = dup(objs[i].name);
    cr.objs[i] = o;
  }
  cr.linktext_count = 1;
  cr.linktexts = static_cast<tbs_cr_linktext_t *>(calloc(1, sizeof(tbs_cr_linktext_t)));
  cr.linktexts[0] = {dup("hello.c"), 3};
  return cr;
}

std::string bytes_of(const tbs_cr_t &cr) {
  size_t len = 0;
  char *b = tbs_cr_encode(&cr, &len);
  EXPECT_NE(b, nullptr);
  std::string s(b ? b : "", b ? len : 0);
  free(b);
  return s;
}

TEST(TbsCr, DecodingGivesBackWhatWasEncodedAndACopyIsEqual) {
  tbs_cr_t cr = full_cr();
  std::string bytes = bytes_of(cr);
  tbs_cr_t back;
  ASSERT_EQ(tbs_cr_decode(bytes.data(), bytes.size(), &back), KS_ST_OK);
  EXPECT_EQ(bytes_of(back), bytes);
  EXPECT_STREQ(back.target_name, "hello.o");
  EXPECT_EQ(back.fs_deps[0]->size, 5000000000ull);
  EXPECT_EQ(back.objs[2]->flags, 0xa8u);
  EXPECT_EQ(back.ref_time[1], 250000);
  tbs_cr_t copy;
  ASSERT_EQ(tbs_cr_copy_cr(&cr, 1, &copy), KS_ST_OK);
  EXPECT_EQ(bytes_of(copy), bytes);
  EXPECT_NE(copy.objs[0], cr.objs[0]);  // deep
  tbs_cr_free_cr_stg(&copy);
  // The free direction of the XDR routine releases a decoded record as tbs_cr_free_cr_stg does.
  XDR x;
  x.x_op = XDR_FREE;
  x.x_ops = nullptr;
  EXPECT_TRUE(xdr_tbs_cr_t(&x, &back, nullptr));
  EXPECT_EQ(back.objs, nullptr);
  tbs_cr_free_cr_stg(&cr);
  EXPECT_EQ(cr.objs, nullptr);
}

TEST(TbsCr, EmptyListsAndAbsentTextsDecodeAsTheyWere) {
  tbs_cr_t cr;
  std::memset(&cr, 0, sizeof cr);
  cr.format = TBS_CR_FORMAT;
  cr.target_name = dup("t");
  cr.explicit_dep_count = 1;
  cr.explicit_deps = static_cast<tbs_cr_explicit_dep_t **>(calloc(1, sizeof(void *)));
  cr.explicit_deps[0] = static_cast<tbs_cr_explicit_dep_t *>(calloc(1, sizeof(tbs_cr_explicit_dep_t)));
  cr.explicit_deps[0]->name = dup("gone.h");
  cr.explicit_deps[0]->obj_index = -1;
  std::string bytes = bytes_of(cr);
  tbs_cr_t back;
  ASSERT_EQ(tbs_cr_decode(bytes.data(), bytes.size(), &back), KS_ST_OK);
  EXPECT_EQ(bytes_of(back), bytes);
  EXPECT_EQ(back.login_name, nullptr);
  EXPECT_EQ(back.explicit_deps[0]->vpath_name, nullptr);
  EXPECT_EQ(back.objs, nullptr);
  EXPECT_EQ(back.vobs, nullptr);
  EXPECT_EQ(back.strs, nullptr);
  tbs_cr_free_cr_stg(&back);
  tbs_cr_free_cr_stg(&cr);
}

// Records of many entries of the kinds that take the most room for their bytes decode whole
// (the block a record is decoded into is sized from its bytes).
// n entries of T, each zeroed, as a record's optional entries are held; *count set to n.
template <class T>
T **zeroed_entries(uint32_t n, uint32_t *count) {
  *count = n;
  auto **array = static_cast<T **>(calloc(n, sizeof(T *)));
  for (uint32_t i = 0; i < n; i++) array[i] = static_cast<T *>(calloc(1, sizeof(T)));
  return array;
}

TEST(TbsCr, RecordsOfManySmallEntriesDecodeWhole) {
  constexpr uint32_t kMany = 1000;
  struct Case {
    const char *what;
    std::function<void(tbs_cr_t *)> fill;
  } cases[] = {
      {"explicit dependencies of one letter",
       [](tbs_cr_t *cr) {
         cr->explicit_deps = zeroed_entries<tbs_cr_explicit_dep_t>(kMany, &cr->explicit_dep_count);
         for (uint32_t i = 0; i < kMany; i++) {
           cr->explicit_deps[i]->name = dup("d");
           cr->explicit_deps[i]->obj_index = -1;
         }
       }},
      {"link texts of one letter",
       [](tbs_cr_t *cr) {
         cr->linktext_count = kMany;
         cr->linktexts = static_cast<tbs_cr_linktext_t *>(calloc(kMany, sizeof(tbs_cr_linktext_t)));
         for (uint32_t i = 0; i < kMany; i++) cr->linktexts[i] = {dup("l"), 0};
       }},
      {"texts of one letter",
       [](tbs_cr_t *cr) {
         cr->var_def_count = kMany;
         cr->var_defs = static_cast<char **>(calloc(kMany, sizeof(char *)));
         for (uint32_t i = 0; i < kMany; i++) cr->var_defs[i] = dup("v");
       }},
      {"objects without names",
       [](tbs_cr_t *cr) {
         cr->objs = zeroed_entries<tbs_cr_obj_t>(kMany, &cr->obj_count);
         for (uint32_t i = 0; i < kMany; i++) cr->objs[i]->name = dup("");
       }},
      {"files without names",
       [](tbs_cr_t *cr) { cr->fs_deps = zeroed_entries<tbs_cr_fs_predef_t>(kMany, &cr->fs_dep_count); }},
  };
  for (const Case &c : cases) {
    tbs_cr_t cr;
    std::memset(&cr, 0, sizeof cr);
    cr.format = TBS_CR_FORMAT;
    cr.target_name = dup("t");
    cr.vob_count = 1;
    cr.vobs = static_cast<tbs_cr_vob_t *>(calloc(1, sizeof(tbs_cr_vob_t)));
    cr.vobs[0] = {dup("h:v"), oid(1), oid(2)};
    c.fill(&cr);
    if (cr.obj_count == 0) {
      cr.objs = zeroed_entries<tbs_cr_obj_t>(1, &cr.obj_count);
      cr.objs[0]->name = dup("o");
    }
    const std::string bytes = bytes_of(cr);
    tbs_cr_t back;
    ASSERT_EQ(tbs_cr_decode(bytes.data(), bytes.size(), &back), KS_ST_OK) << c.what;
    EXPECT_EQ(bytes_of(back), bytes) << c.what;
    tbs_cr_free_cr_stg(&back);
    tbs_cr_free_cr_stg(&cr);
  }
}

TEST(TbsCr, MalformedBytesAreRefused) {
  tbs_cr_t cr = full_cr();
  const std::string good = bytes_of(cr);
  tbs_cr_free_cr_stg(&cr);
  auto at = [&](const std::string &what) {
    size_t p = good.find(what);
    EXPECT_NE(p, std::string::npos) << what;
    return p == std::string::npos ? 0 : p;
  };
  const std::string dep_name("hello.c\0", 8), lnk("lnk\0", 4);
  struct Case {
    const char *what;
    size_t offset;
    char value;
  } cases[] = {
      {"a text padded with other than zero bytes", at("staff") + 6, 'x'},
      {"a text holding a NUL before its end", at("staff") + 2, '\0'},
      {"a text not ending in a NUL", at("staff") + 5, 'x'},
      {"a presence word of 2", at(dep_name) - 5, 2},
      {"a VOB index beyond 16 bits", at(lnk) - 36 + 1, 1},
      {"a file type beyond 8 bits", at(lnk) - 28 + 2, 1},
      {"a meta-type beyond 8 bits", at(lnk) - 24 + 2, 1},
  };
  tbs_cr_t back;
  ASSERT_EQ(tbs_cr_decode(good.data(), good.size(), &back), KS_ST_OK);
  tbs_cr_free_cr_stg(&back);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::string bad = good;
    ASSERT_LT(c.offset, bad.size());
    bad[c.offset] = c.value;
    EXPECT_EQ(tbs_cr_decode(bad.data(), bad.size(), &back), KS_ST_XDR_FAILED);
    EXPECT_EQ(back.target_name, nullptr);
  }
}

TEST(TbsCr, RecordsThatDoNotHoldTogetherAreRefused) {
  struct Case {
    const char *what;
    std::function<void(tbs_cr_t *)> spoil;
  } cases[] = {
      {"format 5", [](tbs_cr_t *c) { c->format = 5; }},
      {"VOB index out of range", [](tbs_cr_t *c) { c->objs[1]->vob_index = 1; }},
      {"link text of a missing object", [](tbs_cr_t *c) { c->linktexts[0].obj_index = 4; }},
      {"dependency of a missing object", [](tbs_cr_t *c) { c->explicit_deps[0]->obj_index = 4; }},
      {"dependency index below -1", [](tbs_cr_t *c) { c->explicit_deps[0]->obj_index = -2; }},
      {"object without a name", [](tbs_cr_t *c) {
         free(c->objs[1]->name);
         c->objs[1]->name = nullptr;
       }},
      {"no target name", [](tbs_cr_t *c) {
         free(c->target_name);
         c->target_name = nullptr;
       }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    tbs_cr_t cr = full_cr();
    c.spoil(&cr);
    std::string bytes = bytes_of(cr);
    tbs_cr_t back;
    EXPECT_EQ(tbs_cr_decode(bytes.data(), bytes.size(), &back), KS_ST_XDR_FAILED);
    EXPECT_EQ(back.objs, nullptr);
    tbs_cr_free_cr_stg(&cr);
  }
}

TEST(TbsCr, CutOrLongerInputDoesNotDecode) {
  tbs_cr_t cr = full_cr();
  std::string bytes = bytes_of(cr);
  tbs_cr_free_cr_stg(&cr);
  tbs_cr_t back;
  for (size_t n : {size_t(0), size_t(4), bytes.size() / 2, bytes.size() - 1}) {
    EXPECT_EQ(tbs_cr_decode(bytes.data(), n, &back), KS_ST_XDR_FAILED) << n;
  }
  std::string longer = bytes + std::string(4, '\0');
  EXPECT_EQ(tbs_cr_decode(longer.data(), longer.size(), &back), KS_ST_XDR_FAILED);
  // A count far beyond the input allocates nothing large and fails.
  std::string huge = bytes;
  size_t at = huge.find("kept");
  ASSERT_NE(at, std::string::npos);
  huge[at - 8] = char(0x7f);  // the count of kept texts
  EXPECT_EQ(tbs_cr_decode(huge.data(), huge.size(), &back), KS_ST_XDR_FAILED);
}

}  // namespace
