#!/usr/bin/env python3
"""Fails when a source file of the master or the emulated slaves grows past
500 lines, or one of their functions past 80: the two rooms that the clock,
export and scanner work keeps adding to stay in parts that can be read whole.
A function that is a pure table (a switch of names, say) may be marked with a
comment line "// size: table" right above it.
Usage: scripts/check-sizes.py [SOURCE_DIR]"""
import re
import subprocess
import sys
from pathlib import Path

FOLDERS = ("master/", "emulator/")
MAX_FILE_LINES = 500
MAX_FUNCTION_LINES = 80
TABLE_MARK = "// size: table"


def blank_out(text):
    """The text with comments, string and character literals blanked,
    newlines kept, so that braces and parentheses in them do not count."""
    out, i, n = [], 0, len(text)
    while i < n:
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif text[i] == '"' and i > 0 and text[i - 1] == "R":
            m = re.match(r'"([^(]*)\(', text[i:])
            close = ")" + (m.group(1) if m else "") + '"'
            j = text.find(close, i)
            j = n if j < 0 else j + len(close)
        elif text[i] in "\"'":
            j = i + 1
            while j < n and text[j] != text[i]:
                j += 2 if text[j] == "\\" else 1
            j += 1
        else:
            out.append(text[i])
            i += 1
            continue
        out.append("".join(c if c == "\n" else " " for c in text[i:j]))
        i = j
    return "".join(out)


SIGNATURE_END = re.compile(r"\)\s*(?:const|noexcept|override|final|mutable|->\s*[\w:<>,\s*&]+|\s)*$")
SCOPE = re.compile(r"\b(?:namespace|class|struct|enum|union)\b[^;{}()]*$")
NOT_A_NAME = {"if", "for", "while", "switch", "catch", "return", "sizeof"}


def functions(text):
    """(first line, last line, name) of every function body outside another
    function body; lambdas and local blocks count with their function."""
    code = blank_out(text)
    found, stack, line = [], [], 1
    for i, c in enumerate(code):
        if c == "\n":
            line += 1
        elif c == "{":
            before = code[max(0, i - 600):i]
            if not any(kind == "fn" for kind, _, _ in stack) and SIGNATURE_END.search(before) \
                    and not SCOPE.search(before):
                close = before.rfind(")")
                depth, k = 0, close
                while k >= 0:
                    depth += {")": 1, "(": -1}.get(before[k], 0)
                    if depth == 0:
                        break
                    k -= 1
                m = re.search(r"([\w:~]+)\s*$", before[:max(k, 0)])
                name = m.group(1) if m else "?"
                if name not in NOT_A_NAME and k >= 0:
                    stack.append(("fn", line - before[k:].count("\n"), name))
                    continue
            stack.append(("block", line, ""))
        elif c == "}" and stack:
            kind, first, name = stack.pop()
            if kind == "fn":
                found.append((first, line, name))
    return found


def main():
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard",
                            "--", "*.cpp", "*.h"], cwd=root, capture_output=True, text=True,
                           check=True).stdout.split()
    failures = 0
    for name in files:
        if not name.startswith(FOLDERS) or not (root / name).exists():
            continue
        text = (root / name).read_text(errors="replace")
        lines = text.split("\n")
        if name.endswith(".cpp") and len(lines) - 1 > MAX_FILE_LINES:
            print(f"{name}: {len(lines) - 1} lines (at most {MAX_FILE_LINES})", file=sys.stderr)
            failures += 1
        for first, last, function in functions(text):
            length = last - first + 1
            marked = first >= 2 and lines[first - 2].strip() == TABLE_MARK
            if length > MAX_FUNCTION_LINES and not marked:
                print(f"{name}:{first}: {function} has {length} lines (at most "
                      f"{MAX_FUNCTION_LINES})", file=sys.stderr)
                failures += 1
    if failures:
        print(f"size check: {failures} file(s) or function(s) too long", file=sys.stderr)
        return 1
    print("size check: every file and function of master/ and emulator/ within its bound")
    return 0


if __name__ == "__main__":
    sys.exit(main())
