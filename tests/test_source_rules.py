"""Rules of the C++ sources that the compiler does not check."""
import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parent.parent / "src" / "tavrin"


def sources():
    return sorted(SRC.rglob("*.[ch]pp"))


def test_sources_are_present():
    assert len(sources()) > 10


def test_kernels_do_not_include_python():
    for path in (SRC / "kernels").rglob("*"):
        if path.suffix in (".cpp", ".hpp"):
            includes = re.findall(r'#include\s*[<"]([^>"]+)', path.read_text())
            assert not [i for i in includes if "Python" in i or i.split("/")[0] not in ("kernels",) and "/" in i], (path, includes)


def test_no_return_between_enter_and_leave_recursive_call():
    # A return between the two leaks a recursion level for good.
    for path in sources():
        inside = False
        for lineno, line in enumerate(path.read_text().splitlines(), 1):
            if "Py_EnterRecursiveCall" in line:
                inside = True
            elif "Py_LeaveRecursiveCall" in line:
                inside = False
            elif inside:
                assert not re.search(r"\breturn\b", line), f"{path}:{lineno}"
        assert not inside, f"{path}: Py_EnterRecursiveCall without Py_LeaveRecursiveCall"


def test_messages_are_formatted_in_the_runtime():
    # Every exception text is written once, in runtime/.
    pattern = re.compile(r"PyErr_(SetString|Format)\(")
    for path in sources():
        if path.parent.name == "runtime":
            continue
        text = path.read_text()
        hits = [m for m in pattern.finditer(text)]
        allowed = text.count("NotImplementedError")
        assert len(hits) <= allowed, path
