#!/usr/bin/env python3
"""Counts non-blank, non-comment lines of the tracked code files: tests/
against the whole repository. Usage: python3 scripts/count-lines.py"""
import re
import subprocess
import sys

C_LIKE = (".c", ".cc", ".cpp", ".h", ".hpp", ".in")
HASH = (".sh", ".py", ".cmake", ".awk", ".gp", ".txt")


def code_lines(path, text):
    if path.endswith(C_LIKE) and not path.endswith("CMakeLists.txt"):
        text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
        lines = [re.sub(r"//.*", "", l) for l in text.splitlines()]
    elif path.endswith(HASH) or path.endswith("CMakeLists.txt"):
        lines = [re.sub(r"^\s*#.*", "", l) for l in text.splitlines()]
    else:
        return None
    return sum(1 for l in lines if l.strip())


def main():
    root = subprocess.check_output(["git", "rev-parse", "--show-toplevel"], text=True).strip()
    files = subprocess.check_output(["git", "-C", root, "ls-files"], text=True).split()
    total = tests = 0
    for f in files:
        try:
            with open(f"{root}/{f}", encoding="utf-8") as fh:
                n = code_lines(f, fh.read())
        except (UnicodeDecodeError, FileNotFoundError):
            continue
        if n is None:
            continue
        total += n
        if f.startswith("tests/"):
            tests += n
    print(f"tests {tests} of {total} code lines: {100.0 * tests / total:.2f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
