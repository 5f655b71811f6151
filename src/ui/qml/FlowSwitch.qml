import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Zephlink

// A labelled on/off switch. It shows checked and asks for the opposite
// through toggled(); the owner decides.
RowLayout {
    id: row

    property string label
    property bool checked
    property int fontSize: 15
    // What a screen reader announces as the value (read by the C++ side).
    readonly property string flowAccessibleValue: checked ? "On" : "Off"

    signal toggled(bool on)

    spacing: 12

    Text {
        text: row.label
        color: FlowTheme.ink
        font.family: FlowTheme.family
        font.pixelSize: row.fontSize
        Accessible.ignored: true
    }

    Item {
        Layout.fillWidth: true
        Layout.minimumWidth: 8
    }

    AbstractButton {
        id: knobButton

        objectName: "switchButton"
        implicitWidth: 44
        implicitHeight: 26
        Accessible.ignored: true
        onClicked: row.toggled(!row.checked)

        contentItem: Item {}
        background: Rectangle {
            radius: height / 2
            color: row.checked ? FlowTheme.teal
                               : Qt.rgba(FlowTheme.muted.r, FlowTheme.muted.g, FlowTheme.muted.b, 0.35)

            Rectangle {
                width: 20
                height: 20
                radius: 10
                color: "white"
                y: 3
                x: row.checked ? parent.width - width - 3 : 3
            }
        }
    }
}
