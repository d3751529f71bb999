"""Time from process start to the hand-off file holding both addresses for a small
document, median of 20 runs: a fresh start, a launch handed over to a running instance on
the session bus, and the time a minimal Qt Widgets program takes to start and end, all on
the offscreen platform plugin. Usage: startup.py BUILD_DIR SAMPLE"""
import os, shutil, signal, statistics, subprocess, sys, tempfile, time

build, sample = sys.argv[1], sys.argv[2]
runs = 20
home = tempfile.mkdtemp(prefix="vexmoor-bench-home-")
env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home + "/config", XDG_DATA_HOME=home + "/data",
           XDG_CACHE_HOME=home + "/cache", TMPDIR=home, QT_QPA_PLATFORM="offscreen",
           WAYLAND_DISPLAY="vexmoor-bench", VEXMOOR_STUB_NO_BROWSER="1")
env.pop("DISPLAY", None)
env["XDG_RUNTIME_DIR"] = home + "/runtime"
os.mkdir(env["XDG_RUNTIME_DIR"], 0o700)
bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"], env=env,
                       stdout=subprocess.PIPE, text=True)
env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
hand_off = os.path.join(home, "addresses.txt")


def launch(path):
    said = tempfile.TemporaryFile()
    process = subprocess.Popen([build + "/vexmoor-3dviewer", path],
                               env=dict(env, VEXMOOR_STUB_URL_FILE=hand_off), stderr=said)
    return process, said


def wait_for_lines(count, process, said):
    while True:
        try:
            with open(hand_off) as f:
                if f.read().count("\n") >= count:
                    return
        except FileNotFoundError:
            pass
        if process.poll() is not None and process.returncode != 0:
            said.seek(0)
            sys.exit(f"the application ended ({process.returncode}) before serving {sample}: "
                     + said.read().decode(errors="replace"))
        time.sleep(0.0005)


def fresh():
    if os.path.exists(hand_off):
        os.remove(hand_off)
    start = time.perf_counter()
    process, said = launch(sample)
    wait_for_lines(2, process, said)
    elapsed = time.perf_counter() - start
    process.send_signal(signal.SIGTERM)
    process.wait()
    return elapsed


def handed(running):
    with open(hand_off) as f:
        lines = f.read().count("\n")
    start = time.perf_counter()
    process, said = launch(sample)
    wait_for_lines(lines + 2, running, said)
    elapsed = time.perf_counter() - start
    process.wait()
    return elapsed


def floor():
    start = time.perf_counter()
    subprocess.run([build + "/vexmoor-qt-floor"], env=env, check=True)
    return time.perf_counter() - start


fresh_times, floor_times, handed_times = [], [], []
for _ in range(runs):
    fresh_times.append(fresh())
    floor_times.append(floor())
if os.path.exists(hand_off):
    os.remove(hand_off)
running, said = launch(sample)
wait_for_lines(2, running, said)
for _ in range(runs):
    handed_times.append(handed(running))
running.send_signal(signal.SIGTERM)
running.wait()
bus.terminate()
shutil.rmtree(home, ignore_errors=True)
o, h, f = (statistics.median(t) for t in (fresh_times, handed_times, floor_times))
print(f"start to both addresses: {o * 1000:.1f} ms median of {runs}; "
      f"minimal Qt Widgets start and end: {f * 1000:.1f} ms; ratio {o / f:.2f}")
print(f"a launch handed to the running instance, to its file's addresses: {h * 1000:.1f} ms; "
      f"ratio to a fresh start {h / o:.2f}")
