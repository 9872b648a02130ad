"""The eight settings functions: argument conversion and exactly what reaches the SDK."""

import pytest

import _ostrel


def test_signatures():
    assert _ostrel.SetLogPath.__doc__ == "SetLogPath(path: str) -> bool\n"
    assert _ostrel.SetLogLevel.__doc__ == "SetLogLevel(level: typing.SupportsInt | typing.SupportsIndex) -> None\n"
    assert _ostrel.SetSocks5Proxy.__doc__ == (
        "SetSocks5Proxy(ip: str, port: typing.SupportsInt | typing.SupportsIndex, username: str, "
        "password: str) -> bool\n"
    )
    assert _ostrel.DisableLogFile.__doc__ == "DisableLogFile(disabled: bool) -> None\n"
    assert _ostrel.EnableConsoleLog.__doc__ == "EnableConsoleLog() -> None\n"


@pytest.mark.parametrize("port", [65536, -1, 1080.0, 2**64, "1080", None])
def test_proxy_port_refused_before_the_sdk(call_recorder, port):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        _ostrel.SetSocks5Proxy("127.0.0.1", port, "u", "p")
    assert call_recorder.calls() == []


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("port", [0, 65535, 1080])
def test_proxy_port_reaches_sdk_unchanged(call_recorder, port):
    _ostrel.SetSocks5Proxy("127.0.0.1", port, None, None)
    assert call_recorder.last_call("SetSocks5Proxy") == {
        "ip": b"127.0.0.1",
        "port": port,
        "username": None,
        "password": None,
    }


def test_proxy_port_via_index_checked_against_range(call_recorder):
    _ostrel.SetSocks5Proxy("h", Index(1081), "u", "p")
    assert call_recorder.last_call("SetSocks5Proxy")["port"] == 1081
    with pytest.raises(TypeError):
        _ostrel.SetSocks5Proxy("h", Index(70000), "u", "p")


def test_proxy_keywords_in_any_order(call_recorder):
    positional = _ostrel.SetSocks5Proxy("10.1.2.3", 1080, "user", "pw")
    first = call_recorder.last_call("SetSocks5Proxy")
    call_recorder.clear()
    keyword = _ostrel.SetSocks5Proxy(password="pw", port=1080, username="user", ip="10.1.2.3")
    assert call_recorder.calls() == [("SetSocks5Proxy", first)]
    assert positional is keyword is True
    _ostrel.SetSocks5Proxy("", 0, None, None)


def test_log_path_conversions(call_recorder, tmp_path):
    assert _ostrel.SetLogPath(None) is False
    assert call_recorder.last_call("SetLogPath") == {"path": None}
    raw = bytes(tmp_path) + b"/logs\xff"
    assert _ostrel.SetLogPath(raw) in (True, False)
    assert call_recorder.last_call("SetLogPath") == {"path": raw}
    assert _ostrel.SetLogPath(bytearray(b"")) is False
    assert call_recorder.last_call("SetLogPath") == {"path": b""}
    # A str is encoded as UTF-8 and cut at its first NUL character.
    assert _ostrel.SetLogPath(str(tmp_path / "é") + "\0ignored") is True
    assert call_recorder.last_call("SetLogPath") == {"path": str(tmp_path / "é").encode()}
    with pytest.raises(TypeError):
        _ostrel.SetLogPath("\udcff")
    with pytest.raises(TypeError):
        _ostrel.SetLogPath(5)
    _ostrel.DisableLogFile(True)


def test_log_level_range(call_recorder):
    with pytest.raises(TypeError):
        _ostrel.SetLogLevel(2**31)
    with pytest.raises(TypeError):
        _ostrel.SetLogLevel(1.0)
    assert _ostrel.SetLogLevel(-1) is None
    _ostrel.SetLogLevel(level=2**31 - 1)
    assert call_recorder.calls() == [("SetLogLevel", {"level": -1}), ("SetLogLevel", {"level": 2**31 - 1})]
    _ostrel.SetLogLevel(2)


def test_bool_flags(call_recorder):
    _ostrel.DisableLogFile(None)
    _ostrel.DisableLogCompress(disabled=True)
    _ostrel.DisableLogFile(1)
    assert call_recorder.calls() == [
        ("DisableLogFile", {"disabled": False}),
        ("DisableLogCompress", {"disabled": True}),
        ("DisableLogFile", {"disabled": True}),
    ]
    call_recorder.clear()
    with pytest.raises(TypeError):
        _ostrel.DisableLogFile("yes")
    with pytest.raises(TypeError):
        _ostrel.DisableLogCompress([])
    assert call_recorder.calls() == []
    _ostrel.DisableLogCompress(False)


def test_console_switches_and_environment(call_recorder):
    assert _ostrel.EnableConsoleLog() is None
    assert _ostrel.DisableConsoleLog() is None
    assert _ostrel.SetEnvironment(None) is False
    assert _ostrel.SetEnvironment("no-such-env\0production") is False
    assert call_recorder.calls() == [
        ("EnableConsoleLog", {}),
        ("DisableConsoleLog", {}),
        ("SetEnvironment", {"env": None}),
        ("SetEnvironment", {"env": b"no-such-env"}),
    ]
