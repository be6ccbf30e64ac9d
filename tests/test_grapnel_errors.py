"""What reaches the caller when the argument, the file or the device is wrong."""

import warnings

import pytest

from testkit.frames import ETH_IPV4, Record, ethernet, ipv4, pcap_bytes, tcp, udp
from support.resources import open_count, packet_socket_count
from varnel.core.base.grapnel import read_pcap, start_sniff

FUNCTIONS = [pytest.param(read_pcap, "file_path", id="read_pcap"),
             pytest.param(start_sniff, "device_name", id="start_sniff")]


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("function, keyword", FUNCTIONS)
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "{name}() takes exactly 1 positional argument (0 given)"),
    ((b"a", b"b"), {}, "{name}() takes exactly 1 positional argument (2 given)"),
    ((), {"other": b"a"}, "{name}() takes exactly 1 positional argument (0 given)"),
    ((b"a",), {"other": b"b"}, "{name}() got an unexpected keyword argument 'other'"),
    ((), {"{keyword}": b"a", "other": b"b"}, "{name}() got an unexpected keyword argument 'other'"),
    ((b"a",), {"{keyword}": b"b"}, "{name}() got multiple values for keyword argument '{keyword}'"),
    (("a",), {}, "Argument '{keyword}' has incorrect type (expected bytes, got str)"),
    ((), {"{keyword}": "a"}, "Argument '{keyword}' has incorrect type (expected bytes, got str)"),
    ((bytearray(b"a"),), {}, "Argument '{keyword}' has incorrect type (expected bytes, got bytearray)"),
    ((memoryview(b"a"),), {}, "Argument '{keyword}' has incorrect type (expected bytes, got memoryview)"),
    ((BytesSubclass(b"a"),), {}, "Argument '{keyword}' has incorrect type (expected bytes, got BytesSubclass)"),
    ((1,), {}, "Argument '{keyword}' has incorrect type (expected bytes, got int)"),
], ids=["none", "two", "other keyword only", "positional and other keyword", "own and other keyword",
        "positional and own keyword", "str", "str by keyword", "bytearray", "memoryview", "bytes subclass", "int"])
def test_argument_errors_at_the_call(function, keyword, args, kwargs, message):
    kwargs = {key.format(keyword=keyword): value for key, value in kwargs.items()}
    with pytest.raises(TypeError) as error:
        function(*args, **kwargs)
    assert str(error.value) == message.format(name=function.__name__, keyword=keyword)


@pytest.mark.parametrize("function, keyword", FUNCTIONS)
def test_the_argument_by_keyword(function, keyword, capture_file):
    path = capture_file([ethernet(ipv4(tcp()))])
    argument = path if function is read_pcap else b"no-such-device0"
    generator = function(**{keyword: argument})
    assert generator.__name__ == function.__name__
    generator.close()


def test_a_path_in_any_encoding_is_passed_unchanged(tmp_path):
    path = bytes(tmp_path) + b"/caf\xe9 \xff.pcap"  # not UTF-8
    with open(path, "wb") as file:
        file.write(pcap_bytes([ethernet(ipv4(tcp()))]))
    assert len(list(read_pcap(path))) == 1


@pytest.mark.parametrize("function, keyword", FUNCTIONS)
def test_none_fails_at_the_first_advance(function, keyword):
    generator = function(None)
    with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
        next(generator)
    with pytest.raises(StopIteration):
        next(generator)


@pytest.mark.parametrize("function, name, prefix, detail", [
    (read_pcap, b"/nonexistent/dir/x.pcap", "Could not open file: ", "/nonexistent/dir/x.pcap: No such file"),
    (read_pcap, b"/", "Could not open file: ", "Is a directory"),
    (start_sniff, b"no-such-device0", "Could not open device: ", "no-such-device0"),
])
def test_open_failures_carry_libpcaps_text(function, name, prefix, detail):
    generator = function(name)
    with pytest.raises(RuntimeError) as error:
        next(generator)
    assert str(error.value).startswith(prefix)
    assert detail in str(error.value)
    with pytest.raises(StopIteration):
        next(generator)


def test_a_file_that_is_not_a_capture(tmp_path):
    path = tmp_path / "notes.txt"
    path.write_bytes(b"not a capture file at all\n" * 4)
    with pytest.raises(RuntimeError, match="^Could not open file: .+"):
        next(read_pcap(bytes(path)))
    assert open_count(path) == 0


