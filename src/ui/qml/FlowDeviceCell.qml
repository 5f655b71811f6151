import QtQuick
import QtQuick.Layouts
import Zephlink

// One nearby device in the grid: its kind, its name and a dot on a card.
// The grid hands it the keyboard's focus when it is the current cell.
Item {
    id: cell

    required property string name
    required property string platform
    required property int index

    readonly property bool phone: platform === "android"

    objectName: "deviceCell"
    Accessible.role: Accessible.ListItem
    Accessible.name: name
    Accessible.description: phone ? "Phone" : "Computer"
    Accessible.focusable: true
    Accessible.focused: activeFocus

    Rectangle {
        // Ten points between the columns, ten below each row.
        x: cell.index % 2 === 0 ? 0 : 5
        width: parent.width - 5
        height: parent.height - 10
        radius: 12
        color: "white"
        border.color: FlowTheme.line
        border.width: 1

        FlowFocusRing {
            visible: cell.activeFocus
            cornerRadius: 12
        }

        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: 12
            anchors.rightMargin: 12
            spacing: 9

            FlowIcon {
                objectName: "deviceSymbol"
                name: cell.phone ? "smartphone" : "desktopcomputer"
                size: 18
            }

            FlowText {
                Layout.fillWidth: true
                text: cell.name
                elide: Text.ElideRight
                maximumLineCount: 1
                font.pixelSize: 14
            }

            Rectangle {
                implicitWidth: 7
                implicitHeight: 7
                radius: 3.5
                color: FlowTheme.teal
            }
        }
    }
}
