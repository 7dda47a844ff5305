#!/usr/bin/python3
"""Streamed runs of typed volumes against whole runs of the same files.

    bench/streamed_types.py BUILD_BIN FOLDER [--size N] [--memory SIZE] [--repeat R]

Writes three N^3 volumes of one picture into FOLDER (a constant background,
two tubes and a noisy block): int16 values from -1000 to 3000 as a
big-endian NRRD, float32 values as a MetaImage, and its bytes as a
MetaImage, which streams without a first pass: the baseline for what the
types add. Filters each whole and with --memory SIZE
(streamed: a first pass for the value range, then bricks), R times each
under /usr/bin/time, into .nii and .nrrd results. Prints the median time and
peak memory of each, their ratios, and whether the results are the same
bytes. Deletes what it wrote.
"""
import argparse
import os
import statistics

import numpy as np

import timing


def volume(n, seed):
    rng = np.random.default_rng(seed)
    z, y, x = np.mgrid[0:n, 0:n, 0:n].astype(np.float32)
    unit = np.full((n, n, n), 0.35, np.float32)
    unit[((y - n / 2) ** 2 + (z - n / 3) ** 2) < (n / 10) ** 2] = 0.8
    unit[((x - n / 3) ** 2 + (z - n / 2) ** 2) < (n / 12) ** 2] = 0.6
    b = max(4, n // 6)
    unit[:b, n - b:, :b] = rng.random((b, b, b), dtype=np.float32)
    return unit


def timed(command):
    seconds, peak_kib, _ = timing.timed(command)
    return seconds, peak_kib / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("folder")
    parser.add_argument("--size", type=int, default=128)
    parser.add_argument("--memory", default="16M")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    n = args.size
    os.makedirs(args.folder, exist_ok=True)
    tool = os.path.join(args.bin, "voluna-filter")
    written = []

    s16 = os.path.join(args.folder, "s16.nrrd")
    with open(s16, "wb") as f:
        f.write(f"NRRD0004\ntype: short\ndimension: 3\nsizes: {n} {n} {n}\nendian: big\nencoding: raw\n\n".encode())
        f.write(np.round(-1000 + 4000 * volume(n, 1)).astype(">i2").tobytes())
    f32 = os.path.join(args.folder, "f32.mhd")
    with open(f32, "w") as f:
        f.write(f"ObjectType = Image\nNDims = 3\nBinaryData = True\nBinaryDataByteOrderMSB = False\n"
                f"ElementSpacing = 0.5 0.5 1\nDimSize = {n} {n} {n}\nElementType = MET_FLOAT\n"
                f"ElementDataFile = f32.raw\n")
    (volume(n, 1) * 7.25 - 2.5).astype("<f4").tofile(os.path.join(args.folder, "f32.raw"))
    u8 = os.path.join(args.folder, "u8.mhd")
    with open(u8, "w") as f:
        f.write(f"ObjectType = Image\nNDims = 3\nBinaryData = True\nBinaryDataByteOrderMSB = False\n"
                f"DimSize = {n} {n} {n}\nElementType = MET_UCHAR\nElementDataFile = u8.raw\n")
    np.round(volume(n, 1) * 255).astype(np.uint8).tofile(os.path.join(args.folder, "u8.raw"))
    written += [s16, f32, os.path.join(args.folder, "f32.raw"), u8, os.path.join(args.folder, "u8.raw")]

    idle = timed([tool, "--help"])[1]
    print(f"{n}^3 voxels, --memory {args.memory}, {args.repeat} runs each, medians; idle program {idle:.0f} MiB")
    for source, output in ((u8, "mhd"), (s16, "nii"), (f32, "nrrd")):
        results = {}
        for mode, extra in (("whole", []), ("streamed", ["--memory", args.memory])):
            target = os.path.join(args.folder, f"{mode}.{output}")
            runs = [timed([tool] + extra + ["-o", target, source]) for _ in range(args.repeat)]
            results[mode] = (statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs), target)
            written += [target, target[:-4] + ".raw"] if output == "mhd" else [target]
        data = [results[m][2][:-4] + ".raw" if output == "mhd" else results[m][2] for m in ("whole", "streamed")]
        same = open(data[0], "rb").read() == open(data[1], "rb").read()
        (wt, wm, _), (st, sm, _) = results["whole"], results["streamed"]
        print(f"{os.path.basename(source)} -> .{output}: whole {wt:.1f} s, {wm:.0f} MiB; streamed {st:.1f} s, "
              f"{sm:.0f} MiB; time x{st / wt:.2f}, memory x{sm / wm:.2f}; same bytes: {same}")
    for path in written:
        if os.path.exists(path):
            os.remove(path)


if __name__ == "__main__":
    main()
