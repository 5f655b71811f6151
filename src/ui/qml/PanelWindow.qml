import QtQuick
import QtQuick.Window
import Zephlink

// The clipboard panel: a frameless window around the popover, which draws
// its own background.
Window {
    id: window

    required property FlowModel flow

    width: 430
    height: 600
    color: "transparent"

    FlowPopover {
        flow: window.flow
    }
}
