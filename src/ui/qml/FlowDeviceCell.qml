import QtQuick
import QtQuick.Layouts
import Zephlink

// One nearby device: its kind, its name and a dot.
Rectangle {
    id: cell

    required property var modelData

    objectName: "deviceCell"
    radius: 12
    color: "white"
    border.color: FlowTheme.line
    border.width: 1
    Accessible.role: Accessible.StaticText
    Accessible.name: modelData.name

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 12
        anchors.rightMargin: 12
        spacing: 9

        FlowIcon {
            objectName: "deviceSymbol"
            name: cell.modelData.platform === "android" ? "smartphone" : "desktopcomputer"
            size: 18
        }

        Text {
            Layout.fillWidth: true
            text: cell.modelData.name
            textFormat: Text.PlainText
            elide: Text.ElideRight
            maximumLineCount: 1
            color: FlowTheme.ink
            font.family: FlowTheme.family
            font.pixelSize: 14
        }

        Rectangle {
            width: 7
            height: 7
            radius: 3.5
            color: FlowTheme.teal
        }
    }
}
