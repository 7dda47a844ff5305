#!/usr/bin/env python3
"""Writes the MetaImage files that the io tests load: valid/ holds unusual but
sound volumes, hostile/ holds broken and malicious ones. The files are kept in
the repository; run this again only to change them (python3, standard library
only). valid/u8_pattern_filtered.raw is not made here: it is what
voluna-filter gave for valid/u8_pattern.mhd before loading learned to convert
other scalar types, kept to show that 8-bit volumes still filter to the same
bytes."""

import gzip
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
VALID = os.path.join(HERE, "valid")
HOSTILE = os.path.join(HERE, "hostile")


def put(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def header(dims, element_type, data_file="LOCAL", extra=""):
    return ("ObjectType = Image\n"
            f"NDims = {len(dims)}\n"
            "BinaryData = True\n"
            "BinaryDataByteOrderMSB = False\n"
            f"{extra}"
            f"DimSize = {' '.join(str(d) for d in dims)}\n"
            f"ElementType = {element_type}\n"
            f"ElementDataFile = {data_file}\n")


def u8_pattern():
    # Structure for the filter to follow: a tilted slab over a ramp.
    x_size, y_size, z_size = 12, 10, 8
    out = bytearray()
    for z in range(z_size):
        for y in range(y_size):
            for x in range(x_size):
                slab = 180 if abs((x + 2 * y - 3 * z) % 12 - 6) < 2 else 0
                out.append((slab + 7 * x + 3 * y + 11 * z) % 256)
    return (x_size, y_size, z_size), bytes(out)


def make_valid():
    dims, data = u8_pattern()
    put(VALID, "u8_pattern.raw", data)
    put(VALID, "u8_pattern.mhd", header(dims, "MET_UCHAR", "u8_pattern.raw",
                                        "ElementSpacing = 0.5 0.5 2\n"))

    c = zlib.compress(data, 9)
    put(VALID, "u8_pattern_zlib.mha",
        header(dims, "MET_UCHAR", extra=f"CompressedData = True\nCompressedDataSize = {len(c)}\n").encode() + c)

    # CT-like: air, water, bone and the top of the 12-bit range.
    ct = [-1024, 0, 1000, 3071] * 15
    put(VALID, "s16_ct.mha", header((5, 4, 3), "MET_SHORT").encode() + struct.pack("<60h", *ct))
    put(VALID, "s16_ct_msb.mha",
        header((5, 4, 3), "MET_SHORT").replace("BinaryDataByteOrderMSB = False",
                                                 "BinaryDataByteOrderMSB = True").encode()
        + struct.pack(">60h", *ct))
    g = gzip.compress(struct.pack("<60h", *ct), mtime=0)
    put(VALID, "s16_ct_gzip.zraw", g)
    put(VALID, "s16_ct_gzip.mhd",
        header((5, 4, 3), "MET_SHORT", "s16_ct_gzip.zraw", "CompressedData = True\n"))

    # A reconstruction with values below zero, and holes marked NaN and inf.
    values = [-0.5, 0.0, 0.25, 1.5] * 6
    values[5] = float("nan")
    values[6] = float("inf")
    values[7] = float("-inf")
    put(VALID, "f32_recon.raw", struct.pack("<24f", *values))
    put(VALID, "f32_recon.mhd", header((4, 3, 2), "MET_FLOAT", "f32_recon.raw"))

    put(VALID, "u8_slice.mha", header((5, 4), "MET_UCHAR").encode() + bytes(range(10, 30)))
    put(VALID, "u8_single_voxel.mha", header((1, 1, 1), "MET_UCHAR").encode() + bytes([200]))
    put(VALID, "s16_single_voxel.mha", header((1, 1, 1), "MET_SHORT").encode() + struct.pack("<h", -7))

    # Data behind a foreign header of 16 bytes, and data at the end of a file.
    put(VALID, "u8_skip.raw", b"FOREIGN-HEADER!!" + bytes(range(24)) + b"TRAILER!")
    put(VALID, "u8_skip.mhd", header((4, 3, 2), "MET_UCHAR", "u8_skip.raw", "HeaderSize = 16\n"))
    put(VALID, "u8_tail.mhd", header((4, 3, 2), "MET_UCHAR", "u8_skip.raw", "HeaderSize = -1\n"))


def make_hostile():
    ok = header((2, 2, 2), "MET_UCHAR")
    eight = bytes(range(8))

    def mha(name, text, data=eight):
        put(HOSTILE, name, text.encode() + data)

    put(HOSTILE, "empty.mha", b"")
    # Deterministic noise, newlines and NULs included.
    noise = bytearray()
    state = 12345
    for _ in range(4096):
        state = (1103515245 * state + 12345) % (1 << 31)
        noise.append(state >> 16 & 0xFF)
    put(HOSTILE, "binary_garbage.mha", bytes(noise))
    put(HOSTILE, "no_datafile_line.mha", "ObjectType = Image\nNDims = 3\nDimSize = 2 2 2\nElementType = MET_UCHAR\n")
    mha("ndims4.mha", header((2, 2, 2, 1), "MET_UCHAR"))
    mha("ndims1.mha", header((8,), "MET_UCHAR"))
    mha("ndims_missing.mha", ok.replace("NDims = 3\n", ""))
    mha("ndims_fraction.mha", ok.replace("NDims = 3", "NDims = 2.5"))
    mha("dimsize_missing.mha", ok.replace("DimSize = 2 2 2\n", ""))
    mha("dimsize_zero.mha", header((2, 0, 2), "MET_UCHAR"))
    mha("dimsize_negative.mha", header((2, -3, 2), "MET_UCHAR"))
    mha("dimsize_enormous.mha", header((100000, 100000, 100000), "MET_UCHAR"))
    mha("dimsize_beyond_int.mha", header((2, 99999999999999999999, 2), "MET_UCHAR"))
    mha("dimsize_2_31_voxels.mha", header((2048, 1024, 1024), "MET_UCHAR"))
    mha("dimsize_too_few.mha", ok.replace("DimSize = 2 2 2", "DimSize = 2 2"))
    mha("dimsize_too_many.mha", ok.replace("DimSize = 2 2 2", "DimSize = 2 2 2 2"))
    mha("dimsize_not_a_number.mha", ok.replace("DimSize = 2 2 2", "DimSize = 2 two 2"))
    mha("dimsize_before_ndims.mha", ok.replace("NDims = 3\n", "").replace("DimSize = 2 2 2\n", "DimSize = 2 2 2\nNDims = 3\n"))
    mha("dimsize_twice.mha", ok.replace("DimSize = 2 2 2\n", "DimSize = 2 2 2\nDimSize = 1 1 1\n"))
    mha("elementtype_unknown.mha", header((2, 2, 2), "MET_BANANA"))
    mha("elementtype_missing.mha", ok.replace("ElementType = MET_UCHAR\n", ""))
    mha("elementtype_long.mha", header((2, 2, 2), "MET_LONG"), bytes(64))
    mha("elementtype_long_long.mha", header((2, 2, 2), "MET_LONG_LONG"), bytes(64))
    mha("elementtype_float_array.mha", header((2, 2, 2), "MET_FLOAT_ARRAY"), bytes(64))
    mha("channels3.mha", header((2, 2, 2), "MET_UCHAR", extra="ElementNumberOfChannels = 3\n"), bytes(24))
    mha("text_voxels.mha", ok.replace("BinaryData = True", "BinaryData = False"), b"0 1 2 3 4 5 6 7\n")
    mha("local_cut_short.mha", header((4, 4, 4), "MET_UCHAR"), bytes(50))
    mha("local_headersize.mha", header((2, 2, 2), "MET_UCHAR", extra="HeaderSize = 4\n"))
    mha("spacing_too_few.mha", ok.replace("DimSize", "ElementSpacing = 1 1\nDimSize"))
    mha("spacing_not_finite.mha", ok.replace("DimSize", "ElementSpacing = 1 1 1e999\nDimSize"))
    mha("nul_in_header.mha", ok.replace("NDims = 3", "NDims = 3\0\0\0"))
    mha("line_of_a_megabyte.mha", ok.replace("DimSize", "Comment = " + "x" * (1 << 20) + "\nDimSize"))
    mha("long_value.mha", ok.replace("DimSize", "Comment = " + "y" * 300 + "\nDimSize"))
    mha("long_key.mha", ok.replace("DimSize", "K" * 300 + " = 1\nDimSize"))
    mha("not_key_value.mha", ok.replace("DimSize", "# a comment without a key\nDimSize"))
    # MetaIO takes only LOCAL, Local and local as "data follows".
    mha("local_misspelt.mha", ok.replace("= LOCAL", "= lOCAL"))
    mha("boolean_unclear.mha", ok.replace("BinaryDataByteOrderMSB = False", "BinaryDataByteOrderMSB = maybe"))

    # Separate data files.
    put(HOSTILE, "datafile_missing.mhd", header((2, 2, 2), "MET_UCHAR", "nowhere.raw"))
    put(HOSTILE, "datafile_short.raw", bytes(90))
    put(HOSTILE, "datafile_short.mhd", header((10, 10, 1), "MET_UCHAR", "datafile_short.raw"))
    put(HOSTILE, "datafile_folder.mhd", header((2, 2, 2), "MET_UCHAR", "a_folder"))
    put(os.path.join(HOSTILE, "a_folder"), "keep", b"a folder where a data file should be\n")
    put(HOSTILE, "datafile_device.mhd", header((2, 2, 2), "MET_UCHAR", "/dev/zero"))
    put(HOSTILE, "datafile_list.mhd", header((2, 2, 2), "MET_UCHAR", "LIST 2D") + "slice0.raw\nslice1.raw\n")
    put(HOSTILE, "datafile_pattern.mhd", header((2, 2, 2), "MET_UCHAR", "slice%03d.raw 1 2 1"))
    put(HOSTILE, "headersize_negative.mhd", header((2, 2, 2), "MET_UCHAR", "datafile_short.raw", "HeaderSize = -5\n"))
    put(HOSTILE, "headersize_beyond.mhd", header((2, 2, 2), "MET_UCHAR", "datafile_short.raw", "HeaderSize = 88\n"))
    put(os.path.join(HOSTILE, "folder.mha"), "keep", b"a folder named like a volume\n")

    # Compressed data.
    payload = bytes(range(256)) * 4
    stream = zlib.compress(payload, 9)
    dims = (16, 8, 8)
    comp = "CompressedData = True\nCompressedDataSize = {}\n"
    corrupt = bytearray(stream)
    for i in range(len(corrupt) // 3, len(corrupt) // 3 + 8):
        corrupt[i] ^= 0x5A
    mha("compressed_corrupt.mha", header(dims, "MET_UCHAR", extra=comp.format(len(corrupt))), bytes(corrupt))
    cut = stream[: len(stream) // 2]
    mha("compressed_truncated.mha", header(dims, "MET_UCHAR", extra=comp.format(len(cut))), cut)
    mha("compressed_size_enormous.mha", header(dims, "MET_UCHAR", extra=comp.format(10**15)), stream)
    mha("compressed_size_missing.mha", header(dims, "MET_UCHAR", extra="CompressedData = True\n"), stream)
    small = zlib.compress(payload[:100])
    mha("compressed_too_little.mha", header(dims, "MET_UCHAR", extra=comp.format(len(small))), small)
    mha("compressed_not_zlib.mha", header(dims, "MET_UCHAR", extra=comp.format(len(payload))), payload)


if __name__ == "__main__":
    make_valid()
    make_hostile()
