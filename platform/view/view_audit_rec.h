// Audit records from raw audit events: what each access of an audit's events becomes in the audit
// file, with the identity of each object as it was when the script touched it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "view/view_audit_raw.h"

// Turns events, in order, into audit records appended to *records. saved holds the identities
// that earlier conversions of the same audit gave (as this function leaves them in *saved_out;
// empty for the first), so that an object keeps its identity from one conversion to the next.
// New view-private identities are recorded in the views' databases as they are given; the
// caller groups them in a batch. Events that cannot be converted (outside every VOB, objects
// that cannot be identified) give no records.
void view_audit_rec_convert(const std::vector<view_audit_raw_event_t> &events, std::string_view saved,
                            std::string *records, std::string *saved_out);
