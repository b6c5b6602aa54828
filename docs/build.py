"""Builds the API reference of the installed `mirelo` package as static HTML.

    python docs/build.py OUTPUT_DIRECTORY

The native module registers no docstrings: they live in its stub, `mirelo/_mirelo.pyi`, which pdoc
reads for a module of the same name. Programs use those classes as `mirelo.QOLTCloud`, so the
`mirelo` page takes its docstrings and signatures from the same stub; `mirelo._mirelo` gets no page
of its own. The build fails on any warning (a stub that does not parse, a name that does not
resolve) and when a page lacks what the stub documents, so that CI notices a reference gone stale.
"""

from __future__ import annotations

import ast
import html
import sys
import warnings
from pathlib import Path

import pdoc
import pdoc.doc_pyi
import pdoc.render

import mirelo

MODULES = ("mirelo", "mirelo.aio", "mirelo.loopback", "mirelo.delegate")
STUB = Path(mirelo.__file__).parent / "_mirelo.pyi"

_find_stub_file = pdoc.doc_pyi.find_stub_file


def find_stub_file(module_name: str) -> Path | None:
    """The stub of `mirelo._mirelo` documents `mirelo` too, which re-exports all of it."""
    if module_name == "mirelo":
        return STUB
    return _find_stub_file(module_name)


# The order of the `mirelo` page: the client and its handler, what they take and give, the codes and
# settings, and last the enumeration members that the module also exports by name.
ORDER = (
    "QOLTCloud",
    "QOLTCloudDelegate",
    "Delegate",
    "EnterRoomParams",
    "RoomParams",
    "AudioObtainParams",
    "AudioEncodeParams",
    "VideoEncodeParams",
    "VADParams",
    "QoltString",
    "UserInfo",
    "NetworkQualityInfo",
    "AudioFrame",
    "VideoFrame",
    "PixelFrame",
    "Error",
)


def page_order(names: list[str]) -> list[str]:
    """`names` in the order above; then classes, functions and constants, each alphabetically."""

    def key(name: str) -> tuple[int, int, str]:
        value = getattr(mirelo, name)
        if name in ORDER:
            return (0, ORDER.index(name), name)
        kind = 1 if isinstance(value, type) else 2 if callable(value) else 3
        return (kind, 0, name)

    return sorted(names, key=key)


def stub_docstrings() -> dict[str, str]:
    """Docstrings of the stub's classes and their members, by qualified name."""
    docstrings = {}
    for node in ast.parse(STUB.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and ast.get_docstring(member):
                    docstrings[f"{node.name}.{member.name}"] = ast.get_docstring(member) or ""
    return docstrings


def inherit_stub_docstrings(module: pdoc.doc.Module, docstrings: dict[str, str]) -> None:
    """A Python method that overrides a native one without a docstring of its own shows the stub's
    docstring of the method it overrides, not the native one's bare signature."""
    for member in module.members.values():
        if not isinstance(member, pdoc.doc.Class):
            continue
        for method in member.members.values():
            own = vars(member.obj).get(method.name)
            if not isinstance(method, pdoc.doc.Function) or own is None or getattr(own, "__doc__", None):
                continue
            for base in member.obj.__mro__[1:]:
                inherited = docstrings.get(f"{base.__name__}.{method.name}")
                if base.__module__ == "mirelo._mirelo" and inherited:
                    method.docstring = inherited
                    break


def stub_class_summaries() -> dict[str, str]:
    """The first line of each public class's docstring in the stub."""
    summaries = {}
    for node in ast.parse(STUB.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            summaries[node.name] = (ast.get_docstring(node) or "").splitlines()[0]
    return summaries


def check(output: Path) -> None:
    page = html.unescape((output / "mirelo.html").read_text(encoding="utf-8"))
    for name, summary in stub_class_summaries().items():
        # The summary's first words, which no Markdown markup splits.
        words = summary.split("`")[0].strip()
        if f'id="{name}"' not in page or words not in page:
            raise SystemExit(f"mirelo.html lacks {name} or its docstring ({words!r})")
    for module in MODULES:
        if not (output / (module.replace(".", "/") + ".html")).is_file():
            raise SystemExit(f"no page for {module}")


def main() -> None:
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    output = Path(sys.argv[1])
    warnings.simplefilter("error")
    pdoc.doc_pyi.find_stub_file = find_stub_file  # type: ignore[assignment]
    # Only this process's copy of the list changes: pdoc orders a page by `__all__`, and lists as
    # submodules only those that `__all__` names.
    submodules = [name.split(".", 1)[1] for name in MODULES if "." in name]
    mirelo.__all__ = page_order(list(mirelo.__all__)) + submodules
    pdoc.render.configure(
        docformat="markdown",
        footer_text=f"mirelo {mirelo.__version__}",
        search=True,
        show_source=False,
    )
    modules = {name: pdoc.doc.Module.from_name(name) for name in MODULES}
    docstrings = stub_docstrings()
    for module in modules.values():
        inherit_stub_docstrings(module, docstrings)
    # What pdoc.pdoc() writes, with the modules above.
    for module in modules.values():
        page = output / (module.fullname.replace(".", "/") + ".html")
        page.parent.mkdir(parents=True, exist_ok=True)
        page.write_text(pdoc.render.html_module(module, modules), encoding="utf-8")
    (output / "index.html").write_text(pdoc.render.html_index(modules), encoding="utf-8")
    (output / "search.js").write_text(pdoc.render.search_index(modules), encoding="utf-8")
    check(output)
    print(f"API reference in {output / 'index.html'}")


if __name__ == "__main__":
    main()
