#pragma once

#include <QByteArray>

// Where a Wayland client looks for its compositor, and whether one answers there. Asked
// before Qt loads its Wayland platform: where no compositor can be reached, libwayland would
// print its own complaints before Qt gives up.
namespace WaylandSocket {

// The socket WAYLAND_DISPLAY names, as libwayland finds it: an absolute name as it is, any
// other one in XDG_RUNTIME_DIR; empty where it names none (XDG_RUNTIME_DIR unset or relative).
QByteArray path(const QByteArray &waylandDisplay, const QByteArray &runtimeDir);

// True if the path is a socket that accepts a connection.
bool answers(const QByteArray &path);

} // namespace WaylandSocket
