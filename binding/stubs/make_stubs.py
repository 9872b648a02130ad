"""Writes the type stub of _ostrel, binding/stubs/_ostrel.pyi, from the importable module.

pybind11-stubgen reads every signature the module's docstrings carry. Two things the binary
cannot tell are fixed here, always the same way, so that the result depends only on the module
and on _ostrel.curated.pyi:

- signatures registered before the enumerations and records they use name them by their C++
  names (ostrel::vonu::StreamType); each becomes the Python class of the same name;
- members listed in _ostrel.curated.pyi (delegate overrides, text parameters that take None,
  results that may be None) replace the generated member of the same name, and the generated
  signature stays above the curated one as a "# bound as:" comment. A change in the binary
  therefore changes the stub even where it is curated;
- classes that cannot be subclassed are marked @typing.final;
- members that Python 3.8 has no attribute for (SLOT_ONLY: the buffer protocol, a type slot that
  only 3.12 shows as __buffer__) come from _ostrel.curated.pyi alone and end their class.

- pybind11 annotates every integer parameter "typing.SupportsInt | typing.SupportsIndex", which
  a float satisfies (it has __int__) although the module refuses one: each becomes
  typing.SupportsIndex, which takes int, bool and any integer type with __index__, and no float.
  "# bound as:" comments keep the annotation that the module registers.

The module's own __all__ is dropped: the runtime module has none.

    python binding/stubs/make_stubs.py            # rewrite _ostrel.pyi
    python binding/stubs/make_stubs.py --check    # print a diff and fail if _ostrel.pyi is stale
"""

import argparse
import ast
import difflib
import re
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Dict, List, Tuple

HERE = Path(__file__).resolve().parent
STUB = HERE / "_ostrel.pyi"
CURATED = HERE / "_ostrel.curated.pyi"
# Members that a type slot provides on 3.8 without a Python attribute, so the generated stub
# cannot have them; type checkers read __buffer__ as the buffer protocol whatever the version.
SLOT_ONLY = {"__buffer__"}
HEADER = (
    "# Written by binding/stubs/make_stubs.py from the built module and binding/stubs/_ostrel.curated.pyi;\n"
    '# change those, not this file. A member under a "bound as:" comment is curated: the comment is\n'
    "# the signature that the module registers, the member what a Python program sees.\n"
)


def stubgen() -> str:
    """pybind11-stubgen's stub of the _ostrel that this interpreter imports."""
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(
            [
                sys.executable,
                "-m",
                "pybind11_stubgen",
                "_ostrel",
                "-o",
                out,
                "--exit-code",
                "--print-invalid-expressions-as-is",
                "--ignore-invalid-expressions",
                r"ostrel::vonu::\w+",
                "--ignore-unresolved-names",
                r"^PyVONUCloudDelegate$",
            ],
            check=True,
        )
        return (Path(out) / "_ostrel.pyi").read_text()


def python_names(text: str) -> str:
    """Native type names become the module's classes of the same name."""
    classes = set(re.findall(r"^class (\w+)", text, re.M))

    def replace(match: "re.Match[str]") -> str:
        if match.group(1) not in classes:
            sys.exit("make_stubs: %s has no Python class in _ostrel" % match.group(0))
        return match.group(1)

    return re.sub(r"ostrel::vonu::(\w+)", replace, text)


PYBIND11_INTEGER = "typing.SupportsInt | typing.SupportsIndex"
INTEGER = "typing.SupportsIndex"


def integers(text: str) -> str:
    """Integer parameters as the module converts them, outside comments."""
    return "".join(
        line if line.lstrip().startswith("#") else line.replace(PYBIND11_INTEGER, INTEGER)
        for line in text.splitlines(keepends=True)
    )


def drop_all(text: str) -> str:
    lines = text.splitlines(keepends=True)
    kept = [line for line in lines if not line.startswith("__all__")]
    if len(kept) != len(lines) - 1:
        sys.exit("make_stubs: expected one __all__ line in the generated stub")
    return "".join(kept)


def end_line(node: ast.stmt) -> int:
    """The last line (1-based) of a parsed statement, which Python 3.8's ast always gives."""
    assert node.end_lineno is not None
    return node.end_lineno


def span(node: ast.stmt) -> "Tuple[int, int]":
    """First and last line (0-based, inclusive) of a statement and its decorators."""
    decorators = getattr(node, "decorator_list", [])
    first = min([node.lineno] + [d.lineno for d in decorators]) - 1
    return first, end_line(node) - 1


def comments_above(lines: "List[str]", first: int) -> "List[str]":
    """The comment lines directly above line `first`."""
    start = first
    while start > 0 and lines[start - 1].lstrip().startswith("#"):
        start -= 1
    return lines[start:first]


def class_comment(lines: "List[str]", cls: ast.ClassDef) -> "List[str]":
    """A comment block right after `class X:` that a blank line separates from the first member."""
    block = []
    i = cls.lineno
    while lines[i].lstrip().startswith("#"):
        block.append(lines[i])
        i += 1
    return block if block and not lines[i].strip() else []


