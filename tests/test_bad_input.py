"""Hostile or malformed input through the thread engine: refused cleanly on the
tree thread, nothing read from disk or network, odd strings kept intact."""
import re
import socket
import sys
import threading

import pytest

from brannox.core import NodeStatus
from brannox.engine.sequential_engine import SequentialEngine
from helpers import PORTS, XML, say

pytestmark = pytest.mark.usefixtures("collect_old_engines")


@pytest.fixture
def engine(say_engine):
    return say_engine


def wrap(body, tree="Main"):
    return f'<root BTCPP_format="4"><BehaviorTree ID="{tree}">{body}</BehaviorTree></root>'


GOOD = wrap('<AlwaysSuccess/>')
BAD_ID = "bad"
MARKER = "MARKER-c0ffee-7a41"


# Audit hooks cannot be removed, so one hook is installed for the session and
# only records while a test has switched it on.
_audit = {"events": None}
_WATCHED = ("open", "socket.connect", "socket.getaddrinfo", "socket.gethostbyname", "urllib.Request",
            "os.system", "subprocess.Popen")


def _hook(event, args):
    events = _audit["events"]
    if events is None or event not in _WATCHED:
        return
    if event == "open":
        path = args[0]
        if isinstance(path, bytes):
            path = path.decode(errors="replace")
        # Lazy imports open .py files; only the paths the entities name matter.
        if not isinstance(path, str) or not ("passwd" in path or MARKER in path):
            return
    events.append((event, args))


sys.addaudithook(_hook)


@pytest.fixture
def secret(tmp_path):
    path = tmp_path / f"{MARKER}.txt"
    path.write_text(f"{MARKER} contents\n")
    return path


@pytest.fixture
def audit(secret):
    _audit["events"] = []  # switched on after the secret file was written
    yield _audit["events"]
    _audit["events"] = None


@pytest.fixture
def listener():
    """A local port an entity may name; a connection attempt shows up as a pending accept."""
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.bind(("127.0.0.1", 0))
    srv.listen(8)
    srv.setblocking(False)
    yield srv
    srv.close()


def connected(srv):
    try:
        conn, _ = srv.accept()
    except BlockingIOError:
        return False
    conn.close()
    return True


@pytest.fixture
def thread_crashes(monkeypatch):
    """Exceptions that escaped a thread's target (an uncontrolled end)."""
    seen = []
    monkeypatch.setattr(threading, "excepthook", lambda args: seen.append(args.exc_value))
    return seen


def core_error(xml):
    """What the core itself says about `xml` when it refuses it."""
    with pytest.raises(Exception) as err:
        SequentialEngine().create_tree_from_text(xml)
    return str(err.value)


def refused_setup(engine, xml, tid=BAD_ID):
    """Creates `tid` from `xml`; the set-up must fail on the tree thread, which
    then ends. Returns the text of the RuntimeError a later command gets."""
    engine.create_tree_from_text(xml, tid)
    thread = engine.trees[tid]["thread"]
    thread.join(60)
    assert not thread.is_alive(), "tree thread still running after a refused set-up"
    with pytest.raises(RuntimeError) as err:
        engine.get_tree_status(tid)
    # A second command is refused as promptly as the first.
    with pytest.raises(RuntimeError):
        engine.tick_once(tid)
    engine.stop_tree(tid)
    assert tid not in engine.get_tree_ids()
    return str(err.value)


def still_serves(engine, tid):
    engine.set_blackboard_data(tid, "alive", tid)
    assert engine.tick_once(tid) is NodeStatus.SUCCESS
    assert engine.get_blackboard_data(tid, "alive") == tid


# ------------------------------------------------------- DTDs and entities

