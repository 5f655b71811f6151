import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Zephlink

// A labelled on/off switch. It shows checked and asks for the opposite
// through toggled(); the owner decides. The whole row is one control: a
// click, Space or Enter toggles it, and a screen reader reads its text and
// "On" or "Off" (see flow_accessibility.h).
AbstractButton {
    id: control

    property int fontSize: 15
    // What a screen reader announces as the value (read by the C++ side).
    readonly property string flowAccessibleValue: checked ? "On" : "Off"

    signal toggled(bool on)

    checkable: false
    onClicked: toggled(!checked)
    Keys.onReturnPressed: toggled(!checked)
    Keys.onEnterPressed: toggled(!checked)

    contentItem: RowLayout {
        spacing: 12

        FlowText {
            text: control.text
            font.pixelSize: control.fontSize
        }

        Item {
            Layout.fillWidth: true
            Layout.minimumWidth: 8
        }

        Rectangle {
            objectName: "switchButton"
            implicitWidth: 44
            implicitHeight: 26
            radius: height / 2
            color: control.checked ? FlowTheme.teal
                                   : Qt.rgba(FlowTheme.muted.r, FlowTheme.muted.g, FlowTheme.muted.b, 0.35)

            Rectangle {
                width: 20
                height: 20
                radius: 10
                color: "white"
                y: 3
                x: control.checked ? parent.width - width - 3 : 3
            }

            FlowFocusRing {
                visible: control.visualFocus
                cornerRadius: 13
            }
        }
    }
}