def test_an_error_text_that_is_not_utf8_keeps_its_type_and_escapes_the_bytes():
    with pytest.raises(RuntimeError) as raised:
        next(read_pcap(b"/nonexistent/\xff\xfe.pcap"))
    assert str(raised.value) == r"Could not open file: /nonexistent/\xff\xfe.pcap: No such file or directory"
    assert raised.value.reason == r"/nonexistent/\xff\xfe.pcap: No such file or directory"


@pytest.mark.parametrize("function, name", [
    pytest.param(read_pcap, "{path}\0.junk", id="read_pcap"),
    pytest.param(start_sniff, "lo\0junk", id="start_sniff"),
])
def test_an_embedded_nul_fails_at_the_first_advance_and_opens_nothing(capture_file, function, name):
    path = capture_file([ethernet(ipv4(tcp()))])  # the name before the NUL exists
    argument = name.format(path=path.decode()).encode()
    generator = function(argument)
    with pytest.raises(ValueError, match="^embedded null byte$"):
        next(generator)
    assert (open_count(path), packet_socket_count()) == (0, 0)
    with pytest.raises(StopIteration):
        next(generator)


# ---- Damaged files: the frames before the damage, then a warning.

GOOD_FRAMES = [ethernet(ipv4(udp(sport=port), proto=17)) for port in (1, 2, 3)]


@pytest.mark.parametrize("kept_of_last_record, libpcap_text", [
    pytest.param(11, "truncated dump file; tried to read 16 header bytes, only got 11", id="inside a record header"),
    pytest.param(16 + 32, "truncated dump file; tried to read 42 captured bytes, only got 32",
                 id="inside the frame bytes"),
])
def test_a_truncated_file_yields_what_precedes_the_damage_then_warns(tmp_path, kept_of_last_record, libpcap_text):
    data = pcap_bytes(GOOD_FRAMES)
    last_record = 16 + len(GOOD_FRAMES[-1])
    path = tmp_path / "cut.pcap"
    path.write_bytes(data[:len(data) - last_record + kept_of_last_record])
    generator = read_pcap(bytes(path))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert [packet["src_port"] for packet in generator] == [1, 2]
    assert [(w.category, str(w.message)) for w in caught] == [
        (RuntimeWarning, f"Could not read file: {libpcap_text}")]
    assert open_count(path) == 0


def test_a_file_ending_on_a_record_boundary_does_not_warn(capture_file):
    path = capture_file(GOOD_FRAMES)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(list(read_pcap(path))) == 3


@pytest.mark.parametrize("data, ports_first, message", [
    pytest.param(pcap_bytes(GOOD_FRAMES)[:-5], [1, 2], "truncated dump file", id="truncated"),
    pytest.param(pcap_bytes(GOOD_FRAMES, linktype=105), [], "link-layer type", id="another link type"),
])
def test_the_warning_raised_as_an_error_still_closes_the_file(tmp_path, data, ports_first, message):
    path = tmp_path / "damaged.pcap"
    path.write_bytes(data)
    generator = read_pcap(bytes(path))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert [next(generator)["src_port"] for _ in ports_first] == ports_first
        with pytest.raises(RuntimeWarning, match=message):
            next(generator)
    assert open_count(path) == 0
    with pytest.raises(StopIteration):
        next(generator)


@pytest.mark.parametrize("linktype, name", [
    pytest.param(105, "IEEE802_11 (105)", id="Wi-Fi"),
    pytest.param(127, "IEEE802_11_RADIO (127)", id="radiotap"),
    pytest.param(6, "IEEE802 (6)", id="token ring"),
])
def test_a_file_of_an_unsupported_link_type_warns_and_yields_nothing(capture_file, linktype, name):
    # Frames that an Ethernet decoder would take for IPv4: bytes 12-13 are 0x0800.
    frame = Record(ethernet(ipv4(tcp()), eth_type=ETH_IPV4))
    path = capture_file([frame, frame], linktype=linktype)
    generator = read_pcap(path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert list(generator) == []
    assert [(w.category, str(w.message)) for w in caught] == [
        (RuntimeWarning, f"Could not read file: link-layer type {name} is not supported; no frame can be decoded")]
    assert open_count(path) == 0
