# The installed user unit and D-Bus activation file under a real
# `systemd --user` with its own session bus and journal.
#
# The test installs the build into a fresh home under /home (so that
# ProtectHome= applies) and runs this file again with --inside, in private
# mount and cgroup namespaces and in a cgroup of its own. There /run is a
# tmpfs, as on a booted system, journald writes a journal that vanishes with
# the namespace, and the user manager sees only its own cgroup: in the host's
# root cgroup it would move every process of the machine into its
# init.scope. Killing that cgroup afterwards ends whatever is left.
import ctypes, json, os, re, shutil, subprocess, sys, tempfile, time  # noqa: E401
from pathlib import Path

import pytest

SYSTEMD = "/lib/systemd/systemd"
JOURNALD = "/lib/systemd/systemd-journald"
NAME = "VO9ZE47VOD.com.dozezeza.FolderMonitor"
UNIT = "zivuv-folder-monitor.service"
RUNTIME = "/run/user/0"
failures = []


def read(path):
    return Path(path).read_text()


def write(path, text):
    Path(path).write_text(text)


# Polls cond() until it gives a true value or timeout seconds pass.
def wait_for(cond, timeout=15.0):
    end = time.monotonic() + timeout
    while not (value := cond()) and time.monotonic() < end:
        time.sleep(0.1)
    return value


def run(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=30)


def check(ok, what, detail=""):
    print(f"ok: {what}" if ok else f"FAIL: {what}\n    {detail}", flush=True)
    failures.extend([] if ok else [what])
    return ok


def need(ok, what, detail=""):
    if not check(ok, what, detail):
        sys.exit(1)  # what follows depends on it; the journal is shown on the way out


def show(*props):
    out = run("systemctl", "--user", "show", UNIT, *(f"-p{p}" for p in props)).stdout
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


