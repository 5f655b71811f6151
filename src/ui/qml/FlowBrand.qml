import QtQuick
import Zephlink

// The brand mark: the tilted paperclip and the name.
Row {
    spacing: 10

    FlowIcon {
        anchors.verticalCenter: parent.verticalCenter
        name: "paperclip"
        size: 33
        rotation: -15
    }

    FlowText {
        anchors.verticalCenter: parent.verticalCenter
        text: "Zephlink"
        font.weight: Font.Bold
        font.pixelSize: 25
    }
}
