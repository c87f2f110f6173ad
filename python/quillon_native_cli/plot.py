"""`quillon-native plot`: the cactus plot of one or more batch runs."""
import os
import sys

from quillon_native_cli.common import Exit, fail
from quillon_native_cli.store import StoreError, open_existing

FORMATS = (".png", ".svg", ".pdf")


def add_parser(subparsers):
    p = subparsers.add_parser(
        "plot", help="draw a cactus plot of batch results",
        description="Draw the cactus plot of batch runs: for each run, its correctly solved instances sorted by "
                    "time, the n-th fastest at x = n. Needs matplotlib (pip install 'quillon-native[plot]').")
    p.add_argument("results", nargs="+", metavar="RESULTS", help="results store of a batch run")
    p.add_argument("-o", "--output", default="cactus.png", metavar="FILE",
                   help="image to write, .png, .svg or .pdf (default: %(default)s)")
    p.add_argument("--title", default="", help="title above the plot")
    p.add_argument("--log", action="store_true", help="logarithmic time axis")
    p.add_argument("--cpu", action="store_true", help="CPU time instead of wall time")
    p.set_defaults(run=run)


def error(code, message):
    return fail(code, f"quillon-native plot: {message}")


def curves(paths, cpu=False):
    """(label, sorted times of the correctly solved instances, instance count) per store."""
    out = []
    for path in paths:
        store = open_existing(path)
        try:
            rows = store.rows()
        finally:
            store.close()
        key = "cpu" if cpu else "seconds"
        times = sorted(r[key] for r in rows if r["status"] == "solved" and not r["wrong"] and r[key] is not None)
        label = os.path.basename(path).removesuffix(".sqlite")
        out.append((label, times, len(rows)))
    return out


def run(args):
    ext = os.path.splitext(args.output)[1].lower()
    if ext not in FORMATS:
        return error(Exit.USAGE, f"{args.output}: the image name must end in {', '.join(FORMATS)}")
    try:
        import matplotlib
        matplotlib.use("Agg")
        from matplotlib import pyplot
    except ImportError:
        return error(Exit.USAGE, "matplotlib is not installed: pip install 'quillon-native[plot]'")
    try:
        runs = curves(args.results, args.cpu)
    except StoreError as e:
        return error(e.code, e)
    fig, ax = pyplot.subplots(figsize=(6.4, 4.2))
    for label, times, total in runs:
        ax.plot(range(1, len(times) + 1), times, marker="o", markersize=3,
                label=f"{label} ({len(times)}/{total})")
    ax.set_xlabel("instances solved")
    ax.set_ylabel(("CPU" if args.cpu else "wall") + " time per instance (s)")
    if args.log:
        ax.set_yscale("log")
    if args.title:
        ax.set_title(args.title)
    ax.grid(True, alpha=0.3)
    ax.legend(loc="upper left")
    fig.tight_layout()
    try:
        fig.savefig(args.output, metadata={"Date": None} if ext == ".svg" else None)
    except OSError as e:
        return error(Exit.OUTPUT, f"{args.output}: {e.strerror}")
    finally:
        pyplot.close(fig)
    print(f"{args.output}: " + ", ".join(f"{label} {len(t)} solved" for label, t, _ in runs))
    return Exit.DONE
