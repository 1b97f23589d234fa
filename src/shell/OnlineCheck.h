#pragma once

#include <QByteArray>
#include <QString>

class MessageBoxes;

// Warns when the computer cannot reach the internet: pings a well-known host once and looks for
// a reply line in what ping prints.
void CheckOnline(MessageBoxes& boxes);
