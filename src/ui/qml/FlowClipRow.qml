import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Zephlink

// One clip of the history: its kind, its first line, a caption and a copy
// button. Tapping elsewhere selects it.
Rectangle {
    id: row

    required property string modelData
    required property int index

    signal selected(string text)
    signal copied(string text)

    // A row shows one line; the full text is on the detail page.
    readonly property int shownCharacters: 300

    objectName: "clipRow"
    height: 62
    radius: 14
    color: "white"
    border.color: FlowTheme.line
    border.width: 1

    MouseArea {
        anchors.fill: parent
        onClicked: row.selected(row.modelData)
    }

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 11
        anchors.rightMargin: 8
        spacing: 12

        Rectangle {
            width: 36
            height: 36
            radius: 10
            color: FlowTheme.softFill

            FlowIcon {
                objectName: "clipSymbol"
                anchors.centerIn: parent
                name: row.modelData.startsWith("http") ? "link" : "doc.text"
                size: 19
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 3

            Text {
                objectName: "clipText"
                Layout.fillWidth: true
                text: row.modelData.slice(0, row.shownCharacters).replace(/\n/g, " ")
                elide: Text.ElideRight
                wrapMode: Text.NoWrap
                maximumLineCount: 1
                textFormat: Text.PlainText
                color: FlowTheme.ink
                font.family: FlowTheme.family
                font.weight: Font.Bold
                font.pixelSize: 15
            }

            Text {
                objectName: "clipCaption"
                text: row.index === 0 ? "Latest shared text" : "Session history"
                color: FlowTheme.muted
                font.family: FlowTheme.family
                font.pixelSize: 12
            }
        }

        Button {
            id: copy

            objectName: "copyButton"
            implicitWidth: 34
            implicitHeight: 34
            padding: 0
            Accessible.name: "Copy clip " + (row.index + 1)
            ToolTip.visible: hovered
            ToolTip.delay: 600
            ToolTip.text: "Copy text"
            onClicked: row.copied(row.modelData)

            contentItem: Item {
                FlowIcon {
                    anchors.centerIn: parent
                    name: "doc.on.doc"
                    size: 18
                }
            }
            background: Rectangle {
                radius: 10
                color: copy.pressed ? FlowTheme.line : (copy.hovered ? FlowTheme.softFill : "transparent")
            }
        }
    }
}
