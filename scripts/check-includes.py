#!/usr/bin/env python3
"""Fails when an include in src/ runs against the layer order of src/README.md.

Every project include names its folder ("core/error.hpp"). A file may include files of its own
folder and of the folders below it; dense/ and pq/ sit side by side and see neither each other.
Inside a folder the files (a .hpp and its .cpp counted as one) must not include each other in a
circle, so each folder reads bottom-up as well.
"""
import re
import sys
from pathlib import Path

# Lower layers first; folders on one level must not include each other.
LAYERS = [["core"], ["kernels"], ["kmeans"], ["dense", "pq"], ["codes"], ["python"]]
LEVEL = {folder: level for level, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main() -> int:
    src = Path(__file__).resolve().parent.parent / "src"
    problems = []
    edges = {}  # (folder, stem) -> {(folder, stem)} within one folder
    for path in sorted(src.rglob("*.[ch]pp")):
        rel = path.relative_to(src)
        if len(rel.parts) != 2 or rel.parts[0] not in LEVEL:
            problems.append(f"{rel}: not in one of the layer folders {sorted(LEVEL)}")
            continue
        folder = rel.parts[0]
        for name in INCLUDE.findall(path.read_text()):
            parts = Path(name).parts
            if len(parts) != 2 or parts[0] not in LEVEL or not (src / name).is_file():
                problems.append(f"{rel}: includes \"{name}\", which is not a file of a layer folder")
                continue
            target = parts[0]
            if target != folder and LEVEL[target] >= LEVEL[folder]:
                problems.append(f"{rel}: includes \"{name}\" from {target}/, which is not below {folder}/")
            elif target == folder:
                edges.setdefault((folder, path.stem), set()).add((folder, Path(name).stem))
    for node in sorted(edges):
        cycle = find_cycle(node, edges)
        if cycle:
            names = " -> ".join(f"{f}/{s}" for f, s in cycle)
            problems.append(f"include circle: {names}")
            break
    for line in problems:
        print(line, file=sys.stderr)
    return 1 if problems else 0


def find_cycle(start, edges):
    """A path start -> ... -> start through other files, or None."""
    stack = [(start, [start])]
    seen = set()
    while stack:
        node, path = stack.pop()
        for nxt in edges.get(node, ()):
            if nxt == node:
                continue
            if nxt == start:
                return path + [start]
            if nxt not in seen:
                seen.add(nxt)
                stack.append((nxt, path + [nxt]))
    return None


if __name__ == "__main__":
    sys.exit(main())
