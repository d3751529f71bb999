"""Time from process start to the hand-off file holding both addresses for a small
document, median of 20 runs, beside the time a minimal Qt Widgets program takes to start
and end, both on the offscreen platform plugin. Usage: startup.py BUILD_DIR SAMPLE"""
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

def ours():
    hand_off = os.path.join(home, "addresses.txt")
    if os.path.exists(hand_off):
        os.remove(hand_off)
    said = tempfile.TemporaryFile()
    start = time.perf_counter()
    process = subprocess.Popen([build + "/vexmoor-3dviewer", sample],
                               env=dict(env, VEXMOOR_STUB_URL_FILE=hand_off), stderr=said)
    while True:
        if process.poll() is not None:
            said.seek(0)
            sys.exit(f"the application ended ({process.returncode}) before serving {sample}: "
                     + said.read().decode(errors="replace"))
        try:
            with open(hand_off) as f:
                if f.read().count("\n") >= 2:
                    break
        except FileNotFoundError:
            pass
        time.sleep(0.0005)
    elapsed = time.perf_counter() - start
    process.send_signal(signal.SIGTERM)
    process.wait()
    return elapsed

def floor():
    start = time.perf_counter()
    subprocess.run([build + "/vexmoor-qt-floor"], env=env, check=True)
    return time.perf_counter() - start

ours_times, floor_times = [], []
for _ in range(runs):
    ours_times.append(ours())
    floor_times.append(floor())
shutil.rmtree(home, ignore_errors=True)
o, f = statistics.median(ours_times), statistics.median(floor_times)
print(f"start to both addresses: {o * 1000:.1f} ms median of {runs}; "
      f"minimal Qt Widgets start and end: {f * 1000:.1f} ms; ratio {o / f:.2f}")
