import QtQuick
import Zephlink

// An image of the bundle by name; a missing image shows nothing and takes no
// space.
Image {
    property string name

    source: FlowTheme.artwork(name)
    visible: status === Image.Ready
    fillMode: Image.PreserveAspectFit
    smooth: true
    mipmap: true
    asynchronous: false
    Accessible.ignored: true
}
