#!/usr/bin/python3
"""Filters a volume far larger than 2^31 voxels from disk and checks samples of it.

    bench/large_volume.py BUILD_BIN FOLDER [--size X Y Z] [--memory SIZE]

Writes FOLDER/big.mhd (a sparse data file of zeros with spheres, a bar along
x and a noisy block placed across brick boundaries), filters it with
voluna-filter --memory SIZE under /usr/bin/time, then cuts boxes anchored at
the volume's origin out of the input, filters each whole, and compares them
with the same voxels of the streamed result. Only boxes anchored at the
origin can be compared with a whole run: the filter works in whole-volume
coordinates, whose float rounding a shifted origin would change. Voxels
within the reach of a box's cut faces are left out of the comparison.
Prints the time and peak memory of each run. Deletes what it wrote.
"""
import argparse
import os

import numpy as np

import timing

REACH = 5 + 5 + 1  # default samples + steps + 1


def header(path, dims):
    x, y, z = dims
    with open(path, "w") as f:
        f.write("ObjectType = Image\nNDims = 3\nBinaryData = True\nBinaryDataByteOrderMSB = False\n"
                "CompressedData = False\nOffset = 0 0 0\nElementSpacing = 1 1 1\n"
                f"DimSize = {x} {y} {z}\nElementType = MET_UCHAR\n"
                f"ElementDataFile = {os.path.basename(path)[:-4]}.raw\n")


def timed(command):
    seconds, peak_kib, lines = timing.timed(command)
    return seconds, peak_kib, [line for line in lines if line.startswith("voluna-filter")]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("folder")
    parser.add_argument("--size", type=int, nargs=3, default=[2048, 2048, 600])
    parser.add_argument("--memory", default="2G")
    args = parser.parse_args()
    X, Y, Z = args.size
    os.makedirs(args.folder, exist_ok=True)
    big = os.path.join(args.folder, "big.mhd")
    raw = big[:-4] + ".raw"
    out = os.path.join(args.folder, "big-out.raw")
    written = [big, raw, out, out[:-4] + ".mhd"]
    try:
        header(big, (X, Y, Z))
        with open(raw, "wb") as f:
            f.truncate(X * Y * Z)  # sparse: zeros cost no disk
        v = np.memmap(raw, dtype=np.uint8, mode="r+", shape=(Z, Y, X))
        rng = np.random.default_rng(12)
        # Spheres, some across the brick boundaries of the usual plans.
        for cx, cy, cz, r in [(512, 300, 300, 40), (200, 200, 150, 30), (1024, 1024, 300, 60),
                              (1536, 100, 450, 25), (300, 350, 50, 20), (1900, 1900, 580, 35)]:
            z0, z1 = max(cz - r, 0), min(cz + r + 1, Z)
            y0, y1 = max(cy - r, 0), min(cy + r + 1, Y)
            x0, x1 = max(cx - r, 0), min(cx + r + 1, X)
            zz, yy, xx = np.mgrid[z0:z1, y0:y1, x0:x1]
            inside = (xx - cx) ** 2 + (yy - cy) ** 2 + (zz - cz) ** 2 <= r * r
            block = v[z0:z1, y0:y1, x0:x1]
            block[inside] = 200
        v[45:56, 95:106, :] = 160  # a bar along x through every brick of its row
        v[280:312, 100:132, 100:132] = rng.integers(0, 256, (32, 32, 32), dtype=np.uint8)
        v.flush()
        del v

        print(f"volume {X} x {Y} x {Z} = {X * Y * Z} voxels ({X * Y * Z / 2**31:.2f} x 2^31)")
        seconds, peak, notes = timed(["nice", "-n", "10", os.path.join(args.bin, "voluna-filter"),
                                      "--memory", args.memory, "-o", out, big])
        for note in notes:
            print(note)
        print(f"streamed run: {seconds:.1f} s, peak RSS {peak / 1024:.0f} MiB (--memory {args.memory})")

        result = np.memmap(out, dtype=np.uint8, mode="r", shape=(Z, Y, X))
        source = np.memmap(raw, dtype=np.uint8, mode="r", shape=(Z, Y, X))
        for (bx, by, bz) in [(600, 400, 400), (X, 160, 120), (256, 256, Z)]:
            bx, by, bz = min(bx, X), min(by, Y), min(bz, Z)
            part = os.path.join(args.folder, "part.mhd")
            part_out = os.path.join(args.folder, "part-out.raw")
            written += [part, part[:-4] + ".raw", part_out, part_out[:-4] + ".mhd"]
            header(part, (bx, by, bz))
            np.ascontiguousarray(source[:bz, :by, :bx]).tofile(part[:-4] + ".raw")
            seconds, peak, _ = timed(["nice", "-n", "10", os.path.join(args.bin, "voluna-filter"),
                                      "--memory", "20G", "-o", part_out, part])
            whole = np.fromfile(part_out, dtype=np.uint8).reshape(bz, by, bx)
            # Voxels within the reach of a cut face see the cut, not the volume.
            ex, ey, ez = [n if n == full else n - REACH for n, full in ((bx, X), (by, Y), (bz, Z))]
            same = np.array_equal(whole[:ez, :ey, :ex], result[:ez, :ey, :ex])
            differ = int(np.count_nonzero(whole[:ez, :ey, :ex] != result[:ez, :ey, :ex]))
            print(f"box [0,{bx}) x [0,{by}) x [0,{bz}): whole run {seconds:.1f} s, peak RSS {peak / 1024:.0f} MiB; "
                  f"{ex * ey * ez} voxels compared, {'identical' if same else f'{differ} differ'}; "
                  f"{int(np.count_nonzero(whole[:ez, :ey, :ex] != source[:ez, :ey, :ex]))} changed by the filter")
            for path in (part, part[:-4] + ".raw", part_out, part_out[:-4] + ".mhd"):
                os.remove(path)
    finally:
        for path in written:
            if os.path.exists(path):
                os.remove(path)


if __name__ == "__main__":
    main()
