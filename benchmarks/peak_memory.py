"""Peak memory of one call, read from the kernel's resident-set high-water
mark (Linux), each probe in a fresh interpreter of its own."""
import json
import pathlib
import subprocess
import sys


def rss(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"/proc/self/status has no {field}")


def peak_of(call):
    """Bytes by which the peak resident set rises above the current one
    while `call` runs. Warm the call's code paths first."""
    base = rss("VmRSS")
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the high-water mark starts again from here
    call()
    return rss("VmHWM") - base


def in_child(code):
    """Runs probe code in a new interpreter that imports from this folder
    first; the probe prints one JSON object as its last line."""
    path = [str(pathlib.Path(__file__).parent)] + sys.path
    res = subprocess.run([sys.executable, "-c", f"import sys\nsys.path[:0] = {path!r}\n" + code],
                         capture_output=True, text=True, check=True)
    return json.loads(res.stdout.strip().splitlines()[-1])
