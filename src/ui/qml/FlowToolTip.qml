import QtQuick
import QtQuick.Controls.Basic
import Zephlink

// A tooltip in the theme's colours whose text is plain: a status can carry
// an error's words, which are never markup.
ToolTip {
    id: tip

    delay: 500
    padding: 8
    // Long words wrap instead of running off the panel.
    width: Math.min(implicitWidth, 320)

    contentItem: FlowText {
        objectName: "toolTipText"
        text: tip.text
        font.pixelSize: 13
        wrapMode: Text.Wrap
    }
    background: Rectangle {
        radius: 8
        color: "white"
        border.color: FlowTheme.line
    }
}