# {secret}: a temporary file holding MARKER; {port}: a local listening port.
ENTITY_CASES = {
    "bare_doctype": '<!DOCTYPE root>' + GOOD,
    "dtd_element_decl": '<!DOCTYPE root [<!ELEMENT root ANY>]>' + GOOD,
    "internal_entity": '<!DOCTYPE root [<!ENTITY who "world">]>' + wrap('<Say msg="&who;" out="{o}"/>'),
    "billion_laughs": (
        '<?xml version="1.0"?>\n<!DOCTYPE root [\n<!ENTITY lol0 "lol">\n'
        + "".join(f'<!ENTITY lol{i} "{("&lol" + str(i - 1) + ";") * 10}">\n' for i in range(1, 10))
        + ']>\n' + wrap('<Say msg="&lol9;" out="{o}"/>')),
    "quadratic_blowup": (
        f'<!DOCTYPE root [<!ENTITY a "{"x" * 20000}">]>' + wrap('<Say msg="' + "&a;" * 2000 + '" out="{o}"/>')),
    "external_file_entity": (
        '<!DOCTYPE root [<!ENTITY xxe SYSTEM "file://{secret}">]>' + wrap('<Say msg="&xxe;" out="{o}"/>')),
    "etc_passwd_entity": (
        '<!DOCTYPE root [<!ENTITY xxe SYSTEM "file:///etc/passwd">]>' + wrap('<Say msg="&xxe;" out="{o}"/>')),
    "http_entity": (
        '<!DOCTYPE root [<!ENTITY xxe SYSTEM "http://127.0.0.1:{port}/x">]>' + wrap('<Say msg="&xxe;" out="{o}"/>')),
    "external_dtd_http": '<!DOCTYPE root SYSTEM "http://127.0.0.1:{port}/x.dtd">' + GOOD,
    "external_dtd_file": '<!DOCTYPE root SYSTEM "file://{secret}">' + GOOD,
    "public_dtd": '<!DOCTYPE root PUBLIC "-//X//Y//EN" "http://127.0.0.1:{port}/p.dtd">' + GOOD,
    "parameter_entity": '<!DOCTYPE root [<!ENTITY % p SYSTEM "file://{secret}"> %p;]>' + GOOD,
    "parameter_entity_http": '<!DOCTYPE root [<!ENTITY % p SYSTEM "http://127.0.0.1:{port}/p"> %p;]>' + GOOD,
    "unparsed_entity": (
        '<!DOCTYPE root [<!NOTATION n SYSTEM "x"><!ENTITY u SYSTEM "file://{secret}" NDATA n>]>' + GOOD),
    "doctype_after_blank_lines": '\n\n  <?xml version="1.0"?>\n<!DOCTYPE root [<!ENTITY e "x">]>' + GOOD,
    "entity_without_doctype": wrap('<Say msg="&xxe;" out="{o}"/>'),
}


@pytest.mark.parametrize("case", list(ENTITY_CASES))
def test_dtd_and_entities_refused_without_reading_anything(engine, log, secret, audit, listener, thread_crashes,
                                                           in_daemon, case):
    port = listener.getsockname()[1]
    xml = ENTITY_CASES[case].replace("{secret}", str(secret)).replace("{port}", str(port))

    def body():
        engine.create_tree_from_text(GOOD, "other")
        text = refused_setup(engine, xml)
        still_serves(engine, "other")
        return text

    text = in_daemon(body, timeout=60)
    expected_reason = core_error(xml)
    if case == "entity_without_doctype":
        assert "undefined entity" in expected_reason
    else:
        assert re.search(r"(DOCTYPE|DTD|entit).* not allowed", expected_reason), expected_reason
    assert text == f"行为树 {BAD_ID} 执行命令 get_status 失败: 行为树线程 {BAD_ID} 发生错误: {expected_reason}"
    assert f"行为树线程 {BAD_ID} 发生错误: {expected_reason}" in log.texts("error")
    assert audit == []
    assert not connected(listener), "the parser connected to the URL an entity named"
    everything = " ".join(log.texts()) + text
    assert MARKER + " contents" not in everything and "root:x:" not in everything
    assert thread_crashes == []


