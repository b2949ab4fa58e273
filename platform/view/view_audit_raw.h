// The raw events of an audit as its conversion reads them (the format is fixed in
// vessary/vessary_raw.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The status of an object that an event recorded.
struct view_audit_raw_ident_t {
  bool known = false;
  uint64_t dev = 0, ino = 0, mode = 0, size = 0;
  int64_t msec = 0, mnsec = 0;
};

// One event; its names point into the data it was parsed from.
struct view_audit_raw_event_t {
  char op = 0;
  uint64_t arg = 0;
  view_audit_raw_ident_t id;
  std::string_view p1, p2;
};

// Parses the complete events at the front of data; *used receives the length of the bytes they
// take (a damaged header line is skipped and counted; a torn event at the end is left for a
// later parse).
std::vector<view_audit_raw_event_t> view_audit_raw_parse(std::string_view data, size_t *used);

// What the version event at the front of a raw event file tells: the audit's identifier (empty
// when the file has none) and the length the audit file had when the audit began (-1 when not
// told).
struct view_audit_raw_origin_t {
  std::string id;
  int64_t base = -1;
};

// Reads the origin from the front of data (the file's first bytes; a few hundred suffice).
view_audit_raw_origin_t view_audit_raw_origin(std::string_view data);
