"""Where the Python benchmarks leave their figures: one JSON file per script
under build/bench/results/, read by bench/plot.py for docs/performance.md."""
import datetime
import json
import os
import platform
import sys

DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench", "results")


def save(name: str, figures: object) -> None:
    """Writes build/bench/results/<name>.json: the figures and the setting
    they were measured in."""
    os.makedirs(DIR, exist_ok=True)
    doc = {
        "benchmark": name,
        "command": " ".join([os.path.basename(sys.argv[0])] + sys.argv[1:]),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "python": sys.version.split()[0],
        "machine": f"{platform.machine()}, {os.cpu_count()} cores",
        "figures": figures,
    }
    with open(os.path.join(DIR, name + ".json"), "w") as f:
        json.dump(doc, f, indent=1)
