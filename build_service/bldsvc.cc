// The build service of the make process.
#include "build_service/bldsvc.h"

#include <array>
#include <cstdio>

#include "ks/pfm.h"

namespace {

// The table has a fixed row for each text; rows without a text are empty.
constexpr int kRows = 238;

constexpr std::array<const char *, kRows> make_formats() {
  std::array<const char *, kRows> f{};
  for (auto &row : f) row = "";
  f[BLDSVC_MSG_ENCODE_RTYPE] = "Error encoding record type to stream. (%s)\n";
  f[BLDSVC_MSG_QUEUE_EOR] = "Error queuing end-of-record to stream. (%s)\n";
  f[BLDSVC_MSG_ENCODE_REC] = "Error encoding record %s to stream.\n";
  f[BLDSVC_MSG_SEND_EOR] = "Error sending end-of-record to stream. (%s)\n";
  f[BLDSVC_MSG_SKIP_EOR] = "Error skipping to end-of-record on stream.\n";
  f[BLDSVC_MSG_DECODE_RTYPE] = "Error decoding record type from stream.\n";
  f[BLDSVC_MSG_DECODE_REC] = "Error decoding record %s from stream.\n";
  f[BLDSVC_MSG_READ_RETRIES] = "Error reading from socket %d after %d attempts, will stop trying.\n";
  f[BLDSVC_MSG_READ_FAILED] =
      "Error reading from socket %d attempting to read %d bytes. (%d)%s\n";
  f[BLDSVC_MSG_WRITE_RETRIES] = "Error writing to socket %d after %d attempts, will stop trying.\n";
  f[BLDSVC_MSG_WRITE_FAILED] =
      "Error writing to socket %d attempting to write %d bytes, wrote %d. (%d)%s\n";
  return f;
}

constexpr std::array<uint16_t, kRows> make_catalog() {
  std::array<uint16_t, kRows> c{};
  for (int i = 0; i < kRows; ++i) c[i] = uint16_t(i);
  return c;
}

constexpr std::array<const char *, kRows> formats = make_formats();
constexpr std::array<uint16_t, kRows> catalog = make_catalog();

}  // namespace

const imsg_msg_table_t _bldsvc_karsel_msg_table = {
    "karsel_bin", "build_service/bldsvc", 700, kRows, formats.data(), catalog.data(),
};

const char *bldsvc_printable_nimbrel_channel_name(const bldsvc_nimbrel_channel_t *ac) {
  static char name[64];
  PFM_ASSERT(ac != nullptr);
  snprintf(name, sizeof name, "socket %d", ac->socket);
  return name;
}
