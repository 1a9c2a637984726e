# The service among real desktop programs: started by the bus on the first
# call, and a notice shown by a real notification daemon whose default
# action opens the app.

import json
import shutil
import subprocess
from pathlib import Path

import pytest
from conftest import BIN, NAME, Proc, process_gone, repo, stop_bus, wait_until
from dbusmock import DBusTestCase


def test_first_call_starts_the_service_and_it_goes_with_its_bus(bus, ctl):
    activation = Path(DBusTestCase.get_services_dir()) / f'{NAME}.service'
    activation.write_text(f'[D-BUS Service]\nName={NAME}\nExec={BIN.resolve()}/zivuv-folder-monitor\n')
    try:
        assert ctl.out('status', timeout=30) == 'folder: none\nprocess: zivuv-folder-monitor\n'
        pid = bus.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                                'GetConnectionUnixProcessID', 's', (NAME,))
        assert Path(f'/proc/{pid}/exe').resolve() == (BIN / 'zivuv-folder-monitor').resolve()
    finally:
        activation.unlink()
    stop_bus(bus.pid)
    wait_until(lambda: process_gone(pid), what='the activated service to end with its bus')


@pytest.fixture
def dunst(bus, env, root):
    if not shutil.which('Xvfb') or not shutil.which('dunst'):
        pytest.skip('Xvfb or dunst is not installed')
    # With -displayfd, Xvfb prints the display number that it took once it listens.
    xvfb = Proc(['Xvfb', '-displayfd', '1', '-nolisten', 'tcp'], env)
    wait_until(lambda: xvfb.out or xvfb.p.poll() is not None, what='Xvfb')
    if not xvfb.out:
        pytest.skip(f'Xvfb cannot start: {xvfb.err}')
    # A notice never expires: the test acts on it however long it takes.
    (root / 'dunstrc').write_text('[global]\n    follow = none\n' + ''.join(
        f'[urgency_{u}]\n    timeout = 0\n' for u in ('low', 'normal', 'critical')))
    on_screen = {**env, 'DISPLAY': f':{xvfb.out[0]}', 'HOME': str(root)}
    on_screen.pop('WAYLAND_DISPLAY', None)
    daemon = Proc(['dunst', '-config', root / 'dunstrc'], on_screen)
    wait_until(lambda: bus.name_has_owner('org.freedesktop.Notifications'), what='dunst')
    yield lambda *args: subprocess.run(['dunstctl', *args], env=env, capture_output=True, text=True,
                                       check=True, timeout=10).stdout
    daemon.end()
    xvfb.p.terminate()  # ended gently, Xvfb removes its lock file and socket
    xvfb.status()


def test_notice_is_shown_and_its_default_action_opens_the_app(dunst, service, ctl, watched, xdg_open):
    repo(watched / 'one')
    service.watching()
    assert ctl.scan() == 1
    wait_until(lambda: dunst('count', 'displayed') == '1\n', what='the notice on screen')
    dunst('action', '0')
    assert [call[0] for call in wait_until(xdg_open, what='xdg-open')] == ['vizarudavez://']

    dunst('close')  # the history lists closed notices only
    (notice,) = json.loads(dunst('history'))['data'][0]
    assert [notice[key]['data'] for key in ('appname', 'summary', 'body')] == [
        'Zivuv', 'Repository Automatically Added', 'Zivuv is now monitoring the folder one']
