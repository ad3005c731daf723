"""Fails on an #include that runs up the layer stack of src/.

Each folder may include itself and the folders below it; the pure C++
layers may not reach Python or NumPy at all.
"""

import pathlib
import re
import sys

# Top to bottom.
LAYERS = ["bindings", "numpy_bridge", "python", "lie_algebra", "array", "base"]
PURE = {"lie_algebra", "array", "base"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)


def violations(src):
    rank = {name: position for position, name in enumerate(LAYERS)}
    for path in sorted(src.rglob("*.[ch]pp")):
        layer = path.relative_to(src).parts[0]
        if layer not in rank:
            yield f"{path}: folder {layer!r} is not in the layer list"
            continue
        for quote, target in INCLUDE.findall(path.read_text()):
            if quote == "<":
                if layer in PURE and (target == "Python.h" or target.startswith("numpy/")):
                    yield f"{path}: {layer} must stay free of Python and NumPy, but includes <{target}>"
                continue
            used = target.split("/")[0]
            if used not in rank:
                yield f"{path}: includes {target!r} from outside the layers"
            elif rank[used] < rank[layer]:
                yield f"{path}: {layer} includes {target!r} from the layer above it"


def main():
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    found = list(violations(src))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
