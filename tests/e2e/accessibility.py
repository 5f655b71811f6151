#!/usr/bin/python3
"""The running program as a screen reader sees it, through AT-SPI.

Usage: accessibility.py PID rows COUNT
           waits until the panel lists COUNT clip rows
       accessibility.py PID check TEXT...
           finds every control by role and name (the clip rows named by the
           TEXTs, newest first), pauses sync with the Pause button's action,
           opens the settings and toggles the switch through its action
       accessibility.py PID dialog TEXT
           finds the alert that asks before joining a link, with TEXT in its
           words and "Join" and "Cancel" buttons, and cancels it
Needs Debian's python3-pyatspi (run with /usr/bin/python3) and the session
bus of the program's desktop, with the accessibility bus on it. Every wait
is bounded; a failure prints what was found and exits 1.
"""
import sys
import time

import pyatspi

LIMIT = 30  # seconds for any one wait


def fail(message):
    print(f"FAIL {message}", file=sys.stderr)
    sys.exit(1)


def wait(what, find):
    deadline = time.monotonic() + LIMIT
    while True:
        found = find()
        if found:
            return found
        if time.monotonic() > deadline:
            fail(f"{what} (waited {LIMIT} s)")
        time.sleep(0.2)


def application(pid):
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.get_process_id() == pid:
            return app
    return None


def nodes(node):
    yield node
    for child in node:
        if child is not None:
            yield from nodes(child)


def controls(pid, role, name=None, parent=None):
    """Every node of the program with that role (and name, and parent's name)."""
    app = application(pid)
    if app is None:
        return []
    return [
        node for node in nodes(app)
        if node.getRoleName() == role and (name is None or node.name == name) and
        (parent is None or (node.parent is not None and node.parent.name == parent))
    ]


def clip_rows(pid):
    return controls(pid, "push button", parent="Recent Clips")


def has(node, state):
    return node.getState().contains(state)


def act(node, action):
    actions = node.queryAction()
    names = [actions.getName(i) for i in range(actions.nActions)]
    if action not in names:
        fail(f"the {node.getRoleName()} \"{node.name}\" offers {names}, not {action}")
    actions.doAction(names.index(action))


def one(pid, role, name):
    return wait(f"no {role} named \"{name}\"", lambda: controls(pid, role, name))[0]


def check(pid, texts):
    # Every clip a button named by its text, in the order of the history.
    rows = [row.name for row in clip_rows(pid)]
    if rows != texts:
        fail(f"the clip rows read {rows}, expected {texts}")
    for index, text in enumerate(texts):
        copy = [child.name for child in clip_rows(pid)[index]]
        if copy != [f"Copy clip {index + 1}"]:
            fail(f"the row \"{text}\" holds {copy}")
    print(f"ok: {len(rows)} clip rows, each a button named by its text")

    pause = one(pid, "push button", "Pause sync")
    act(pause, "Press")
    one(pid, "push button", "Resume sync")
    print("ok: \"Pause sync\" pressed through its action now reads \"Resume sync\"")

    act(one(pid, "push button", "Settings"), "Press")
    one(pid, "push button", "Back")
    switch = one(pid, "check box", "Automatically share Mac copies")
    wait("the switch is not shown with the settings page",
         lambda: has(switch, pyatspi.STATE_SHOWING))
    if not has(switch, pyatspi.STATE_CHECKED):
        fail("the switch starts off, though automatic sharing starts on")
    for on in (False, True):
        act(switch, "Toggle")
        wait(f"the switch did not turn {'on' if on else 'off'}",
             lambda: has(switch, pyatspi.STATE_CHECKED) == on)
    print("ok: the switch, checked, toggled off and on again through its action")


def dialog(pid, text):
    def alert():
        for node in controls(pid, "alert"):
            words = " ".join(child.name for child in nodes(node) if child.getRoleName() == "label")
            if text in words:
                return node
        return None
    found = wait(f"no alert saying \"{text}\"", alert)
    buttons = {child.name: child for child in nodes(found) if child.getRoleName() == "push button"}
    name = found.name
    if not name or sorted(buttons) != ["Cancel", "Join"]:
        fail(f"the alert \"{name}\" offers {sorted(buttons)}")
    if not has(buttons["Cancel"], pyatspi.STATE_FOCUSED):
        fail("Cancel does not have the focus")
    act(buttons["Cancel"], "Press")
    wait("the alert stayed", lambda: alert() is None)
    print(f"ok: the alert \"{name}\" says \"{text}\"; Cancel, focused, closed it")


def main():
    if len(sys.argv) < 3:
        fail(__doc__)
    pid, command, arguments = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
    wait(f"no application with pid {pid} on the accessibility bus",
         lambda: application(pid))
    if command == "rows":
        count = int(arguments[0])
        wait(f"fewer than {count} clip rows", lambda: len(clip_rows(pid)) >= count)
    elif command == "check":
        check(pid, arguments)
    elif command == "dialog":
        dialog(pid, arguments[0])
    else:
        fail(__doc__)


if __name__ == "__main__":
    main()
