import QtQuick
import Zephlink

// Text in the theme's face and ink. Always plain: a clip, a device name or an
// error's words are shown as the characters they are, never as markup.
Text {
    color: FlowTheme.ink
    font.family: FlowTheme.family
    font.pixelSize: 15
    textFormat: Text.PlainText
}
