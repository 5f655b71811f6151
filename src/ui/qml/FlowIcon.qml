import QtQuick
import QtQuick.Window
import Zephlink

// A symbol of the design, drawn from the bundle's SVG in one colour.
Image {
    id: icon

    property string name
    property color color: FlowTheme.ink
    property real size: 18

    width: size
    height: size
    // Drawn at the pixel size the screen needs, not scaled up from 24.
    source: name.length > 0 ? FlowTheme.icon(name, color, Math.ceil(size * Screen.devicePixelRatio))
                            : ""
    fillMode: Image.PreserveAspectFit
    smooth: true
    Accessible.ignored: true
}