def checks(home, bindir):
    folder = f"{home}/projects"

    def ctl(*args):
        return run(f"{bindir}/zivuv-monitorctl", *args)

    def listed(name):
        return f"listed {folder}/{name}" in ctl("repos").stdout.splitlines()

    def git_init(name):
        run("git", "init", "-q", f"{folder}/{name}")

    # A unit that the user manager cannot find reads "inactive" too.
    check(show("LoadState", "ActiveState") == {"LoadState": "loaded", "ActiveState": "inactive"},
          "the unit is installed and nothing starts it before the app's first call", show("LoadState", "ActiveState"))
    reply = run("busctl", "--user", "call", NAME, "/VO9ZE47VOD/com/dozezeza/FolderMonitor", NAME,
                "verifyAgentWithCompletion")
    need(reply.stdout.strip() == 'aays 0 "zivuv-folder-monitor"', "the first call is answered", reply)
    unit = show("ActiveState", "MainPID")
    need(unit["ActiveState"] == "active" and unit["MainPID"] != "0", "the call started the unit", unit)
    proc = dict(line.split(":\t", 1) for line in read(f"/proc/{unit['MainPID']}/status").splitlines())
    sandbox = [proc[k].strip() for k in ("CapEff", "CapPrm", "CapBnd", "NoNewPrivs", "Seccomp")]
    check(sandbox == ["0" * 16] * 3 + ["1", "2"], "no capabilities, no new privileges, a seccomp filter", sandbox)
    abi = ctypes.CDLL(None).syscall(444, None, 0, 1)  # the kernel's Landlock ABI
    confinement = json.loads(ctl("status", "--json").stdout)["Confinement"]
    check(f"landlock:{abi}" in confinement, "the unit lets the service confine itself with Landlock", confinement)

    os.makedirs(f"{folder}/notes")
    git_init("alpha")
    git_init("beta")
    watch = ctl("watch", folder)
    need(watch.returncode == 0 and watch.stdout == f"watching {folder}; 2 repositories registered\n",
         "watch the folder, and its first scan", watch)
    check(listed("alpha") and listed("beta") and not listed("notes"),
          "the scan registers the repositories in the shared settings", ctl("repos").stdout)

    start = time.monotonic()
    git_init("gamma")
    early, found, took = listed("gamma"), wait_for(lambda: listed("gamma")), time.monotonic() - start
    check(not early and found and took >= 3.0, "a new repository is registered after 3 s of quiet",
          f"listed at once: {early}, listed: {found} after {took:.1f} s")

    run("systemctl", "--user", "kill", "--kill-whom=main", "--signal=SIGSEGV", UNIT)
    restarted = wait_for(lambda: (s := show("ActiveState", "MainPID", "NRestarts"))["NRestarts"] == "1"
                         and s["ActiveState"] == "active" and s["MainPID"] not in ("0", unit["MainPID"]))
    need(restarted, "a crash is restarted", show("ActiveState", "MainPID", "NRestarts", "Result"))
    status = ctl("status")
    check(f"folder: {folder}\n" in status.stdout, "the restarted service watches the saved folder", status)
    git_init("delta")
    check(wait_for(lambda: listed("delta")), "and registers a new repository there")

    check(wait_for(lambda: folder in show("StatusText")["StatusText"], 5),
          "StatusText names the watched folder", show("StatusText"))

    def journal():  # each entry's (MESSAGE, PRIORITY, LOG_SUBSYSTEM, LOG_CATEGORY)
        out = run("journalctl", "-o", "json", "-t", "zivuv-folder-monitor").stdout.splitlines()
        return {tuple(map(json.loads(e).get, ("MESSAGE", "PRIORITY", "LOG_SUBSYSTEM", "LOG_CATEGORY"))) for e in out}

    fields = ("com.vezudi.Zivuv.ZivuvFolderMonitorListener", "Folder Monitoring")
    want = {("No URL For Monitoring", "3") + fields, ("Starting Folder Monitor XPC Service", "6") + fields,
            (f"Confined with Landlock ABI {abi}: reading anywhere, writing only in {home}/.config/Zivuv", "6") + fields}
    check(wait_for(lambda: want <= journal(), 5), "the journal holds the service's lines with their priority, "
          "subsystem and category", sorted(journal(), key=str)[:8])

    run("systemctl", "--user", "stop", "graphical-session.target")
    check(wait_for(lambda: show("ActiveState")["ActiveState"] == "inactive"), "logging out stops the unit",
          show("ActiveState", "Result"))


def inside(home, bindir):
    os.environ.clear()
    os.environ.update(PATH="/usr/sbin:/usr/bin:/sbin:/bin", LANG="C.UTF-8", HOME=home, XDG_RUNTIME_DIR=RUNTIME,
                      XDG_CONFIG_HOME=f"{home}/.config", XDG_DATA_HOME=f"{home}/.local/share",
                      DBUS_SESSION_BUS_ADDRESS=f"unix:path={RUNTIME}/bus")
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run"], check=True)
    subprocess.run(["mount", "-t", "cgroup2", "cgroup2", "/sys/fs/cgroup"], check=True)
    if os.path.isdir("/var/log/journal"):  # keeps the host's persistent journal out of it
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/var/log/journal"], check=True)
    os.makedirs("/run/systemd/system")
    os.makedirs(RUNTIME, mode=0o700)
    daemons = [subprocess.Popen([JOURNALD])]
    try:
        need(wait_for(lambda: os.path.exists("/run/systemd/journal/socket")), "journald listens")
        daemons.append(subprocess.Popen([SYSTEMD, "--user", "--log-target=journal"]))
        # A booted system has /run/systemd/inaccessible; the sandbox mounts it over hidden paths.
        need(wait_for(lambda: os.path.exists(f"{RUNTIME}/systemd/inaccessible")), "the user manager runs")
        subprocess.run(["cp", "-a", f"{RUNTIME}/systemd/inaccessible", "/run/systemd/"], check=True)
        need(wait_for(lambda: os.path.exists(f"{RUNTIME}/bus")), "the session bus listens")
        checks(home, bindir)
    finally:
        if failures:
            print(run("journalctl", "-n60", "-tsystemd", "-tdbus-daemon", "-tzivuv-folder-monitor").stdout)
        for daemon in reversed(daemons):
            daemon.terminate()
            daemon.wait(30)
    sys.exit(1 if failures else 0)


