#!/usr/bin/env python3
"""Draws docs/how-it-works.svg: the driver's layers, what lives in each, and the path of one
stream packet from the wire into the user's frame buffer, and back out as a PACKETRESEND.
The numbered steps are those README.md's "How it works" explains. Edit the tables below and run:

    python3 scripts/how-it-works-diagram.py [OUTPUT]
"""
import pathlib
import sys
from xml.sax.saxutils import escape

WIDTH, HEIGHT = 1240, 640
CORE_LEFT, CORE_RIGHT = 250, 1000
BOLD_EM, REGULAR_EM = 0.63, 0.58   # average glyph widths of the usual sans-serif faces

# The core's layers, top to bottom: (title, top, height). Each includes only the ones below it.
BANDS = [
    ("driver/ — on top: load and unload, every handler NDIS calls", 50, 70),
    ("stream/ — the receive path", 134, 80),
    ("delivery/ — frame completion, resends, the driver's own packets", 228, 80),
    ("control/ — control device, stream ports, frame caches, frame requests", 322, 80),
    ("base/ — what every layer may use", 416, 110),
    ("platform/ — what the core calls of NDIS and the kernel", 540, 50),
]

# Boxes: (left, top, width, height, lines, outside the core[, first baseline below the top]).
# The first line names the routine or the record, in bold.
BOXES = [
    (260, 70, 220, 45, ["DriverEntry, DriverUnload", "driver_entry.cpp: load, unload,", "the process-exit routine"], False),
    (500, 70, 240, 45, ["FilterAttach, FilterDetach,", "FilterPause, FilterRestart", "filter_module.cpp"], False),
    (760, 70, 230, 45, ["FilterReceiveNetBufferLists,", "sends, OIDs, PnP, status", "pass_through.cpp"], False),
    (774, 156, 216, 46, ["ReceiveNetBufferLists", "receive.cpp: classifies the packet,", "finds its port, holds the port"], False),
    (517, 156, 216, 46, ["AssembleGvspPacket", "assembly.cpp: the block's slot;", "in order: the fast path"], False),
    (260, 156, 216, 46, ["PlacePayload, ...", "placement.cpp: the bytes into", "the user's frame buffer"], False),
    (260, 250, 180, 46, ["CompleteFrame,", "FinishAssemblyEffects", "frame_completion.cpp"], False),
    (470, 250, 140, 46, ["ResendWorker", "resend_worker.cpp:", "time-out retries"], False),
    (640, 250, 170, 46, ["CheckGapLimits,", "TakeGap", "resend_policy.cpp"], False),
    (840, 250, 150, 46, ["SendPacketResend", "transmit.cpp: the", "driver's own packets"], False),
    (260, 344, 210, 46, ["ClaimWaitingFrameRequest,", "CompleteFrameRequest", "frame_requests.cpp"], False),
    (500, 344, 160, 46, ["DispatchDeviceControl", "control_device.cpp:", "the control requests"], False),
    (690, 344, 150, 46, ["SetupFrameCache,", "ReturnFrame", "frame_cache.cpp"], False),
    (870, 344, 120, 46, ["BindStreamPort,", "the teardowns", "port_binding.cpp"], False),
    (260, 438, 240, 36, ["StreamPort, FrameSlot, port locks", "base/stream_port.h"], False),
    (520, 438, 220, 36, ["the frame-slot lists", "base/frame_slots.*"], False),
    (760, 438, 230, 36, ["wire format, byte order", "base/wire_format.h, byte_order.h"], False),
    (260, 482, 200, 36, ["DriverGlobals, FilterAdapter", "base/driver.h"], False),
    (470, 482, 190, 36, ["event log, notifications", "base/event_log, notification"], False),
    (670, 482, 180, 36, ["shared memory, requests", "base/stream_memory.h, ..."], False),
    (860, 482, 130, 36, ["clock, rates", "base/clock.*, ..."], False),
    (260, 562, 730, 22, ["platform/ndis.h, platform/wdm.h, then platform/host/ (the emulated machine's) or platform/windows/"], False),
    (20, 134, 200, 168, ["frame buffers,", "StreamControlBlock", "", "the process's own memory,", "locked and mapped into the", "system by SetupFrameCache:", "the driver writes the frames", "and its counters there"], True),
    (20, 322, 200, 204, ["camera library", "client/gvsp_client.cpp", "", "binds a port, sets up the", "cache, asks for frames", "(GET_FRAME waits until one", "completes), reads each in", "place and gives it back", "(RETURN_FRAME)"], True),
    (1030, 50, 190, 50, ["camera", "streams GVSP, answers", "PACKETRESEND"], True),
    (1030, 134, 190, 456, ["NDIS and the miniport", "host/ndis/, or Windows", "", "indicate received chains to", "the filter, send its packets", "and complete them"], True, 360),
]

