"""The delegate stub against the running module.

The SDK calls a delegate override with other arguments than the registered method takes, so
stubtest cannot check the curated delegate signatures. Here every event reaches a bot typed
against the stub, and each argument it receives must be of the type that the stub names.
"""

import ast
import builtins
from pathlib import Path

import pytest
from test_delegate import DATA, UNIFORM
from typed_bot import deliver

import _ostrel as o
import ostrel_loopback as lb

STUB = Path(__file__).resolve().parents[1] / "stubs" / "_ostrel.pyi"


def delegate_stub():
    """{method: [annotation text of each parameter after self]} of VONUCloudDelegate's stub."""
    text = STUB.read_text()
    cls = next(n for n in ast.parse(text).body if isinstance(n, ast.ClassDef) and n.name == "VONUCloudDelegate")
    return {
        f.name: [ast.get_source_segment(text, a.annotation) for a in (f.args.posonlyargs + f.args.args)[1:]]
        for f in cls.body
        if isinstance(f, ast.FunctionDef) and f.name.startswith("On")
    }


def matches(value, annotation):
    for option in annotation.split(" | "):
        if option == "None":
            ok = value is None
        elif option.startswith("list["):
            ok = type(value) is list and all(matches(v, option[5:-1]) for v in value)
        else:
            ok = type(value) is (getattr(builtins, option, None) or getattr(o, option))
        if ok:
            return True
    return False


@pytest.fixture
def no_escapes():
    lb.clear_escaped()
    yield
    assert lb.escaped() == []


def test_overrides_receive_what_the_stub_says(no_escapes):
    stub = delegate_stub()
    injected = (
        UNIFORM
        + DATA
        + [("OnRemoteAudioAvailable", (None, False)), ("OnNetworkQuality", ((b"me", 1), [(b"a", 2), (b"b", 3)]))]
    )
    assert sorted(stub) == sorted({name for name, _ in injected})
    received = deliver("typed", injected)
    assert {name for name, _ in received} == set(stub)
    for name, args in received:
        assert len(args) == len(stub[name]), name
        for value, annotation in zip(args, stub[name]):
            assert matches(value, annotation), (name, value, annotation)


def test_annotation_matcher():
    assert matches(None, "str | None") and matches("u", "str | None") and not matches(b"u", "str | None")
    assert matches(o.StreamType(2), "StreamType") and not matches(2, "StreamType")
    assert not matches(True, "int") and matches([], "list[NetworkQualityInfo]")
    assert not matches([o.UserInfo()], "list[NetworkQualityInfo]")