# ------------------------------------------------------------- size limits

def nested(tag, depth):
    return wrap(f"<{tag}>" * depth + "<AlwaysSuccess/>" + f"</{tag}>" * depth)


def subtree_bomb(levels=40):
    """Each level includes the next one twice: 2**levels nodes once expanded."""
    trees = "".join(f'<BehaviorTree ID="T{i}"><Sequence><SubTree ID="T{i + 1}"/><SubTree ID="T{i + 1}"/>'
                    f'</Sequence></BehaviorTree>' for i in range(levels))
    return (f'<root BTCPP_format="4" main_tree_to_execute="T0">{trees}'
            f'<BehaviorTree ID="T{levels}"><AlwaysSuccess/></BehaviorTree></root>')


@pytest.mark.parametrize("make_xml, reason", [
    (lambda: nested("Inverter", 5000), "elements are nested deeper than 1024 levels"),
    (lambda: nested("Sequence", 5000), "elements are nested deeper than 1024 levels"),
    (lambda: nested("Inverter", 1000), "nodes are nested deeper than 128 levels"),
    (lambda: nested("Sequence", 128), "nodes are nested deeper than 128 levels"),
    (lambda: wrap("<Sequence>" + "<AlwaysSuccess/>" * 200_000 + "</Sequence>"), "more than 100000 nodes"),
    (subtree_bomb, "more than 100000 nodes"),
], ids=["inverter_5000", "sequence_5000", "inverter_1000", "sequence_128", "flat_200k", "subtree_bomb"])
def test_oversized_trees_refused_cleanly(engine, log, thread_crashes, in_daemon, make_xml, reason):
    xml = make_xml()

    def body():
        engine.create_tree_from_text(GOOD, "before")
        text = refused_setup(engine, xml)
        still_serves(engine, "before")
        engine.create_tree_from_text(GOOD, "after")
        still_serves(engine, "after")
        return text

    text = in_daemon(body, timeout=120)
    assert text.startswith(f"行为树 {BAD_ID} 执行命令 get_status 失败: 行为树线程 {BAD_ID} 发生错误: ")
    assert reason in text
    assert thread_crashes == []
    assert sorted(engine.get_tree_ids()) == ["after", "before"]


@pytest.mark.parametrize("xml, status, nodes", [
    (nested("Inverter", 127), NodeStatus.FAILURE, 128),
    (wrap("<Sequence>" + "<AlwaysSuccess/>" * 99_999 + "</Sequence>"), NodeStatus.SUCCESS, 100_000),
], ids=["deepest_allowed", "largest_allowed"])
def test_trees_at_the_limits_run_on_the_tree_thread(engine, thread_crashes, in_daemon, xml, status, nodes):
    def body():
        tid = engine.create_tree_from_text(xml, "big")
        return engine.tick_once(tid), engine.get_tree_status(tid)["node_count"]

    assert in_daemon(body, timeout=120) == (status, nodes)
    assert thread_crashes == []


# ---------------------------------------------------------- file decoding

@pytest.mark.parametrize("data", [
    XML.replace("hi", "h\xe9").encode("latin-1"),
    XML.encode("utf-16"),
    XML.replace("hi", "\ud800").encode("utf-8", "surrogatepass"),  # an encoded surrogate
    XML.replace("hi", "h").encode() + b"\xc0\xaf",                  # overlong sequence
    XML.encode() + "é".encode()[:1],                                # cut inside a character
], ids=["latin1", "utf16", "encoded_surrogate", "overlong", "truncated"])
def test_non_utf8_file_creates_nothing(engine, log, tmp_path, in_daemon, data):
    path = tmp_path / "tree.xml"
    path.write_bytes(data)
    before = threading.active_count()

    def body():
        with pytest.raises(UnicodeDecodeError):
            engine.create_tree_from_file(str(path), "f")
        return engine.get_tree_ids()

    assert in_daemon(body) == []
    assert engine.trees == {}
    assert log.lines == []
    assert threading.active_count() == before


