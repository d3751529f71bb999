"""Time from process start to the hand-off file holding both addresses for a small
document: a fresh start, a launch handed over to that running instance on the session bus,
and the time a minimal Qt Widgets program takes to start and end, all on the offscreen
platform plugin, taken in turn in each of 20 rounds; prints the median ratios and their
range. A listening socket where the Wayland display would be makes the session a desktop
one, as the application sees it. Usage: startup.py BUILD_DIR SAMPLE"""
import os, shutil, signal, socket, statistics, subprocess, sys, tempfile, threading, time

build, sample = sys.argv[1], sys.argv[2]
runs = int(os.environ.get("ROUNDS", "20"))
home = tempfile.mkdtemp(prefix="vexmoor-bench-home-")
env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home + "/config", XDG_DATA_HOME=home + "/data",
           XDG_CACHE_HOME=home + "/cache", TMPDIR=home, QT_QPA_PLATFORM="offscreen",
           WAYLAND_DISPLAY="vexmoor-bench", VEXMOOR_STUB_NO_BROWSER="1")
env.pop("DISPLAY", None)
env["XDG_RUNTIME_DIR"] = home + "/runtime"
os.mkdir(env["XDG_RUNTIME_DIR"], 0o700)
display = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
display.bind(os.path.join(env["XDG_RUNTIME_DIR"], env["WAYLAND_DISPLAY"]))
display.listen(64)


def answer_display():
    while True:
        try:
            display.accept()[0].close()
        except OSError:
            return


threading.Thread(target=answer_display, daemon=True).start()
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


def start_fresh():
    if os.path.exists(hand_off):
        os.remove(hand_off)
    start = time.perf_counter()
    process, said = launch(sample)
    wait_for_lines(2, process, said)
    return time.perf_counter() - start, process


def handed(running):
    with open(hand_off) as f:
        lines = f.read().count("\n")
    start = time.perf_counter()
    process, said = launch(sample)
    wait_for_lines(lines + 2, running, said)
    elapsed = time.perf_counter() - start
    if process.wait(timeout=10) != 0:
        sys.exit(f"the handed launch ended with {process.returncode}")
    return elapsed


def floor():
    start = time.perf_counter()
    subprocess.run([build + "/vexmoor-qt-floor"], env=env, check=True)
    return time.perf_counter() - start


fresh_times, floor_times, handed_times = [], [], []
for _ in range(runs):
    elapsed, running = start_fresh()
    fresh_times.append(elapsed)
    handed_times.append(handed(running))
    running.send_signal(signal.SIGTERM)
    running.wait()
    floor_times.append(floor())
bus.terminate()
display.close()
shutil.rmtree(home, ignore_errors=True)


def row(label, ours, theirs, reference):
    ratios = [o / t for o, t in zip(ours, theirs)]
    print(f"{label}: {statistics.median(ours) * 1000:.1f} ms; {reference} {statistics.median(theirs) * 1000:.1f} ms; "
          f"ratio {statistics.median(ratios):.2f} (range {min(ratios):.2f}-{max(ratios):.2f}, {runs} rounds)")


row("start to both addresses", fresh_times, floor_times, "minimal Qt Widgets start and end")
row("a launch handed to the running instance", handed_times, fresh_times, "fresh start")
