// Records of every kind of the executor protocol with their exact XDR bytes.
#include "bldsvc_fixture_util.h"

#include <cctype>
#include <cstring>

namespace {

char *S(const char *text) { return const_cast<char *>(text); }

bldsvc_init_req_rec_t init_req = {{1, 3, BLDSVC_REC_INIT_REQ}, 33};

bldsvc_key_t shell_key = {S("1"), S("/bin/sh")};
bldsvc_key_t cache_key = {S("5"), S("/tmp/c")};
bldsvc_key_t *key_array[] = {&shell_key, &cache_key};
bldsvc_keys_t keys = {2, key_array};
char *mf_entries[] = {S("Makefile"), S("rules.mk")};
bldsvc_list_t mf_list = {S("mf"), 2, mf_entries};
bldsvc_list_t *init_list_array[] = {&mf_list};
bldsvc_lists_t init_lists = {1, init_list_array};
bldsvc_init_reply_rec_t init_reply = {
    {2, 3, BLDSVC_REC_INIT_REPLY},
    33,
    4,
    BLDSVC_INIT_IN_VIEW | BLDSVC_INIT_DO_CONFIG_RECS | BLDSVC_INIT_DIRECT_RBLD_STATUS_ALLOWED,
    {1700000000, 250000},
    {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
    {7, 9},
    {{0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xab, 0xac, 0xad, 0xae,
      0xaf}},
    &keys,
    &init_lists,
};

bldsvc_rbld_req_rec_t rbld_req = {{3, 3, BLDSVC_REC_RBLD_REQ}};

tbs_cr_mfs_predef_t hello_c = {S("hello.c"), S("/vob/src/hello.c")};
tbs_cr_mfs_predef_t *vessary_deps[] = {&hello_c};
tbs_cr_fs_predef_t stdio_h = {S("stdio.h"), S("/usr/include/stdio.h"), 1, 0, 1234, 0x55aa, 1,
                              1600000000, 1600000001};
tbs_cr_fs_predef_t *fs_deps[] = {&stdio_h};
char *scripts[] = {S("cc -c hello.c"), S("echo done")};
bldsvc_rbld_reply_rec_t rbld_reply = {
    {4, 3, BLDSVC_REC_RBLD_REPLY},
    S("hello.o"),
    0xdeadbeef,
    {{0xf0, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa, 0xfb, 0xfc, 0xfd, 0xfe,
      0xff}},
    BLDSVC_RBLD_SILENT | BLDSVC_RBLD_PLAIN_EXEC,
    nullptr,
    1,
    vessary_deps,
    1,
    fs_deps,
    2,
    scripts,
};

char *env_entries[] = {S("A=1")};
bldsvc_list_t env_list = {S("mand_evs"), 1, env_entries};
bldsvc_list_t *env_list_array[] = {&env_list};
bldsvc_lists_t env_lists = {1, env_list_array};
tbs_cr_fs_predef_t big_dat = {S("big.dat"), S("/data/big.dat"), TBS_CR_FS_PREDEF_NON_CRITICAL,
                              TBS_CR_FS_PREDEF_KIND_NO_CRC, 3000000000u, 0, 0, 0, 0};
tbs_cr_fs_predef_t *big_deps[] = {&big_dat};
char *copy_script[] = {S("cp a b")};
bldsvc_rbld_reply_rec_t rbld_reply_lfs = {
    {12, 3, BLDSVC_REC_RBLD_REPLY_LFS}, S("big.o"), 1, {}, 0, &env_lists, 0, nullptr, 1, big_deps,
    1, copy_script,
};

bldsvc_rbld_status_rec_t chunk = {{50, 3, BLDSVC_REC_RBLD_STATUS},
                                  S("hello.o"),
                                  BLDSVC_STATUS_MORE_OUTPUT,
                                  -9999,
                                  0,
                                  3,
                                  S("cc\n")};
bldsvc_rbld_status_rec_t final_status = {
    {5, 3, BLDSVC_REC_RBLD_STATUS}, S("hello.o"), BLDSVC_STATUS_REUSABLE, 0, 0, 6, S("hello\n")};

bldsvc_rbld_status_reply_rec_t status_reply = {{6, 3, BLDSVC_REC_RBLD_STATUS_REPLY}};

bldsvc_nimbrel_term_rec_t term = {{7, 3, BLDSVC_REC_NIMBREL_TERM}, S("timed out"), 1004, 62};
bldsvc_nimbrel_term_rec_t term_no_reason = {{70, 3, BLDSVC_REC_NIMBREL_TERM}, nullptr, 0, 0};

bldsvc_nimbrel_cant_handle_rec_t cant_handle = {{9, 3, BLDSVC_REC_NIMBREL_CANT_HANDLE},
                                                BLDSVC_REC_TEST_UNHANDLED_RPC};

bldsvc_rbld_direct_status_rec_t direct_status = {
    {11, 3, BLDSVC_REC_RBLD_DIRECT_STATUS}, S("hello.o"), 0, 5000000000, 12, S("/tmp/bo.out")};

std::string strip(const std::string &hex) {
  std::string out;
  for (char c : hex) {
    if (!isspace(static_cast<unsigned char>(c))) out += c;
  }
  return out;
}

}  // namespace

const std::vector<bldsvc_golden_t> &bldsvc_golden_records() {
  static const std::vector<bldsvc_golden_t> records = [] {
    std::vector<bldsvc_golden_t> r = {
      {"INIT_REQ", BLDSVC_REC_INIT_REQ, &init_req,
       // trans_id, client_id, kind; protocol version
       "00000001 00000003 00000001  00000021"},
      {"INIT_REPLY", BLDSVC_REC_INIT_REPLY, &init_reply,
       "00000002 00000003 00000002"
       "00000021 00000004 00001021"                   // version, trace level, flags
       "00000000 6553f100 0003d090"                   // reference time: seconds, microseconds
       "01020304 05060708 090a0b0c 0d0e0f10"          // view uuid
       "00000007 00000009"                            // build handle
       "a0a1a2a3 a4a5a6a7 a8a9aaab acadaeaf"          // replica uuid
       "00000001 00000002"                            // keys present, 2 keys
       "00000001 00000002 31000000 00000008 2f62696e 2f736800"  // "1" = "/bin/sh"
       "00000001 00000002 35000000 00000007 2f746d70 2f630000"  // "5" = "/tmp/c"
       "00000001 00000001"                            // lists present, 1 list
       "00000001 00000003 6d660000 00000002"          // "mf", 2 entries
       "00000009 4d616b65 66696c65 00000000"          // "Makefile"
       "00000009 72756c65 732e6d6b 00000000"},        // "rules.mk"
      {"RBLD_REQ", BLDSVC_REC_RBLD_REQ, &rbld_req, "00000003 00000003 00000003"},
      {"RBLD_REPLY", BLDSVC_REC_RBLD_REPLY, &rbld_reply,
       "00000004 00000003 00000004"
       "00000008 68656c6c 6f2e6f00"                   // "hello.o"
       "deadbeef"                                     // script hash
       "f0f1f2f3 f4f5f6f7 f8f9fafb fcfdfeff"          // predefined-dependency oid
       "00000011 00000000"                            // flags, no lists
       "00000001 00000001"                            // 1 versioned dependency, present
       "00000008 68656c6c 6f2e6300"                   // "hello.c"
       "00000011 2f766f62 2f737263 2f68656c 6c6f2e63 00000000"  // "/vob/src/hello.c"
       "00000001 00000001"                            // 1 file dependency, present
       "00000008 73746469 6f2e6800"                   // "stdio.h"
       "00000015 2f757372 2f696e63 6c756465 2f737464 696f2e68 00000000"
       "00000001 00000000 000004d2"                   // flags, kind, size in 32 bits
       "000055aa 00000001"                            // crc, crc valid
       "00000000 5f5e1000 00000000 5f5e1001"          // modification times
       "00000002"                                     // 2 script lines
       "0000000e 6363202d 63206865 6c6c6f2e 63000000" // "cc -c hello.c"
       "0000000a 6563686f 20646f6e 65000000"},        // "echo done"
      {"RBLD_REPLY_LFS", BLDSVC_REC_RBLD_REPLY_LFS, &rbld_reply_lfs,
       "0000000c 00000003 0000000c"
       "00000006 6269672e 6f000000"                   // "big.o"
       "00000001"                                     // script hash
       "00000000 00000000 00000000 00000000"          // null oid
       "00000000"                                     // flags
       "00000001 00000001 00000001"                   // lists present, 1 list, present
       "00000009 6d616e64 5f657673 00000000"          // "mand_evs"
       "00000001 00000004 413d3100"                   // 1 entry "A=1"
       "00000000"                                     // no versioned dependency
       "00000001 00000001"                            // 1 file dependency, present
       "00000008 6269672e 64617400"                   // "big.dat"
       "0000000e 2f646174 612f6269 672e6461 74000000" // "/data/big.dat"
       "00000100 00000002 00000000 b2d05e00"          // flags, kind, size in 64 bits
       "00000000 00000000"                            // crc, crc valid
       "00000000 00000000 00000000 00000000"          // modification times
       "00000001 00000007 63702061 20620000"},        // 1 script line "cp a b"
      {"RBLD_STATUS chunk", BLDSVC_REC_RBLD_STATUS, &chunk,
       "00000032 00000003 00000005"
       "00000008 68656c6c 6f2e6f00"                   // "hello.o"
       "00000001 ffffd8f1 00000000 00000003"          // flags, build status -9999, status, size
       "00000004 63630a00"},                          // "cc\n"
      {"RBLD_STATUS final", BLDSVC_REC_RBLD_STATUS, &final_status,
       "00000005 00000003 00000005"
       "00000008 68656c6c 6f2e6f00"
       "00000004 00000000 00000000 00000006"
       "00000007 68656c6c 6f0a0000"},                 // "hello\n"
      {"RBLD_STATUS_REPLY", BLDSVC_REC_RBLD_STATUS_REPLY, &status_reply,
       "00000006 00000003 00000006"},
      {"NIMBREL_TERM", BLDSVC_REC_NIMBREL_TERM, &term,
       "00000007 00000003 00000007"
       "0000000a 74696d65 64206f75 74000000"          // "timed out"
       "000003ec 0000003e"},                          // status 1004, errno 62
      {"NIMBREL_TERM without reason", BLDSVC_REC_NIMBREL_TERM, &term_no_reason,
       "00000046 00000003 00000007 00000000 00000000 00000000"},
      {"NIMBREL_EXIT", BLDSVC_REC_NIMBREL_EXIT, nullptr, ""},
      {"NIMBREL_CANT_HANDLE", BLDSVC_REC_NIMBREL_CANT_HANDLE, &cant_handle,
       "00000009 00000003 00000009 0000000a"},
      {"TEST_UNHANDLED_RPC", BLDSVC_REC_TEST_UNHANDLED_RPC, nullptr, ""},
      {"RBLD_DIRECT_STATUS", BLDSVC_REC_RBLD_DIRECT_STATUS, &direct_status,
       "0000000b 00000003 0000000b"
       "00000008 68656c6c 6f2e6f00"                   // "hello.o"
       "00000000 00000000 00000001 2a05f200"          // offsets 0 and 5000000000
       "0000000c 0000000c 2f746d70 2f626f2e 6f757400"},  // 12, "/tmp/bo.out"
    };
    for (auto &record : r) record.hex = strip(record.hex);
    return r;
  }();
  return records;
}

std::string bldsvc_to_hex(const void *data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  const auto *p = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < size; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

std::vector<unsigned char> bldsvc_from_hex(const std::string &hex) {
  const std::string h = strip(hex);
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoi(h.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string bldsvc_encode_hex(bldsvc_rec_kind_t kind, void *record) {
  std::vector<char> buf(1 << 16);
  XDR xdrs;
  xdrmem_create(&xdrs, buf.data(), u_int(buf.size()), XDR_ENCODE);
  if (!bldsvc_xdr_tbl[kind].xdr_proc(&xdrs, record, nullptr)) return "FAIL";
  return bldsvc_to_hex(buf.data(), xdr_getpos(&xdrs));
}

bool bldsvc_decode_hex(bldsvc_rec_kind_t kind, const std::string &hex, void *storage) {
  std::vector<unsigned char> bytes = bldsvc_from_hex(hex);
  XDR xdrs;
  xdrmem_create(&xdrs, reinterpret_cast<char *>(bytes.data()), u_int(bytes.size()), XDR_DECODE);
  memset(storage, 0, bldsvc_xdr_tbl[kind].rec_size);
  // A body must take its bytes exactly.
  return bldsvc_xdr_tbl[kind].xdr_proc(&xdrs, storage, nullptr) && xdr_getpos(&xdrs) == bytes.size();
}

void bldsvc_free_body(bldsvc_rec_kind_t kind, void *storage) {
  XDR xdrs;
  xdrs.x_op = XDR_FREE;
  bldsvc_xdr_tbl[kind].xdr_proc(&xdrs, storage, nullptr);
}
