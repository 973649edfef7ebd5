#pragma once

#include <QString>
#include <QStringView>

// Upper case by Turkish rules: i becomes İ and ı becomes I; everything else as Unicode says.
QString turkishUpper(QStringView text);
