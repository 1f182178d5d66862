#!/usr/bin/python3
"""Previews, starts, follows and stops one's own removal on the session bus.
Usage: remove_with_jobs.py VOLUME PATTERN... (stops it once half is gone)."""
import sys, dbus, dbus.mainloop.glib
from gi.repository import GLib
NAME, JOBS, JOB = 'org.quillfen.QuillfenRemovalService', 'org.quillfen.QuillfenRemovalJobs', 'org.quillfen.QuillfenRemovalJob'
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus, loop = dbus.SessionBus(), GLib.MainLoop()
service = bus.get_object(NAME, '/org/quillfen/QuillfenRemovalService')
request = {'volumePath': sys.argv[1], 'fileRemovalArray': dbus.Array(sys.argv[2:], 's')}
print('service', service.Get(JOBS, 'Version', dbus_interface=dbus.PROPERTIES_IFACE))
would = len(service.Preview(request, dbus_interface=JOBS, timeout=2**31//1000)['pathArray'])
print('would remove', would)
def changed(interface, values, invalidated, path=None):
    if path != job.object_path or 'Removed' not in values: return
    print('removed', values['Removed'], 'of', would)
    if values['Removed'] * 2 >= would: job.Stop(dbus_interface=JOB)
def completed(reply):
    errors = reply['errorDict']
    print('completed:', len(reply['pathArray']), 'removed,', len(errors), 'not;', errors.get(sys.argv[1], 'not stopped')); loop.quit()
bus.add_signal_receiver(changed, 'PropertiesChanged', dbus.PROPERTIES_IFACE, path_keyword='path')
bus.add_signal_receiver(completed, 'Completed', JOB)
job = bus.get_object(NAME, service.Start(request, dbus_interface=JOBS))
loop.run()
