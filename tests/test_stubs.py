"""The type stubs (python/sekvo-stubs) against the real module, and mypy on a
program that uses the API."""
import ast
import inspect
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import sekvo
from conftest import write_fasta

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "python" / "sekvo-stubs" / "__init__.pyi"
EXAMPLE = ROOT / "examples" / "typed_usage.py"
# Sequence compares only for equality; leaving the ordering slots out of the
# stub lets type checkers reject s < t, which fails at run time.
NOT_IN_STUB = {"__module__", "__doc__", "__new__", "__lt__", "__le__", "__gt__", "__ge__"}
METHOD_DESCRIPTOR = type(str.join)


def stub_classes():
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}, tree


def members(class_node):
    """name -> ("method" | "property" | "attribute", node) of a stub class."""
    found = {}
    for node in class_node.body:
        if isinstance(node, ast.FunctionDef):
            decorators = {ast.unparse(d) for d in node.decorator_list}
            found[node.name] = ("property" if "property" in decorators else "method", node)
        elif isinstance(node, ast.AnnAssign):
            found[node.target.id] = ("attribute", node)
    return found


def stub_parameters(function):
    """(name, default) pairs after self/cls; default is the literal or a marker."""
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + list(arguments.defaults)
    return [(a.arg, "required" if d is None else ast.literal_eval(d)) for a, d in zip(positional, defaults)][1:]


def runtime_parameters(callable_):
    return [(p.name, "required" if p.default is inspect.Parameter.empty else p.default)
            for p in inspect.signature(callable_).parameters.values() if p.name != "self"]


def test_module_names():
    classes, tree = stub_classes()
    stub_all = next(ast.literal_eval(node.value) for node in tree.body
                    if isinstance(node, ast.Assign) and node.targets[0].id == "__all__")
    assert stub_all == sekvo.__all__
    assert sorted(classes) == sorted(name for name in dir(sekvo) if not name.startswith("_"))


@pytest.mark.parametrize("name", sekvo.__all__)
def test_class_members_and_signatures(name):
    cls = getattr(sekvo, name)
    stub = members(stub_classes()[0][name])
    assert set(stub) - {"__new__"} == set(vars(cls)) - NOT_IN_STUB
    # Constructors: the class's text signature, or no __new__ for the classes
    # that refuse construction.
    if cls.__text_signature__ is None:
        assert "__new__" not in stub
    else:
        assert stub_parameters(stub["__new__"][1]) == runtime_parameters(cls)
        # The index handles' one keyword-only setting, which the text
        # signature leaves out.
        keyword_only = ["gziname"] if name in ("Faidx", "Fasta") else []
        assert [a.arg for a in stub["__new__"][1].args.kwonlyargs] == keyword_only
    for member, (kind, node) in stub.items():
        runtime = vars(cls).get(member)
        # Methods; the slot wrappers (__len__, __eq__, ...) are the interpreter's.
        if kind == "method" and isinstance(runtime, METHOD_DESCRIPTOR):
            assert stub_parameters(node) == runtime_parameters(runtime), member


@pytest.fixture
def instances(tmp_path):
    path = write_fasta(tmp_path / "s.fa", [("r", "ACGTN")])
    return {"Sequence": sekvo.Sequence("n", "ACGT", 1, 4), "Faidx": sekvo.Faidx(path),
            "FastaRecord": sekvo.Fasta(path)["r"]}


@pytest.mark.parametrize("name", ["Sequence", "Faidx", "FastaRecord"])
def test_attributes_are_read_only_exactly_where_the_stub_says(instances, name):
    obj = instances[name]
    for member, (kind, _) in members(stub_classes()[0][name]).items():
        if kind == "method" or member == "__hash__":
            continue
        value = getattr(obj, member)
        if kind == "attribute":
            setattr(obj, member, value)
        else:
            with pytest.raises(AttributeError):
                setattr(obj, member, value)


# --- mypy ----------------------------------------------------------------------

def mypy_environment(tmp_path):
    """MYPYPATH holding the stub as sekvo.pyi: the source tree's stub wins over
    an installed sekvo-stubs package, so this checks the stub being edited."""
    pytest.importorskip("mypy", reason="mypy is not installed")
    stubs = tmp_path / "stubs"
    stubs.mkdir(exist_ok=True)
    shutil.copy(STUB, stubs / "sekvo.pyi")
    env = dict(os.environ)
    env["MYPYPATH"] = str(stubs)
    env["PYTHONPATH"] = os.pathsep.join([str(Path(sekvo.__file__).parent), env.get("PYTHONPATH", "")])
    return env


def run_mypy(tmp_path, *arguments):
    env = mypy_environment(tmp_path)
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                           "--cache-dir", str(tmp_path / "cache"), *arguments],
                          capture_output=True, text=True, timeout=300, env=env, cwd=tmp_path)


def test_example_program_type_checks_and_runs(tmp_path):
    result = run_mypy(tmp_path, str(EXAMPLE))
    assert result.returncode == 0, result.stdout + result.stderr
    data = tmp_path / "example.fa"
    shutil.copy(ROOT / "examples" / "data" / "example.fa", data)
    run = subprocess.run([sys.executable, str(EXAMPLE), str(data)], capture_output=True, text=True,
                         timeout=120, env=mypy_environment(tmp_path))
    assert run.returncode == 0, run.stderr


def test_misuse_is_reported(tmp_path):
    program = tmp_path / "misuse.py"
    program.write_text(textwrap.dedent("""\
        import sekvo
        fa = sekvo.Fasta("x.fa")
        fa.get_seq("chr1", "1", 2)
        5 in fa
        sekvo.Faidx("x.fa").keys()
        s = fa.get_seq("chr1", 1, 2)
        s < s
        s.long_name = "x"
        fa.fetch_many([("chr1", 1)])
        n: int = s.start
        fa.get_seq("chr1", 1, 2, rc=1)
        sekvo.Fasta("x.fa", dupliate_action="stop")
    """))
    result = run_mypy(tmp_path, str(program))
    lines = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    assert lines == set(range(3, 13)) - {6}, result.stdout


def test_stubtest_agrees_with_the_module(tmp_path):
    env = mypy_environment(tmp_path)
    # The constructors take the keyword-only `gziname`, which their text
    # signature (the documented one) leaves out; their other parameters are
    # held against the text signature in test_class_members_and_signatures.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("sekvo.Faidx.__new__\nsekvo.Fasta.__new__\n")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "sekvo", "--mypy-config-file", os.devnull,
                             "--allowlist", str(allowlist)],
                            capture_output=True, text=True, timeout=300, env=env, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
