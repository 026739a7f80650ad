"""The commands of the administrator's documents: for the tests that run them as written, and for
the check that no command goes untested without saying so.

The operator's guide (packaging/doc/operators-guide.md) is Markdown. Each fenced block names its
kind after the fence. Commands are in blocks of the kinds sh (lines run as root), console
(commands after "$ ", followed by their output) and cron (cron lines: five time fields, a user, a
command); the kinds ini, text, nginx, systemd and fstab hold no command. A command block either
carries the line "<!-- test: NAME -->" right above its fence, and the package test runs it from
the guide it installs ("guide_run NAME" in scripts/package-test.sh), or its first line says
"# not run by the tests: REASON", visible to the reader.

IIS.txt (packaging/windows/IIS.txt) is plain text for Windows. A command is a line "> COMMAND"
(after the step's indentation); consecutive command lines form a group. A group is marked by
"(not run by the tests: REASON)" ending the line above it; the archive test runs every other
group under Wine, as written.

Usage:
  guide_blocks.py script GUIDE NAME [--replace FROM TO]...  bash script that runs block NAME
  guide_blocks.py names GUIDE                                the named blocks, one a line
  guide_blocks.py unrun GUIDE RAN...                         named blocks not among RAN (exit 1
                                                             when there is one)
  guide_blocks.py check [--root DIR]                         the static check of the sources
"""

import argparse
import os
import re
import shlex
import sys

COMMAND_KINDS = ("sh", "console", "cron")
OTHER_KINDS = ("ini", "text", "nginx", "systemd", "fstab")
NAME_LINE = re.compile(r"^<!-- test: ([a-z0-9-]+) -->$")
MARK_LINE = re.compile(r"^# not run by the tests(?: as written)?: \S")
IIS_COMMAND = re.compile(r"^\s*> (\S.*)$")
IIS_MARK = re.compile(r"\(not run by the tests: [^)]+\):?\s*$")
RUNNER_CALL = re.compile(r"\bguide_run\s+([a-z0-9-]+)")
PLACEHOLDER = re.compile(r"@([A-Z_]+)@")
# Programs whose name opens a command an administrator would type: an inline mention of one in
# the guide's text must be (part of) a command of some block, so that it is run or marked too.
COMMAND_WORDS = ("a2disconf", "a2dismod", "a2enconf", "a2enmod", "apt-get", "cp", "curl", "dpkg",
                 "gluster", "journalctl", "lighty-enable-mod", "mount", "pgrep", "rm", "runuser",
                 "sed", "service", "start-stop-daemon", "systemctl", "tar", "vendrel-logd",
                 "vendrel-quarantine", "vendrel-sign")
INLINE_CODE = re.compile(r"`([^`]+)`")


class GuideError(Exception):
    pass


class Block:
    def __init__(self, kind, name, lines, line_number):
        self.kind = kind
        self.name = name
        self.lines = lines
        self.line_number = line_number

    def is_commands(self):
        return self.kind in COMMAND_KINDS

    def marked(self):
        return bool(self.lines) and MARK_LINE.match(self.lines[0]) is not None

    def mark(self):
        """The reason a marked block gives, over as many leading comment lines as it takes."""
        words = []
        for line in self.lines:
            if not line.startswith("# "):
                break
            words.append(line[2:])
        return " ".join(words)

    def commands(self):
        """The command lines, a continued line (ending in a backslash) joined to the next."""
        if self.kind == "console":
            return [l[2:] for l in self.lines if l.startswith("$ ")]
        if self.kind == "cron":
            return [" ".join(l.split()[6:]) for l in self.lines
                    if l.strip() and not l.lstrip().startswith("#")]
        out, pending = [], ""
        for line in self.lines:
            if not pending and (not line.strip() or line.lstrip().startswith("#")):
                continue
            if line.endswith("\\"):
                pending += line[:-1].rstrip() + " "
                continue
            out.append(pending + line.strip())
            pending = ""
        if pending:
            out.append(pending.strip())
        return out


def parse_guide(text):
    """The fenced blocks of a Markdown guide, in order. Raises GuideError on a fence left open
    or a block without a kind."""
    blocks = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.startswith("```"):
            i += 1
            continue
        kind = line[3:].strip()
        start = i + 1
        if not kind:
            raise GuideError("line %d: a block without a kind after its fence" % start)
        name_match = NAME_LINE.match(lines[i - 1]) if i > 0 else None
        j = start
        while j < len(lines) and lines[j] != "```":
            j += 1
        if j == len(lines):
            raise GuideError("line %d: the block is never closed" % start)
        blocks.append(Block(kind, name_match.group(1) if name_match else None, lines[start:j],
                            start))
        i = j + 1
    return blocks


