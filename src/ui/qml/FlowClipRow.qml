import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Zephlink

// One clip of the history: its kind, its first line, a caption and a copy
// button. The row is a button: a click, Space or Enter opens the clip; the
// copy shortcut copies it.
AbstractButton {
    id: row

    required property string clipText
    required property string line
    required property bool link
    required property int index

    signal copied(string text)

    readonly property string caption: index === 0 ? "Latest shared text" : "Session history"

    objectName: "clipRow"
    text: line
    implicitHeight: 62
    leftPadding: 11
    // The copy button sits in the padding, at the trailing end.
    rightPadding: 8 + copy.width + 12
    topPadding: 0
    bottomPadding: 0
    // The list takes the Tab focus and hands it to its current row.
    focusPolicy: Qt.NoFocus
    Accessible.name: line
    Accessible.description: (link ? "Link" : "Text") + ", " + caption
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()
    // What a screen reader's "Press" does: open the clip.
    Accessible.onPressAction: clicked()
    Keys.onPressed: (event) => {
        if (event.matches(StandardKey.Copy)) {
            row.copied(row.clipText);
            event.accepted = true;
        }
    }

    background: Rectangle {
        radius: 14
        color: "white"
        border.color: FlowTheme.line
        border.width: 1

        FlowFocusRing {
            visible: row.activeFocus
            cornerRadius: 14
        }
    }

    contentItem: RowLayout {
        spacing: 12

        Rectangle {
            implicitWidth: 36
            implicitHeight: 36
            radius: 10
            color: FlowTheme.softFill

            FlowIcon {
                objectName: "clipSymbol"
                anchors.centerIn: parent
                name: row.link ? "link" : "doc.text"
                size: 19
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 3

            FlowText {
                objectName: "clipText"
                Layout.fillWidth: true
                text: row.line
                elide: Text.ElideRight
                wrapMode: Text.NoWrap
                maximumLineCount: 1
                font.weight: Font.Bold
            }

            FlowText {
                objectName: "clipCaption"
                text: row.caption
                color: FlowTheme.muted
                font.pixelSize: 12
            }
        }
    }

    Button {
        id: copy

        objectName: "copyButton"
        anchors.right: parent.right
        anchors.rightMargin: 8
        anchors.verticalCenter: parent.verticalCenter
        implicitWidth: 34
        implicitHeight: 34
        padding: 0
        focusPolicy: Qt.NoFocus
        Accessible.name: "Copy clip " + (row.index + 1)
        Accessible.description: "Copy text"
        onClicked: row.copied(row.clipText)
        Accessible.onPressAction: clicked()

        FlowToolTip {
            visible: copy.hovered
            text: "Copy text"
        }

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
