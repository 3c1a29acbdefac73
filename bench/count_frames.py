#!/usr/bin/env python3
"""Counts the frames an X window actually presents in a region.

    count_frames.py WINDOW SECONDS [X Y WIDTH HEIGHT]

Asks the X server's DAMAGE extension for every rectangle drawn into WINDOW
and, for SECONDS seconds, counts the updates that touch the region (client
coordinates; the whole window if none is given). Rectangles drawn within a
few milliseconds of each other are one update: a picture may be sent as
several bands of rows, each reported apart. Prints the count.
Needs libX11 and libXdamage only, through ctypes.
"""
import ctypes
import select
import sys
import time

x11 = ctypes.CDLL("libX11.so.6")
damage = ctypes.CDLL("libXdamage.so.1")

x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XConnectionNumber.argtypes = [ctypes.c_void_p]
x11.XPending.argtypes = [ctypes.c_void_p]
x11.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
damage.XDamageQueryExtension.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
                                         ctypes.POINTER(ctypes.c_int)]
damage.XDamageCreate.restype = ctypes.c_ulong
damage.XDamageCreate.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int]

REPORT_RAW_RECTANGLES = 0


class Rectangle(ctypes.Structure):
    _fields_ = [("x", ctypes.c_short), ("y", ctypes.c_short),
                ("width", ctypes.c_ushort), ("height", ctypes.c_ushort)]


class DamageNotify(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("drawable", ctypes.c_ulong), ("damage", ctypes.c_ulong),
                ("level", ctypes.c_int), ("more", ctypes.c_int),
                ("timestamp", ctypes.c_ulong), ("area", Rectangle), ("geometry", Rectangle)]


class Event(ctypes.Union):
    # XEvent is padded to 24 longs.
    _fields_ = [("type", ctypes.c_int), ("damage", DamageNotify), ("pad", ctypes.c_long * 24)]


def main():
    window = int(sys.argv[1])
    seconds = float(sys.argv[2])
    region = [int(v) for v in sys.argv[3:7]] if len(sys.argv) >= 7 else None

    display = x11.XOpenDisplay(None)
    if not display:
        sys.exit("cannot open the X display")
    event_base, error_base = ctypes.c_int(), ctypes.c_int()
    if not damage.XDamageQueryExtension(display, ctypes.byref(event_base),
                                        ctypes.byref(error_base)):
        sys.exit("the X server has no DAMAGE extension")
    damage.XDamageCreate(display, window, REPORT_RAW_RECTANGLES)
    x11.XSync(display, 0)

    def touches(area):
        if region is None:
            return True
        x, y, w, h = region
        return (area.x < x + w and x < area.x + area.width and
                area.y < y + h and y < area.y + area.height)

    # Frames come 23 ms apart; the bands of one picture within a millisecond
    # or two (the server's timestamps are in milliseconds).
    same_frame_ms = 4
    frames = 0
    last = None
    fd = x11.XConnectionNumber(display)
    event = Event()
    end = time.monotonic() + seconds
    while True:
        left = end - time.monotonic()
        if left <= 0:
            break
        if not x11.XPending(display):
            select.select([fd], [], [], left)
            continue
        x11.XNextEvent(display, ctypes.byref(event))
        if event.type != event_base.value:
            continue
        if not touches(event.damage.area):
            continue
        stamp = event.damage.timestamp
        if last is None or (stamp - last) & 0xFFFFFFFF > same_frame_ms:
            frames += 1
        last = stamp
    x11.XCloseDisplay(display)
    print(frames)


main()
