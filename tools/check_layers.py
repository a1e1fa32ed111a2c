#!/usr/bin/env python3
"""Checks that includes follow the layering.

1. src/: every include of "folder/..." from a file in another folder of src/ is an edge
   between the two folders. An edge must point to a lower layer (see LAYERS) and the folder
   graph must have no cycle. Public headers (veltrane/) and the RCP+ library (rcpplus/) are
   separate components and not part of this graph.
2. rcpplus/src: a .h/.cpp pair is one unit; the include graph between units must have no
   cycle.

Prints every edge it found and every fault with the include lines that cause it; exits 1 on
any fault, 0 otherwise.

    tools/check_layers.py [--root DIR]
    tools/check_layers.py --self-test    # runs the checker on small made-up trees
"""

import argparse
import pathlib
import re
import sys
import tempfile

# Lowest first. Folders on the same layer must not include each other either.
LAYERS = [
    ["platform"],
    ["foundation"],
    ["settings"],
    ["session", "digitalio"],
    ["driver"],
    ["ipcapture"],
    ["exports"],
]
# Components with their own public headers; including them says nothing about layering.
EXTERNAL = {"veltrane", "rcpplus"}

SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc"}
INCLUDE_RE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]')


def source_files(folder):
    return sorted(p for p in folder.rglob("*") if p.is_file() and p.suffix in SOURCE_SUFFIXES)


def includes(path):
    """Yields (line number, included path) for every #include in the file."""
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            match = INCLUDE_RE.match(line)
            if match:
                yield number, match.group(1)


def find_cycles(graph):
    """Returns one representative cycle (list of nodes, first repeated at the end) for every
    strongly connected component with more than one node or a self edge."""
    index, low, on_stack, stack, components = {}, {}, set(), [], []
    counter = [0]

    def visit(node):
        index[node] = low[node] = counter[0]
        counter[0] += 1
        stack.append(node)
        on_stack.add(node)
        for succ in sorted(graph.get(node, ())):
            if succ not in index:
                visit(succ)
                low[node] = min(low[node], low[succ])
            elif succ in on_stack:
                low[node] = min(low[node], index[succ])
        if low[node] == index[node]:
            component = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                component.append(member)
                if member == node:
                    break
            components.append(set(component))

    for node in sorted(graph):
        if node not in index:
            visit(node)

    cycles, seen = [], set()
    for component in components:
        if len(component) == 1:
            (only,) = component
            if only in graph.get(only, ()):
                cycles.append([only, only])
            continue
        # The shortest cycle through each member, so that every loop shows up, not just one.
        for start in sorted(component):
            cycle = shortest_cycle(graph, component, start)
            key = frozenset(zip(cycle, cycle[1:]))
            if cycle and key not in seen:
                seen.add(key)
                cycles.append(cycle)
    return cycles


def shortest_cycle(graph, component, start):
    previous = {start: None}
    queue = [start]
    while queue:
        node = queue.pop(0)
        for succ in sorted(graph.get(node, ())):
            if succ not in component:
                continue
            if succ == start:
                path = [node]
                while previous[path[-1]] is not None:
                    path.append(previous[path[-1]])
                return list(reversed(path)) + [start]
            if succ not in previous:
                previous[succ] = node
                queue.append(succ)
    return []


def describe_cycle(kind, cycle, evidence):
    lines = [f"FAIL: {kind} cycle: " + " -> ".join(cycle)]
    for a, b in zip(cycle, cycle[1:]):
        for where in evidence[(a, b)]:
            lines.append(f"        {a} -> {b}: {where}")
    return lines


def check_src(root, quiet=False):
    src = root / "src"
    rank = {folder: level for level, folders in enumerate(LAYERS) for folder in folders}
    folders = sorted(p.name for p in src.iterdir() if p.is_dir())
    faults = []
    for folder in folders:
        if folder not in rank:
            faults.append(f"FAIL: src/{folder} has no place in the layer order (tools/check_layers.py)")

    graph = {folder: set() for folder in folders}
    evidence = {}
    for path in source_files(src):
        relative = path.relative_to(src)
        if len(relative.parts) < 2:
            continue
        origin = relative.parts[0]
        for number, included in includes(path):
            target = included.split("/", 1)[0]
            if "/" not in included or target == origin or target in EXTERNAL:
                continue
            if target not in graph:
                continue  # a system or third-party header
            graph[origin].add(target)
            evidence.setdefault((origin, target), []).append(
                f"src/{relative}:{number} includes \"{included}\"")

    if not quiet:
        print("src/ folder includes:")
    for origin in folders:
        for target in sorted(graph[origin]):
            ok = origin in rank and target in rank and rank[target] < rank[origin]
            if not quiet:
                print(f"  {origin} -> {target}{'' if ok else '   <-- against the layer order'}")
            if not ok:
                faults.append(f"FAIL: src/{origin} includes src/{target}, which is not below it:")
                faults.extend(f"        {where}" for where in evidence[(origin, target)])
    for cycle in find_cycles(graph):
        faults.extend(describe_cycle("src/ folder", cycle, evidence))
    return faults


