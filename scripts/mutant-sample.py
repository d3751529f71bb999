#!/usr/bin/env python3
"""Generates faults mechanically for scripts/mutants --sample.

Prints one fault a line: file:line and the change <TAB> file <TAB> line number <TAB> the line with the fault.
The faults are drawn by the seed from every candidate in the C++ and JavaScript sources (or
only in the lines changed since a revision), so nobody can aim the tests at them.
"""
import argparse
import hashlib
import re
import subprocess
import sys
from pathlib import Path

SOURCES = ("src", "viewer-site/public")
SUFFIXES = {".cpp", ".h", ".mjs", ".js", ".html"}

# Binary operators as clang-format and the JavaScript sources space them: never part of a
# template argument list, a stream, an arrow or an include.
SWAPS = [
    (" == ", " != "), (" != ", " == "), (" === ", " !== "), (" !== ", " === "),
    (" < ", " <= "), (" <= ", " < "), (" > ", " >= "), (" >= ", " > "),
    (" && ", " || "), (" || ", " && "),
]
NOT = re.compile(r"(?<![!=<>\w)\]])!(?=[\w(*])")
RETURN_BOOL = re.compile(r"\breturn (true|false);")
INTEGER = re.compile(r"(?<![\w.\"'])(\d+)(?![\w.'\"])")
STATEMENT_END = re.compile(r";\s*(//.*)?$")
DELETABLE = re.compile(r"^\s*(return\b|continue;|break;|[\w:.>\-\[\]*]+\s*(=|\+=|-=|\|=|\(|\+\+|--))")


def code_part(line):
    """The line with string and character literals blanked and a trailing comment removed."""
    blanked = re.sub(r'"(\\.|[^"\\])*"|\'(\\.|[^\'\\])*\'|`[^`]*`', lambda m: " " * len(m.group(0)), line)
    comment = blanked.find("//")
    return blanked if comment < 0 else blanked[:comment]


def is_skipped(line):
    stripped = line.strip()
    return (not stripped or stripped.startswith(("//", "#", "*", "/*", "static_assert"))
            or "constexpr" in stripped or "import " in stripped)


def faults_in_line(line):
    code = code_part(line)
    for old, new in SWAPS:
        for match in re.finditer(re.escape(old), code):
            yield ("swap", line[:match.start()] + new + line[match.end():])
    for match in NOT.finditer(code):
        yield ("not", line[:match.start()] + line[match.end():])
    for match in RETURN_BOOL.finditer(code):
        flipped = "false" if match.group(1) == "true" else "true"
        yield ("bool", line[:match.start(1)] + flipped + line[match.end(1):])
    for match in INTEGER.finditer(code):
        value = int(match.group(1))
        for changed in (value + 1, value - 1):
            if changed >= 0:
                yield ("int", line[:match.start()] + str(changed) + line[match.end():])


def deletable(lines, at):
    line = lines[at]
    if not STATEMENT_END.search(code_part(line)) or not DELETABLE.match(code_part(line)):
        return False
    # Only statements standing on one line: the line before ends one or opens a block.
    before = code_part(lines[at - 1]).rstrip() if at > 0 else ""
    return before == "" or before.endswith((";", "{", "}")) or lines[at - 1].strip().startswith("//")


def candidates(path, wanted_lines):
    lines = path.read_text(encoding="utf-8", errors="replace").split("\n")
    for at, line in enumerate(lines):
        if (wanted_lines is not None and at + 1 not in wanted_lines) or is_skipped(line):
            continue
        for kind, mutated in faults_in_line(line):
            yield kind, at + 1, mutated
        if deletable(lines, at):
            indent = line[:len(line) - len(line.lstrip())]
            yield "delete", at + 1, indent + ";" if path.suffix in (".cpp", ".h") else indent


def changed_lines(repository, since, rev):
    """Each file changed from SINCE to REV, with the numbers of its changed lines at REV."""
    diff = subprocess.run(["git", "-C", repository, "diff", "-U0", since, rev, "--", *SOURCES],
                          check=True, capture_output=True, text=True).stdout
    changed, current = {}, None
    for line in diff.splitlines():
        if line.startswith("+++ "):
            current = None if line.endswith("/dev/null") else line[6:]
            if current:
                changed.setdefault(current, set())
        elif line.startswith("@@") and current:
            start, _, count = re.search(r"\+(\d+)(,(\d+))?", line).groups()
            count = 1 if count is None else int(count)
            changed[current].update(range(int(start), int(start) + count))
    return changed


def excluded(root):
    """Equivalent faults, judged by reading: file, the line as it is, the line with the fault."""
    path = Path(root) / "scripts/mutants-equivalent.tsv"
    if not path.exists():
        return set()
    rows = set()
    for row in path.read_text(encoding="utf-8").splitlines():
        if row and not row.startswith("#"):
            file, original, mutated = row.split("\t")[:3]
            rows.add((file, original.strip(), mutated.strip()))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--since")
    parser.add_argument("--rev", default="HEAD")
    parser.add_argument("--repository", default=".")
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--in", dest="folders", nargs="*", default=list(SOURCES))
    args = parser.parse_args()

    if args.since:
        files = changed_lines(args.repository, args.since, args.rev)
    else:
        files = {}
        for folder in SOURCES:
            for path in sorted((Path(args.root) / folder).rglob("*")):
                if path.is_file():
                    files[str(path.relative_to(args.root))] = None
    files = {name: lines for name, lines in files.items()
             if any(name.startswith(folder.rstrip("/") + "/") for folder in args.folders)}
    skip = excluded(args.root)
    pool = []
    for name, wanted in sorted(files.items()):
        path = Path(args.root) / name
        if path.suffix not in SUFFIXES or not path.is_file():
            continue
        lines = path.read_text(encoding="utf-8", errors="replace").split("\n")
        for kind, number, mutated in candidates(path, wanted):
            original = lines[number - 1].strip()
            if (name, original, mutated.strip()) not in skip:
                change = f"deleted {original}" if kind == "delete" else mutated.strip()
                # Drawn by a key of the seed and the fault's own text, so a seed draws the same
                # faults again after other lines change or a fault is found equivalent.
                key = hashlib.sha256(f"{args.seed}\t{name}\t{original}\t{mutated}".encode()).hexdigest()
                pool.append((key, number, f"{name}:{number}: {change}".replace("\t", " "), name, number, mutated))
    chosen = [fault[2:] for fault in sorted(pool)[:args.count]]
    print(f"{len(pool)} candidate faults, {len(chosen)} drawn", file=sys.stderr)
    for fault in sorted(chosen, key=lambda f: (f[1], f[2])):
        print("\t".join(str(part) for part in fault))


if __name__ == "__main__":
    main()
