"""Many disk images in one regstore list-windows call, read side by side (one worker per core), against
listing them one process after another: raw, VHDX and QCOW2 mixed, each a sparse GPT disk of a few GiB
holding a Windows 10 system volume."""
import shutil

from .common import log, median, run, timed

IMAGES = {"full": 50, "quick": 50, "smoke": 3}

IMAGE_GIB = 3

RUNS = {"full": 7, "quick": 5, "smoke": 1}

# Side by side / one after another, on 2 cores.
LIMIT = 0.6

FORMATS = ("raw", "vhdx", "qcow2")


def make_images(p, work, volume):
    """IMAGES[p.profile] disks in `work`, the formats in turn, each a GPT disk with `volume` in its one
    partition; returns their paths."""
    work.mkdir(parents=True, exist_ok=True)
    base = work / "base.raw"
    run(["truncate", "-s", f"{IMAGE_GIB}G", base])
    run(["sgdisk", "-n", "1:2048:+16M", "-t", "1:0700", base])
    run(["dd", f"if={volume}", f"of={base}", "bs=1M", "seek=1", "conv=notrunc,sparse", "status=none"])
    made = {"raw": base}
    for fmt in FORMATS[1:]:
        made[fmt] = work / f"base.{fmt}"
        run(["qemu-img", "convert", "-O", fmt, base, made[fmt]])
    images = []
    for i in range(IMAGES[p.profile]):
        fmt = FORMATS[i % len(FORMATS)]
        image = work / f"disk-{i:02d}.{fmt}"
        run(["cp", "--sparse=always", made[fmt], image])
        images.append(image)
    return images


def measure(p, work, regstore, volume):
    """Median seconds of one list-windows call over every image, and of one call per image in turn,
    the two run in turn."""
    images = make_images(p, work / "many", volume)
    log(f"regstore list-windows of {len(images)} images in one call, against one call per image")
    together = [regstore, "list-windows", *images]
    apart = ["sh", "-c", 'r=$1; shift; for f; do "$r" list-windows "$f" >/dev/null || exit 1; done', "sh", regstore,
             *images]
    samples = {"together": [], "apart": []}
    for i in range(RUNS[p.profile] + 1):  # the first round warms the file cache and is dropped
        for k, cmd in (("together", together), ("apart", apart)):
            t = timed(cmd)
            if i > 0 or RUNS[p.profile] == 0:
                samples[k].append(t)
    shutil.rmtree(work / "many", ignore_errors=True)
    return {"images": len(images), **{k: median(v) for k, v in samples.items()}}


def rows(many, rows):
    rows.add(f"regstore list-windows of {many['images']} images ({IMAGE_GIB} GiB sparse disks: raw, VHDX, QCOW2) "
             "in one call / one call per image", many["together"] * 1e3, many["apart"] * 1e3, "ms", f"≤ {LIMIT}",
             many["together"] <= many["apart"] * LIMIT)
