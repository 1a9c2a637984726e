# The status interface as a caching proxy sees it: PropertiesChanged for
# every change of a property that says it signals, a few at most, none at
# rest; and one GetAll as one snapshot.

import threading
import time
import xml.etree.ElementTree as ElementTree

import dbus
import dbus.mainloop.glib
from conftest import IFACE, NAME, PATH, pump, wait_until

STATUS = f'{IFACE}.Status'
UNSIGNALLED = {'Watches', 'PendingFolders'}
CONSTANT = {'StartedAt', 'Version', 'Confinement'}


def test_a_subscriber_follows_the_state_through_settling_and_back_to_idle(service, watched, env):
    conn = dbus.bus.BusConnection(env['DBUS_SESSION_BUS_ADDRESS'], mainloop=dbus.mainloop.glib.DBusGMainLoop())
    got = []
    conn.add_signal_receiver(lambda interface, changed, invalidated: got.append(
        (time.monotonic(), str(interface), dict(changed), list(invalidated))),
        'PropertiesChanged', 'org.freedesktop.DBus.Properties', path=PATH)
    service.watching()
    status = conn.get_object(NAME, PATH, introspect=False)
    wait_until(lambda: pump() or status.Get(STATUS, 'State', dbus_interface=dbus.PROPERTIES_IFACE) == 'idle')
    time.sleep(0.5)
    pump()
    got.clear()

    start = time.monotonic()
    for i in range(25):  # a burst of changes, 20 ms apart: each moves LastEvent
        (watched / f'file{i}').touch()
        time.sleep(0.02)
    burst = time.monotonic() - start
    states = lambda: [changed['State'] for _, _, changed, _ in got if 'State' in changed]
    wait_until(lambda: pump() or states()[-1:] == ['idle'], 10, 'the state back to idle')
    assert states()[0] == 'settling' and 'LastEvent' in got[0][2]
    cached = {}
    for _, interface, changed, invalidated in got:
        assert (interface, invalidated) == (STATUS, [])
        assert not set(changed) & (UNSIGNALLED | CONSTANT)
        cached.update(changed)
    # At most one signal per 100 ms: a few for the burst, not one per change.
    assert len([changed for _, _, changed, _ in got if 'LastEvent' in changed]) <= burst / 0.1 + 2
    # What the signals told is what a read gives; and at rest nothing more comes.
    now = status.GetAll(STATUS, dbus_interface=dbus.PROPERTIES_IFACE)
    assert {key: now[key] for key in cached} == cached
    assert {'LastScan', 'LastScanDuration'} <= set(cached)  # the scan that followed the burst
    signals = len(got)
    time.sleep(1)
    pump()
    assert len(got) == signals

    # Introspection says which properties signal: all but the two that change too often, and the constants.
    xml = status.Introspect(dbus_interface='org.freedesktop.DBus.Introspectable')
    interface = next(i for i in ElementTree.fromstring(xml) if i.get('name') == STATUS)
    emits = {p.get('name'): {a.get('value') for a in p if a.get('name') == 'org.freedesktop.DBus.Property.EmitsChangedSignal'}
             for p in interface if p.tag == 'property'}
    assert {name for name, value in emits.items() if value == {'false'}} == UNSIGNALLED
    assert {name for name, value in emits.items() if value == {'const'}} == CONSTANT
    assert {name for name, value in emits.items() if not value} == set(emits) - UNSIGNALLED - CONSTANT
    conn.close()


def test_one_getall_is_one_snapshot_while_scans_run_back_to_back(service, watched, env):
    for i in range(300):
        (watched / f'folder{i}').mkdir()
    service.watching()
    stop = threading.Event()

    def scans():
        scanner = dbus.bus.BusConnection(env['DBUS_SESSION_BUS_ADDRESS']).get_object(NAME, PATH, introspect=False)
        while not stop.is_set():
            scanner.checkFolderNowWithCompletion(dbus_interface=IFACE, timeout=60)
    thread = threading.Thread(target=scans)
    thread.start()
    status = dbus.bus.BusConnection(env['DBUS_SESSION_BUS_ADDRESS']).get_object(NAME, PATH, introspect=False)
    # Each count of scans goes with one time of the last scan, in every GetAll.
    seen = {}
    try:
        # Four seconds of reads, and on a slow build as long as 20 scans take.
        start = time.monotonic()
        while time.monotonic() < start + 4 or (len(seen) <= 20 and time.monotonic() < start + 60):
            props = status.GetAll(STATUS, dbus_interface=dbus.PROPERTIES_IFACE)
            seen.setdefault(int(props['Scans']), set()).add(int(props['LastScan']))
    finally:
        stop.set()
        thread.join()
    assert len(seen) > 20, 'the scans ran'
    assert {scans: times for scans, times in seen.items() if len(times) > 1} == {}
