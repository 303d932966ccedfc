#!/usr/bin/env python3
"""The person in front of a headless GNOME Shell, for the tests: sees the screen through
Mutter's screen cast, moves the pointer and types through Mutter's remote desktop, and lists the
shell's windows. Run as the desktop's user, on its session bus.

  gnome_user.py leave-overview   the shell starts in the Overview: go to the desktop
  gnome_user.py grant            answer the "Screen Share" dialog: pick the monitor, press Share
  gnome_user.py cancel           close the "Screen Share" dialog from the keyboard (Alt+F4)
  gnome_user.py watch            list the shell's windows every 50 ms until SIGTERM: prints
                                 "watching" after the first look, and at the end
                                 {"polls": N, "dialogs": [title, ...]} as the last line

Exits 0 when done, 1 with the reason on standard error when the screen did not behave.
"""
import json
import signal
import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
import gi
gi.require_version("Gst", "1.0")
from gi.repository import GLib, Gst

MUTTER_RD = "org.gnome.Mutter.RemoteDesktop"
MUTTER_SC = "org.gnome.Mutter.ScreenCast"
SHELL = "org.gnome.Shell"
PROPERTIES = "org.freedesktop.DBus.Properties"
# The shell lists its windows only to callers holding one of a few portal backends' names. The
# tests' desktop runs no GTK portal backend (its portal frontend is told only of GNOME's), so this
# helper takes that name to be let in.
INTROSPECT_NAME = "org.freedesktop.impl.portal.desktop.gtk"
DIALOG_APP = "xdg-desktop-portal-gnome"

# The dialog's colours in GNOME 43's default theme: the Share button before and after a monitor
# is picked, and the list row of a monitor that is not yet picked.
SHARE_OFF = (144, 183, 231)
SHARE_ON = (53, 132, 228)
ROW = (255, 255, 255)

BTN_LEFT = 0x110
KEYSYMS = {"Alt_L": 0xffe9, "F4": 0xffc1}


class Failed(Exception):
    pass


def pump(seconds):
    """Runs the main loop for a while, so D-Bus signals and name changes arrive."""
    context = GLib.MainContext.default()
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        context.iteration(False)
        time.sleep(0.005)


def wait_for(what, ready, seconds):
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        value = ready()
        if value:
            return value
        pump(0.05)
    raise Failed(f"gave up waiting for {what} ({seconds} s)")


class Windows:
    """The shell's window list."""

    def __init__(self, bus):
        self.name = dbus.service.BusName(INTROSPECT_NAME, bus, do_not_queue=True)
        self.introspect = dbus.Interface(
            bus.get_object("org.gnome.Shell.Introspect", "/org/gnome/Shell/Introspect"),
            "org.gnome.Shell.Introspect")
        # The shell hears of the name asynchronously: ask until it answers.
        wait_for("the shell's window list", self.try_list, 10)

    def try_list(self):
        try:
            return [self.list()]
        except dbus.DBusException:
            return None

    def list(self):
        return [{str(k): (str(v) if isinstance(v, dbus.String) else int(v))
                 for k, v in props.items()} for props in self.introspect.GetWindows().values()]

    def dialogs(self):
        return [w for w in self.list() if DIALOG_APP in w.get("app-id", "")]


class Screen:
    """The primary monitor as Mutter sees it, and a pointer and keyboard on it."""

    def __init__(self, bus):
        desktop = dbus.Interface(bus.get_object(MUTTER_RD, "/org/gnome/Mutter/RemoteDesktop"),
                                 MUTTER_RD)
        path = desktop.CreateSession()
        self.input = dbus.Interface(bus.get_object(MUTTER_RD, path), MUTTER_RD + ".Session")
        session_id = bus.get_object(MUTTER_RD, path).Get(MUTTER_RD + ".Session", "SessionId",
                                                         dbus_interface=PROPERTIES)
        cast = dbus.Interface(bus.get_object(MUTTER_SC, "/org/gnome/Mutter/ScreenCast"), MUTTER_SC)
        cast_path = cast.CreateSession({"remote-desktop-session-id": session_id})
        cast_session = dbus.Interface(bus.get_object(MUTTER_SC, cast_path), MUTTER_SC + ".Session")
        self.stream = cast_session.RecordMonitor("", {"cursor-mode": dbus.UInt32(0)})
        nodes = []
        bus.get_object(MUTTER_SC, self.stream).connect_to_signal(
            "PipeWireStreamAdded", lambda node: nodes.append(int(node)),
            dbus_interface=MUTTER_SC + ".Stream")
        self.input.Start()
        node = wait_for("Mutter's screen cast stream", lambda: nodes and nodes[0], 10)
        self.pipeline = Gst.parse_launch(
            f"pipewiresrc path={node} always-copy=true ! videoconvert ! "
            "video/x-raw,format=RGB ! appsink name=sink max-buffers=1 drop=true sync=false")
        self.sink = self.pipeline.get_by_name("sink")
        self.pipeline.set_state(Gst.State.PLAYING)
        self.frame = None
        wait_for("a first frame of the screen", self.latest, 10)

    def latest(self):
        """The newest frame: (width, height, RGB bytes). GNOME sends frames only when the screen
        changes, so the last one received is the screen as it is now."""
        sample = self.sink.emit("try-pull-sample", 0)
        if sample is not None:
            caps = sample.get_caps().get_structure(0)
            buffer = sample.get_buffer()
            width, height = caps.get_value("width"), caps.get_value("height")
            ok, info = buffer.map(Gst.MapFlags.READ)
            if ok:
                # Rows may be padded to 4 bytes: keep width * 3 bytes of each.
                stride = len(info.data) // height
                data = bytes(info.data)
                buffer.unmap(info)
                if stride != width * 3:
                    data = b"".join(data[y * stride:y * stride + width * 3] for y in range(height))
                self.frame = (width, height, data)
        return self.frame

    def click(self, x, y):
        self.input.NotifyPointerMotionAbsolute(self.stream, float(x), float(y))
        pump(0.05)
        self.input.NotifyPointerButton(BTN_LEFT, True)
        pump(0.05)
        self.input.NotifyPointerButton(BTN_LEFT, False)

    def keys(self, *names):
        """Presses the keys in order, as a chord, and lets them go in reverse."""
        for name in names:
            self.input.NotifyKeyboardKeysym(KEYSYMS[name], True)
            pump(0.03)
        for name in reversed(names):
            self.input.NotifyKeyboardKeysym(KEYSYMS[name], False)
            pump(0.03)

    def close(self):
        self.pipeline.set_state(Gst.State.NULL)
        self.input.Stop()


