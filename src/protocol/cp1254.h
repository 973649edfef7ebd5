#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// Windows code page 1254 (Turkish), the encoding of text on the wire.
namespace Cp1254 {

// Every byte decodes to exactly one character; the five bytes the code page leaves
// undefined decode to the C1 control of the same value, so nothing is ever dropped.
QString decode(QByteArrayView bytes);

// One byte per character (per code point, for characters outside the BMP); a
// character the code page cannot hold becomes '?'.
QByteArray encode(QStringView text);

// Appends the encoding of text to out and returns true when every character of text is in
// the code page; otherwise returns false and leaves out as it was.
bool encodeExactly(QStringView text, QByteArray &out);

} // namespace Cp1254
