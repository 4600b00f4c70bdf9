#!/usr/bin/python3
"""What a screen reader hears of the welcome face's options menu.

Starts the accessibility bus and a fresh Quippet (no token, no keys, English), opens the options menu through its
button's accessible action, arrows down through every entry with synthesized key presses, and records the focus
events the accessibility bus delivers, as Orca would receive them. The account lines (which way in is in use, and
the other way) must be among them, spoken by name.

Run inside scripts/with-test-session.sh (a private session bus and a virtual display). Exit 77: skipped.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import uuid

try:
    import gi

    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi, GLib
except (ImportError, ValueError):
    print("skipped: the AT-SPI bindings (python3-pyatspi) are not installed")
    sys.exit(77)

LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
EXPECTED = ["API keys…", "No keys and no server yet", "Sign in to a Quippet server…"]


def pump(seconds):
    """Lets the accessibility events of the next moment arrive."""
    context = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        while context.iteration(False):
            pass
        time.sleep(0.01)


def wait_for(condition, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        pump(0.1)
    raise SystemExit(f"FAILED: {what}")


def find(node, predicate, depth=0):
    if node is None or depth > 30:
        return None
    if predicate(node):
        return node
    for i in range(node.get_child_count()):
        found = find(node.get_child_at_index(i), predicate, depth + 1)
        if found:
            return found
    return None


def application(name):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_name() == name:
            return app
    return None


def main(binary):
    if not os.path.exists(LAUNCHER) or not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        print("skipped: no accessibility bus launcher or no session bus")
        return 77
    home = tempfile.mkdtemp(prefix="quippet-atspi-")
    bus = subprocess.Popen([LAUNCHER, "--launch-immediately"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    app_process = None
    try:
        env = dict(os.environ)
        env.update({
            "HOME": home,
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
            "QT_QPA_PLATFORM": "xcb",
            "LANGUAGE": "en",
            "LC_ALL": "C.UTF-8",
            "QUIPPET_OWNER": "1",  # a build tree is offered an install otherwise
            "QUIPPET_INSTANCE": "quippet-atspi-" + uuid.uuid4().hex,
            "PULSE_SERVER": "unix:" + os.path.join(home, "no-pulse"),
        })
        env.pop("QUIPPET_BACKEND", None)
        time.sleep(0.5)  # the launcher registers the accessibility bus address
        Atspi.init()
        focused = []

        def on_focus(event):
            if event.detail1 != 1:
                return
            try:
                focused.append((event.source.get_role_name(), event.source.get_name()))
            except GLib.Error:
                pass

        listener = Atspi.EventListener.new(on_focus)
        listener.register("object:state-changed:focused")

        app_process = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        app = wait_for(lambda: application("Quippet"), 30, "Quippet appears on the accessibility bus")
        options = wait_for(
            lambda: find(app, lambda n: n.get_role() == Atspi.Role.PUSH_BUTTON and n.get_name() == "Options"), 20,
            "the welcome face's Options button is exposed by name")
        # The panel never takes the keyboard from the call: the button is clicked where it is on the screen.
        box = options.get_extents(Atspi.CoordType.SCREEN)
        Atspi.generate_mouse_event(box.x + box.width // 2, box.y + box.height // 2, "b1c")
        # The popup takes the keyboard: each Down moves to the next entry, as a screen-reader user arrows.
        pump(1.0)
        for _ in range(20):
            Atspi.generate_keyboard_event(0xFF54, None, Atspi.KeySynthType.PRESSRELEASE | Atspi.KeySynthType.SYM)
            pump(0.25)
        spoken = [name for role, name in focused if role in ("menu item", "check menu item")]
        print("focus events:", spoken)
        missing = [text for text in EXPECTED if text not in spoken]
        if missing:
            print("FAILED: never reached by the arrow keys:", missing)
            return 1
        print("passed: every account line is reached and spoken")
        return 0
    finally:
        if app_process:
            app_process.terminate()
            try:
                app_process.wait(10)
            except subprocess.TimeoutExpired:
                app_process.kill()
        bus.terminate()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
