#include "cr_fixture_util.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace crtest {

tbs_oid_t oid(uint8_t n) {
  tbs_oid_t o;
  std::memset(o.bytes, n, 16);
  return o;
}

namespace {

char *dup(const std::string &s) { return strdup(s.c_str()); }

}  // namespace

tbs_cr_t make_cr(const std::string &target, const std::vector<Obj> &objs) {
  tbs_cr_t cr;
  std::memset(&cr, 0, sizeof cr);
  cr.format = TBS_CR_FORMAT;
  cr.build_start = 1700000000;
  cr.login_name = dup("user");
  cr.group_name = dup("group");
  cr.host_name = dup("host");
  cr.platform = dup("Linux");
  cr.initial_dir = dup("/vob/src");
  cr.view_host_path = dup("host:/views/v1");
  cr.target_name = dup(target);
  cr.vob_count = 1;
  cr.vobs = static_cast<tbs_cr_vob_t *>(calloc(1, sizeof(tbs_cr_vob_t)));
  cr.vobs[0].name = dup("host:vob");
  cr.vobs[0].vob_oid = oid(0xEE);
  cr.vobs[0].root_oid = oid(0xEF);
  cr.obj_count = uint32_t(objs.size());
  cr.objs = static_cast<tbs_cr_obj_t **>(calloc(objs.size() + 1, sizeof(tbs_cr_obj_t *)));
  for (size_t i = 0; i < objs.size(); i++) {
    auto *o = static_cast<tbs_cr_obj_t *>(calloc(1, sizeof(tbs_cr_obj_t)));
    o->oid = objs[i].oid;
    o->flags = objs[i].flags;
    o->name = dup(objs[i].name);
    o->parent_oid = objs[i].parent;
    o->ftype = objs[i].ftype;
    o->elem_oid = objs[i].elem;
    cr.objs[i] = o;
  }
  return cr;
}

tbs_cr_t make_do_cr(const std::string &target, const std::vector<uint8_t> &do_oids) {
  std::vector<Obj> objs;
  for (uint8_t n : do_oids) objs.push_back({oid(n), TBS_CR_OBJ_NEW_DO | TBS_CR_OBJ_CREATED});
  return make_cr(target, objs);
}

TempDir::TempDir() {
  char templ[] = "/tmp/crtestXXXXXX";
  const char *d = mkdtemp(templ);
  if (d == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = d ? d : "/tmp";
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string read_bytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_bytes(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

}  // namespace crtest
