#!/usr/bin/env python3
"""Checks the manual page quenlowftp(1) against the program it describes.

Usage: check_manpage.py PROGRAM PAGE

  1. groff formats the page without a warning (exit status 77, "skipped", without groff),
     and no line of it is wider than an 80-column terminal (an example that runs off the
     screen); mandoc -Tlint, when mandoc is installed, reports nothing above the style level.
  2. Every command, alias, argument and long option that "PROGRAM --help" and the --help of
     every command and sub-command list is in the page, in its place: the top-level options
     under OPTIONS; for every command, a SYNOPSIS entry that names its own options, and an
     entry under COMMANDS whose text names its options, arguments and aliases.
  3. Every setting that SETTINGS describes ("NAME (default VALUE)") is one that
     "PROGRAM config list" shows, with that default, for an empty configuration folder.
  4. The exit statuses that EXIT STATUS gives for a usage error and for help are the
     program's.

The program runs with HOME in a temporary folder, so it never sees the caller's settings.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77

HELP_SECTION = re.compile(r"^(Options|Subcommands|Positionals):\s*$")
HELP_OPTION = re.compile(r"^  (?:-\w,)?(--[A-Za-z0-9][\w-]*)")
HELP_POSITIONAL = re.compile(r"^  ([A-Z][A-Z0-9_]*)\b")
HELP_SUBCOMMAND = re.compile(r"^  (\S+(?:, \S+)*)(?:\s{2,}|$)")


def word_pattern(word):
    """The word on its own: not part of a longer option, name or placeholder."""
    return re.compile(r"(?<![\w-])" + re.escape(word) + r"(?![\w-])")


def has_word(text, word):
    return word_pattern(word).search(text) is not None


# ---- the program's help ----


class Command:
    def __init__(self, path):
        self.path = path  # the words after the program name, () for the program itself
        self.options = []  # long options, in the order the help lists them
        self.positionals = []
        self.children = []  # (name, aliases)

    def spoken(self):
        return " ".join(self.path)

    def child_names(self):
        names = set()
        for name, aliases in self.children:
            names.add(name)
            names.update(aliases)
        return names


def parse_help(path, text):
    command = Command(path)
    section = None
    for line in text.splitlines():
        heading = HELP_SECTION.match(line)
        if heading:
            section = heading.group(1)
            continue
        if not line.strip() or not line.startswith(" "):
            section = None
            continue
        if not line.startswith("  ") or line.startswith("   "):
            continue  # a description's continuation
        if section == "Options":
            option = HELP_OPTION.match(line)
            if option:
                command.options.append(option.group(1))
        elif section == "Positionals":
            positional = HELP_POSITIONAL.match(line)
            if positional:
                command.positionals.append(positional.group(1))
        elif section == "Subcommands":
            entry = HELP_SUBCOMMAND.match(line)
            if entry:
                names = entry.group(1).split(", ")
                command.children.append((names[0], names[1:]))
    return command


def run(arguments, env, cwd):
    return subprocess.run(arguments, env=env, cwd=cwd, capture_output=True, text=True,
                          timeout=60)


def read_commands(program, env, cwd, failures):
    """Every command of the program, from its help, by path."""
    commands = {}
    pending = [()]
    while pending:
        path = pending.pop(0)
        result = run([program, *path, "--help"], env, cwd)
        if result.returncode != 0 or not result.stdout.strip():
            failures.append("\"%s\" exits with %d and prints %r" %
                            (" ".join(["quenlowftp", *path, "--help"]), result.returncode,
                             (result.stdout + result.stderr)[:200]))
            continue
        command = parse_help(path, result.stdout)
        commands[path] = command
        pending.extend(path + (name,) for name, _ in command.children)
    return commands


# ---- the page ----


def check_formatters(page, failures):
    """False when groff is missing."""
    if shutil.which("groff") is None:
        return False
    for device in ([], ["-Tutf8"]):
        result = subprocess.run(["groff", "-ww", "-z", "-man", *device, page],
                                capture_output=True, text=True, timeout=60)
        output = (result.stdout + result.stderr).strip()
        if output or result.returncode != 0:
            failures.append("groff -ww -z -man %s warns (status %d):\n%s" %
                            (" ".join(device), result.returncode, output))
    if shutil.which("mandoc") is None:
        print("note: mandoc is not installed; its lint check is left out")
    else:
        result = subprocess.run(["mandoc", "-Tlint", page], capture_output=True, text=True,
                                timeout=60)
        lines = [line for line in (result.stdout + result.stderr).splitlines()
                 if line.strip() and ": STYLE: " not in line]
        if lines:
            failures.append("mandoc -Tlint reports:\n" + "\n".join(lines))
    return True


def plain(text):
    """Rendered text without its fonts, with hyphens, minus signs and quotes as ASCII."""
    text = re.sub(r"\x1b\[[0-9;]*m", "", text)
    text = re.sub(r".\x08", "", text)
    for dash in "\u2010\u2011\u2212":
        text = text.replace(dash, "-")
    text = text.replace("\u00ad", "")
    text = text.replace("\u00a0", " ")
    for quote in "\u2018\u2019":
        text = text.replace(quote, "'")
    for quote in "\u201c\u201d":
        text = text.replace(quote, '"')
    return text


def groff_text(page, *registers):
    env = dict(os.environ, GROFF_NO_SGR="1", LC_ALL="C.UTF-8")
    result = subprocess.run(
        ["groff", "-man", "-Tutf8", "-rcR=1", *registers, "-P-c", "-P-b", "-P-u", "-P-o",
         page], capture_output=True, env=env, timeout=60)
    return plain(result.stdout.decode("utf-8", "replace"))


def check_width(page, failures):
    """At the width man gives a page on an 80-column terminal, nothing runs past column 80."""
    wide = [line for line in groff_text(page, "-rLL=78n").splitlines() if len(line) > 80]
    if wide:
        failures.append("lines wider than 80 columns on a terminal:\n" + "\n".join(wide))


def render(page):
    """The page as plain text lines, one line per paragraph or tag (a very long line length)."""
    return groff_text(page, "-rLL=3000n").splitlines()


def sections_of(lines):
    sections = {}
    current = None
    for line in lines:
        if re.match(r"^[A-Z][A-Z0-9 ]*$", line):
            current = line.strip()
            sections[current] = []
        elif current is not None:
            sections[current].append(line)
    return sections


def indent(line):
    return len(line) - len(line.lstrip(" "))


def block(lines, start):
    """The line at start and what is indented below it."""
    own = indent(lines[start])
    end = start + 1
    while end < len(lines) and (not lines[end].strip() or indent(lines[end]) > own):
        end += 1
    return "\n".join(lines[start:end])


def synopsis_entries(lines):
    entries = []
    start = 0
    for line in lines:
        if line.strip().startswith("quenlowftp"):
            entries.append(line.strip())
            start = indent(line)
        elif line.strip() and entries and indent(line) > start:
            entries[-1] += " " + line.strip()  # a wrapped entry
    return entries


def tokens(entry):
    return [t for t in re.split(r"[\s\[\]|{}()]+|\.\.\.", entry) if t]


def is_subsequence(words, sequence):
    position = 0
    for token in sequence:
        if position < len(words) and token == words[position]:
            position += 1
    return position == len(words)


def check_options_section(root, sections, failures):
    text = "\n".join(sections.get("OPTIONS", []))
    if not text:
        failures.append("the page has no OPTIONS section")
        return
    for option in root.options:
        if not has_word(text, option):
            failures.append("OPTIONS does not describe %s" % option)


def check_synopsis(commands, sections, failures):
    entries = synopsis_entries(sections.get("SYNOPSIS", []))
    if not entries:
        failures.append("the page has no SYNOPSIS entries starting with \"quenlowftp\"")
        return
    everything = " ".join(entries)
    for option in commands[()].options:
        if not has_word(everything, option):
            failures.append("SYNOPSIS does not show %s" % option)
    for path, command in commands.items():
        if not path:
            continue
        own = [o for o in command.options if o != "--help"]
        if command.children and not own:
            continue  # a group of commands: its commands' entries name it
        forms = [list(path)]
        parent = commands.get(path[:-1])
        if parent:
            for name, aliases in parent.children:
                if name == path[-1]:
                    forms += [list(path[:-1]) + [alias] for alias in aliases]
        for number, form in enumerate(forms):
            matching = [e for e in entries if is_subsequence(form, tokens(e)[1:])]
            if not matching:
                failures.append("SYNOPSIS has no entry for \"quenlowftp %s\"" % " ".join(form))
                continue
            if number > 0:
                continue  # an alias: its options are the command's, shown once
            best = min(matching, key=lambda e: sum(not has_word(e, o) for o in own))
            missing = [o for o in own if not has_word(best, o)]
            if missing:
                failures.append("SYNOPSIS of \"quenlowftp %s\" does not show %s" %
                                (" ".join(form), ", ".join(missing)))


def check_commands_section(commands, sections, failures):
    lines = sections.get("COMMANDS", [])
    if not lines:
        failures.append("the page has no COMMANDS section")
        return
    for path, command in commands.items():
        if not path:
            continue
        own = [o for o in command.options if o != "--help"]
        if command.children and not own:
            continue
        aliases = []
        parent = commands.get(path[:-1])
        if parent:
            for name, names in parent.children:
                if name == path[-1]:
                    aliases = names
        wanted = own + command.positionals + aliases
        spoken = command.spoken()
        children = command.child_names()
        candidates = []
        for number, line in enumerate(lines):
            text = line.strip()
            if text.startswith("quenlowftp "):
                text = text[len("quenlowftp "):]
            if not re.match(re.escape(spoken) + r"(?:$|[\s,|])", text):
                continue
            rest = text[len(spoken):].split()
            if rest and rest[0].strip(",|") in children:
                continue  # the entry of one of its commands
            candidates.append(block(lines, number))
        if not candidates:
            failures.append("COMMANDS has no entry for \"%s\"" % spoken)
            continue
        best = min(candidates, key=lambda b: sum(not has_word(b, w) for w in wanted))
        missing = [w for w in wanted if not has_word(best, w)]
        if missing:
            failures.append("the entry of \"%s\" in COMMANDS does not name %s" %
                            (spoken, ", ".join(missing)))


def check_everything_named(commands, lines, failures):
    """Every long option anywhere in the page, even where the checks above do not look."""
    text = "\n".join(lines)
    seen = set()
    for command in commands.values():
        for option in command.options:
            if option not in seen and not has_word(text, option):
                failures.append("the page never names %s" % option)
            seen.add(option)


# ---- settings and exit statuses ----


def documented_defaults(lines):
    """(name, default text) of every "NAME (default VALUE)" tag of SETTINGS."""
    found = []
    nonblank = [l for l in lines if l.strip()]
    if not nonblank:
        return found
    base = min(indent(l) for l in nonblank)
    for line in nonblank:
        if indent(line) != base:
            continue
        tag = re.match(r"^\s*(\w+(?:, \w+)*) \(default (.*)\)\s*$", line)
        if tag:
            for name in tag.group(1).split(", "):
                found.append((name, tag.group(2)))
    return found


def program_defaults(program, env, cwd, config_dir, failures):
    result = run([program, "--config-dir", config_dir, "config", "list"], env, cwd)
    if result.returncode != 0 or not result.stdout.strip():
        failures.append("\"quenlowftp config list\" exits with %d and prints %r" %
                        (result.returncode, (result.stdout + result.stderr)[:200]))
        return {}
    defaults = {}
    for line in result.stdout.splitlines():
        entry = re.match(r'^(\S+)\s+(?:"(.*?)"|\(hidden[^)]*\))(?:\s+\(default "(.*)"\))?\s*$',
                         line)
        if not entry:
            continue
        value = entry.group(3) if entry.group(3) is not None else entry.group(2)
        defaults[entry.group(1)] = value  # None: a secret that is not shown
    return defaults


def check_settings(program, env, cwd, home, config_dir, sections, failures):
    documented = documented_defaults(sections.get("SETTINGS", []))
    if not documented:
        failures.append("SETTINGS has no \"NAME (default VALUE)\" entries")
        return
    actual = program_defaults(program, env, cwd, config_dir, failures)
    if not actual:
        return  # said already
    unknown = []
    for name, text in documented:
        if name not in actual:
            unknown.append(name)
            continue
        if actual[name] is None:
            continue
        expected = "" if text == "empty" else text
        if expected.startswith("~/"):
            expected = home + expected[1:]
        if expected.startswith("config-dir/"):
            expected = config_dir + expected[len("config-dir"):]
        if expected != actual[name]:
            failures.append("SETTINGS gives %s the default %r; the program's is %r" %
                            (name, text, actual[name]))
    if unknown:
        failures.append("SETTINGS describes settings that \"quenlowftp config list\" does not "
                        "show: " + ", ".join(unknown))


def check_exit_statuses(program, env, cwd, sections, failures):
    lines = sections.get("EXIT STATUS", [])
    entries = {}
    for number, line in enumerate(lines):
        tag = re.match(r"^\s*(\d+)(?:\s|$)", line)
        if tag:
            entries[int(tag.group(1))] = block(lines, number)
    if not entries:
        failures.append("EXIT STATUS gives no numbered statuses")
        return
    for what, pattern, arguments in (
            ("a usage error", r"\busage\b", ["--no-such-option-anywhere"]),
            ("help", r"\bhelp\b", ["--help"])):
        said = [status for status, text in entries.items() if re.search(pattern, text, re.I)]
        status = run([program, *arguments], env, cwd).returncode
        if said != [status]:
            failures.append("EXIT STATUS gives %s for %s; the program exits with %d" %
                            (said or "nothing", what, status))


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    program, page = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if not os.path.isfile(page):
        print("FAIL: no page at %s" % page)
        return 1
    if not os.access(program, os.X_OK):
        print("FAIL: %s is not a program that can run" % program)
        return 1
    failures = []
    if not check_formatters(page, failures):
        print("SKIP: groff is not installed, so the page cannot be checked")
        return SKIP
    check_width(page, failures)
    lines = render(page)
    sections = sections_of(lines)
    with tempfile.TemporaryDirectory(prefix="quenlowftp-man-") as folder:
        home = os.path.join(folder, "home")
        config_dir = os.path.join(folder, "config")
        os.mkdir(home)
        env = dict(os.environ, HOME=home, LC_ALL="C.UTF-8")
        for name in ("XDG_CONFIG_HOME", "QUENLOWFTP_CONSOLE_PASSWORD", "DISPLAY",
                     "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            env.pop(name, None)
        commands = read_commands(program, env, folder, failures)
        if () in commands:
            check_options_section(commands[()], sections, failures)
            check_synopsis(commands, sections, failures)
            check_commands_section(commands, sections, failures)
            check_everything_named(commands, lines, failures)
        check_settings(program, env, folder, home, config_dir, sections, failures)
        check_exit_statuses(program, env, folder, sections, failures)
    if failures:
        print("FAIL: %s, checked against %s:" % (page, program))
        for failure in failures:
            print("  - " + failure.replace("\n", "\n    "))
        return 1
    options = {o for c in commands.values() for o in c.options}
    print("ok: %d commands and %d long options of %s are in %s" %
          (len(commands) - 1, len(options), os.path.basename(program), page))
    return 0


if __name__ == "__main__":
    sys.exit(main())
