#!/usr/bin/env python3
"""Generates docs/configuration.md, the reference of every command-line flag.

The flags are read from the built binaries: the host is run with the
component loaded (a manifest that names only the library) and --helpxml, so
the names, types, defaults and help texts are exactly what the program
takes. The prose around them (what a flag is for beyond its help text, what
it depends on, which combinations stop start-up) comes from the hand-kept
notes file scripts/flag_notes.md. Every flag of the host and the component
must have an entry there, and every entry must name a flag that exists: a
flag added without a note, or a note left for a removed flag, is an error.
Flags of the logging and flag libraries are listed in a table at the end
unless the notes describe them.

  scripts/flag_reference.py --write    # regenerate docs/configuration.md
  scripts/flag_reference.py --check    # exit 1 with a diff when it is stale
  scripts/flag_reference.py --stdout   # print the generated text

--host and --component name other binaries (default: the release build).
"""

import argparse
import difflib
import json
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Source folders whose flags are the host's or the component's; each of
# those flags needs a note.
OWN_SOURCES = re.compile(r"(?:^|/)(src/(?:vel|common|leaderboard|database)/.*)$")


class FlagError(Exception):
    pass


def read_flags(host, component):
    """Returns {name: flag dict} as the host reports them with --helpxml."""
    with tempfile.TemporaryDirectory() as scratch:
        manifest = os.path.join(scratch, "manifest.json")
        with open(manifest, "w") as out:
            # No "flags": manifest flags would change the defaults shown.
            json.dump({"name": "PlemoxLeaderboardServer",
                       "library": os.path.abspath(component)}, out)
        # A clean environment: the logging library takes some defaults from
        # GLOG_* and GOOGLE_* variables.
        environment = {"PATH": "/usr/bin:/bin", "LANG": "C"}
        run = subprocess.run([host, "--manifest=" + manifest, "--helpxml"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=environment, cwd=scratch, timeout=60)
    text = run.stdout.decode("utf-8", "replace")
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        raise FlagError("%s --helpxml gave no flag list (exit %d): %s\n%s" %
                        (host, run.returncode, error,
                         run.stderr.decode("utf-8", "replace")[-2000:]))
    flags = {}
    for element in root.iter("flag"):
        flag = {key: (element.findtext(key) or "").strip()
                for key in ("file", "name", "meaning", "default", "type")}
        flag["meaning"] = " ".join(flag["meaning"].split())
        match = OWN_SOURCES.search(flag["file"])
        flag["own"] = match is not None
        flag["source"] = match.group(1) if match else flag["file"]
        flags[flag["name"]] = flag
    if not any(flag["own"] for flag in flags.values()):
        raise FlagError("no host or component flag found in %s --helpxml" %
                        host)
    return flags


def read_notes(path):
    """Parses the notes file into a list of (kind, argument, body) blocks.

    A block starts with a line '# text NAME', '# group TITLE' or
    '# flag NAME' outside a code fence; everything up to the next such line
    is its body (Markdown). Lines before the first block are comments.
    """
    blocks = []
    fenced = False
    with open(path) as notes:
        for line in notes:
            if line.startswith("```"):
                fenced = not fenced
            match = None if fenced else re.match(
                r"^# (text|group|flag) (.+?)\s*$", line)
            if match:
                blocks.append([match.group(1), match.group(2), []])
            elif blocks:
                blocks[-1][2].append(line)
    return [(kind, argument, "".join(body).strip("\n"))
            for kind, argument, body in blocks]


def plain(text):
    """Help text as Markdown prose: angle brackets would read as HTML."""
    return text.replace("<", "&lt;").replace(">", "&gt;")


def code(text):
    return "`%s`" % text if text else "(empty)"


def describe(flag):
    kind = flag["type"]
    default = flag["default"]
    if kind == "string":
        shown = code(default)
    else:
        shown = "`%s`" % default
    return "Type %s, default %s" % (kind, shown)


def render(flags, blocks):
    problems = []
    described = set()
    lines = []
    for kind, argument, body in blocks:
        if kind == "text":
            lines += [body, ""]
        elif kind == "group":
            lines += ["## " + argument, ""]
            if body:
                lines += [body, ""]
        else:
            flag = flags.get(argument)
            if flag is None:
                problems.append("the notes describe --%s, which no binary "
                                "defines" % argument)
                continue
            if argument in described:
                problems.append("the notes describe --%s twice" % argument)
            described.add(argument)
            if not body:
                problems.append("the note of --%s is empty" % argument)
            lines += ["### `--%s`" % argument, "",
                      "%s. Help: %s" % (describe(flag), plain(flag["meaning"])), ""]
            if body:
                lines += [body, ""]
    missing = sorted(name for name, flag in flags.items()
                     if flag["own"] and name not in described)
    for name in missing:
        problems.append("--%s (%s) has no note in scripts/flag_notes.md" %
                        (name, flags[name]["source"]))
    if problems:
        raise FlagError("\n".join(problems))

    others = sorted((flag for flag in flags.values()
                     if not flag["own"] and flag["name"] not in described),
                    key=lambda flag: flag["name"])
    if others:
        lines += ["## Flags of the logging and flag libraries", "",
                  "The host links glog and gflags; their other flags work "
                  "as those libraries document them.", "",
                  "| Flag | Type | Default | Help |", "|---|---|---|---|"]
        for flag in others:
            lines.append("| `--%s` | %s | %s | %s |" % (
                flag["name"], flag["type"], code(flag["default"]),
                plain(flag["meaning"]).replace("|", "\\|")))
        lines.append("")
    header = ("<!-- Generated by scripts/flag_reference.py from the built "
              "binaries and scripts/flag_notes.md; do not edit by hand. -->")
    return "\n".join([header, ""] + lines).rstrip("\n") + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    build = os.path.join(ROOT, "build", "release")
    parser.add_argument("--host", default=os.path.join(build, "bin",
                                                       "plemox_host"))
    parser.add_argument("--component", default=os.path.join(
        build, "lib", "libplemox-leaderboard.so"))
    parser.add_argument("--notes", default=os.path.join(
        ROOT, "scripts", "flag_notes.md"))
    parser.add_argument("--output", default=os.path.join(
        ROOT, "docs", "configuration.md"))
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--write", action="store_true")
    mode.add_argument("--check", action="store_true")
    mode.add_argument("--stdout", action="store_true")
    args = parser.parse_args()

    try:
        text = render(read_flags(args.host, args.component),
                      read_notes(args.notes))
    except (FlagError, OSError, subprocess.SubprocessError) as error:
        print("flag_reference: %s" % error, file=sys.stderr)
        return 1
    if args.stdout:
        sys.stdout.write(text)
        return 0
    if args.write:
        with open(args.output, "w") as out:
            out.write(text)
        return 0
    try:
        with open(args.output) as current_file:
            current = current_file.read()
    except OSError:
        current = ""
    if current == text:
        print("flag_reference: %s matches the binaries" % args.output)
        return 0
    sys.stdout.writelines(difflib.unified_diff(
        current.splitlines(True), text.splitlines(True),
        args.output, "generated from the binaries"))
    print("flag_reference: %s is out of date; run scripts/flag_reference.py "
          "--write and commit it" % args.output, file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
