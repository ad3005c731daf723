"""Fails on an #include that runs up the layer stack of src/, or on a folder too full to read.

Each folder may include itself and the folders below it; the pure C++
layers may not reach Python or NumPy at all. Inside lie_algebra/ the rooms
form a stack of their own, checked the same way.
"""

import pathlib
import re
import sys

# Top to bottom.
LAYERS = ["bindings", "numpy_bridge", "python", "lie_algebra", "array", "base"]
ROOMS = ["dynamics", "algebra", "decomposition", "basis_forms", "lapack", "bases"]
PURE = {"lie_algebra", "array", "base"}
MOST_FILES = 15
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)


def upward(stack, here, used):
    """The message for an include of `used` from `here` that runs up `stack`, or None."""
    rank = {name: position for position, name in enumerate(stack)}
    if used not in rank:
        return f"includes from outside the layers {stack}"
    if rank[used] < rank[here]:
        return f"{here} includes from the layer above it"
    return None


def place(parts):
    """The layer and, inside lie_algebra, the room of a path relative to src/."""
    return parts[0], (parts[1] if parts[0] == "lie_algebra" and len(parts) > 2 else None)


def violations(src):
    for path in sorted(src.rglob("*.[ch]pp")):
        parts = path.relative_to(src).parts
        layer, room = place(parts)
        if layer not in LAYERS:
            yield f"{path}: folder {layer!r} is not in the layer list"
            continue
        if layer == "lie_algebra" and room not in ROOMS:
            yield f"{path}: lie_algebra/ holds its files in the rooms {ROOMS}"
            continue
        for quote, target in INCLUDE.findall(path.read_text()):
            if quote == "<":
                if layer in PURE and (target == "Python.h" or target.startswith("numpy/")):
                    yield f"{path}: {layer} must stay free of Python and NumPy, but includes <{target}>"
                continue
            used_layer, used_room = place(target.split("/"))
            fault = upward(LAYERS, layer, used_layer)
            if fault is None and layer == used_layer == "lie_algebra":
                fault = upward(ROOMS, room, used_room)
            if fault is not None:
                yield f"{path}: {fault}: {target!r}"


def crowded(src):
    for folder in sorted({path.parent for path in src.rglob("*.[ch]pp")}):
        count = len(list(folder.glob("*.[ch]pp")))
        if count > MOST_FILES:
            yield f"{folder}: {count} source files, more than {MOST_FILES}"


def main():
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    found = list(violations(src)) + list(crowded(src))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
