// gammick: the platform's command-line tool: VOBs, views and what a pathname is.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cm/cm_cr.h"
#include "cm/cr_utl_nt.h"
#include "dbrpc/dbrpc_reg.h"
#include "ks/imsg.h"
#include "ks/ks_verid.h"
#include "tbs/tbs_oid.h"
#include "tbs/tbs_status.h"
#include "view/view_admin.h"
#include "view/view_do.h"
#include "view/view_info.h"
#include "view/view_xstat.h"
#include "vob/vob_admin.h"
#include "vob/vob_mtype.h"
#include "vob/vob_pname.h"

namespace {

const char kUsage[] =
    "Usage: gammick mkvob -tag VOBTAG PATH\n"
    "       gammick mkview -tag TAG [-vob VOBTAG]...\n"
    "       gammick rmview -tag TAG\n"
    "       gammick lsvob\n"
    "       gammick lsview\n"
    "       gammick describe PATH\n"
    "       gammick lsdo [PATH]\n"
    "       gammick catcr PATH\n"
    "       gammick setview [-exec COMMAND] TAG\n"
    "       gammick pwv\n";

int usage(const char *why) {
  imsg_print(IMSG_ERROR, "%s (run \"gammick help\" for the commands)\n", -1, why);
  return 2;
}

int status_exit(ks_status_t status) { return status == KS_ST_OK ? 0 : 1; }

// Options of the form "-name VALUE" (repeatable) and operands, in any order.
struct Args {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> operands;
  std::string error;

