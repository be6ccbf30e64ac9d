"""C++ allocation failures at every point of every entry point end in MemoryError, never in the
death of the process. A preloaded operator new fails the n-th allocation of a run, for every n
until a run completes untouched."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from testkit.frames import ethernet, ipv4, ipv6, tcp, udp

HERE = Path(__file__).parent

DRIVER = textwrap.dedent("""
    import ctypes, itertools, sys
    from support.loopback import LoopbackTraffic

    injector = ctypes.CDLL(sys.argv[1])
    path = sys.argv[2].encode()

    from varnel.core.base.grapnel import read_pcap, start_sniff
    from varnel.core.ver100.moraine import FeatureExtractor

    def live_packet():
        stream = start_sniff(b"lo")
        next(stream)
        stream.close()

    def live_row():
        stream = FeatureExtractor().process_live(b"lo")
        next(stream)
        stream.close()

    RUNS = {
        "read_pcap": lambda: list(read_pcap(path)),
        "process_pcap": lambda: FeatureExtractor().process_pcap(path),
        "iter_pcap": lambda: list(FeatureExtractor().iter_pcap(path)),
        "start_sniff": live_packet,
        "process_live": live_row,
    }

    with LoopbackTraffic(seconds=300):
        for name in sys.argv[3:]:
            for count in itertools.count():
                injector.varnel_fail_after(count)
                try:
                    RUNS[name]()
                except MemoryError:
                    pass
                finally:
                    failed = injector.varnel_failed()
                    injector.varnel_fail_after(-1)
                if not failed:
                    break
            print(name, count)
""")


@pytest.fixture(scope="module")
def injector(tmp_path_factory) -> Path:
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer's own operator new takes precedence")
    library = tmp_path_factory.mktemp("fail_new") / "fail_new.so"
    subprocess.run(["g++", "-std=c++20", "-O1", "-shared", "-fPIC", "-o", str(library),
                    str(HERE / "fail_new" / "fail_new.cpp")], check=True)
    return library


def test_every_allocation_failure_is_a_memory_error(injector, capture_file):
    frames = [ethernet(ipv4(tcp(), dst=f"10.0.0.{n}")) for n in range(1, 40)]
    frames += [ethernet(ipv6(udp(), next_hdr=17, dst=f"2001:db8::{n:x}"), eth_type=0x86DD) for n in range(1, 40)]
    path = capture_file(frames)
    names = ["read_pcap", "process_pcap", "iter_pcap", "start_sniff", "process_live"]
    search_path = os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), str(HERE)]))
    environment = dict(os.environ, LD_PRELOAD=str(injector), PYTHONPATH=search_path)
    result = subprocess.run([sys.executable, "-c", DRIVER, str(injector), path.decode(), *names],
                            capture_output=True, text=True, env=environment, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    points = dict(line.split() for line in result.stdout.splitlines())
    assert list(points) == names
    # Each run allocated at least its stream (or host table) and failed there once.
    assert all(int(count) >= 1 for count in points.values()), points


# A threaded table read, its Arrow stream consumed through the C interface itself: pyarrow's import
# of a stream cannot bear a failing operator new, ours must, on the main thread and on the readers'.
STREAM_DRIVER = textwrap.dedent("""
    import ctypes, itertools, sys

    injector = ctypes.CDLL(sys.argv[1])
    paths = sys.argv[2:]
    import varnel

    class Stream(ctypes.Structure):
        _fields_ = [(name, ctypes.c_void_p) for name in
                    ("get_schema", "get_next", "get_last_error", "release", "private_data")]

    RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p)
    GET = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
    ERROR = ctypes.PYFUNCTYPE(ctypes.c_char_p, ctypes.c_void_p)
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]

    def release_struct(buffer, release_at):
        release = ctypes.c_void_p.from_buffer(buffer, release_at).value
        if release:
            RELEASE(release)(ctypes.addressof(buffer))

    def read_all():
        # ArrowSchema and ArrowArray: their release callback 8 pointers in, 9 for an array.
        capsule = varnel.read_features_table(paths, jobs=2).__arrow_c_stream__()
        stream = Stream.from_address(get_pointer(capsule, b"arrow_array_stream"))
        schema = ctypes.create_string_buffer(72)
        if GET(stream.get_schema)(ctypes.addressof(stream), ctypes.addressof(schema)) != 0:
            raise MemoryError(ERROR(stream.get_last_error)(ctypes.addressof(stream)))
        release_struct(schema, 56)
        while True:
            array = ctypes.create_string_buffer(80)
            status = GET(stream.get_next)(ctypes.addressof(stream), ctypes.addressof(array))
            if status != 0:
                raise MemoryError(ERROR(stream.get_last_error)(ctypes.addressof(stream)))
            if not ctypes.c_void_p.from_buffer(array, 64).value:
                return
            release_struct(array, 64)

    for count in itertools.count():
        injector.varnel_fail_after(count)
        try:
            read_all()
        except MemoryError as error:
            assert "out of memory" in str(error) or not str(error) or error.args == (None,), error
        finally:
            failed = injector.varnel_failed()
            injector.varnel_fail_after(-1)
        if not failed:
            break
    print(count)
""")


def test_allocation_failures_in_a_threaded_table_read_end_the_stream(injector, capture_file):
    path = capture_file([ethernet(ipv4(tcp(), dst=f"10.0.0.{n}")) for n in range(1, 40)]).decode()
    environment = dict(os.environ, LD_PRELOAD=str(injector))
    result = subprocess.run([sys.executable, "-c", STREAM_DRIVER, str(injector), path, path, path],
                            capture_output=True, text=True, env=environment, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert int(result.stdout) >= 10  # the threads, the readers and their batches each failed in turn
