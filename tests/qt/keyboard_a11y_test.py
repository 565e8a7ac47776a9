#!/usr/bin/python3
"""The Qt window as a keyboard and screen-reader user meets it.

On a virtual X server with a window manager (openbox), a private session bus
and the AT-SPI bus, qxflash opens on a slow simulated bus. The test presses
keys only (xdotool): the menu by its access key and SCSI Rescan, the adapter,
the target and a release by their labels' access keys, Download Start, OK in
the confirmation, then Space on Abort (where the focus went when the download
started) after the third block. It reads everything back through AT-SPI, as a
screen reader does: the status line, the progress bar, the events announcing
the outcome, Check Drive and Release (Alt+C), and that no object of the main
window, the confirmation box and the history window has an empty name. Then the
window opens again with a release from another folder named on the command
line, and that release is chosen there.

  keyboard_a11y_test.py QXFLASH RELEASES_DIR SCENARIO_JSON

SCENARIO_JSON: the sample bus; the test makes its commands slow.

Exits 77 (skipped) when a tool is missing.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
TOOLS = ["Xvfb", "openbox", "xdotool", "dbus-daemon"]
LAUNCHER = "/usr/libexec/at-spi-bus-launcher"

for tool in TOOLS:
    if shutil.which(tool) is None:
        print(f"SKIP: {tool} is missing")
        sys.exit(SKIP)
if not os.path.exists(LAUNCHER):
    print("SKIP: at-spi2-core is missing")
    sys.exit(SKIP)
try:
    import gi  # noqa: F401
    import pyatspi
except ImportError:
    print("SKIP: python3-pyatspi is missing")
    sys.exit(SKIP)

exe, releases, scenario = sys.argv[1:4]
work = tempfile.mkdtemp()
procs = []
failures = []


def fail(what):
    print("FAIL:", what)
    failures.append(what)


def give_up(what):
    """A failure after which nothing further can be checked."""
    fail(what)
    raise SystemExit(1)


def check(ok, what):
    print(("ok: " if ok else "FAIL: ") + what)
    if not ok:
        failures.append(what)


def start(args, **kw):
    p = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
    procs.append(p)
    return p


def cleanup():
    for p in reversed(procs):
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
    shutil.rmtree(work, ignore_errors=True)


def until(seconds, predicate, step=0.05):
    end = time.time() + seconds
    while time.time() < end:
        try:
            value = predicate()
        except Exception:  # an object that went while it was read
            value = None
        if value:
            return value
        time.sleep(step)
    return None


try:
    # The desktop: X server, session bus, accessibility bus, window manager.
    display_file = os.path.join(work, "display")
    # -noreset: the accessibility bus launcher opens the display, sets a
    # property and closes it again; as the server's last client that would
    # reset the server, and a client connecting meanwhile (the window
    # manager) would be turned away.
    with open(display_file, "w") as fd:
        start(["Xvfb", "-displayfd", str(fd.fileno()), "-screen", "0", "1280x800x24",
               "-nolisten", "tcp", "-noreset"], pass_fds=[fd.fileno()])
    display = until(30, lambda: open(display_file).read().strip())
    if not display:
        give_up("Xvfb did not start")
    os.environ["DISPLAY"] = ":" + display
    runtime = os.path.join(work, "run")
    os.mkdir(runtime, 0o700)
    os.environ["XDG_RUNTIME_DIR"] = runtime
    bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1",
                          "--print-pid=1"], capture_output=True, text=True, check=True)
    address, pid = bus.stdout.split()[:2]
    os.environ["DBUS_SESSION_BUS_ADDRESS"] = address
    procs.append(type("Daemon", (), {"poll": lambda s: None,
                                     "terminate": lambda s: os.kill(int(pid), 15),
                                     "wait": lambda s, t=None: None})())
    start([LAUNCHER, "--launch-immediately"])
    wm = start(["openbox"])

    # Both ready before the window opens: the window manager once it answers
    # for the desktop, the accessibility bus once its launcher gives the address.
    def wm_up():
        if wm.poll() is not None:
            return True  # judged below
        return subprocess.run(["xdotool", "get_desktop"], capture_output=True).returncode == 0

    def a11y_bus():
        from gi.repository import Gio, GLib
        reply = Gio.bus_get_sync(Gio.BusType.SESSION, None).call_sync(
            "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None,
            GLib.VariantType("(s)"), Gio.DBusCallFlags.NO_AUTO_START, 5000, None)
        return reply.unpack()[0]

    if not until(30, wm_up) or wm.poll() is not None:
        give_up("the window manager did not start (openbox: %s)" % wm.poll())
    if not until(30, a11y_bus):
        give_up("the accessibility bus did not start")

    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1",
               XDG_CONFIG_HOME=os.path.join(work, "config"),
               XDG_STATE_HOME=os.path.join(work, "state"), LANG="C.UTF-8")
    env.pop("QT_QPA_PLATFORM", None)
    # The sample bus, each command taking a quarter of a second.
    with open(scenario) as f:
        bus = json.load(f)
    bus["completion"] = {"async": True, "delay_ms": 250}
    slow = os.path.join(work, "slow.json")
    with open(slow, "w") as f:
        json.dump(bus, f)
    app = start([exe, "--sim=" + slow, "--dir", releases], env=env)

    # Import only now: the registry connects to the bus at import time.
    import pyatspi  # noqa: F811

    def application():
        for a in pyatspi.Registry.getDesktop(0):
            if a is not None and a.name == "qxflash":
                return a
        return None

    def walk(obj):
        yield obj
        for i in range(obj.childCount):
            child = obj.getChildAtIndex(i)
            if child is not None:
                yield from walk(child)

    def find(root, role, name, last=False):
        found = None
        for o in walk(root):
            if o.getRoleName() == role and o.name == name:
                found = o
                if not last:
                    break
        return found

    def frame(title_part):
        a = application()
        for i in range(a.childCount if a else 0):
            w = a.getChildAtIndex(i)
            if w is not None and title_part in w.name:
                return w
        return None

    def unnamed(root):
        return [f"{o.getRoleName()} in {o.parent.getRoleName() if o.parent else '-'} "
                f"'{o.parent.name if o.parent else ''}'"
                for o in walk(root) if not o.name.strip()]

    def text_of(obj):
        t = obj.queryText()
        return t.getText(0, t.characterCount)

    def focused(root):
        for o in walk(root):
            if o.getState().contains(pyatspi.STATE_FOCUSED) and o.getRoleName() != "filler":
                return o
        return None

    main = until(20, lambda: frame("QX-R4410 Firmware Download"))
    if main is None:
        give_up("the window did not appear in the accessibility tree")
    # Keys go to the active window: wait until the window manager made it so.
    def activate():
        subprocess.run(["xdotool", "search", "--sync", "--name", "QX-R4410 Firmware",
                        "windowactivate"], check=False, timeout=10)
        return main.getState().contains(pyatspi.STATE_ACTIVE)
    check(bool(until(15, activate, step=0.5)), "the window is active")
    time.sleep(0.5)

    # Keys as typed. Once a screen reader listens, Qt holds every key back
    # until the accessibility registry has seen it (100 ms at most), while a
    # shortcut acts as soon as its key arrives: typed together, the modifier
    # can reach the window after its own shortcut (and a late Alt closes the
    # menu Alt+S has just opened). So a modifier goes down alone, and its key
    # follows once the window has taken it: the window answered a call, had
    # more than those 100 ms, and answered twice more (the held key is posted
    # behind a call that came meanwhile).
    def answers():
        main.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)

    def xdotool(*args):
        subprocess.run(["xdotool", *args], check=False)

    def key(*keys):
        for k in keys:
            *modifiers, last = k.split("+")
            if modifiers:
                xdotool("keydown", *modifiers)
                answers()
                time.sleep(0.2)
                answers()
                answers()
            xdotool("key", last)
            if modifiers:
                xdotool("keyup", *reversed(modifiers))
        time.sleep(0.25)

    # What a screen reader is told, collected on a thread of its own.
    heard = []

    def listen(event):
        try:
            source = event.source
            heard.append((event.type, source.name if source else "",
                          str(event.any_data), source.description if source else ""))
        except Exception:
            pass

    pyatspi.Registry.registerEventListener(listen, "object:property-change:accessible-description",
                                           "object:text-changed", "object:property-change:accessible-name")
    threading.Thread(target=pyatspi.Registry.start, daemon=True).start()

    def said():
        return " | ".join(f"{d}{t}" for (_, _, t, d) in list(heard))

    check(not unnamed(main), "every object of the main window has a name: %s" % unnamed(main))
    status = find(main, "text", "Status")
    check(status is not None, "the status line is named")

    # The menu by its access key, then SCSI Rescan.
    def menu_showing():
        return find(main, "menu item", "SCSI Rescan").getState().contains(pyatspi.STATE_SHOWING)
    key("alt+s")
    menu_open = until(10, menu_showing)
    check(bool(menu_open), "Alt+S opens the SCSI Option menu")
    check(not unnamed(main), "the open menu has names: %s" % unnamed(main))
    key("r")
    check(bool(until(20, lambda: text_of(status) == "SCSI Rescan Complete ")),
          "SCSI Rescan from the keyboard (status: %r)" % text_of(status))

    # Adapter, target and release through their labels' access keys.
    ha = find(main, "combo box", "Host adapter")
    key("alt+h", "Home")
    check(bool(until(10, lambda: ha.getState().contains(pyatspi.STATE_FOCUSED))),
          "Alt+H reaches the adapter list")
    key("alt+i", "Home")
    target = find(main, "combo box", "Target ID")
    check(bool(until(10, lambda: target.getState().contains(pyatspi.STATE_FOCUSED))),
          "Alt+I reaches the target list")
    version = find(main, "label", "Current Firmware Version", last=True)
    check(bool(until(10, lambda: version.description.startswith("1.10"))),
          "the firmware version is read out (%r)" % version.description)
    files = find(main, "list", "Select File")
    key("alt+f")
    check(bool(until(10, lambda: files.getState().contains(pyatspi.STATE_FOCUSED))),
          "Alt+F reaches the file list")
    name = find(main, "label", "File Name", last=True)
    check(name.description == "", "focus entering the file list chooses no file")
    key("End")
    check(bool(until(10, lambda: name.description == "QXR4410_ALL.OUB")),
          "End chooses the last release (%r)" % name.description)

    # Download Start, confirmed with Enter; the box's objects are named. The
    # Abort button and the progress bar are looked up before: a walk through
    # the tree takes long on a busy machine, and the stop must come before the
    # last block.
    abort = find(main, "push button", "Abort")
    progress = find(main, "progress bar", "Download progress")
    key("alt+d")
    box = until(10, lambda: frame("Ambervault Tool 2"))
    check(box is not None, "the confirmation box opens")
    if box is not None:
        check(not unnamed(box), "every object of the box has a name: %s" % unnamed(box))
        key("Return")
    check(bool(until(10, lambda: abort.getState().contains(pyatspi.STATE_FOCUSED))),
          "the focus goes to Abort when the download starts")
    check(bool(until(20, lambda: progress.queryValue().currentValue >= 3)), "block 3 went out")
    check("blocks" in progress.description, "the progress bar says its blocks (%r)"
          % progress.description)
    key("space")
    check(bool(until(20, lambda: text_of(status) == "Abort By User")),
          "Space on Abort stops the download (status: %r)" % text_of(status))
    sent = int(progress.queryValue().currentValue)
    check(3 <= sent < 16, "the download stopped after block 3 (%d sent)" % sent)
    # The events come on the listener's thread, some time after the change.
    check(bool(until(10, lambda: "Download aborted" in said())), "the outcome is announced")
    check(bool(until(10, lambda: "Abort By User" in said())),
          "the status line change is announced")
    notes = find(main, "label", "Notes")
    check(notes is not None and "aborted" in notes.description,
          "the outcome stays in the window's notes")
    back = until(10, lambda: files.getState().contains(pyatspi.STATE_FOCUSED))
    check(bool(back), "the focus is back on the file list (on %s)"
          % (focused(main).name if focused(main) else None))

    # Check Drive and Release by its access key: asks nothing, says in the
    # notes whether the download would start.
    heard.clear()
    key("alt+c")
    check(bool(until(20, lambda: "Dry run of QXR4410_ALL.OUB" in notes.description)),
          "Alt+C checks the drive and the release (notes: %r)" % notes.description)
    check(frame("Ambervault Tool 2") is None, "the dry run asks nothing")
    check(bool(until(10, lambda: "the download would start" in said())),
          "the dry run's outcome is announced")

    # The history window by its key; named too.
    key("ctrl+h")
    history = until(10, lambda: frame("Download History"))
    check(history is not None, "Ctrl+H opens the history")
    if history is not None:
        check(not unnamed(history), "every object of the history has a name: %s"
              % unnamed(history))
        key("Escape")

    # Alt+F4 closes the active window: the main window once it is active again;
    # the program ends with 0.
    until(15, activate, step=0.5)
    key("alt+F4")
    try:
        check(app.wait(10) == 0, "Alt+F4 closes the window with exit status 0")
    except subprocess.TimeoutExpired:
        fail("the window did not close")

    # A release named on the command line, in a folder of its own: the window
    # opens with its folder listed and it chosen.
    other = os.path.join(work, "elsewhere")
    os.mkdir(other)
    for f in ("QXR4410_A0.OUB", "QXR4410_A0.bin"):
        shutil.copy(os.path.join(releases, f), other)
    app = start([exe, "--sim", os.path.join(other, "QXR4410_A0.OUB")], env=env)
    main = until(20, lambda: frame("QX-R4410 Firmware Download"))
    check(main is not None, "the window opens with a release named")
    if main is not None:
        name = find(main, "label", "File Name", last=True)
        check(bool(until(5, lambda: name.description == "QXR4410_A0.OUB")),
              "the release named is chosen (%r)" % (name.description if name else None))
        files = find(main, "list", "Select File")
        check(files is not None and files.childCount == 1,
              "its folder is listed (%d files)" % (files.childCount if files else -1))
finally:
    cleanup()

print(f"{len(failures)} failure(s)")
sys.exit(1 if failures else 0)
