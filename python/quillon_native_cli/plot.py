"""`quillon-native plot`: the cactus plot of one or more batch runs."""
import os

from quillon_native_cli.common import Exit, Formatter, exit_codes_help, fail, filename, say, warn
from quillon_native_cli.store import StoreError, is_regular, open_existing, read_regular, same_file

FORMATS = (".png", ".svg", ".pdf")
# Written into every image as its creator (a PNG's Software, an SVG's or a
# PDF's Creator): an existing image that says so is an earlier plot, which
# -o replaces without --force.
CREATOR = "quillon-native cactus plot"


def add_parser(subparsers):
    p = subparsers.add_parser(
        "plot", help="draw a cactus plot of batch results",
        description="Draw the cactus plot of batch runs: for each run, its correctly solved instances sorted by "
                    "time, the n-th fastest at x = n. Needs matplotlib (pip install 'quillon-native[plot]').",
        epilog=exit_codes_help, formatter_class=Formatter)
    p.add_argument("results", nargs="+", type=filename, metavar="RESULTS", help="results store of a batch run")
    p.add_argument("-o", "--output", default="cactus.png", metavar="FILE",
                   help="image to write, .png, .svg or .pdf (default: %(default)s); an existing FILE is replaced "
                        "only if it is an earlier plot")
    p.add_argument("-f", "--force", action="store_true", help="let -o replace any regular file but the stores")
    p.add_argument("--title", default="", help="title above the plot")
    p.add_argument("--log", action="store_true", help="logarithmic time axis")
    p.add_argument("--cpu", action="store_true", help="CPU time instead of wall time")
    p.set_defaults(run=run)


def error(code, message):
    return fail(code, f"quillon-native plot: {message}")


class Run:
    """One store's curve: its label, the sorted times of its correctly solved
    instances, its instance names and its time limit (None if unknown)."""

    def __init__(self, path, cpu=False):
        store = open_existing(path)
        try:
            rows, options = store.rows(), store.options() or {}
        finally:
            store.close()
        if not rows:
            raise StoreError(f"{path}: no results to plot (an empty store)")
        key = "cpu" if cpu else "seconds"
        self.times = sorted(r[key] for r in rows if r["status"] == "solved" and not r["wrong"] and r[key] is not None)
        self.label = os.path.basename(path).removesuffix(".sqlite")
        self.names = frozenset(r["name"] for r in rows)
        self.limit = options.get("seconds")

    def legend(self):
        limit = f", limit {self.limit:g} s" if self.limit else ""
        return f"{self.label} ({len(self.times)}/{len(self.names)}{limit})"


def mismatches(runs):
    """What makes the runs unlike each other: different time limits, different instance sets."""
    out = []
    if len({r.limit for r in runs}) > 1:
        out.append("time limits differ: " + ", ".join(f"{r.label} {format(r.limit, 'g') if r.limit else '?'} s"
                                                      for r in runs))
    if len({r.names for r in runs}) > 1:
        common = frozenset.intersection(*(r.names for r in runs))
        out.append("instance sets differ: " + ", ".join(f"{r.label} {len(r.names)}" for r in runs) +
                   f" instances, {len(common)} in all")
    return out


def draw(pyplot, runs, args, notes):
    fig, ax = pyplot.subplots(figsize=(6.4, 4.2))
    for run in runs:
        ax.plot(range(1, len(run.times) + 1), run.times, marker="o", markersize=3, label=run.legend())
    for limit in sorted({r.limit for r in runs if r.limit}):
        ax.axhline(limit, color="grey", linestyle="--", linewidth=1)
        ax.annotate(f"limit {limit:g} s", (1, limit), xycoords=("axes fraction", "data"), fontsize=8, ha="right",
                    va="bottom")
    ax.set_xlabel("instances solved")
    ax.set_ylabel(("CPU" if args.cpu else "wall") + " time per instance (s)")
    if args.log:
        ax.set_yscale("log")
    if args.title:
        ax.set_title(args.title)
    ax.grid(True, alpha=0.3)
    ax.legend(loc="upper left", title="; ".join(n.split(":")[0] for n in notes) or None, fontsize=8)
    fig.tight_layout()
    return fig


def refuse_output(path, stores, force):
    """Why the plot must not be written to `path`, as (exit code, message),
    or None: an image name, never a store, and nothing but an earlier plot
    (or any regular file, with `force`) is replaced."""
    ext = os.path.splitext(path)[1].lower()
    if ext not in FORMATS:
        return Exit.USAGE, f"{path}: the image name must end in {', '.join(FORMATS)}"
    if any(same_file(path, store) for store in stores):
        return Exit.USAGE, f"-o {path}: that is a results store"
    if not os.path.lexists(path):
        return None
    if not is_regular(path):
        return Exit.USAGE, f"-o {path}: not a regular file, not written (a plot replaces a regular file)"
    if not force and not earlier_plot(path):
        return Exit.USAGE, f"-o {path}: not an earlier plot, not overwritten (--force overwrites it)"
    return None


def earlier_plot(path, limit=1 << 16):
    """Whether `path` names CREATOR in its first or last bytes (where PNG and
    SVG, and PDF, keep it)."""
    try:
        head, tail = read_regular(path, limit, limit) or (b"", b"")
    except OSError:
        return False
    return CREATOR.encode() in head or CREATOR.encode() in tail


def metadata(ext):
    """The image's metadata: its creator, and no date (the same runs draw the same file)."""
    return {".png": {"Software": CREATOR}, ".svg": {"Creator": CREATOR, "Date": None},
            ".pdf": {"Creator": CREATOR, "CreationDate": None}}[ext]


def run(args):
    ext = os.path.splitext(args.output)[1].lower()
    refused = refuse_output(args.output, args.results, args.force)
    if refused:
        return error(*refused)
    try:
        runs = [Run(path, args.cpu) for path in args.results]
    except StoreError as e:
        return error(e.code, e)
    try:
        import matplotlib
        matplotlib.use("Agg")
        from matplotlib import pyplot
    except ImportError:
        return error(Exit.USAGE, "matplotlib is not installed: pip install 'quillon-native[plot]'")
    notes = mismatches(runs)
    for note in notes:
        warn(f"quillon-native plot: {note}")
    fig = draw(pyplot, runs, args, notes)
    try:
        fig.savefig(args.output, metadata=metadata(ext))
    except OSError as e:
        return error(Exit.OUTPUT, f"{args.output}: {e.strerror}")
    finally:
        pyplot.close(fig)
    say(f"{args.output}: " + ", ".join(run.legend() for run in runs))
    return Exit.DONE
