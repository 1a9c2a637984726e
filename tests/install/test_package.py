"""The Debian package, built from a copy of the tree: it holds what
`cmake --install` installs, lintian finds nothing to warn about, and its own
activation file starts the packaged service on a session bus."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

PACKAGE = "zivuv-folder-monitor"
BUS_NAME = "VO9ZE47VOD.com.dozezeza.FolderMonitor"
OBJECT_PATH = "/VO9ZE47VOD/com/dozezeza/FolderMonitor"
SOURCE = Path(os.environ["ZIVUV_SOURCE_DIR"])
BUILD = Path(os.environ["ZIVUV_BUILD_DIR"])


def files_under(root):
    # Every file's path from root; a compressed manual page as its plain name.
    return {re.sub(r"^(/usr/share/man/.*)\.gz$", r"\1", "/" + os.path.relpath(os.path.join(folder, name), root))
            for folder, _, names in os.walk(root) for name in names}


def build_trees(folder, names):
    """What the copy leaves out: the checkout's build trees and .git."""
    return [n for n in names if Path(folder) == SOURCE and (n in (".git", "build", "b") or n.startswith("obj-"))]


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    for tool in ("dpkg-buildpackage", "lintian"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is not installed (scripts/setup.sh installs it)")
    work = tmp_path_factory.mktemp("deb")
    shutil.copytree(SOURCE, work / "src", ignore=build_trees, symlinks=True)
    # Where the test command hands the build to ccache (through CMake's
    # compiler launcher variables), the copy is ccache's base folder: the
    # next run's copy, in another folder, then hits the cache.
    env = dict(os.environ, DEB_BUILD_OPTIONS="nocheck parallel=2", CCACHE_BASEDIR=str(work / "src"))
    log = work / "build.log"
    with log.open("w") as out:
        built = subprocess.run(["dpkg-buildpackage", "-us", "-uc", "-b", "-Pnocheck"],
                               cwd=work / "src", env=env, stdout=out, stderr=subprocess.STDOUT)
    assert built.returncode == 0, log.read_text()[-4000:]
    shutil.rmtree(work / "src")
    debs = list(work.glob(f"{PACKAGE}_*.deb"))
    assert len(debs) == 1, f"expected one package, built {sorted(os.listdir(work))}"
    subprocess.run(["dpkg-deb", "-x", debs[0], work / "root"], check=True)
    return debs[0], work / "root"


def test_package_holds_what_cmake_installs(deb, tmp_path):
    _, root = deb
    subprocess.run(["cmake", "--install", BUILD, "--prefix", "/usr"], check=True,
                   stdout=subprocess.DEVNULL, env=dict(os.environ, DESTDIR=str(tmp_path)))
    packaged = {p for p in files_under(root) if not p.startswith((f"/usr/share/doc/{PACKAGE}/", "/usr/share/lintian/"))}
    assert packaged == files_under(tmp_path)


def test_manual_pages_render_without_warnings(deb):
    _, root = deb
    pages = sorted((root / "usr/share/man/man1").glob("*.1.gz"))
    assert len(pages) == 2
    for page in pages:
        text = subprocess.run(["zcat", page], capture_output=True, check=True).stdout
        rendered = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z"], input=text, capture_output=True,
                                  env=dict(os.environ, LC_ALL="C.UTF-8"))
        assert (rendered.returncode, rendered.stderr) == (0, b""), page


def test_lintian_has_no_errors_warnings_or_hardening_tags(deb):
    path, _ = deb
    report = subprocess.run(["lintian", "-I", path], capture_output=True, text=True).stdout
    assert [line for line in report.splitlines() if line.startswith(("E:", "W:")) or "hardening-" in line] == [], report


def test_package_depends_on_the_libgit2_that_the_service_loads(deb):
    # The service loads libgit2 by its soname when a folder needs it: no
    # link pulls the package in, the control file names it.
    path, root = deb
    depends = subprocess.run(["dpkg-deb", "-f", path, "Depends"], capture_output=True, text=True, check=True).stdout
    owner = subprocess.run(["dpkg", "-S", "libgit2.so.1.5"], capture_output=True, text=True, check=True).stdout
    assert owner.split(":")[0] in re.split(r",\s*", depends.strip())
    assert b"libgit2.so.1.5\0" in (root / "usr/bin" / PACKAGE).read_bytes()


def test_packaged_activation_file_starts_the_packaged_service(deb, tmp_path, monkeypatch):
    dbusmock = pytest.importorskip("dbusmock")
    _, root = deb
    activation = (root / f"usr/share/dbus-1/services/{BUS_NAME}.service").read_text()
    assert f"Exec=/usr/bin/{PACKAGE}\n" in activation
    # The bus passes its own environment to what it starts. start_session_bus()
    # sets the bus address in os.environ; monkeypatch puts the old one back.
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path))
    monkeypatch.setenv("ZIVUV_LOG", "stderr")
    monkeypatch.setenv("DBUS_SESSION_BUS_ADDRESS", "")
    services = Path(dbusmock.DBusTestCase.get_services_dir())
    (services / f"{BUS_NAME}.service").write_text(
        activation.replace("Exec=/usr/bin/", f"Exec={root}/usr/bin/"))
    dbusmock.DBusTestCase.start_session_bus()
    try:
        bus = dbusmock.DBusTestCase.get_dbus()
        reply = bus.call_blocking(BUS_NAME, OBJECT_PATH, BUS_NAME, "verifyAgentWithCompletion",
                                  "", [], timeout=30)
        assert (list(reply[0]), str(reply[1])) == ([], PACKAGE)
        pid = bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                "org.freedesktop.DBus", "GetConnectionUnixProcessID", "s", [BUS_NAME])
        assert os.readlink(f"/proc/{pid}/exe") == str(root / "usr/bin" / PACKAGE)
    finally:
        dbusmock.DBusTestCase.stop_dbus(dbusmock.DBusTestCase.session_bus_pid)
        shutil.rmtree(services.parent)
