import QtQuick
import Zephlink

// The teal ring around the control that has the keyboard's focus, a little
// outside its edge.
Rectangle {
    // The corner radius of what it surrounds.
    property real cornerRadius: 0
    readonly property real gap: 3

    objectName: "focusRing"
    anchors.fill: parent
    anchors.margins: -gap
    radius: cornerRadius + gap
    color: "transparent"
    border.color: FlowTheme.teal
    border.width: 2
}
