#!/usr/bin/python3
"""The running program through AT-SPI: `PID check TEXT...` (clip rows newest first, every
control by role and name, acting through actions) or `PID dialog TEXT` (the link alert)."""
import sys
import time

import pyatspi


def fail(message):
    sys.exit(f"FAIL {message}")


def wait(what, find):
    deadline = time.monotonic() + 30
    while not (found := find()):
        if time.monotonic() > deadline:
            fail(what)
        time.sleep(0.2)
    return found


def nodes(node):
    yield node
    for child in node:
        if child is not None:
            yield from nodes(child)


def controls(pid, role, name=None, parent=None):
    apps = [a for a in pyatspi.Registry.getDesktop(0) if a is not None and a.get_process_id() == pid]
    return [n for a in apps for n in nodes(a) if n.getRoleName() == role
            and name in (None, n.name) and (parent is None or n.parent is not None and n.parent.name == parent)]


def has(node, state):
    return node.getState().contains(state)


def act(node, action):
    actions = node.queryAction()
    names = [actions.getName(i) for i in range(actions.nActions)]
    if action not in names:
        fail(f"\"{node.name}\" offers {names}, not {action}")
    actions.doAction(names.index(action))


def one(pid, role, name):
    return wait(f"no {role} named \"{name}\"", lambda: controls(pid, role, name))[0]


def check(pid, texts):
    rows = lambda: controls(pid, "push button", parent="Recent Clips")
    wait(f"the clip rows read {[r.name for r in rows()]}, not {texts}",
         lambda: [r.name for r in rows()] == texts)
    for index, row in enumerate(rows()):
        if [c.name for c in row] != [f"Copy clip {index + 1}"]:
            fail(f"the row \"{row.name}\" holds {[c.name for c in row]}")
    act(one(pid, "push button", "Pause sync"), "Press")
    one(pid, "push button", "Resume sync")
    act(one(pid, "push button", "Settings"), "Press")
    one(pid, "push button", "Back")
    switch = one(pid, "check box", "Automatically share Mac copies")
    wait("the switch is not shown", lambda: has(switch, pyatspi.STATE_SHOWING))
    if not has(switch, pyatspi.STATE_CHECKED):
        fail("the switch starts off, though automatic sharing starts on")
    for on in (False, True):
        act(switch, "Toggle")
        wait(f"the switch did not turn {'on' if on else 'off'}",
             lambda: has(switch, pyatspi.STATE_CHECKED) == on)


def dialog(pid, text):
    def alert():
        return [n for n in controls(pid, "alert")
                if text in " ".join(c.name for c in nodes(n) if c.getRoleName() == "label")]
    found = wait(f"no alert saying \"{text}\"", alert)[0]
    buttons = {c.name: c for c in nodes(found) if c.getRoleName() == "push button"}
    if not found.name or sorted(buttons) != ["Cancel", "Join"]:
        fail(f"the alert \"{found.name}\" offers {sorted(buttons)}")
    if not has(buttons["Cancel"], pyatspi.STATE_FOCUSED):
        fail("Cancel does not have the focus")
    act(buttons["Cancel"], "Press")
    wait("the alert stayed", lambda: not alert())


if __name__ == "__main__":
    if sys.argv[2] == "check":
        check(int(sys.argv[1]), sys.argv[3:])
    else:
        dialog(int(sys.argv[1]), sys.argv[3])
