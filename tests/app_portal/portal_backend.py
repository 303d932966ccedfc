#!/usr/bin/env python3
"""A scripted desktop-portal backend for the tests: the screen-casting side a desktop would
implement, answering as a script file says, and logging every call.

  portal_backend.py BUS_NAME SCRIPT_FILE LOG_FILE

SCRIPT_FILE (JSON, read at every call):
  {"answer": "grant" | "cancel" | "refuse" | "never",   # the user's answer to a dialog
   "streams": [{"node": 42, "x": 0, "y": 0, "width": 640, "height": 480}, ...],
   "restore": true,                                       # accept restore data (no dialog)
   "mutter": false}   # true: each session's stream is a new screen cast of GNOME's compositor
                      # (org.gnome.Mutter.ScreenCast), as GNOME's own backend makes them
LOG_FILE gets one JSON object a line: {"call": ..., ...}.
"""
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

IMPL = "org.freedesktop.impl.portal.ScreenCast"
REQUEST = "org.freedesktop.impl.portal.Request"
SESSION = "org.freedesktop.impl.portal.Session"
PROPERTIES = "org.freedesktop.DBus.Properties"
RESTORE_KIND = "tirvane-test"

bus_name, script_file, log_file = sys.argv[1:4]


def script():
    with open(script_file) as f:
        return json.load(f)


def log(entry):
    with open(log_file, "a") as f:
        f.write(json.dumps(entry) + "\n")


def plain(value):
    """A D-Bus value as plain JSON-able Python."""
    if isinstance(value, (dbus.Struct, tuple, dbus.Array, list)):
        return [plain(v) for v in value]
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (dbus.Boolean,)):
        return bool(value)
    if isinstance(value, (int, dbus.UInt32, dbus.Int32, dbus.UInt64)):
        return int(value)
    return str(value)


class Request(dbus.service.Object):
    def __init__(self, conn, path, on_close):
        super().__init__(conn, path)
        self.on_close = on_close

    @dbus.service.method(REQUEST, in_signature="", out_signature="")
    def Close(self):
        log({"call": "Request.Close"})
        self.on_close()
        self.remove_from_connection()


class Session(dbus.service.Object):
    def __init__(self, conn, path):
        super().__init__(conn, path)
        self.restore = None
        self.persist_mode = 0
        self.mutter = None

    @dbus.service.method(SESSION, in_signature="", out_signature="")
    def Close(self):
        log({"call": "Session.Close"})
        if self.mutter is not None:
            self.mutter.Stop()
        self.remove_from_connection()

    @dbus.service.signal(SESSION, signature="")
    def Closed(self):
        pass


class ScreenCast(dbus.service.Object):
    def __init__(self, conn):
        super().__init__(conn, "/org/freedesktop/portal/desktop")
        self.conn = conn
        self.sessions = {}

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != IMPL:
            return dbus.Dictionary({}, signature="sv")
        return dbus.Dictionary({"AvailableSourceTypes": dbus.UInt32(1),
                                "AvailableCursorModes": dbus.UInt32(1 | 2),
                                "version": dbus.UInt32(4)}, signature="sv")

    @dbus.service.method(IMPL, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session_handle, app_id, options):
        self.sessions[str(session_handle)] = Session(self.conn, session_handle)
        log({"call": "CreateSession", "app_id": str(app_id)})
        return dbus.UInt32(0), dbus.Dictionary({}, signature="sv")

    @dbus.service.method(IMPL, in_signature="oosa{sv}", out_signature="ua{sv}")
    def SelectSources(self, handle, session_handle, app_id, options):
        session = self.sessions.get(str(session_handle))
        restore = options.get("restore_data")
        if session is not None:
            session.restore = restore
            session.persist_mode = int(options.get("persist_mode", 0))
        log({"call": "SelectSources", "types": plain(options.get("types", 0)),
             "multiple": plain(options.get("multiple", False)),
             "persist_mode": plain(options.get("persist_mode", 0)),
             "restore_data": plain(restore) if restore is not None else None})
        return dbus.UInt32(0), dbus.Dictionary({}, signature="sv")

    @dbus.service.method(IMPL, in_signature="oossa{sv}", out_signature="ua{sv}",
                         async_callbacks=("reply", "error"))
    def Start(self, handle, session_handle, app_id, parent_window, options, reply, error):
        plan = script()
        session = self.sessions.get(str(session_handle))
        restore = session.restore if session else None
        restored = (plan.get("restore", True) and restore is not None
                    and str(restore[0]) == RESTORE_KIND)
        answer = "grant" if restored else plan.get("answer", "grant")
        log({"call": "Start", "restored": restored, "answer": answer})
        if answer == "never":
            # A dialog nobody answers: the call stays open until the request is closed.
            Request(self.conn, handle, lambda: reply(dbus.UInt32(2),
                                                     dbus.Dictionary({}, signature="sv")))
            return
        if answer != "grant":
            reply(dbus.UInt32(1 if answer == "cancel" else 2), dbus.Dictionary({}, signature="sv"))
            return
        if plan.get("mutter"):
            self.start_mutter(session, plan, reply)
            return
        reply(dbus.UInt32(0), self.results(plan["streams"], session))

    def start_mutter(self, session, plan, reply):
        """A new screen cast of the compositor's monitor; answers once its PipeWire node exists."""
        name = "org.gnome.Mutter.ScreenCast"
        cast = dbus.Interface(self.conn.get_object(name, "/org/gnome/Mutter/ScreenCast"), name)
        path = cast.CreateSession(dbus.Dictionary({}, signature="sv"))
        mutter = dbus.Interface(self.conn.get_object(name, path), name + ".Session")
        stream_path = mutter.RecordMonitor("", dbus.Dictionary({"cursor-mode": dbus.UInt32(1)},
                                                               signature="sv"))
        stream = self.conn.get_object(name, stream_path)
        size = plan["streams"][0]

        def added(node):
            log({"call": "mutter stream", "node": int(node)})
            reply(dbus.UInt32(0), self.results([dict(size, node=int(node))], session))
        stream.connect_to_signal("PipeWireStreamAdded", added, dbus_interface=name + ".Stream")
        if session is not None:
            session.mutter = mutter
        mutter.Start()

    def results(self, plan_streams, session):
        streams = dbus.Array([
            dbus.Struct((dbus.UInt32(s["node"]), dbus.Dictionary({
                "position": dbus.Struct((dbus.Int32(s.get("x", 0)), dbus.Int32(s.get("y", 0)))),
                "size": dbus.Struct((dbus.Int32(s["width"]), dbus.Int32(s["height"]))),
                "source_type": dbus.UInt32(1),
            }, signature="sv"))) for s in plan_streams], signature="(ua{sv})")
        results = {"streams": streams}
        if session is not None and session.persist_mode:
            results["persist_mode"] = dbus.UInt32(session.persist_mode)
            results["restore_data"] = dbus.Struct(
                (dbus.String(RESTORE_KIND), dbus.UInt32(1),
                 dbus.String(json.dumps(plan_streams), variant_level=1)), signature="suv")
        return dbus.Dictionary(results, signature="sv")


def main():
    DBusGMainLoop(set_as_default=True)
    conn = dbus.SessionBus()
    ScreenCast(conn)
    name = dbus.service.BusName(bus_name, conn)
    log({"call": "ready", "name": name.get_name()})
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
