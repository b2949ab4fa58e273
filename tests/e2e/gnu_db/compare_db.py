#!/usr/bin/env python3
"""Compares the database that GNU make prints (make -p -q -r) with the build graph that tolvick
prints in the gnu dialect (tolvick -C gnu -p -r) for the makefiles of one directory.

Both printouts are brought to one normal form, a sorted list of lines:
  var NAME = VALUE          a variable the makefiles define (GNU origin "makefile" or "override")
  rule TARGET : PREREQS     a target's rule; "::" for double-colon rules, " | " before
                            order-only prerequisites
  recipe TARGET : LINE      each line of a target's recipe (blanks at either end dropped)
  pattern TARGET : PREREQS  a pattern rule, with its recipe lines as "recipe"
  tvar TARGET NAME = VALUE  a target- or pattern-specific variable
Runs of blanks inside values and prerequisite lists count as one blank, and a recipe line
continued with a backslash is one line (tolvick joins the parts with one blank). Only variables that the
makefiles define are compared (GNU make's own and the environment's are left out), and only
targets that are not special targets (tolvick prints no .PHONY list).

Usage: compare_db.py [--elaborate GMAKE] MAKE TOLVICK DIRECTORY
With --elaborate, tolvick reads the one makefile that the pgnu preprocessor GMAKE makes of the
directory's makefiles instead of the makefiles themselves.
Exit status 0 when the normal forms are equal, 1 with a diff on standard output otherwise, 2 when
a program failed."""

import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile

SPECIAL = re.compile(r"^\.[A-Z_]+$")
NO_GOAL = "__compare_db_no_such_goal__"
# Variables GNU make sets itself, with the origin "makefile".
OWN_VARIABLES = ("MAKEFILE_LIST", ".DEFAULT_GOAL", "MAKEFLAGS", "MFLAGS", "GNUMAKEFLAGS",
                 ".SHELLSTATUS")
VAR_LINE = re.compile(r"^(?:override )?(?:export )?(\S+?) ?(::=|:=|\+=|\?=|!=|=) ?(.*)$", re.S)


def blanks(text):
    return " ".join(text.split())


def rule_line(target, colon, rest):
    normal, _, order_only = rest.partition("|")
    line = "%s %s %s" % (target, colon, blanks(normal))
    if order_only.strip():
        line += " | " + blanks(order_only)
    return line.rstrip()


# --- GNU make's database ---------------------------------------------------------------------

def read_make(text):
    out = []
    lines = text.split("\n")
    section = None
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("# Variables"):
            section = "vars"
        elif line.startswith("# Pattern-specific Variable Values"):
            section = "pvars"
        elif line.startswith("# Directories"):
            section = None
        elif line.startswith("# Implicit Rules"):
            section = "implicit"
        elif line.startswith("# Files"):
            section = "files"
        elif line.startswith("# VPATH Search Paths") or line.startswith("# finished"):
            section = None
        elif section == "vars" and (line.startswith("# makefile") or line.startswith("# 'override'")):
            i += 1
            var = lines[i]
            if var.startswith("define ") or var.startswith("override define "):
                name = var.split()[-1]
                body = []
                i += 1
                while i < len(lines) and lines[i] != "endef":
                    body.append(lines[i])
                    i += 1
                out.append("var %s = %s" % (name, blanks("\n".join(body))))
            else:
                # A value of several lines runs on up to the next origin comment.
                while i + 1 < len(lines) and lines[i + 1] and not lines[i + 1].startswith("# "):
                    i += 1
                    var += "\n" + lines[i]
                m = VAR_LINE.match(var)
                if m and m.group(1) not in OWN_VARIABLES:
                    out.append("var %s = %s" % (m.group(1), blanks(m.group(3))))
        elif section == "pvars" and line.endswith(" :") and not line.startswith("#"):
            target = line[:-2]
            i += 1
            while i < len(lines) and lines[i].startswith("#"):
                m = VAR_LINE.match(lines[i][2:])
                if lines[i].startswith("# ") and m and not lines[i].startswith("# makefile"):
                    out.append("tvar %s %s = %s" % (target, m.group(1), blanks(m.group(3))))
                i += 1
            continue
        elif section in ("implicit", "files") and line and not line.startswith("#") \
                and not line.startswith("\t"):
            i = read_make_entry(lines, i, section, out)
            continue
        i += 1
    return out


def read_make_entry(lines, i, section, out):
    """One entry of the implicit rules or the files: lines up to a blank line."""
    start = i
    while start > 0 and lines[start - 1].startswith("#"):
        start -= 1
    not_a_target = any(l == "# Not a target:" for l in lines[start:i])
    target = None
    after_origin = i > 0 and lines[i - 1].startswith("# makefile")
    while i < len(lines) and lines[i] != "":
        line = lines[i]
        if line.startswith("#"):
            if line == "#  Implicit rule search has been done." and target:
                out.append("searched " + target)
            after_origin = line.startswith("# makefile") or line.startswith("# automatic")
        elif line.startswith("\t"):
            # tolvick joins the continued lines of a recipe line with one blank.
            while line.endswith("\\") and i + 1 < len(lines) and lines[i + 1].startswith("\t"):
                i += 1
                line = line[:-1].rstrip() + " " + lines[i].strip()
            if target and not not_a_target and not SPECIAL.match(target):
                out.append("recipe %s : %s" % (target, line.strip()))
        else:
            m = re.match(r"^(.*?)(::?)(?:\s|$)(.*)$", line)
            if m and after_origin:
                v = VAR_LINE.match(m.group(3).strip())
                if v and not not_a_target:
                    out.append("tvar %s %s = %s" % (m.group(1), v.group(1), blanks(v.group(3))))
            elif m:
                target = m.group(1)
                if not not_a_target and not SPECIAL.match(target):
                    kind = "pattern" if section == "implicit" else "rule"
                    out.append(kind + " " + rule_line(target, m.group(2), m.group(3)))
            after_origin = False
        i += 1
    return i