def named_block(blocks, name):
    found = [b for b in blocks if b.name == name]
    if not found:
        raise GuideError("no block named %s" % name)
    return found[0]


def block_script(block, replacements=()):
    """The bash script that runs a block as the package test does: sh as written; each console
    command, which may end with status 0 or 1 but not with a usage error (2) or worse; each cron
    line's command by /bin/sh as its user. Every FROM of replacements must occur in the block."""
    text = "\n".join(block.lines)
    for old, new in replacements:
        if old not in text:
            raise GuideError("block %s does not hold %r" % (block.name, old))
    lines = block.lines
    for old, new in replacements:
        lines = [l.replace(old, new) for l in lines]
    changed = Block(block.kind, block.name, lines, block.line_number)
    out = ["# block %s of the operator's guide (line %d)" % (block.name, block.line_number),
           "set -e"]
    if block.kind == "sh":
        out += lines
    elif block.kind == "console":
        for command in changed.commands():
            out.append("echo %s" % shlex.quote("$ " + command))
            out.append("{ %s\n} || [ $? -eq 1 ]" % command)
    elif block.kind == "cron":
        for line in lines:
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            fields = line.split(None, 6)
            if len(fields) < 7:
                raise GuideError("block %s: a cron line needs five times, a user and a command"
                                 % block.name)
            user, command = fields[5], fields[6]
            run = ["/bin/sh", "-c", command]
            if user != "root":
                run = ["runuser", "-u", user, "--"] + run
            out.append(" ".join(shlex.quote(w) for w in run))
    else:
        raise GuideError("block %s of kind %s holds no commands" % (block.name, block.kind))
    return "\n".join(out) + "\n"


def iis_groups(text):
    """[(marked, [commands], line number)] of IIS.txt's command groups."""
    groups = []
    previous = ""
    current = None
    for number, line in enumerate(text.splitlines(), 1):
        found = IIS_COMMAND.match(line)
        if found:
            if current is None:
                current = (IIS_MARK.search(previous) is not None, [], number)
                groups.append(current)
            current[1].append(found.group(1).strip())
        else:
            current = None
        previous = line
    return groups


def read(path):
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


def known_setting_keys(root):
    """The server.ini keys that vendrel-quarantine check knows, from its source."""
    text = read(os.path.join(root, "tools", "vendrel-quarantine", "cmd_check.cpp"))
    found = re.search(r"kKnownKeys\[\]\s*=\s*\{(.*?)\};", text, re.S)
    if not found:
        raise GuideError("cmd_check.cpp: no kKnownKeys list")
    return re.findall(r'"([A-Za-z_]+)"', found.group(1))