  Args(int argc, char **argv, std::initializer_list<const char *> known) {
    for (int i = 2; i < argc; i++) {
      std::string a = argv[i];
      if (a.size() > 1 && a[0] == '-') {
        bool ok = false;
        for (const char *k : known) ok = ok || a == k;
        if (!ok) {
          error = "Unknown option \"" + a + "\"";
          return;
        }
        if (i + 1 >= argc) {
          error = "Option \"" + a + "\" needs a value";
          return;
        }
        options.emplace_back(a, argv[++i]);
      } else {
        operands.push_back(a);
      }
    }
  }
  std::vector<std::string> all(const char *name) const {
    std::vector<std::string> out;
    for (const auto &o : options)
      if (o.first == name) out.push_back(o.second);
    return out;
  }
};

int cmd_mkvob(const Args &args) {
  std::vector<std::string> tags = args.all("-tag");
  if (tags.size() != 1 || args.operands.size() != 1)
    return usage("mkvob needs one -tag VOBTAG and one PATH");
  return status_exit(vob_admin_register(tags[0], args.operands[0]));
}

int cmd_mkview(const Args &args) {
  std::vector<std::string> tags = args.all("-tag");
  if (tags.size() != 1 || !args.operands.empty())
    return usage("mkview needs one -tag TAG and no operands");
  return status_exit(view_admin_make(tags[0], args.all("-vob")));
}

int cmd_rmview(const Args &args) {
  std::vector<std::string> tags = args.all("-tag");
  if (tags.size() != 1 || !args.operands.empty())
    return usage("rmview needs one -tag TAG and no operands");
  return status_exit(view_admin_remove(tags[0]));
}

int cmd_list(bool vobs) {
  ks_status_t status;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  if (!reg) return 1;
  if (vobs) {
    for (const dbrpc_vob_rec_t &v : reg->vobs) std::printf("%s %s\n", v.tag.c_str(), v.path.c_str());
  } else {
    for (const dbrpc_view_rec_t &v : reg->views)
      std::printf("%s %s\n", v.tag.c_str(), tbs_uuid_to_str(&v.uuid));
  }
  return 0;
}

const char *oid_text(const tbs_oid_t &oid) { return tbs_oid_is_null(&oid) ? "-" : tbs_oid_to_str(&oid); }

// Whether the view's examination of path, with status, succeeded; false after saying why not.
bool examined(const char *path, ks_status_t status) {
  if (status == KS_ST_NOT_IN_VIEW) {
    imsg_print(IMSG_ERROR, "\"%s\" does not exist\n", -1, path);
    return false;
  }
  if (status != KS_ST_OK) {
    imsg_print(IMSG_ERROR, "Unable to describe \"%s\": %s\n", -1, path, tbs_strerror(status));
    return false;
  }
  return true;
}

int cmd_describe(const Args &args) {
  if (args.operands.size() != 1 || !args.options.empty()) return usage("describe needs one PATH");
  const char *path = args.operands[0].c_str();
  view_xstat_t vstat;
  if (!examined(path, view_lget_xstat(path, 1, &vstat, nullptr, nullptr, 0, nullptr))) return 1;
  vob_pname_t where;
  vob_pname_resolve(path, false, &where);
  std::printf("view: %s\n", where.view ? where.view->tag.c_str() : "-");
  std::printf("vob: %s\n", where.vob && vstat.mtype != VOB_MTYPE_NULL ? where.vob->tag.c_str() : "-");
  std::printf("meta-type: %s\n", vob_mtype_short_name(vstat.mtype));
  std::printf("element: %s\n", oid_text(vstat.elem_oid));
  std::printf("version: %s\n", oid_text(vstat.obj_oid));
  return 0;
}

// Lists the derived objects of a directory (and below it) or of a whole view (its directory):
// pathname, meta-type and OID, and "shared" for a promoted one, one a line.
int cmd_lsdo(const Args &args) {
  if (args.operands.size() > 1 || !args.options.empty()) return usage("lsdo takes at most one PATH");
  const char *dir = args.operands.empty() ? "." : args.operands[0].c_str();
  std::vector<view_do_entry_t> dos;
  ks_status_t status = view_do_list(dir, &dos);
  if (status == KS_ST_NOT_IN_VIEW) {
    imsg_print(IMSG_ERROR, "\"%s\" is not a directory in a view\n", -1, dir);
    return 1;
  }
  if (status != KS_ST_OK) return 1;
  for (const auto &d : dos) {
    // A promoted derived object is marked: its data lies in its VOB and can be winked in.
    vob_handle_t vobh = VOB_HANDLE_NULL;
    cm_do_info_t info{};
    const bool shared = vob_ob_l_mount_pname_to_vobh(d.path.c_str(), &vobh) == KS_ST_OK &&
                        cm_do_get_info(vobh, &d.do_oid, &info) == KS_ST_OK && info.shared;
    std::printf("%s  %s  %s%s\n", d.path.c_str(), vob_mtype_short_name(d.mtype), tbs_oid_to_str(&d.do_oid),
                shared ? "  shared" : "");
  }
  return 0;
}

// Prints the configuration record of the derived object at PATH.
int cmd_catcr(const Args &args) {
  if (args.operands.size() != 1 || !args.options.empty()) return usage("catcr needs one PATH");
  const char *path = args.operands[0].c_str();
  view_oids_t o;
  if (!examined(path, view_get_oids(path, 1, 0, 0, &o))) return 1;
  ks_status_t status;
  if (!VOB_MTYPE_IS_DO(o.mtype)) {
    imsg_print(IMSG_ERROR, "\"%s\" is not a derived object\n", -1, path);
    return 1;
  }
  vob_handle_t vobh = VOB_HANDLE_NULL;
  tbs_cr_t cr;
  status = vob_ob_vob_oid_to_vobh(&o.vob_oid, &vobh);
  if (status == KS_ST_OK) status = cm_cr_get_cr(vobh, &o.obj_oid, 1, 0, &o.view_uuid, &cr);
  if (status != KS_ST_OK) {
    imsg_print(IMSG_ERROR, "Unable to read the configuration record of \"%s\": %s\n", -1, path,
               tbs_strerror(status));
    return 1;
  }
  std::printf("Derived object: %s (%s)\n", path, tbs_oid_to_str(&o.obj_oid));
  cr_utl_st_hdl_t st = cr_utl_create_shared_tables(1, nullptr);
  std::fputs(cr_utl_format_cr(&cr, st).c_str(), stdout);
  cr_utl_destroy_shared_tables(st);
  cm_cr_free_cr(vobh, &cr);
  return 0;
}

int cmd_setview(const Args &args) {
  std::vector<std::string> exec = args.all("-exec");
  if (args.operands.size() != 1 || exec.size() > 1) return usage("setview needs one TAG and at most one -exec COMMAND");
  const std::string &tag = args.operands[0];
  ks_status_t status = view_set_current_view(tag.c_str());
  if (status == KS_ST_NOT_FOUND) {
    imsg_print(IMSG_ERROR, "No view with tag \"%s\"\n", -1, tag.c_str());
    return 1;
  }
  if (status != KS_ST_OK) return 1;
  std::fflush(stdout);
  std::fflush(stderr);
  if (exec.empty()) {
    const char *shell = std::getenv("SHELL");
    if (!shell || !*shell) shell = "/bin/sh";
    execl(shell, shell, static_cast<char *>(nullptr));
  } else {
    execl("/bin/sh", "sh", "-c", exec[0].c_str(), static_cast<char *>(nullptr));
  }
  imsg_print(IMSG_ERROR, "Unable to start the shell: %s\n", -1, std::strerror(errno));
  return 1;
}

// Prints the process's set view and its working directory's view, each "-" when none.
int cmd_pwv() {
  char set_tag[256], cd_tag[256];
  ks_status_t set = view_current_view_info(set_tag, sizeof set_tag, nullptr, 0, nullptr, 0,
                                           nullptr, 0, nullptr);
  if (set != KS_ST_OK && set != KS_ST_NOT_FOUND) return 1;
  ks_status_t cd = view_cdview_view_info(cd_tag, sizeof cd_tag, nullptr, 0, nullptr, 0, nullptr,
                                         0, nullptr);
  if (cd != KS_ST_OK && cd != KS_ST_NOT_FOUND) return 1;
  std::printf("set view: %s\n", set == KS_ST_OK ? set_tag : "-");
  std::printf("working directory view: %s\n", cd == KS_ST_OK ? cd_tag : "-");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  imsg_set_app_name("gammick");
  if (argc > 1 && ks_verid_option(argv[1])) {
    ks_print_verid("gammick");
    return 0;
  }
  if (argc < 2) return usage("No command given");
  std::string cmd = argv[1];
  if (cmd == "help" || cmd == "-h" || cmd == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Args args(argc, argv,
            cmd == "mkvob" || cmd == "rmview" ? std::initializer_list<const char *>{"-tag"}
            : cmd == "mkview"                 ? std::initializer_list<const char *>{"-tag", "-vob"}
            : cmd == "setview"                ? std::initializer_list<const char *>{"-exec"}
                                              : std::initializer_list<const char *>{});
  if (!args.error.empty()) return usage(args.error.c_str());
  if (cmd == "mkvob") return cmd_mkvob(args);
  if (cmd == "mkview") return cmd_mkview(args);
  if (cmd == "rmview") return cmd_rmview(args);
  if (cmd == "lsvob" || cmd == "lsview") {
    if (argc != 2) return usage("lsvob and lsview take no arguments");
    return cmd_list(cmd == "lsvob");
  }
  if (cmd == "describe") return cmd_describe(args);
  if (cmd == "pwv") {
    if (argc != 2) return usage("pwv takes no arguments");
    return cmd_pwv();
  }
  if (cmd == "setview") return cmd_setview(args);
  if (cmd == "lsdo") return cmd_lsdo(args);
  if (cmd == "catcr") return cmd_catcr(args);
  return usage(("Unknown command \"" + cmd + "\"").c_str());
}
