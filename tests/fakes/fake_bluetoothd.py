#!/usr/bin/python3
"""A stand-in for bluetoothd on a private bus: one adapter that takes GATT
applications and advertisements, checks what it is given, and a control
object through which a test plays the central."""

import argparse
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ = 'org.bluez'
CONTROL = 'org.vandrel.FakeBluezControl'
ADAPTER = '/org/bluez/hci0'
OBJECT_MANAGER = 'org.freedesktop.DBus.ObjectManager'
PROPERTIES = 'org.freedesktop.DBus.Properties'
SERVICE_UUID = '0000ff60-0000-1000-8000-00805f9b34fb'
WRITE_UUID = '0000ff61-0000-1000-8000-00805f9b34fb'
NOTIFY_UUID = '0000ff62-0000-1000-8000-00805f9b34fb'


class Failed(dbus.exceptions.DBusException):
    def __init__(self, name, text):
        super().__init__(text, name=name)


def invalid(text):
    return Failed('org.bluez.Error.InvalidArguments', text)


class Bluetoothd(dbus.service.Object):
    def __init__(self, bus, options):
        super().__init__(bus, '/')
        self.bus = bus
        self.options = options
        self.powered = options.powered
        self.counts = {}
        self.app = None
        self.advertisement = None
        self.notifications = []
        self.watch = None
        self.adapter = Adapter(bus, self)
        self.control = Control(bus, self)

    def count(self, name):
        self.counts[name] = self.counts.get(name, 0) + 1

    def later(self, method, action):
        """Runs `action` now, or after the delay --slow gives `method`."""
        delay = self.options.slow.get(method)
        if delay is None:
            action()
        else:
            GLib.timeout_add(int(delay * 1000), lambda: action() and False)

    def fails(self, method):
        return method in self.options.fail

    @dbus.service.method(OBJECT_MANAGER, out_signature='a{oa{sa{sv}}}',
                         async_callbacks=('ok', 'err'))
    def GetManagedObjects(self, ok, err):
        self.count('GetManagedObjects')
        objects = {}
        if not self.options.no_adapter:
            interfaces = {
                'org.bluez.Adapter1': {
                    'Address': 'AA:BB:CC:DD:EE:FF',
                    'Powered': dbus.Boolean(self.powered),
                },
                'org.bluez.GattManager1': {},
            }
            if not self.options.no_le:
                interfaces['org.bluez.LEAdvertisingManager1'] = {
                    'SupportedInstances': dbus.Byte(4)}
            objects[dbus.ObjectPath(ADAPTER)] = interfaces
        reply = dbus.Dictionary(objects, signature='oa{sa{sv}}')
        self.later('GetManagedObjects', lambda: ok(reply))

    # The application's objects, as its GetManagedObjects told them.
    def check_application(self, objects):
        service = None
        chars = {}
        for path, interfaces in objects.items():
            svc = interfaces.get('org.bluez.GattService1')
            if svc and str(svc.get('UUID', '')).lower() == SERVICE_UUID:
                if not bool(svc.get('Primary', False)):
                    raise invalid('service is not primary')
                service = str(path)
            char = interfaces.get('org.bluez.GattCharacteristic1')
            if char:
                chars[str(char.get('UUID', '')).lower()] = (str(path), char)
        if service is None:
            raise invalid('no ff60 service')
        wanted = {WRITE_UUID: {'write', 'write-without-response'},
                  NOTIFY_UUID: {'read', 'notify'}}
        for uuid, flags in wanted.items():
            if uuid not in chars:
                raise invalid('no characteristic ' + uuid)
            path, char = chars[uuid]
            if str(char.get('Service', '')) != service:
                raise invalid(uuid + ' is not in the service')
            if set(str(f) for f in char.get('Flags', [])) != flags:
                raise invalid(uuid + ' has flags ' + repr(list(char.get('Flags', []))))
        return chars[WRITE_UUID][0], chars[NOTIFY_UUID][0]

    def register_application(self, sender, root, ok, err):
        def got(objects):
            try:
                write, notify = self.check_application(objects)
            except dbus.exceptions.DBusException as e:
                err(e)
                return
            self.app = {'sender': sender, 'root': str(root), 'write': write, 'notify': notify}
            self.watch = self.bus.add_signal_receiver(
                self.properties_changed, signal_name='PropertiesChanged',
                dbus_interface=PROPERTIES, bus_name=sender, path=notify)
            self.later('RegisterApplication', ok)
        if self.fails('RegisterApplication'):
            err(Failed('org.bluez.Error.Failed', 'refused on request'))
            return
        self.bus.get_object(sender, root, introspect=False).GetManagedObjects(
            dbus_interface=OBJECT_MANAGER, reply_handler=got,
            error_handler=lambda e: err(invalid('cannot read the application: ' + str(e))))

    def register_advertisement(self, sender, path, ok, err):
        def got(props):
            if str(props.get('Type', '')) != 'peripheral':
                err(invalid('type ' + str(props.get('Type', ''))))
            elif SERVICE_UUID not in [str(u).lower() for u in props.get('ServiceUUIDs', [])]:
                err(invalid('the service is not advertised'))
            else:
                self.advertisement = {'sender': sender, 'path': str(path)}
                self.later('RegisterAdvertisement', ok)
        if self.fails('RegisterAdvertisement'):
            err(Failed('org.bluez.Error.Failed', 'refused on request'))
            return
        self.bus.get_object(sender, path, introspect=False).GetAll(
            'org.bluez.LEAdvertisement1', dbus_interface=PROPERTIES, reply_handler=got,
            error_handler=lambda e: err(invalid('cannot read the advertisement: ' + str(e))))

    def properties_changed(self, interface, changed, invalidated):
        if interface == 'org.bluez.GattCharacteristic1' and 'Value' in changed:
            self.notifications.append(bytes(changed['Value']))

    def application(self):
        if self.app is None:
            raise Failed('org.bluez.Error.NotReady', 'no application registered')
        return self.bus.get_object(self.app['sender'], self.app['write'], introspect=False), \
            self.bus.get_object(self.app['sender'], self.app['notify'], introspect=False)