def unit_of(path):
    return path.with_suffix("").name


def check_rcpplus(root, quiet=False):
    src = root / "rcpplus" / "src"
    files = source_files(src)
    units = {unit_of(p) for p in files}
    by_name = {p.name: p for p in files}
    graph = {unit: set() for unit in units}
    evidence = {}
    for path in files:
        origin = unit_of(path)
        for number, included in includes(path):
            target_path = by_name.get(included)
            if target_path is None:
                continue  # public, wire or system header
            target = unit_of(target_path)
            if target == origin:
                continue
            graph[origin].add(target)
            evidence.setdefault((origin, target), []).append(
                f"rcpplus/src/{path.name}:{number} includes \"{included}\"")
    if not quiet:
        print(f"rcpplus/src: {len(units)} units, "
              f"{sum(len(t) for t in graph.values())} unit includes")
    faults = []
    for cycle in find_cycles(graph):
        faults.extend(describe_cycle("rcpplus/src unit", cycle, evidence))
    return faults


# Made-up trees: (name, {path: text}, whether the check must pass). Each tree starts from a
# clean base, so a case shows exactly the fault it names.
BASE_TREE = {
    "src/platform/platform.h": "",
    "src/foundation/lock.h": '#include "platform/platform.h"\n',
    "src/driver/driver.h": '#include "foundation/lock.h"\n#include "veltrane/host.h"\n',
    "src/ipcapture/adapter.cpp": '#include "driver/driver.h"\n#include "rcpplus/rcpplus.h"\n',
    "rcpplus/src/a.h": '#include "b.h"\n#include "rcp_wire.h"\n',
    "rcpplus/src/b.h": "",
    "rcpplus/src/b.cpp": '#include "b.h"\n',
}
SELF_TEST_CASES = [
    ("clean tree", {}, True),
    ("system header named like nothing in src", {"src/driver/x.cpp": "#include <sys/socket.h>\n"}, True),
    ("lower layer includes a higher one", {"src/foundation/up.h": '#include "driver/driver.h"\n'}, False),
    ("driver includes ipcapture", {"src/driver/exports.cpp": '#include "ipcapture/a.h"\n'}, False),
    ("peers on one layer", {"src/session/s.h": '#include "digitalio/d.h"\n', "src/digitalio/d.h": ""}, False),
    ("folder without a layer", {"src/extras/e.h": ""}, False),
    ("angle-bracket include upward", {"src/platform/p.cpp": "#include <driver/driver.h>\n"}, False),
    ("rcpplus unit cycle through a .cpp", {"rcpplus/src/b.cpp": '#include "b.h"\n#include "a.h"\n'}, False),
    ("rcpplus pair includes itself only", {"rcpplus/src/a.cpp": '#include "a.h"\n'}, True),
]


def self_test():
    failures = 0
    for name, changes, should_pass in SELF_TEST_CASES:
        with tempfile.TemporaryDirectory() as scratch:
            root = pathlib.Path(scratch)
            for relative, text in {**BASE_TREE, **changes}.items():
                (root / relative).parent.mkdir(parents=True, exist_ok=True)
                (root / relative).write_text(text)
            faults = check_src(root, quiet=True) + check_rcpplus(root, quiet=True)
        passed = not faults
        verdict = "ok" if passed == should_pass else "WRONG"
        failures += passed != should_pass
        print(f"{verdict}: {name}: checker {'passed' if passed else 'failed'}")
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=pathlib.Path(__file__).resolve().parent.parent,
                        type=pathlib.Path, help="source tree (default: this checkout)")
    parser.add_argument("--self-test", action="store_true",
                        help="check the checker against small made-up trees")
    args = parser.parse_args()
    if args.self_test:
        return self_test()
    faults = check_src(args.root) + check_rcpplus(args.root)
    for line in faults:
        print(line)
    if faults:
        return 1
    print("layering: OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