# ---------------------------------------------- odd identifiers and values

ODD = {
    "huge_1mb": "🌳x" * (1 << 19),
    "nuls": "\x00a\x00b\x00",
    "non_bmp": "🌳\U0010ffff",
    "lone_surrogate": "x\udc80",
}


@pytest.mark.parametrize("odd", list(ODD.values()), ids=list(ODD))
def test_odd_strings_round_trip(engine, log, in_daemon, odd):
    tid, key, value = odd, odd + "/key", [odd]
    copy_xml = wrap('<Say msg="{src}" out="{dst}"/>')

    def body():
        assert engine.create_tree_from_text(copy_xml, tid) == tid
        assert engine.get_tree_ids() == [tid]
        with pytest.raises(ValueError) as dup:
            engine.create_tree_from_text(copy_xml, tid)
        assert str(dup.value) == f"行为树ID {tid} 已存在"
        engine.set_blackboard_data(tid, key, value)
        assert engine.get_blackboard_data(tid, key) is value
        engine.set_blackboard_data(tid, "src", odd)
        assert engine.tick_once(tid) is NodeStatus.SUCCESS
        assert engine.get_blackboard_data(tid, "dst") == odd
        everything = engine.get_all_blackboard_data(tid)
        assert everything[key] is value and everything["dst"] == odd
        with pytest.raises(RuntimeError) as failed:
            engine.set_blackboard_data(tid, "", odd)  # the core refuses empty keys
        engine.stop_tree(tid)
        assert engine.get_tree_ids() == []
        with pytest.raises(ValueError) as missing:
            engine.stop_tree(tid)
        return str(failed.value), str(missing.value)

    failed, missing = in_daemon(body)
    assert failed.startswith(f"行为树 {tid} 执行命令 set_blackboard_data 失败: 处理命令 set_blackboard_data 时发生错误: ")
    assert missing == f"行为树ID {tid} 不存在"
    assert log.texts("info") == [f"创建行为树: {tid}", f"停止行为树: {tid}"]
    errors = log.texts("error")
    assert errors[0] == f"行为树ID {tid} 已存在"
    assert failed in errors and missing in errors
    assert errors[-1] == missing


@pytest.mark.parametrize("odd", list(ODD.values()), ids=list(ODD))
def test_odd_identifier_of_a_refused_tree(engine, log, in_daemon, odd):
    reason = core_error("<broken")
    text = in_daemon(refused_setup, engine, "<broken", odd)
    assert text == f"行为树 {odd} 执行命令 get_status 失败: 行为树线程 {odd} 发生错误: {reason}"
    assert f"行为树线程 {odd} 发生错误: {reason}" in log.texts("error")
    assert log.texts("info") == [f"创建行为树: {odd}", f"停止行为树: {odd}"]


@pytest.mark.parametrize("odd, accepted", [
    (ODD["huge_1mb"], True),
    (ODD["non_bmp"], True),
    (ODD["nuls"], False),            # not an XML character
    (ODD["lone_surrogate"], False),  # cannot be encoded for the parser
], ids=["huge_1mb", "non_bmp", "nuls", "lone_surrogate"])
def test_odd_literal_inside_the_xml(engine, thread_crashes, in_daemon, odd, accepted):
    xml = wrap(f'<Say msg="{odd}" out="{{dst}}"/>')

    def body():
        if not accepted:
            return refused_setup(engine, xml)
        tid = engine.create_tree_from_text(xml, "lit")
        assert engine.tick_once(tid) is NodeStatus.SUCCESS
        return engine.get_blackboard_data(tid, "dst")

    got = in_daemon(body, timeout=60)
    if accepted:
        assert got == odd
    else:
        assert got.startswith(f"行为树 {BAD_ID} 执行命令 get_status 失败: 行为树线程 {BAD_ID} 发生错误: ")
    assert thread_crashes == []