class Adapter(dbus.service.Object):
    def __init__(self, bus, daemon):
        super().__init__(bus, ADAPTER)
        self.daemon = daemon

    @dbus.service.method('org.bluez.GattManager1', in_signature='oa{sv}', sender_keyword='sender',
                         async_callbacks=('ok', 'err'))
    def RegisterApplication(self, root, options, sender=None, ok=None, err=None):
        self.daemon.count('RegisterApplication')
        self.daemon.register_application(sender, root, ok, err)

    @dbus.service.method('org.bluez.GattManager1', in_signature='o')
    def UnregisterApplication(self, root):
        self.daemon.count('UnregisterApplication')
        d = self.daemon
        if d.app is None or d.app['root'] != str(root):
            raise Failed('org.bluez.Error.DoesNotExist', 'no such application')
        if d.watch is not None:
            d.watch.remove()
            d.watch = None
        d.app = None

    @dbus.service.method('org.bluez.LEAdvertisingManager1', in_signature='oa{sv}', sender_keyword='sender',
                         async_callbacks=('ok', 'err'))
    def RegisterAdvertisement(self, path, options, sender=None, ok=None, err=None):
        self.daemon.count('RegisterAdvertisement')
        if self.daemon.options.no_le:
            err(Failed('org.freedesktop.DBus.Error.UnknownMethod', 'no LE on this adapter'))
            return
        self.daemon.register_advertisement(sender, path, ok, err)

    @dbus.service.method('org.bluez.LEAdvertisingManager1', in_signature='o')
    def UnregisterAdvertisement(self, path):
        self.daemon.count('UnregisterAdvertisement')
        d = self.daemon
        if d.advertisement is None or d.advertisement['path'] != str(path):
            raise Failed('org.bluez.Error.DoesNotExist', 'no such advertisement')
        d.advertisement = None

    @dbus.service.signal(PROPERTIES, signature='sa{sv}as')
    def PropertiesChanged(self, interface, changed, invalidated):
        pass


