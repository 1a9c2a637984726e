# Shared fixtures of the integration tests: a private session bus per test,
# the real service and client from the build on it, with private settings,
# and dbusmock playing the desktop (notification server, portal).

import ctypes
import os
import plistlib
import re
import shutil
import signal
import struct
import subprocess
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import dbus
import dbus.mainloop.glib
import pytest
from dbusmock import MOCK_IFACE, DBusTestCase
from gi.repository import GLib

NAME = IFACE = 'VO9ZE47VOD.com.dozezeza.FolderMonitor'
PATH = '/VO9ZE47VOD/com/dozezeza/FolderMonitor'
SUITE = 'VO9ZE47VOD.com.dozezeza'
BIN = Path(os.environ.get('ZIVUV_BIN_DIR', 'build/release/bin'))
SANITIZED = os.environ.get('ZIVUV_SANITIZE', 'none') not in ('', 'none')
# The Landlock ABI this kernel offers (landlock_create_ruleset with the
# version flag), and whether the tests themselves run with no_new_privs.
LANDLOCK_ABI = ctypes.CDLL(None, use_errno=True).syscall(444, None, 0, 1)
NO_NEW_PRIVS = re.search(r'NoNewPrivs:\s*(\d)', Path('/proc/self/status').read_text())[1]
# The service's stderr holds log entries only; anything else is a forged or
# broken line, or a sanitizer's report.
LOG_LINE = re.compile(r'(info|debug|error) |zivuv-folder-monitor: ')


def wait_until(cond, timeout=20, what='condition'):
    end = time.monotonic() + timeout
    while not (value := cond()):
        if time.monotonic() > end:
            pytest.fail(f'timed out after {timeout} s waiting for {what}')
        time.sleep(0.02)
    return value


def pump():
    while GLib.MainContext.default().iteration(False):
        pass


def repo(path):
    subprocess.run(['git', 'init', '-q', path], check=True)


def bookmark(folder, kind=1, recorded=None):
    # Transport (1) or secure (2) bookmark data of a folder, as the programs
    # make them; with recorded, its device and inode under that path.
    path = os.fsencode(os.path.realpath(folder))
    st = os.stat(path)
    path = os.fsencode(recorded) if recorded else path
    return b'ZVBM' + struct.pack('<BBHQQI', 1, kind, 0, st.st_dev, st.st_ino, len(path)) + path


def process_gone(pid):
    # Ended: a zombie that init has not reaped yet counts as gone.
    try:
        return Path(f'/proc/{pid}/stat').read_text().rsplit(')', 1)[1].split()[0] == 'Z'
    except FileNotFoundError:
        return True


