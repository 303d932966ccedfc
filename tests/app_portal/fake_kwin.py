#!/usr/bin/env python3
"""A scripted stand-in for KDE Plasma's screenshot interface (org.kde.KWin.ScreenShot2), for
the tests: it answers as KWin does, writing a known picture into the pipe it is handed after it
has replied.

  fake_kwin.py SCRIPT_FILE LOG_FILE

SCRIPT_FILE (JSON, read at every call): {"answer": "grant" | "unauthorised"}
The picture: 320x200, QImage ARGB32 (bytes B,G,R,A), rows padded to 1344 bytes; the left half
is #2a9d8f, the right half #e76f51.
"""
import json
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

INTERFACE = "org.kde.KWin.ScreenShot2"
WIDTH, HEIGHT, STRIDE = 320, 200, 320 * 4 + 64
ARGB32 = 5

script_file, log_file = sys.argv[1:3]


def log(entry):
    with open(log_file, "a") as f:
        f.write(json.dumps(entry) + "\n")


def picture():
    left = bytes([0x8f, 0x9d, 0x2a, 0xff]) * (WIDTH // 2)
    right = bytes([0x51, 0x6f, 0xe7, 0xff]) * (WIDTH - WIDTH // 2)
    row = left + right + bytes(STRIDE - WIDTH * 4)
    return row * HEIGHT


class NotAuthorised(dbus.DBusException):
    _dbus_error_name = "org.kde.KWin.ScreenShot2.Error.NoAuthorized"


class ScreenShot2(dbus.service.Object):
    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface == INTERFACE and name == "Version":
            return dbus.UInt32(4)
        raise dbus.DBusException("no such property", name="org.freedesktop.DBus.Error.UnknownProperty")

    def answer(self, call, pipe):
        with open(script_file) as f:
            plan = json.load(f)
        log(call)
        if plan.get("answer") == "unauthorised":
            raise NotAuthorised("The process is not authorized to take a screenshot")
        fd = pipe.take()

        def write():
            with os.fdopen(fd, "wb") as out:
                out.write(picture())
            return False
        GLib.timeout_add(10, write)
        return dbus.Dictionary({"type": "raw", "width": dbus.UInt32(WIDTH),
                                "height": dbus.UInt32(HEIGHT), "stride": dbus.UInt32(STRIDE),
                                "format": dbus.UInt32(ARGB32), "scale": dbus.Double(1.0)},
                               signature="sv")

    @dbus.service.method(INTERFACE, in_signature="a{sv}h", out_signature="a{sv}")
    def CaptureActiveScreen(self, options, pipe):
        return self.answer({"call": "CaptureActiveScreen"}, pipe)

    @dbus.service.method(INTERFACE, in_signature="sa{sv}h", out_signature="a{sv}")
    def CaptureScreen(self, name, options, pipe):
        return self.answer({"call": "CaptureScreen", "name": str(name)}, pipe)


def main():
    DBusGMainLoop(set_as_default=True)
    conn = dbus.SessionBus()
    ScreenShot2(conn, "/org/kde/KWin/ScreenShot2")
    name = dbus.service.BusName("org.kde.KWin", conn)
    log({"call": "ready", "name": name.get_name()})
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