class Control(dbus.service.Object):
    def __init__(self, bus, daemon):
        super().__init__(bus, '/control')
        self.daemon = daemon

    @dbus.service.method(CONTROL, in_signature='ay', out_signature='b', async_callbacks=('ok', 'err'))
    def Write(self, value, ok, err):
        write, _ = self.daemon.application()
        write.WriteValue(dbus.Array(value, signature='y'), dbus.Dictionary({}, signature='sv'),
                         dbus_interface='org.bluez.GattCharacteristic1', signature='aya{sv}',
                         reply_handler=lambda: ok(True), error_handler=lambda e: ok(False))

    def notify_call(self, method, ok, err):
        _, notify = self.daemon.application()
        getattr(notify, method)(dbus_interface='org.bluez.GattCharacteristic1',
                                reply_handler=ok, error_handler=err)

    @dbus.service.method(CONTROL, async_callbacks=('ok', 'err'))
    def StartNotify(self, ok, err):
        self.notify_call('StartNotify', ok, err)

    @dbus.service.method(CONTROL, async_callbacks=('ok', 'err'))
    def StopNotify(self, ok, err):
        self.notify_call('StopNotify', ok, err)

    @dbus.service.method(CONTROL, async_callbacks=('ok', 'err'))
    def Release(self, ok, err):
        adv = self.daemon.advertisement
        if adv is None:
            raise Failed('org.bluez.Error.NotReady', 'no advertisement registered')
        self.daemon.advertisement = None
        self.daemon.bus.get_object(adv['sender'], adv['path'], introspect=False).Release(
            dbus_interface='org.bluez.LEAdvertisement1', reply_handler=ok, error_handler=err)

    @dbus.service.method(CONTROL, out_signature='aay')
    def Notifications(self):
        return dbus.Array([dbus.ByteArray(n) for n in self.daemon.notifications], signature='ay')

    @dbus.service.method(CONTROL, in_signature='s', out_signature='i')
    def Count(self, name):
        return self.daemon.counts.get(str(name), 0)

    @dbus.service.method(CONTROL, in_signature='b')
    def SetPowered(self, powered):
        self.daemon.powered = bool(powered)
        self.daemon.adapter.PropertiesChanged('org.bluez.Adapter1',
                                              {'Powered': dbus.Boolean(powered)}, [])


def parse():
    parser = argparse.ArgumentParser()
    parser.add_argument('--address', required=True)
    parser.add_argument('--powered', type=int, default=1)
    parser.add_argument('--no-adapter', action='store_true')
    parser.add_argument('--no-le', action='store_true')
    parser.add_argument('--slow', action='append', default=[], help='METHOD=SECONDS')
    parser.add_argument('--fail', action='append', default=[], help='METHOD, answered with an error')
    parser.add_argument('--ready')
    options = parser.parse_args()
    slow = {}
    for item in options.slow:
        method, _, seconds = item.partition('=')
        slow[method] = float(seconds)
    options.slow = slow
    return options


def main():
    options = parse()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(options.address)
    loop = GLib.MainLoop()
    # The bus going away ends the daemon, as it does bluetoothd.
    bus.call_on_disconnection(lambda connection: loop.quit())
    Bluetoothd(bus, options)
    names = [dbus.service.BusName(BLUEZ, bus), dbus.service.BusName(CONTROL, bus)]
    if options.ready:
        with open(options.ready, 'w') as ready:
            ready.write('ready\n')
    loop.run()
    del names
    return 0


if __name__ == '__main__':
    sys.exit(main())