# Arrows: (points, dashed, step, badge centre, label, label start). The label is left-aligned.
ARROWS = [
    ([(1080, 100), (1080, 134)], False, None, None, "GVSP", (1086, 121)),
    ([(1150, 134), (1150, 100)], False, None, None, "PACKETRESEND", (1156, 121)),
    ([(1030, 172), (990, 172)], False, 1, (1010, 162), "chain indicated", (1038, 168)),
    ([(774, 178), (733, 178)], False, 2, (753, 168), "", None),
    ([(517, 178), (476, 178)], False, 3, (496, 168), "", None),
    ([(260, 190), (220, 190)], False, None, None, "", None),
    ([(700, 202), (700, 250)], False, 4, (712, 221), "gap", (722, 224)),
    ([(560, 202), (390, 250)], False, 5, (463, 213), "frame closes", (474, 224)),
    ([(810, 272), (840, 272)], False, 6, (825, 262), "", None),
    ([(990, 272), (1030, 272)], False, 6, (1010, 262), "PACKETRESEND sent", (1038, 276)),
    ([(1030, 292), (990, 292)], True, None, None, "send complete: FreeOwnPacket", (1038, 296)),
    ([(330, 296), (330, 344)], False, 7, (318, 320), "claim", (340, 324)),
    ([(260, 376), (220, 376)], False, 7, (240, 366), "frame", (226, 390)),
    ([(220, 409), (580, 409), (580, 390)], True, None, None, "", None),
    ([(540, 296), (540, 315), (915, 315), (915, 296)], True, None, None, "", None),
    ([(990, 196), (1030, 196)], False, 8, (1010, 206), "consumed packets", (1038, 200)),
    ([], False, None, None, "returned at once", (1038, 212)),
]


def width_of(content, size, bold):
    return len(content) * size * (BOLD_EM if bold else REGULAR_EM)


def text(x, y, content, size=10, bold=False, anchor="start", fill="#1b1f24"):
    return (f'<text x="{x}" y="{y}" font-size="{size}" font-weight="{"bold" if bold else "normal"}" '
            f'text-anchor="{anchor}" fill="{fill}">{escape(content)}</text>')


def box(left, top, width, height, lines, outside, text_top=15):
    parts = [f'<rect x="{left}" y="{top}" width="{width}" height="{height}" rx="4" '
             f'fill="{"#fff8e6" if outside else "#ffffff"}" stroke="#57606a"/>']
    for index, line in enumerate(lines):
        size = 10.5 if index == 0 else 10
        if width_of(line, size, index == 0) > width - 6:
            sys.exit(f"how-it-works-diagram: \"{line}\" is wider than its box")
        parts.append(text(left + width / 2, top + text_top + 12 * index, line, size, index == 0, "middle"))
    return parts


def arrow(points, dashed, step, badge, label, label_start):
    parts = []
    if points:
        path = " ".join(f"{x},{y}" for x, y in points)
        dash = ' stroke-dasharray="4 3"' if dashed else ""
        parts.append(f'<polyline points="{path}" fill="none" stroke="#cf222e" stroke-width="1.6"{dash} '
                     'marker-end="url(#head)"/>')
    if step is not None:
        parts.append(f'<circle cx="{badge[0]}" cy="{badge[1]}" r="7" fill="#cf222e"/>')
        parts.append(text(badge[0], badge[1] + 3.5, str(step), 9.5, True, "middle", "#ffffff"))
    if label:
        parts.append(text(label_start[0], label_start[1], label, 9, False, "start", "#cf222e"))
    return parts


def draw():
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{HEIGHT}" '
             f'viewBox="0 0 {WIDTH} {HEIGHT}" font-family="DejaVu Sans, Helvetica, Arial, sans-serif">',
             '<defs><marker id="head" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="7" markerHeight="7" '
             'orient="auto"><path d="M0,0 L10,5 L0,10 z" fill="#cf222e"/></marker></defs>',
             f'<rect width="{WIDTH}" height="{HEIGHT}" fill="#ffffff"/>',
             text(20, 30, "GvspFilter: the core's layers and the path of one stream packet", 16, True),
             text(20, 126, "user mode", 11, True, fill="#57606a"),
             text(1030, 44, "the network", 11, True, fill="#57606a")]
    for title, top, height in BANDS:
        parts.append(f'<rect x="{CORE_LEFT}" y="{top}" width="{CORE_RIGHT - CORE_LEFT}" height="{height}" '
                     f'fill="#eef2f7" stroke="#8c959f"/>')
        parts.append(text(CORE_LEFT + 8, top + 15, title, 10.5, True, fill="#24292f"))
    for entry in BOXES:
        parts += box(*entry)
    for entry in ARROWS:
        parts += arrow(*entry)
    parts.append(text(20, 620, "1-8: the steps README.md's \"How it works\" follows. Solid: the packet, its bytes, its frame "
                      "and its resend request; dashed: control requests, the worker's retries, send completions. "
                      "A file without a folder is in its band's.", 10, fill="#57606a"))
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def main():
    output = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent / "docs/how-it-works.svg")
    output.write_text(draw(), encoding="utf-8")


if __name__ == "__main__":
    main()
