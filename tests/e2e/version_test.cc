// The version options of every program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_util.h"

namespace {

struct Program {
  const char *name;
  std::vector<std::string> libraries;  // the order of -VerAll
};

const Program kPrograms[] = {
    {"tolvick",
     {"libvosselbuild", "libvosselclient_meters", "libvosselcm", "libvosselcredmap",
      "libvosseldbrpc", "libvosselks", "libvosseltbs", "libvosselview", "libvosselvob"}},
    {"quilmar",
     {"libvosselbuild", "libvosselclient_meters", "libvosselcm", "libvosseldbrpc", "libvosselks",
      "libvosseltbs", "libvosselview", "libvosselvob"}},
    {"nimbrel",
     {"libvosselbuild", "libvosselcm", "libvosselcredmap", "libvosseldbrpc", "libvosselks",
      "libvosseltbs", "libvosselview", "libvosselvob"}},
    {"vantrose",
     {"libvosselbuild", "libvosselcm", "libvosselks", "libvosseltbs", "libvosselview",
      "libvosselvob"}},
};

// "%-*s %s (%s)\n" with width 33: the name padded to 33 columns, the release, the date.
void expect_version_line(const std::string &line, const std::string &name) {
  std::string padded = name + std::string(name.size() < 33 ? 33 - name.size() : 0, ' ');
  EXPECT_EQ(line.substr(0, 34), padded + " ") << line;
  EXPECT_THAT(line.substr(34),
              ::testing::MatchesRegex(
                  "[0-9]+\\.[0-9]+\\.[0-9]+ \\([A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9:]{8} [0-9]{4}\\)"));
}

}  // namespace

TEST(VersionOptions, EveryProgramPrintsItsLineAndItsLibrariesInOrder) {
  for (const Program &p : kPrograms) {
    for (const char *option : {"-Ver", "-version", "-VERSION"}) {
      e2e::Result r = e2e::run({p.name, option, "ignored", "arguments"});
      EXPECT_EQ(r.status, 0) << p.name << " " << option << r.err;
      auto lines = e2e::lines(r.out);
      ASSERT_EQ(lines.size(), 1u) << p.name << " " << option;
      expect_version_line(lines[0], p.name);
    }
    e2e::Result r = e2e::run({p.name, "-verall"});
    EXPECT_EQ(r.status, 0) << p.name;
    auto lines = e2e::lines(r.out);
    ASSERT_EQ(lines.size(), p.libraries.size() + 1) << p.name << "\n" << r.out;
    expect_version_line(lines[0], p.name);
    for (size_t i = 0; i < p.libraries.size(); i++) expect_version_line(lines[i + 1], p.libraries[i]);
  }
}

TEST(VersionOptions, OnlyTheFirstArgumentCounts) {
  e2e::Result r = e2e::run({"tolvick", "-n", "-Ver"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "");
}
