"""Fails unless every code block of the README that follows a `<!-- example: PATH -->` line
equals the file PATH, and every C++ block has such a line: the README shows only code that the
build compiles.   Usage: check_readme_examples.py README SOURCE_DIR"""
import pathlib
import re
import sys

readme, source_dir = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
lines = readme.read_text().split("\n")
problems, quoted = [], 0
i = 0
while i < len(lines):
    fence = re.match(r"^```(\w*)$", lines[i])
    if not fence:
        i += 1
        continue
    end = lines.index("```", i + 1)
    block = "\n".join(lines[i + 1:end]) + "\n"
    marker = re.match(r"^<!-- example: (\S+) -->$", lines[i - 1]) if i > 0 else None
    if marker:
        path = source_dir / marker.group(1)
        if not path.is_file():
            problems.append(f"line {i + 1}: {marker.group(1)} does not exist")
        elif path.read_text() != block:
            problems.append(f"line {i + 1}: the block differs from {marker.group(1)}")
        quoted += 1
    elif fence.group(1) == "cpp":
        problems.append(f"line {i + 1}: a C++ block that quotes no file under examples/")
    i = end + 1

for problem in problems:
    print(f"{readme}: {problem}")
print(f"{quoted} quoted examples checked")
sys.exit(1 if problems or quoted == 0 else 0)
