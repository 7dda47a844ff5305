#!/usr/bin/python3
"""How well Voluna's denoiser restores volumes with known ground truth, next
to the filters users pick today, each of those tuned on the truth.

Prints a markdown table (PSNR within 2 voxels of a surface and over all
voxels, every scene, every method) and writes one slice per scene (noisy,
each method, clean) to a PNG. Run through bench/quality/run.sh, or:

    /usr/bin/python3 bench/quality/denoise_quality.py --build build [--retune]

Anchors are tuned on the truth: every setting of a grid is run and the best
is kept, per metric. The best settings are cached in anchor_cache.json next
to this script, keyed by each scene's noisy volume; --retune runs the whole
grids again (a few minutes a scene on two cores) and rewrites the cache.
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CACHE = os.path.join(HERE, "anchor_cache.json")

SCENES = ["vessels", "sheets", "fibres", "anisotropic", "mri"]


def grid(**axes):
    """Every combination of the axes, as "key=value,..." settings."""
    settings = [""]
    for key, values in axes.items():
        settings = [(s + "," if s else "") + f"{key}={v:g}" for s in settings for v in values]
    return settings


def anchors(sigma):
    """The grids each anchor is tuned over. Range parameters follow the true
    noise sigma of the scene: the anchors are told the truth."""
    return {
        "ITK curvature anisotropic diffusion": (
            "itk", "curvature",
            grid(iterations=[2, 3, 5, 10, 20, 40], conductance=[0.5, 1, 2, 4, 8])),
        "ITK gradient anisotropic diffusion": (
            "itk", "gradient",
            grid(iterations=[2, 3, 5, 10, 20, 40], conductance=[0.5, 1, 2, 4, 8])),
        "ITK bilateral": (
            "itk", "bilateral",
            grid(domain=[0.5, 0.75, 1, 1.5, 2], range=[f * sigma for f in (0.5, 1, 2, 3, 4, 5)])),
        "scikit-image NL-means": (
            "nlm", None,
            grid(patch=[3, 5], distance=[4, 5], h=[f * sigma for f in (0.4, 0.6, 0.8, 1.0, 1.2, 1.4)])),
        "scikit-image TV (Chambolle)": (
            "tv", None, grid(weight=[0.01, 0.015, 0.02, 0.03, 0.04, 0.06, 0.08, 0.12, 0.16, 0.24])),
        "median 3x3x3": ("itk", "median", [""]),
    }


VOLUNA = [
    ("Voluna default filter", "default", ""),
    ("Voluna --preserve-edges", "edges", ""),
    ("Voluna --denoise (automatic strength)", "denoise", ""),
]


class Scene:
    def __init__(self, folder):
        self.folder = folder
        self.name = os.path.basename(folder)
        info = {}
        with open(os.path.join(folder, "info.txt")) as f:
            for line in f:
                key, _, value = line.strip().partition(" ")
                info[key] = value
        self.label = info["label"]
        dims = [int(v) for v in info["dims"].split()]
        self.shape = (dims[2], dims[1], dims[0])
        self.spacing = [float(v) for v in info["spacing"].split()]
        self.sigma = float(info["sigma"])
        self.noisy = self.read("noisy.raw")
        self.clean = self.read("clean.raw")
        self.near = np.fromfile(os.path.join(folder, "near.raw"), dtype=np.uint8).reshape(self.shape) > 0
        self.fingerprint = hashlib.sha256(self.noisy.tobytes()).hexdigest()[:16]

    def read(self, name, folder=None):
        path = os.path.join(folder or self.folder, name)
        return np.fromfile(path, dtype=np.float32).reshape(self.shape)

    def scores(self, result):
        error = (result.astype(np.float64) - self.clean) ** 2
        return (10 * np.log10(255.0 ** 2 / error[self.near].mean()),
                10 * np.log10(255.0 ** 2 / error.mean()))


def run_tool(tool, scene, method, settings, work):
    out = os.path.join(work, "results", scene.name, method)
    log = subprocess.run([tool, "filter", scene.folder, method, out] + settings,
                         capture_output=True, text=True)
    if log.returncode != 0:
        sys.exit(f"denoise_quality: {method} on {scene.name} failed:\n{log.stderr}")
    return [scene.read(f"{i}.raw", out) for i in range(len(settings))], log.stderr


def run_python(kind, scene, settings):
    from skimage.restoration import denoise_nl_means, denoise_tv_chambolle

    results = []
    unit = scene.noisy / 255.0
    for s in settings:
        p = dict((k, float(v)) for k, v in (item.split("=") for item in s.split(",")))
        if kind == "nlm":
            r = denoise_nl_means(unit, patch_size=int(p["patch"]), patch_distance=int(p["distance"]),
                                 h=p["h"] / 255.0, sigma=scene.sigma / 255.0, fast_mode=True)
        else:
            r = denoise_tv_chambolle(unit, weight=p["weight"])
        results.append((np.asarray(r) * 255.0).astype(np.float32))
    return results


def tune(name, anchor, scene, tool, work, cache, retune):
    kind, method, settings = anchor
    key = f"{scene.name}/{name}"
    # A cached choice holds only for the same noisy volume and the same grid.
    grid_id = hashlib.sha256("\n".join(settings).encode()).hexdigest()[:16]
    cached = cache.get(key)
    if (not retune and cached and cached["fingerprint"] == scene.fingerprint
            and cached.get("grid") == grid_id and len(settings) > 1):
        settings = sorted(set([cached["near"], cached["all"]]))
    if kind == "itk":
        results, _ = run_tool(tool, scene, method, settings, work)
    else:
        results = run_python(kind, scene, settings)
    scored = [(scene.scores(r), s, r) for r, s in zip(results, settings)]
    best_near = max(scored, key=lambda t: t[0][0])
    best_all = max(scored, key=lambda t: t[0][1])
    if len(settings) == len(anchor[2]):
        cache[key] = {"fingerprint": scene.fingerprint, "near": best_near[1], "all": best_all[1],
                      "grid": grid_id}
    return best_near[0][0], best_all[0][1], best_near[2], (best_near[1], best_all[1])


def write_figure(path, scenes, panels):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    columns = list(panels[scenes[0].name].keys())
    fig, axes = plt.subplots(len(scenes), len(columns),
                             figsize=(1.6 * len(columns), 1.75 * len(scenes)), squeeze=False)
    for r, scene in enumerate(scenes):
        for c, title in enumerate(columns):
            volume = panels[scene.name][title]
            ax = axes[r][c]
            # The middle slice across z, drawn with the in-plane spacing.
            ax.imshow(volume[volume.shape[0] // 2], cmap="gray", vmin=0, vmax=255,
                      origin="lower", interpolation="nearest")
            ax.set_xticks([])
            ax.set_yticks([])
            if r == 0:
                ax.set_title(title, fontsize=6)
            if c == 0:
                ax.set_ylabel(scene.name, fontsize=7)
    fig.tight_layout(pad=0.3)
    fig.savefig(path, dpi=130)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"),
                        help="build folder holding bin/voluna-denoise-quality")
    parser.add_argument("--work", default=None, help="scratch folder (default: BUILD/denoise-quality)")
    parser.add_argument("--size", type=int, default=64, help="scene edge in voxels (default 64)")
    parser.add_argument("--seed", type=int, default=1900, help="scenes' seed (default 1900)")
    parser.add_argument("--retune", action="store_true", help="run every anchor's whole grid again")
    parser.add_argument("--figure", default=os.path.join(ROOT, "docs", "denoise-quality.png"),
                        help="the PNG to write ('' for none)")
    parser.add_argument("--scenes", default=",".join(SCENES), help="comma-separated subset")
    parser.add_argument("--only-voluna", action="store_true",
                        help="skip the anchors (for quick looks at Voluna's own rows)")
    args = parser.parse_args()

    tool = os.path.join(args.build, "bin", "voluna-denoise-quality")
    if not os.access(tool, os.X_OK):
        sys.exit(f"denoise_quality: {tool} is missing; build the target voluna-denoise-quality")
    work = args.work or os.path.join(args.build, "denoise-quality")
    made = subprocess.run([tool, "scenes", os.path.join(work, "scenes"), "--size", str(args.size),
                           "--seed", str(args.seed)], capture_output=True, text=True)
    if made.returncode != 0:
        sys.exit(f"denoise_quality: making the scenes failed:\n{made.stderr}")

    cache = {}
    if os.path.exists(CACHE):
        with open(CACHE) as f:
            cache = json.load(f)
    scenes = [Scene(os.path.join(work, "scenes", n)) for n in args.scenes.split(",")]
    rows = {}      # method -> scene -> (near, all)
    panels = {}    # scene -> column -> volume
    notes = {}     # scene -> noise estimate line
    for scene in scenes:
        started = time.time()
        panels[scene.name] = {"noisy": scene.noisy}
        rows.setdefault("noisy input", {})[scene.name] = scene.scores(scene.noisy)
        for title, method, setting in VOLUNA:
            [result], log = run_tool(tool, scene, method, [setting], work)
            rows.setdefault(title, {})[scene.name] = scene.scores(result)
            panels[scene.name][title.replace("Voluna ", "").replace(" (automatic strength)", "")] = result
            for line in log.splitlines():
                if line.startswith("noise estimate"):
                    notes[scene.name] = line
        if not args.only_voluna:
            for title, anchor in anchors(scene.sigma).items():
                near, all_, best, chosen = tune(title, anchor, scene, tool, work, cache, args.retune)
                rows.setdefault(title, {})[scene.name] = (near, all_)
                rows[title].setdefault("_settings", {})[scene.name] = chosen
                panels[scene.name][title.replace("scikit-image ", "").replace(" anisotropic diffusion", "")
                                   .replace(" (Chambolle)", "")] = best
        panels[scene.name]["clean"] = scene.clean
        print(f"{scene.name}: {time.time() - started:.0f} s", file=sys.stderr)

    if not args.only_voluna:
        with open(CACHE, "w") as f:
            json.dump(cache, f, indent=1, sort_keys=True)

    print("PSNR in dB (peak 255) within 2 voxels of a surface / over all voxels; "
          "anchors tuned on the truth, best setting per column.\n")
    print("| method | " + " | ".join(scene.name for scene in scenes) + " |")
    print("|---|" + "---:|" * len(scenes))
    for title, per in rows.items():
        cells = [f"{per[s.name][0]:.2f} / {per[s.name][1]:.2f}" for s in scenes]
        print(f"| {title} | " + " | ".join(cells) + " |")
    anchor_titles = [t for t in rows if t not in ("noisy input",) and not t.startswith("Voluna")]
    if anchor_titles and "Voluna --denoise (automatic strength)" in rows:
        ours = rows["Voluna --denoise (automatic strength)"]
        print("\n| scene | best anchor near surfaces | --denoise - best, near | best anchor, all voxels | "
              "--denoise - best, all |")
        print("|---|---|---:|---|---:|")
        for s in scenes:
            near_title = max(anchor_titles, key=lambda t: rows[t][s.name][0])
            all_title = max(anchor_titles, key=lambda t: rows[t][s.name][1])
            print(f"| {s.name} | {near_title} ({rows[near_title][s.name][0]:.2f}) | "
                  f"{ours[s.name][0] - rows[near_title][s.name][0]:+.2f} | "
                  f"{all_title} ({rows[all_title][s.name][1]:.2f}) | "
                  f"{ours[s.name][1] - rows[all_title][s.name][1]:+.2f} |")
    print("\nScenes (seed %d, %d voxels a side):" % (args.seed, args.size))
    for s in scenes:
        print(f"- {s.name}: {s.label}; {s.near.mean() * 100:.0f} % of voxels lie within 2 voxels of a "
              f"surface" + (f"; {notes[s.name]}" if s.name in notes else ""))
    if not args.only_voluna:
        print("\nBest settings (near surfaces; all voxels):")
        for title in anchor_titles:
            chosen = rows[title].get("_settings", {})
            print(f"- {title}: " + "; ".join(f"{n} [{c[0] or '-'}] [{c[1] or '-'}]" for n, c in chosen.items()))
    if args.figure:
        write_figure(args.figure, scenes, panels)
        print(f"\nFigure: {os.path.relpath(args.figure, ROOT)}")


if __name__ == "__main__":
    main()
