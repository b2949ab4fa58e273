// Helpers of the end-to-end audit tests: reading an audit file into an audit table.
#pragma once

#include <string>
#include <vector>

#include "bld/bldr_cr_audit_table.h"
#include "ks/ks_status.h"

namespace e2e {

// Makes view tag the view of the build whose audits are read (bldr_cr_view_uuid).
void set_build_view(const std::string &tag);

// Reads the audit file at path into t; the reader's status, KS_ST_ERR when it cannot be opened.
ks_status_t read_audit_file(const std::string &path, bldr_cr_audit_table_t *t);

// The live records of t whose leaf name is leaf, in audit order.
std::vector<bldr_cr_audit_obj_t *> audit_records_named(bldr_cr_audit_table_t &t,
                                                      const std::string &leaf);

}  // namespace e2e