def bound_as(lines: "List[str]", node: ast.stmt) -> str:
    """The generated member as one comment line: decorators (except overload) and its header."""
    first, last = span(node)
    indent = lines[node.lineno - 1][: len(lines[node.lineno - 1]) - len(lines[node.lineno - 1].lstrip())]
    parts = [lines[i].strip() for i in range(first, node.lineno) if lines[i].strip() != "@typing.overload"]
    header = parts[-1]
    if not header.endswith(":"):
        sys.exit("make_stubs: expected a one-line header for %s" % header)
    parts[-1] = header[:-1]
    return indent + "# bound as: " + " ".join(parts)


def by_name(body: "List[ast.stmt]") -> "Dict[str, List[ast.stmt]]":
    found: "Dict[str, List[ast.stmt]]" = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            found.setdefault(node.name, []).append(node)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            found.setdefault(node.target.id, []).append(node)
    return found


def merge(generated: str, curated: str) -> str:
    gen_lines = generated.splitlines()
    cur_lines = curated.splitlines()
    gen_top = by_name(ast.parse(generated).body)
    edits: "List[Tuple[int, int, List[str]]]" = []  # (first, last, new lines) over gen_lines

    def replace(where: str, gen_nodes: "List[ast.stmt]", cur_nodes: "List[ast.stmt]") -> None:
        spans = [span(n) for n in gen_nodes]
        first, last = spans[0][0], spans[-1][1]
        if last - first + 1 != sum(b - a + 1 for a, b in spans):
            sys.exit("make_stubs: the generated %s is not in one piece" % where)
        new = comments_above(cur_lines, span(cur_nodes[0])[0])
        new += [bound_as(gen_lines, n) for n in gen_nodes]
        for node in cur_nodes:
            a, b = span(node)
            new += cur_lines[a : b + 1]
        edits.append((first, last, new))

    for name, cur_nodes in by_name(ast.parse(curated).body).items():
        if name not in gen_top:
            sys.exit("make_stubs: curated %s is not in the generated stub" % name)
        if not isinstance(cur_nodes[0], ast.ClassDef):
            replace(name, gen_top[name], cur_nodes)
            continue
        gen_class, cur_class = gen_top[name][0], cur_nodes[0]
        assert isinstance(gen_class, ast.ClassDef) and isinstance(cur_class, ast.ClassDef)
        note = class_comment(cur_lines, cur_class)
        if note:
            edits.append((gen_class.lineno, gen_class.lineno - 1, note + [""]))  # after the header
        gen_members = by_name(gen_class.body)
        for member, cur_members in by_name(cur_class.body).items():
            if member in SLOT_ONLY and member not in gen_members:
                a, b = span(cur_members[0])
                end = end_line(gen_class)  # the line after the class, as an insertion point
                edits.append((end, end - 1, comments_above(cur_lines, a) + cur_lines[a : b + 1]))
                continue
            if member not in gen_members:
                sys.exit("make_stubs: curated %s.%s is not in the generated stub" % (name, member))
            replace("%s.%s" % (name, member), gen_members[member], cur_members)

    # Bottom up, so that earlier line numbers stay valid; at one line, a replacement before an
    # insertion (an insertion has last < first).
    for first, last, new in sorted(edits, key=lambda e: (e[0], e[1] >= e[0]), reverse=True):
        gen_lines[first : last + 1] = new
    text = "\n".join(gen_lines) + "\n"
    code = "\n".join(line.split("#")[0] for line in gen_lines)
    leftover = re.search(r"\w*::\w+|PyVONUCloudDelegate", code)
    if leftover:
        sys.exit("make_stubs: %s is left in the stub; curate the member that names it" % leftover.group(0))
    return text


def finals(text: str) -> str:
    """Classes that Python cannot subclass are marked @typing.final, as the module makes them."""
    import _ostrel

    def mark(match: "re.Match[str]") -> str:
        kind = getattr(_ostrel, match.group(1), None)
        sealed = isinstance(kind, type) and not kind.__flags__ & (1 << 10)  # Py_TPFLAGS_BASETYPE
        return "@typing.final\n" + match.group(0) if sealed else match.group(0)

    return re.sub(r"^class (\w+)", mark, text, flags=re.M)


def build() -> str:
    return HEADER + integers(merge(finals(drop_all(python_names(stubgen()))), CURATED.read_text()))


def main() -> int:
    parser = argparse.ArgumentParser(description="Write or check binding/stubs/_ostrel.pyi.")
    parser.add_argument("--check", action="store_true", help="fail with a diff if the stub is stale")
    args = parser.parse_args()
    text = build()
    if not args.check:
        STUB.write_text(text)
        return 0
    current = STUB.read_text() if STUB.exists() else ""
    if current == text:
        return 0
    sys.stdout.writelines(
        difflib.unified_diff(
            current.splitlines(keepends=True),
            text.splitlines(keepends=True),
            str(STUB.relative_to(HERE.parent.parent)),
            "regenerated",
        )
    )
    print("make_stubs: %s is out of date; run python binding/stubs/make_stubs.py" % STUB.name, file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
