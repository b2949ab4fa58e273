// Helpers of the configuration-record tests: small records made on the heap, as decoding makes
// them (free them with tbs_cr_free_cr_stg), and identifiers that tell themselves apart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tbs/tbs_cr.h"

namespace crtest {

// The OID whose bytes are all n.
tbs_oid_t oid(uint8_t n);

// One object of a record.
struct Obj {
  tbs_oid_t oid;
  uint32_t flags;
  std::string name = "f";
  tbs_oid_t parent{};
  uint8_t ftype = TBS_CR_FTYPE_FILE;
  tbs_oid_t elem{};
};

// A record of format 6 for target with one VOB ("host:vob", VOB OID 0xEE, root OID 0xEF) and the
// objects given (each in that VOB).
tbs_cr_t make_cr(const std::string &target, const std::vector<Obj> &objs);

// A record with new derived objects of the given OID bytes and nothing else.
tbs_cr_t make_do_cr(const std::string &target, const std::vector<uint8_t> &do_oids);

// A temporary directory removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &leaf) const { return path_ + "/" + leaf; }

 private:
  std::string path_;
};

// The whole content of a file ("" when it cannot be read), and writes.
std::string read_bytes(const std::string &path);
void write_bytes(const std::string &path, const std::string &bytes);

}  // namespace crtest
