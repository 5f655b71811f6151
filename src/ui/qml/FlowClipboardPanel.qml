import QtQuick
import QtQuick.Window
import Zephlink

// The clipboard panel: a frameless window around the popover, which draws
// its own background. It is only ever hidden, never closed.
Window {
    id: window

    required property FlowModel flow

    width: 430
    height: 600
    color: "transparent"

    onClosing: (close) => {
        close.accepted = false;
        window.hide();
    }

    FlowPopover {
        flow: window.flow
    }
}