class Proc:
    # A child whose stdout and stderr are read into lists of lines.
    def __init__(self, argv, env):
        self.p = subprocess.Popen([str(a) for a in argv], env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out, self.err = [], []
        self.readers = [threading.Thread(target=self._read, args=pipe_lines, daemon=True)
                        for pipe_lines in ((self.p.stdout, self.out), (self.p.stderr, self.err))]
        for reader in self.readers:
            reader.start()

    @staticmethod
    def _read(pipe, lines):
        for raw in pipe:
            lines.append(raw.decode('utf-8', 'surrogateescape').rstrip('\n'))

    def wait_line(self, line, n=1, stream='err', timeout=20):
        # How many times the line came, once it came n times. Lines arrive
        # through a pipe, after the reply that they precede.
        lines = getattr(self, stream)
        wait_until(lambda: lines.count(line) >= n, timeout, f'{n} x {line!r} on {stream}')
        return lines.count(line)

    def status(self, timeout=20):
        # The exit status, once every line is in.
        status = self.p.wait(timeout)
        for reader in self.readers:
            reader.join(timeout)
        return status

    def end(self):
        if self.p.poll() is None:
            self.p.kill()
        self.status()


@pytest.fixture(scope='session', autouse=True)
def dbusmock_folder():
    # dbusmock keeps the buses' configuration in a folder of its own that it never removes.
    yield
    shutil.rmtree(Path(DBusTestCase.get_services_dir()).parent, ignore_errors=True)


@pytest.fixture
def root(tmp_path):
    return tmp_path.resolve()


@pytest.fixture
def watched(root):
    (root / 'watched').mkdir()
    return root / 'watched'


@pytest.fixture
def env(root):
    (root / 'bin').mkdir()
    # A stand-in xdg-open records its argument, token, signal masks, what
    # it got of the service manager's variables, and whether it is as free
    # as the service was before it confined itself (no_new_privs, a write
    # outside the settings folder); one printf is one write with O_APPEND,
    # so runs side by side never mix lines.
    (root / 'bin' / 'xdg-open').write_text(
        '#!/bin/sh\nsig=$(grep -E "^Sig(Ign|Blk):" /proc/$$/status | tr "\\t\\n" "  ")\n'
        'own=$(env | grep -E "^(NOTIFY_SOCKET|LISTEN_|WATCHDOG_)" | tr "\\n" " ")\n'
        'free=$(grep NoNewPrivs /proc/$$/status | tr "\\t" " ")\n'
        f'if : 2>/dev/null >> {root}/app-wrote; then free="$free, writes"; fi\n'
        f'printf "%s\\t%s\\t%s\\t%s\\t%s\\n" "$*" "${{XDG_ACTIVATION_TOKEN-}}" "$sig" "$own" "$free" >> {root}/xdg-open.log\n')
    (root / 'bin' / 'xdg-open').chmod(0o755)
    env = {k: v for k, v in os.environ.items() if k not in ('LANGUAGE', 'LANG')}
    env.update(DBUS_SESSION_BUS_ADDRESS=f'unix:path={root}/no-bus', XDG_CONFIG_HOME=f'{root}/config',
               ZIVUV_LOG='stderr', ZIVUV_FAULTS=f'{root}/faults', LC_ALL='C.UTF-8',
               ZIVUV_LOCALEDIR=os.environ.get('ZIVUV_BUILD_LOCALEDIR', ''), PATH=f'{root}/bin:{os.environ["PATH"]}')
    return env


@pytest.fixture
def xdg_open(root):
    # The stand-in's runs: [arguments, XDG_ACTIVATION_TOKEN, signal masks,
    # service manager's variables, no_new_privs and whether it could write].
    log = root / 'xdg-open.log'
    return lambda: [line.split('\t') for line in log.read_text().splitlines()] if log.exists() else []


def suite_file(env):
    return Path(env['XDG_CONFIG_HOME']) / 'Zivuv' / f'{SUITE}.plist'


def own_settings(env, **keys):
    # Sets keys of the service's own settings file, as the app may.
    path = Path(env['XDG_CONFIG_HOME']) / 'Zivuv' / 'com.vezudi.Zivuv.FolderMonitor.plist'
    path.parent.mkdir(parents=True, exist_ok=True)
    settings = plistlib.loads(path.read_bytes()) if path.exists() else {}
    # Whole or not at all, as the app writes, for a service that reads it meanwhile.
    path.with_suffix('.new').write_bytes(plistlib.dumps({**settings, **keys}, fmt=plistlib.FMT_BINARY))
    path.with_suffix('.new').replace(path)


@pytest.fixture
def faults(env):
    # Lines for the service's fault file: failures and shortened periods.
    return lambda *lines: Path(env['ZIVUV_FAULTS']).write_text(''.join(f'{line}\n' for line in lines))


@pytest.fixture
def fuse_mount(root):
    # Mounts a FUSE file system (bindfs) of a folder; unmounts it at the end.
    if not shutil.which('bindfs') or not os.path.exists('/dev/fuse'):
        pytest.skip('bindfs or /dev/fuse is missing: no FUSE mount here')
    mounted = []

    def mount(source, target):
        if subprocess.run(['bindfs', '-o', 'nonempty', source, target]).returncode != 0:
            pytest.skip('bindfs cannot mount here')
        mounted.append(target)

    def unmount(target):
        subprocess.run(['fusermount', '-u', '-z', target], check=False)
        mounted.remove(target)
    mount.unmount = unmount
    yield mount
    for target in reversed(mounted):
        subprocess.run(['fusermount', '-u', '-z', target], check=False)


def quiet_for(proc, seconds, line='debug File Has Changed, Setting Timer'):
    # True when the service logged no such line for that long.
    before = proc.err.count(line)
    time.sleep(seconds)
    return proc.err.count(line) == before


def stop_bus(pid):
    os.kill(pid, signal.SIGTERM)
    wait_until(lambda: process_gone(pid), what='the bus to end')


@pytest.fixture
def bus(env, monkeypatch):
    # The daemon, and so every service that it starts, runs in the test's
    # environment less a bus address: the bus itself tells them.
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    monkeypatch.delenv('DBUS_SESSION_BUS_ADDRESS')
    DBusTestCase.start_session_bus()  # sets DBUS_SESSION_BUS_ADDRESS for the mocks
    env['DBUS_SESSION_BUS_ADDRESS'] = os.environ['DBUS_SESSION_BUS_ADDRESS']
    conn = dbus.bus.BusConnection(env['DBUS_SESSION_BUS_ADDRESS'])
    conn.pid = DBusTestCase.session_bus_pid
    yield conn
    conn.close()
    if not process_gone(conn.pid):
        stop_bus(conn.pid)


@pytest.fixture
def service(env, bus, ctl, watched):
    # Starts the service (and waits until it owns its name), or starts it
    # watching the folder; kills the last one started; calls it. Every one
    # ends with the test.
    started = []

    def start(wait=True, **extra):
        started.append(proc := Proc([BIN / 'zivuv-folder-monitor'], {**env, **extra}))
        if wait:
            wait_until(lambda: bus.name_has_owner(NAME) or proc.p.poll() is not None, what='the service')
            assert proc.p.poll() is None, proc.err
        return proc

    def watching(**extra):
        # As the app hands a folder over: no scan follows.
        proc = start(**extra)
        assert call('startMonitoringWithPath', dbus.ByteArray(bookmark(watched)), signature='ay')
        return proc

    def kill():
        started[-1].end()
        wait_until(lambda: not bus.name_has_owner(NAME), what='the name to go')

    def call(member, *args, signature=None, timeout=60):
        return bus.call_blocking(NAME, PATH, IFACE, member, signature, args, timeout=timeout)
    yield SimpleNamespace(start=start, watching=watching, kill=kill, call=call)
    for proc in started:
        proc.end()
        assert [line for line in proc.err if not LOG_LINE.match(line)] == []


@pytest.fixture
def ctl(env):
    # Runs zivuv-monitorctl; .out() for a command that must succeed.
    def run(*args, timeout=60):
        return subprocess.run([BIN / 'zivuv-monitorctl', *map(str, args)], env=env, capture_output=True,
                              encoding='utf-8', errors='surrogateescape', timeout=timeout)

    def out(*args, **kw):
        result = run(*args, **kw)
        assert result.returncode == 0, (args, result.stderr)
        return result.stdout
    run.out = out
    run.scan = lambda **kw: int(out('scan', **kw))
    run.listed = lambda: [line[7:] for line in out('repos').splitlines() if line.startswith('listed ')]
    return run


@pytest.fixture
def mock(bus):
    # Starts dbusmock servers that end with the test: mock(template) or
    # mock(name, path, interface). Each has .calls(method) and .emit(signal, *args, destination=).
    daemons = []

    def start(*args):
        if len(args) == 1:
            daemon, obj = DBusTestCase.spawn_server_template(args[0], stdout=subprocess.DEVNULL)
        else:
            daemon, obj = DBusTestCase.spawn_server(*args, stdout=subprocess.DEVNULL), bus.get_object(*args[:2])
        daemons.append(daemon)
        return SimpleNamespace(daemon=daemon, obj=obj, calls=lambda method: [
            args for _, args in obj.GetMethodCalls(method, dbus_interface=MOCK_IFACE)],
            emit=lambda member, *args, destination=None: obj.EmitSignalDetailed(
                '', member, 'us', args, dbus.Dictionary({'destination': destination} if destination else {},
                                                        signature='sv'), dbus_interface=MOCK_IFACE))
    yield start
    for daemon in daemons:
        daemon.kill()
        daemon.wait()


@pytest.fixture
def defaults_changed(bus, env):
    # The arguments of the DefaultsChanged signals received so far. A round
    # trip to the bus first: everything that the service sent before the
    # last reply any client got is then in, in order.
    conn = dbus.bus.BusConnection(env['DBUS_SESSION_BUS_ADDRESS'], mainloop=dbus.mainloop.glib.DBusGMainLoop())
    got = []
    conn.add_signal_receiver(lambda arg: got.append(str(arg)), 'DefaultsChanged', 'com.rudirideva.Zivuv', path=PATH)

    def received():
        conn.name_has_owner(NAME)
        pump()
        return got
    yield received
    conn.close()
