import QtQuick
import QtQuick.Controls.Basic
import Zephlink

// An ordinary button: teal with white text when primary, else pale green
// with ink text. Space and Enter press it.
Button {
    id: button

    property bool primary: false
    // A symbol before the label, if any.
    property string iconName

    implicitHeight: 39
    leftPadding: 15
    rightPadding: 15
    topPadding: 0
    bottomPadding: 0
    opacity: pressed ? 0.7 : 1
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()
    // What a screen reader's "Press" does.
    Accessible.onPressAction: clicked()

    contentItem: Row {
        spacing: 7

        FlowIcon {
            anchors.verticalCenter: parent.verticalCenter
            visible: button.iconName.length > 0
            name: button.iconName
            color: button.primary ? "white" : FlowTheme.ink
            size: 16
        }

        FlowText {
            anchors.verticalCenter: parent.verticalCenter
            text: button.text
            color: button.primary ? "white" : FlowTheme.ink
            font.weight: Font.Bold
            font.pixelSize: 14
        }
    }

    background: Rectangle {
        implicitHeight: 39
        radius: 12
        color: button.primary ? FlowTheme.teal : FlowTheme.softFill

        FlowFocusRing {
            visible: button.visualFocus
            cornerRadius: 12
        }
    }
}
