"""The extension exports exactly one symbol: its initialiser."""

import struct

import pytest

import nimbrel


def defined_dynamic_symbols(path):
    """Names of the defined global/weak symbols in an ELF64 little-endian .dynsym."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        pytest.skip("not an ELF64 little-endian shared object")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    names = []
    for _name, sh_type, _flags, _addr, offset, size, link, _info, _align, entsize in sections:
        if sh_type != 11:  # SHT_DYNSYM
            continue
        str_offset = sections[link][4]
        for pos in range(offset, offset + size, entsize):
            st_name, st_info, _other, st_shndx, _value, _size = struct.unpack_from("<IBBHQQ", data, pos)
            binding = st_info >> 4
            if st_shndx == 0 or binding not in (1, 2, 10):  # undefined, or local
                continue
            end = data.index(b"\0", str_offset + st_name)
            names.append(data[str_offset + st_name:end].decode())
    return names


def test_only_the_module_initialiser_is_exported():
    assert defined_dynamic_symbols(nimbrel.__file__) == ["PyInit_nimbrel"]
