#!/usr/bin/python3
"""Drives the running Quippet panel through the accessibility bus (AT-SPI) by the names a screen reader speaks:
starts listening from the welcome screen, lists every control of the working panel, asks for an answer, collapses and expands the
panel. (Qt leaves popup menus out of the accessible tree and announces their entries as they take focus; the
options menu's entries are checked by name in the panel's widget tests.) Fails when a control that can be acted on has no speakable name.
Run by bench/listening.sh with A11Y=1 (needs python3-pyatspi and at-spi2-core)."""
import sys
import time

import pyatspi

ACTIONABLE = {"push button", "toggle button", "check box", "radio button", "menu item", "check menu item",
              "radio menu item", "menu", "link"}


def app():
    for _ in range(100):
        for candidate in pyatspi.Registry.getDesktop(0):
            if candidate is not None and candidate.name.lower() == "quippet":
                return candidate
        time.sleep(0.1)
    sys.exit("Quippet is not on the accessibility bus")


def showing(node):
    return node.getState().contains(pyatspi.STATE_SHOWING)


def walk(node):
    for child in node:
        if child is None:
            continue
        yield child
        yield from walk(child)


def controls(root):
    return [n for n in walk(root) if n.getRoleName() in ACTIONABLE and showing(n)]


def speakable(name):
    return sum(c.isalpha() for c in name) >= 2


def report(title, root):
    found = controls(root)
    bad = [n for n in found if not speakable(n.name)]
    print(f"{title}: {len(found)} controls")
    for n in found:
        print(f"  {n.getRoleName():<16} {n.name}")
    for n in bad:
        print(f"  UNNAMED {n.getRoleName()}")
    return not bad


def press(root, name, tries=50):
    for _ in range(tries):
        for n in walk(root):
            if n.name == name and showing(n):
                action = n.queryAction()
                action.doAction(0)
                return
        time.sleep(0.1)
    sys.exit(f"no control named {name!r}")


def main():
    names = dict(arg.split("=", 1) for arg in sys.argv[1:])
    quippet = app()
    ok = report("welcome", quippet)
    press(quippet, names["start"])
    time.sleep(2)
    ok &= report("working", quippet)
    press(quippet, names["answer"])
    time.sleep(3)
    ok &= report("working with an answer card", quippet)
    press(quippet, names["collapse"])
    time.sleep(1)
    ok &= report("collapsed", quippet)
    press(quippet, names["expand"])
    time.sleep(1)
    print("every control named" if ok else "SOME CONTROLS HAVE NO NAME")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