# Installs the build under HOME/usr and hands its unit and activation file,
# pointed at the installed service, to the user manager and the session bus.
def install(build, home):
    exe = f"{home}/usr/bin/zivuv-folder-monitor"
    subprocess.run(["cmake", "--install", build, "--prefix", f"{home}/usr"], check=True, capture_output=True)
    for src, dest, key in ((f"usr/lib/systemd/user/{UNIT}", ".config/systemd/user", "ExecStart"),
                           (f"usr/share/dbus-1/services/{NAME}.service", ".local/share/dbus-1/services", "Exec")):
        text = read(f"{home}/{src}")
        configured = re.search(rf"^{key}=(\S+)", text, re.M).group(1)
        os.makedirs(f"{home}/{dest}")
        write(f"{home}/{dest}/{os.path.basename(src)}", text.replace(configured, exe))


def test_unit_sandbox_rates_below_two(tmp_path):
    # Offline, on the built unit; the executable must exist for the analysis.
    unit = Path(os.environ["ZIVUV_BUILD_DIR"]) / "data" / UNIT
    text = re.sub(r"^ExecStart=.*$", "ExecStart=/bin/true", unit.read_text(), flags=re.M)
    (tmp_path / UNIT).write_text(text)
    report = subprocess.run(["systemd-analyze", "security", "--user", "--offline=yes", "--no-pager", tmp_path / UNIT],
                            capture_output=True, text=True, env={**os.environ, "XDG_RUNTIME_DIR": str(tmp_path)})
    exposure = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", report.stdout + report.stderr)
    assert exposure and float(exposure[1]) < 2.0, report.stdout + report.stderr


def test_installed_unit_under_systemd_user():
    missing = [t for t in (SYSTEMD, JOURNALD, shutil.which("unshare") or "unshare") if not os.access(t, os.X_OK)]
    if os.geteuid() != 0 or missing:
        pytest.skip(f"needs {' and '.join(missing)}" if missing else "needs root to mount /run and start journald")
    cgroup2 = [m.split()[1] for m in read("/proc/self/mounts").splitlines() if m.split()[2] == "cgroup2"]
    own = [line[3:] for line in read("/proc/self/cgroup").splitlines() if line.startswith("0::")]
    if not cgroup2 or not own:
        pytest.skip("needs a cgroup2 hierarchy: the user manager wants a cgroup of its own")
    home = tempfile.mkdtemp(prefix="zivuv-test-", dir="/home")
    cgroup = f"{cgroup2[0]}{own[0].rstrip('/')}/{os.path.basename(home)}"
    os.mkdir(cgroup)
    try:
        install(os.environ["ZIVUV_BUILD_DIR"], home)
        result = subprocess.run(["unshare", "--mount", "--propagation", "private", "--cgroup", sys.executable,
                                 __file__, "--inside", home, os.environ["ZIVUV_BIN_DIR"]],
                                preexec_fn=lambda: write(f"{cgroup}/cgroup.procs", "0"),
                                capture_output=True, text=True, timeout=100)
        assert result.returncode == 0, result.stdout + result.stderr
    finally:
        write(f"{cgroup}/cgroup.kill", "1")
        wait_for(lambda: "populated 0" in read(f"{cgroup}/cgroup.events"), 10)
        shutil.rmtree(home)
        for folder, _, _ in os.walk(cgroup, topdown=False):
            os.rmdir(folder)


if __name__ == "__main__" and sys.argv[1:2] == ["--inside"]:
    inside(*sys.argv[2:4])