def check_sources(root):
    """The static check: (problems, summary lines)."""
    problems = []
    summary = []
    guide_path = os.path.join(root, "packaging", "doc", "operators-guide.md")
    guide = read(guide_path)
    try:
        blocks = parse_guide(guide)
    except GuideError as e:
        return ["operators-guide.md: %s" % e], summary
    runner = read(os.path.join(root, "scripts", "package-test.sh"))
    called = set(RUNNER_CALL.findall(runner))

    names = {}
    run_lines = 0
    marked_lines = []
    for block in blocks:
        where = "operators-guide.md line %d" % block.line_number
        if block.kind not in COMMAND_KINDS + OTHER_KINDS:
            problems.append("%s: unknown block kind %r" % (where, block.kind))
            continue
        if not block.is_commands():
            if block.name:
                problems.append("%s: a %s block holds no commands to run, but is named %s"
                                % (where, block.kind, block.name))
            continue
        commands = block.commands()
        if not commands:
            problems.append("%s: a %s block with no command" % (where, block.kind))
        if block.name and block.marked():
            problems.append("%s: block %s is both run by the tests and marked as not run"
                            % (where, block.name))
        elif block.name:
            if block.name in names:
                problems.append("%s: the name %s is taken by the block at line %d"
                                % (where, block.name, names[block.name].line_number))
            names[block.name] = block
            if block.name not in called:
                problems.append("%s: block %s is named for the tests, but "
                                "scripts/package-test.sh never runs it (guide_run %s)"
                                % (where, block.name, block.name))
            run_lines += len(commands)
        elif block.marked():
            marked_lines += [(c, block.mark()) for c in commands]
        else:
            problems.append("%s: commands that no test runs and no mark explains: %s"
                            % (where, "; ".join(commands)))
    # Commands named in the text: each is (part of) a command of a block, or a pattern ("...").
    block_commands = [" ".join(c.split()) for b in blocks if b.is_commands() for c in b.commands()]
    prose = re.sub(r"^```.*?^```$", "", guide, flags=re.S | re.M)
    for span in INLINE_CODE.findall(prose):
        words = span.split()
        if len(words) < 2 or words[0] not in COMMAND_WORDS or "..." in span or "<" in span:
            continue
        if not any(" ".join(words) in c for c in block_commands):
            problems.append("operators-guide.md: the command `%s` in the text is in no block, "
                            "so it is neither run by the tests nor marked" % span)
    for name in sorted(called - set(names)):
        problems.append("scripts/package-test.sh runs guide block %s, which the guide lacks"
                        % name)
    summary.append("operators-guide.md: %d command lines in %d blocks run by the package test, "
                   "%d marked as not run" % (run_lines, len(names), len(marked_lines)))
    for command, mark in marked_lines:
        summary.append("  not run: %s  (%s)" % (command, mark))

    # IIS.txt: every group marked, or made of commands that Wine runs as written.
    iis = read(os.path.join(root, "packaging", "windows", "IIS.txt"))
    groups = iis_groups(iis)
    runnable = re.compile(r"^(C:\\Vendrel\\cgi\\bin\\vendrel-[a-z]+\.exe|sc) ")
    if not groups:
        problems.append("IIS.txt: no command lines (\"> COMMAND\")")
    for marked, commands, number in groups:
        if marked:
            continue
        for command in commands:
            if not runnable.match(command):
                problems.append("IIS.txt line %d: %s is neither marked as not run nor one "
                                "that the archive test runs under Wine" % (number, command))
    summary.append("IIS.txt: %d command groups, %d marked as not run"
                   % (len(groups), len([g for g in groups if g[0]])))

    # The examples explain each placeholder at their top, and the guide names each of them.
    examples_dir = os.path.join(root, "packaging", "security")
    for name in sorted(os.listdir(examples_dir)):
        text = read(os.path.join(examples_dir, name))
        lines = text.splitlines()
        header = []
        for line in lines:
            if not line.startswith("#"):
                break
            header.append(line)
        body = "\n".join(l for l in lines[len(header):] if not l.lstrip().startswith("#"))
        explained = {m.group(1) for l in header for m in [re.match(r"^#\s+@([A-Z_]+)@\s", l)] if m}
        for used in sorted(set(PLACEHOLDER.findall(body))):
            if used not in explained:
                problems.append("%s: @%s@ is not explained at its top" % (name, used))
            if "`@%s@`" % used not in guide:
                problems.append("operators-guide.md does not explain @%s@ of %s" % (used, name))
        if name not in guide:
            problems.append("operators-guide.md does not name the example %s" % name)

    # Every setting is documented where an administrator looks for it.
    keys = known_setting_keys(root)
    places = {"man/vendrel.8": os.path.join(root, "packaging", "man", "vendrel.8"),
              "operators-guide.md": guide_path,
              "server.ini": os.path.join(root, "packaging", "server.ini"),
              "windows/server.ini": os.path.join(root, "packaging", "windows", "server.ini")}
    for place, path in places.items():
        text = read(path)
        for key in keys:
            if key not in text:
                problems.append("%s does not document the setting %s" % (place, key))
    for page in ("vendrel(8)", "vendrel-logd(8)", "vendrel-quarantine(8)", "vendrel-sign(1)"):
        if "`%s`" % page not in guide:
            problems.append("operators-guide.md does not point to %s" % page)
    return problems, summary


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="action", required=True)
    script = sub.add_parser("script")
    script.add_argument("guide")
    script.add_argument("name")
    script.add_argument("--replace", nargs=2, action="append", default=[],
                        metavar=("FROM", "TO"))
    names = sub.add_parser("names")
    names.add_argument("guide")
    unrun = sub.add_parser("unrun")
    unrun.add_argument("guide")
    unrun.add_argument("ran", nargs="*")
    check = sub.add_parser("check")
    check.add_argument("--root", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    args = parser.parse_args(argv)
    try:
        if args.action == "check":
            problems, summary = check_sources(os.path.abspath(args.root))
            print("\n".join(summary))
            for problem in problems:
                print("PROBLEM: " + problem)
            return 1 if problems else 0
        blocks = parse_guide(read(args.guide))
        if args.action == "script":
            sys.stdout.write(block_script(named_block(blocks, args.name), args.replace))
        elif args.action == "names":
            print("\n".join(b.name for b in blocks if b.name))
        else:
            missing = [b.name for b in blocks if b.name and b.name not in set(args.ran)]
            print("\n".join(missing))
            return 1 if missing else 0
    except GuideError as e:
        print("guide_blocks: %s" % e, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