def near(pixel, colour, slack=6):
    return all(abs(a - b) <= slack for a, b in zip(pixel, colour))


def pixel(frame, x, y):
    width, _, data = frame
    at = (y * width + x) * 3
    return tuple(data[at:at + 3])


def box_of(frame, colour, left=0, top=0, right=None, bottom=None, min_run=8):
    """The bounding box (x0, y0, x1, y1) of the runs of at least `min_run` pixels of exactly
    `colour` inside the given bounds, or None."""
    width, height, data = frame
    right = width if right is None else min(right, width)
    bottom = height if bottom is None else min(bottom, height)
    run = bytes(colour) * min_run
    found = None
    for y in range(max(top, 0), bottom):
        row = data[y * width * 3:(y + 1) * width * 3]
        at = row.find(run, max(left, 0) * 3, right * 3)
        while at >= 0 and at % 3:
            at = row.find(run, at + 1, right * 3)
        if at < 0:
            continue
        x0 = at // 3
        x1 = x0
        while x1 + 1 < right and row[(x1 + 1) * 3:(x1 + 2) * 3] == bytes(colour):
            x1 += 1
        if found is None:
            found = [x0, y, x1, y]
        else:
            found = [min(found[0], x0), found[1], max(found[2], x1), y]
    return tuple(found) if found else None


def centre(box):
    return ((box[0] + box[2]) // 2, (box[1] + box[3]) // 2)


def focused_dialog(windows):
    """The screen-sharing dialog, once it is shown and has the keyboard."""
    for dialog in windows.dialogs():
        if dialog.get("has-focus") and not dialog.get("is-hidden"):
            return dialog
    return None


def leave_overview(bus):
    shell = bus.get_object(SHELL, "/org/gnome/Shell")

    def settled():
        # The shell opens the Overview at the end of its start-up animation: close it whenever
        # it is open, and be done once it has stayed closed for a second.
        if shell.Get(SHELL, "OverviewActive", dbus_interface=PROPERTIES):
            shell.Set(SHELL, "OverviewActive", False, dbus_interface=PROPERTIES)
            settled.since = None
            return False
        if settled.since is None:
            settled.since = time.monotonic()
        return time.monotonic() - settled.since >= 1.0
    settled.since = None
    wait_for("the Overview closed", settled, 20)
    print("on the desktop")


def grant(bus):
    windows = Windows(bus)
    screen = Screen(bus)
    dialog = wait_for("the \"Screen Share\" dialog", lambda: focused_dialog(windows), 20)
    print(f"dialog {dialog.get('title')!r}, {dialog['width']}x{dialog['height']}")

    # Its Share button, greyed until a monitor is picked; the monitors' list below it.
    share = wait_for("the dialog's greyed Share button",
                     lambda: box_of(screen.latest(), SHARE_OFF), 10)
    left = share[2] - dialog["width"]
    row = box_of(screen.latest(), ROW, left=left, top=share[3] + 1, right=share[2],
                 bottom=share[1] + dialog["height"], min_run=100)
    if row is None:
        raise Failed("no monitor listed in the dialog")
    print(f"share button {share}, monitor row {row}")
    screen.click(*centre(row))
    wait_for("the Share button to become active once the monitor is picked",
             lambda: near(pixel(screen.latest(), *centre(share)), SHARE_ON), 10)
    screen.click(*centre(share))
    wait_for("the dialog to close", lambda: not windows.dialogs(), 10)
    screen.close()
    print("shared")


def cancel(bus):
    windows = Windows(bus)
    screen = Screen(bus)
    wait_for("the \"Screen Share\" dialog", lambda: focused_dialog(windows), 20)
    # The dialog has no key of its own for Cancel (Escape does nothing): closing its window,
    # with the shell's Alt+F4, is how it is refused from the keyboard.
    screen.keys("Alt_L", "F4")
    wait_for("the dialog to close", lambda: not windows.dialogs(), 10)
    screen.close()
    print("cancelled")


def watch(bus):
    windows = Windows(bus)
    seen = {"polls": 0, "dialogs": []}
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
    while not stop:
        for dialog in windows.dialogs():
            seen["dialogs"].append(dialog.get("title", "(untitled)"))
        seen["polls"] += 1
        if seen["polls"] == 1:
            print("watching", flush=True)
        pump(0.05)
    print(json.dumps(seen))


def main():
    DBusGMainLoop(set_as_default=True)
    Gst.init(None)
    bus = dbus.SessionBus()
    command = sys.argv[1] if len(sys.argv) > 1 else ""
    try:
        if command == "leave-overview":
            leave_overview(bus)
        elif command == "grant":
            grant(bus)
        elif command == "cancel":
            cancel(bus)
        elif command == "watch":
            watch(bus)
        else:
            print(__doc__, file=sys.stderr)
            return 2
    except Failed as failure:
        print(f"gnome_user: {failure}", file=sys.stderr)
        return 1
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