# --- tolvick's build graph -------------------------------------------------------------------

def read_tolvick(text, names):
    out = []
    lines = text.split("\n")
    section = "targets"
    target = None
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("# --- Special Targets"):
            section = "special"
        elif line.startswith("# --- Macro Definitions"):
            section = "macros"
        elif line.startswith("# --- End Macro Definitions"):
            section = None
        elif line.startswith("# --- Makefile Target-scoped"):
            section = "scoped"
        elif line.startswith("# --- Options File Target-scoped"):
            section = None
        elif section in ("targets", "special") and line.startswith("\t"):
            if target and not SPECIAL.match(target):
                out.append("recipe %s : %s" % (target, line.strip()))
        elif section in ("targets", "special") and "\t:" in line:
            target, _, rest = line.partition("\t")
            m = re.match(r"^(::?)(.*)$", rest)
            if not SPECIAL.match(target):
                kind = "pattern" if section == "special" else "rule"
                out.append(kind + " " + rule_line(target, m.group(1), m.group(2)))
        elif section == "special" and line.endswith(":") and not line.startswith("#"):
            target = line[:-1]
        elif section == "macros":
            m = re.match(r"^(\S+) = (.*)$", line)
            if m:
                value = [m.group(2)]
                while i + 1 < len(lines) and lines[i + 1] and \
                        not re.match(r"^\S+ = ", lines[i + 1]) and \
                        not lines[i + 1].startswith("# ---"):
                    i += 1
                    value.append(lines[i])
                if m.group(1) in names:
                    out.append("var %s = %s" % (m.group(1), blanks("\n".join(value))))
        elif section == "scoped":
            m = re.match(r"^(\S+) := (\S+) (\S+) ?(.*)$", line)
            if m:
                out.append("tvar %s %s = %s" % (m.group(1), m.group(2), blanks(m.group(4))))
        i += 1
    return out


def rule_target(line):
    """The target of a "rule" line of a single-colon rule, else None."""
    m = re.match(r"^rule (.*?) : ", line + " ")
    return m.group(1) if m else None


def recipe_target(line):
    """The target of a "recipe" line, else None."""
    m = re.match(r"^recipe (.*?) : ", line)
    return m.group(1) if m else None


def run(argv, cwd, env):
    return subprocess.run(argv, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)


def main():
    argv = sys.argv[1:]
    gmake = None
    if argv[:1] == ["--elaborate"] and len(argv) > 1:
        gmake = os.path.abspath(argv[1])
        argv = argv[2:]
    if len(argv) != 3:
        print(__doc__.split("\n\n")[-2], file=sys.stderr)
        return 2
    make, tolvick, source = (os.path.abspath(p) for p in argv)
    work = tempfile.mkdtemp(prefix="gnu_db.")
    try:
        tree = os.path.join(work, "tree")
        shutil.copytree(source, tree)
        env = {"PATH": "/usr/bin:/bin", "HOME": work, "LANG": "C"}
        # A goal that no makefile names: make prints the database as read, without first
        # updating the default goal (which would add what implicit-rule and vpath searches
        # found to the entries).
        made = run([make, "-p", "-q", "-r", NO_GOAL], tree, env)
        if made.returncode != 2 or made.stderr.strip() != \
                "make: *** No rule to make target '%s'.  Stop." % NO_GOAL:
            print("make failed:\n" + made.stderr)
            return 2
        tolvick_argv = [tolvick, "-C", "gnu", "-p", "-r"]
        if gmake:
            elaborated = run([gmake, "-E"], tree, env)
            if elaborated.returncode != 0:
                print("the preprocessor failed:\n" + elaborated.stderr)
                return 2
            with open(os.path.join(work, "elaborated.mk"), "w") as f:
                f.write(elaborated.stdout)
            tolvick_argv += ["-f", os.path.join(work, "elaborated.mk")]
        printed = run(tolvick_argv, tree, env)
        if printed.returncode != 0:
            print("tolvick failed:\n" + printed.stderr)
            return 2
        # (make looks for rules to remake the makefiles, whatever the goal.)
        expected = [l for l in read_make(made.stdout) if not l.startswith("searched ")]
        names = {l.split()[1] for l in expected if l.startswith("var ")}
        got = read_tolvick(printed.stdout, names)
        # tolvick prints a target without a recipe of its own with the recipe that the rule
        # lookup found for it; make finds it when it updates the target. Such recipes are
        # compared with those of a run of make that updates the default goal; a target that
        # run did not reach is compared without its recipe.
        updated = run([make, "-p", "-q", "-r"], tree, env)
        inferred = read_make(updated.stdout) if updated.returncode in (0, 1) else []
        searched = {l.split(" ", 1)[1] for l in inferred if l.startswith("searched ")}
        with_recipe = {recipe_target(l) for l in expected if l.startswith("recipe ")}
        for line in expected[:]:
            target = rule_target(line)
            if target is None or target in with_recipe:
                continue
            if target in searched:
                expected += [l for l in inferred if recipe_target(l) == target]
            else:
                got = [l for l in got if recipe_target(l) != target]
        if sorted(expected) == sorted(got):
            return 0
        sys.stdout.writelines(difflib.unified_diff(
            [l + "\n" for l in sorted(expected)], [l + "\n" for l in sorted(got)],
            "make -p -q -r", "tolvick -C gnu -p -r"))
        return 1
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    sys.exit(main())
