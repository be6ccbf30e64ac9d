"""Every numeric option of every reader is checked at the call, before anything opens: a value of
the wrong type raises TypeError, one out of range (huge, negative, zero where that means nothing,
nan) ValueError — never an OverflowError from deeper down."""

import math

import pytest

import varnel
import varnel.dask

# (reader, its positional arguments, option, whether it takes fractions of a second)
OPTIONS = [
    (varnel.sniff_packets, ("lo",), "snaplen", False),
    (varnel.sniff_packets, ("lo",), "buffer_size", False),
    (varnel.sniff_packets, ("lo",), "timeout", True),
    (varnel.sniff_features, ("lo",), "snaplen", False),
    (varnel.sniff_features, ("lo",), "timeout", True),
    (varnel.read_packets_table, ("a.pcap",), "batch_size", False),
    (varnel.read_features_table, ("a.pcap",), "batch_size", False),
    (varnel.read_features_table, (["a.pcap", "b.pcap"],), "jobs", False),
    (varnel.sniff_packets_table, ("lo",), "batch_size", False),
    (varnel.sniff_packets_table, ("lo",), "snaplen", False),
    (varnel.sniff_packets_table, ("lo",), "buffer_size", False),
    (varnel.sniff_packets_table, ("lo",), "timeout", True),
    (varnel.sniff_packets_table, ("lo",), "batch_timeout", True),
    (varnel.sniff_features_table, ("lo",), "limit", False),
    (varnel.dask.read_features, ("a.pcap",), "split_bytes", False),
    (varnel.dask.read_packets, ("a.pcap",), "split_bytes", False),
]
# Documented exceptions to the rule that a wrong type is a TypeError: these say ValueError for anything
# that is not a positive int (None meaning no limit).
POSITIVE_INT_OR_VALUE_ERROR = {"jobs", "limit"}


def expected_error(option: str, fractional: bool, value):
    if option in ("limit", "split_bytes") and value is None:
        return None  # no limit, no split
    if isinstance(value, float) and fractional:
        return None if math.isfinite(value) else ValueError
    wrong_type = isinstance(value, (bool, str, float)) or value is None
    if option in POSITIVE_INT_OR_VALUE_ERROR:
        return ValueError
    return TypeError if wrong_type else ValueError


@pytest.mark.parametrize("reader, arguments, option, fractional", OPTIONS,
                         ids=[f"{reader.__name__}-{option}" for reader, _, option, _ in OPTIONS])
@pytest.mark.parametrize("value", [2**64, -1, 0, math.nan, math.inf, True, "3", None, 1.5], ids=repr)
def test_a_bad_value_is_refused_at_the_call(reader, arguments, option, fractional, value):
    error = expected_error(option, fractional, value)
    if option == "buffer_size" and value == 0:
        error = None  # 0 keeps libpcap's default
    if option == "batch_size" and value is None and reader in (varnel.read_packets_table, varnel.sniff_packets_table):
        error = None  # the default of the mode: larger batches with dictionary
    if error is None:
        return
    with pytest.raises(error, match=option):
        reader(*arguments, **{option: value})


def test_the_table_readers_are_listed_with_the_streams():
    names = dir(varnel)
    assert {"read_packets_table", "read_features_table", "sniff_packets_table", "sniff_features_table",
            "read_packets", "sniff_features"} <= set(names)
    assert names == sorted(names)
